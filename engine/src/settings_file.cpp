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

int read_regular_file(const std::string& path, std::string& content) {
    content.clear();
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    // Non-blocking, in case something else took the file's place meanwhile.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int err = 0;
    if (::fstat(fd, &st) != 0) {
        err = errno;
    } else if (!S_ISREG(st.st_mode)) {
        err = EINVAL;
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (err) content.clear();
    return err;
}

int keep_as_backup(const std::string& path, const std::string& backup) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    const bool has_content = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (!has_content) {
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, backup.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without the no-replace rename.
        if (::lstat(backup.c_str(), &st) == 0) return EEXIST;
    }
    if (::rename(path.c_str(), backup.c_str()) == 0) return 0;
    return errno == ENOENT ? 0 : errno;
}

}  // namespace vyr::engine::files
