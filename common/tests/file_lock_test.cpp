#include "vyr/file_lock.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using vyr::file_lock::Outcome;
using vyr::file_lock::open_and_lock;

class FileLock : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vyr_file_lock_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/x.lock";
    }
    void TearDown() override {
        ::unlink(path_.c_str());
        ::unlink((dir_ + "/link").c_str());
        ::rmdir(dir_.c_str());
    }
    std::string dir_, path_;
};

TEST_F(FileLock, SecondOpenFileIsHeldElsewhereUntilTheFirstCloses) {
    const auto first = open_and_lock(AT_FDCWD, path_.c_str(), 0, 0600);
    ASSERT_EQ(first.outcome, Outcome::Acquired);
    EXPECT_TRUE(::fcntl(first.fd, F_GETFD) & FD_CLOEXEC);

    const auto second = open_and_lock(AT_FDCWD, path_.c_str(), 0, 0600);
    EXPECT_EQ(second.outcome, Outcome::HeldElsewhere);
    EXPECT_EQ(second.fd, -1);  // closed unless asked to keep it
    const auto kept = open_and_lock(AT_FDCWD, path_.c_str(), 0, 0600, true);
    EXPECT_EQ(kept.outcome, Outcome::HeldElsewhere);
    EXPECT_GE(kept.fd, 0);
    ::close(kept.fd);

    ::close(first.fd);
    const auto third = open_and_lock(AT_FDCWD, path_.c_str(), 0, 0600);
    EXPECT_EQ(third.outcome, Outcome::Acquired);
    ::close(third.fd);
}

TEST_F(FileLock, OtherFailuresAreNotAnotherCopy) {
    const auto missing = open_and_lock(AT_FDCWD, (dir_ + "/no/such/folder").c_str(), 0, 0600);
    EXPECT_EQ(missing.outcome, Outcome::Failed);
    EXPECT_EQ(missing.error, ENOENT);

    ASSERT_EQ(::symlink(path_.c_str(), (dir_ + "/link").c_str()), 0);
    const auto link = open_and_lock(AT_FDCWD, (dir_ + "/link").c_str(), O_NOFOLLOW, 0600);
    EXPECT_EQ(link.outcome, Outcome::Failed);
    EXPECT_EQ(link.error, ELOOP);

    for (int error : {EBADF, EINVAL, ENOLCK, EACCES})
        EXPECT_FALSE(vyr::file_lock::is_contention(error)) << error;
    EXPECT_TRUE(vyr::file_lock::is_contention(EWOULDBLOCK));
}

TEST_F(FileLock, AFileOfAnotherUserOrThatOthersMayWriteIsNoLockOfOurs) {
    // Such a file fails before its lock is tried: whoever holds it (another
    // user, through a read-only open) does not stand for another copy.
    const struct {
        const char* what;
        bool (*make)(const std::string& path);
    } cases[] = {
        {"another user's", [](const std::string& p) { return ::geteuid() == 0 && ::chown(p.c_str(), 65534, 65534) == 0; }},
        {"writable by the group", [](const std::string& p) { return ::chmod(p.c_str(), 0660) == 0; }},
        {"writable by others", [](const std::string& p) { return ::chmod(p.c_str(), 0602) == 0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(path_.c_str());
        const int holder = ::open(path_.c_str(), O_CREAT | O_RDONLY, 0600);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        if (!c.make(path_)) {
            ::close(holder);
            continue;  // only root may give a file away
        }
        const auto attempt = open_and_lock(AT_FDCWD, path_.c_str(), O_NOFOLLOW, 0600);
        EXPECT_EQ(attempt.outcome, Outcome::Failed);
        EXPECT_EQ(attempt.error, EPERM);
        EXPECT_EQ(attempt.fd, -1);
        ::close(holder);
    }
}

}  // namespace
