#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform_linux.hpp"
#include "vyr/launcher/launcher.hpp"

namespace {

// Standard input, output and error that the starter left closed are opened on
// the null device, before any file of the launcher can take their numbers
// (the lock file as descriptor 2 would receive every line of error output).
bool open_missing_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null_fd;
        do {
            null_fd = open("/dev/null", O_RDWR);
        } while (null_fd < 0 && errno == EINTR);
        if (null_fd < 0) return false;
        // The lowest free number is taken: that is `fd`, as 0 to fd - 1 are open.
        if (null_fd != fd) {
            const bool moved = dup2(null_fd, fd) == fd;
            close(null_fd);
            if (!moved) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!open_missing_standard_streams()) return 1;
    vyr::launcher::LinuxPlatform platform(argc, argv);
    return vyr::launcher::run(platform);
}
