#include "vyr/engine/settings_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

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

// Writes `content` over the file at `path`, which is opened without being
// cut: the old text is overwritten from its start and only then cut to the
// new length, so no moment leaves the file empty.
int write_in_place(const std::string& path, std::string_view content) {
    struct stat st{};
    // Only a regular file (or none yet) is written; a FIFO or a device is never opened.
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return EINVAL;
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int err = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
    if (!err) err = write_all(fd, content);
    if (!err && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    return err;
}

// The file that `path` names once every link on the way is followed, as an
// open of `path` reaches it (a relative target counts from its link's
// folder); `path` itself when it is no link. A name that points at nothing
// yet ends the walk: it is the file that an open would create.
// Returns 0 or an errno (ELOOP for a chain that does not end).
int follow_links(const std::string& path, std::string& file) {
    file = path;
    for (int hops = 0; hops < 40; ++hops) {  // as many as the system follows in one path
        struct stat st{};
        if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(file.c_str(), target.data(), target.size());
        if (n < 0) return errno;
        if (n == 0 || static_cast<std::size_t>(n) >= target.size()) return EINVAL;  // changed meanwhile
        target.resize(static_cast<std::size_t>(n));
        file = target.front() == '/' ? target : folder_of(file) + "/" + target;
    }
    return ELOOP;
}

}  // namespace

int replace_atomically(const std::string& given, std::string_view content) {
    static std::atomic<unsigned> counter{0};
    // A settings file that is a link (kept with the user's other dotfiles)
    // stays a link: the file it points to is the one replaced, or made when
    // the link points at nothing yet.
    std::string path;
    if (const int err = follow_links(given, path)) return err;
    struct stat old{};
    const bool had_old = ::stat(path.c_str(), &old) == 0;
    // What a link leads to is replaced only when it is a file: a device or a
    // FIFO that a link names belongs to someone else.
    if (had_old && !S_ISREG(old.st_mode) && path != given) return EINVAL;

    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = path + ".tmp-" + numfmt::integer(::getpid()) + "-" + numfmt::integer(counter++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    // No new file can be made beside it (a folder the user cannot write,
    // holding a file they can): the file itself takes the new text.
    if (fd < 0) return write_in_place(path, content);
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

int read_regular_file(const std::string& path, std::string& content, std::size_t limit) {
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
        // One byte beyond the limit tells a file that is too long.
        char buffer[65536];
        while (content.size() <= limit) {
            const std::size_t want = std::min(sizeof buffer, limit + 1 - content.size());
            const ssize_t n = ::read(fd, buffer, want);
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                err = errno;
                break;
            }
            content.append(buffer, static_cast<std::size_t>(n));
        }
        if (!err && content.size() > limit) err = EFBIG;
    }
    ::close(fd);
    if (err) content.clear();
    return err;
}

int keep_as_backup(const std::string& path, const std::string& backup) {
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    const bool is_link = S_ISLNK(st.st_mode);
    const bool has_content = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (is_link && has_content) {
        // A link to a file stays in its place: the backup is a copy of the
        // file's content, and the next write goes through the link.
        std::string content;
        if (const int err = read_regular_file(path, content)) return err;
        if (const int err = replace_atomically(backup, content)) return err;
        (void)::chmod(backup.c_str(), st.st_mode & 07777);  // as private as the file (best effort)
        return 0;
    }
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
