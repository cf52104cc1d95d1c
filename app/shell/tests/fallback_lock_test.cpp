#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>

#include "vyr/shell/fallback_lock.hpp"

using vyr::shell::LockAttempt;
using vyr::shell::try_fallback_lock;

namespace {

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vyr_lock_test_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("chmod -R u+w '" + path + "' && rm -rf '" + path + "'").c_str()); }
};

std::string read_all(const std::string& p) {
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(FallbackLock, FirstHolderWinsAndASecondOpenIsRefused) {
    TempDir dir;
    const std::string path = dir.path + "/vyr-linux-monitor.lock";
    LockAttempt first = try_fallback_lock(path);
    ASSERT_EQ(first.outcome, LockAttempt::Outcome::Acquired);
    EXPECT_GE(first.fd, 0);
    EXPECT_TRUE(fcntl(first.fd, F_GETFD) & FD_CLOEXEC);

    // flock belongs to the open file, so a second open in this process
    // stands for a second copy of the program.
    LockAttempt second = try_fallback_lock(path);
    EXPECT_EQ(second.outcome, LockAttempt::Outcome::HeldElsewhere);
    EXPECT_EQ(second.fd, -1);
    EXPECT_EQ(second.error, EWOULDBLOCK);

    close(first.fd);
    LockAttempt third = try_fallback_lock(path);  // a file left behind does not block
    EXPECT_EQ(third.outcome, LockAttempt::Outcome::Acquired);
    close(third.fd);
}

TEST(FallbackLock, KeepsTheFileContentsAndNeverFollowsALink) {
    TempDir dir;
    const std::string path = dir.path + "/vyr-linux-monitor.lock";
    { std::ofstream(path) << "someone else's data"; }
    LockAttempt a = try_fallback_lock(path);
    ASSERT_EQ(a.outcome, LockAttempt::Outcome::Acquired);
    close(a.fd);
    EXPECT_EQ(read_all(path), "someone else's data");

    const std::string victim = dir.path + "/victim";
    { std::ofstream(victim) << "precious"; }
    const std::string link = dir.path + "/linked.lock";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    LockAttempt b = try_fallback_lock(link);
    EXPECT_EQ(b.outcome, LockAttempt::Outcome::Unavailable);
    EXPECT_EQ(b.fd, -1);
    EXPECT_EQ(read_all(victim), "precious");
}

TEST(FallbackLock, AFileThatCannotBeOpenedMeansRunningWithoutTheLock) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string path;
    } cases[] = {
        {"missing folder", dir.path + "/nope/vyr-linux-monitor.lock"},
        {"a folder in the way", dir.path},
    };
    for (const auto& c : cases) {
        LockAttempt a = try_fallback_lock(c.path);
        EXPECT_EQ(a.outcome, LockAttempt::Outcome::Unavailable) << c.name;
        EXPECT_EQ(a.fd, -1) << c.name;
        EXPECT_NE(a.error, 0) << c.name;
    }
    if (geteuid() != 0) {  // root writes anywhere
        const std::string ro = dir.path + "/ro";
        mkdir(ro.c_str(), 0555);
        EXPECT_EQ(try_fallback_lock(ro + "/x.lock").outcome, LockAttempt::Outcome::Unavailable);
    }
}
