#include "hand_over_linux.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vyr/instance_name.hpp"
#include "vyr/runtime_folder.hpp"
#include "vyr/trace.hpp"

namespace vyr::launcher::linux_layer {

std::vector<std::string> monitor_server_paths() {
    const std::string name = vyr::instance_name::server_name(vyr::instance_name::kMonitorKey,
                                                             vyr::instance_name::user_tag());
    std::vector<std::string> paths;
    for (const std::string& folder : vyr::runtime_folder::meeting_folders_of_this_process())
        paths.push_back(folder + '/' + name);
    return paths;
}

bool send_activation(const std::string& path, int wait_ms) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.data(), path.size());

    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        vyr::trace::report("vyr.launcher", "hand-over socket", vyr::trace::errno_cause(errno));
        return false;
    }
    // A blocking local connect and write give up after this long.
    timeval limit{};
    limit.tv_sec = wait_ms / 1000;
    limit.tv_usec = (wait_ms % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        vyr::trace::report("vyr.launcher", "hand-over time limit", vyr::trace::errno_cause(errno));

    bool sent = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        const char* message = vyr::instance_name::kActivationMessage;
        std::size_t left = std::strlen(message);
        while (left > 0) {
            const ssize_t n = send(fd, message, left, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            message += n;
            left -= static_cast<std::size_t>(n);
        }
        sent = left == 0;
    }
    close(fd);
    return sent;
}

}  // namespace vyr::launcher::linux_layer
