#include "vyr/engine/settings_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "vyr/numfmt.hpp"

namespace vyr::engine::files {

namespace {

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int write_all(int fd, std::string_view content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

int replace_atomically(const std::string& given, std::string_view content) {
    static std::atomic<unsigned> counter{0};
    // A settings file that is a link (kept with the user's other dotfiles)
    // stays a link: the file it points to is the one replaced.
    std::string path = given;
    struct stat link{};
    if (::lstat(given.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* real = ::realpath(given.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    struct stat old{};
    const bool had_old = ::stat(path.c_str(), &old) == 0;

    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = path + ".tmp-" + numfmt::integer(::getpid()) + "-" + numfmt::integer(counter++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    int err = write_all(fd, content);
    if (!err && had_old) (void)::fchmod(fd, old.st_mode & 07777);  // best effort
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(tmp.c_str());
        return err;
    }
    // Make the rename itself durable (best effort).
    const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

int keep_as_backup(const std::string& path, const std::string& backup) {
    if (::rename(path.c_str(), backup.c_str()) == 0) return 0;
    return errno == ENOENT ? 0 : errno;
}

}  // namespace vyr::engine::files
