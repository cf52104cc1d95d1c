#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "instance_lock_linux.hpp"
#include "vyr/launcher/launcher.hpp"
#include "window_activation_linux.hpp"

namespace {

using vyr::launcher::ArgumentVector;
using vyr::launcher::LockOutcome;
using vyr::launcher::native_string;

// Records what the launcher asks of the system.
class FakePlatform final : public vyr::launcher::Platform {
public:
    const char* line = "";
    LockOutcome lock = LockOutcome::Created;
    std::string path = "/opt/vyr/Vyr_Sistem_Zuvedadu";
    std::vector<std::string> calls;

    const char* command_line() override { return line; }
    LockOutcome create_instance_lock(const native_string& name) override {
        calls.push_back("lock " + name);
        return lock;
    }
    void close_instance_lock() override { calls.push_back("close"); }
    void activate_existing_window(const char* title) override {
        calls.push_back(std::string("activate ") + title);
    }
    native_string program_path() override { return path; }
    void set_current_folder(const native_string& f) override { calls.push_back("cwd " + f); }
    void set_dll_folder(const native_string& f) override { calls.push_back("dll " + f); }
    void set_environment(const native_string& n, const native_string& v) override {
        calls.push_back("env " + n + "=" + v);
    }
    ArgumentVector split_arguments() override { return {}; }
    void free_arguments(ArgumentVector&) override {}
    void message_box(const char*, const char*) override {}
};

const std::string kLock = "lock Local\\VYR_SINGLE_INSTANCE_vyr-sysmonitor";

TEST(Launcher, SingleInstanceCheck) {
    struct Case {
        const char* line;
        LockOutcome lock;
        bool ends;
        std::vector<std::string> calls;
    };
    const std::vector<std::string> none;
    const std::vector<std::string> only_lock = {kLock};
    const std::vector<std::string> raise = {kLock, "activate Vyr Ruvivu Zizodiro", "close"};
    const Case cases[] = {
        {nullptr, LockOutcome::Created, false, only_lock},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu", LockOutcome::Created, false, only_lock},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu", LockOutcome::Failed, false, only_lock},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu", LockOutcome::AlreadyExists, true, raise},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu --Service", LockOutcome::AlreadyExists, true, raise},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu --HEADLESS", LockOutcome::AlreadyExists, true, raise},
        {"/opt/vyr/Vyr_Sistem_Zuvedadu -service", LockOutcome::AlreadyExists, true, raise},
        // Every option, also inside a longer word, another argument or the program path.
        {"x --vyr-elevated-task", LockOutcome::AlreadyExists, false, none},
        {"x --vyr-root-helper", LockOutcome::AlreadyExists, false, none},
        {"x --service", LockOutcome::AlreadyExists, false, none},
        {"x --install-service", LockOutcome::AlreadyExists, false, none},
        {"x --uninstall-service", LockOutcome::AlreadyExists, false, none},
        {"x --status", LockOutcome::AlreadyExists, false, none},
        {"x --headless", LockOutcome::AlreadyExists, false, none},
        {"x --self-test", LockOutcome::AlreadyExists, false, none},
        {"x --screenshot", LockOutcome::AlreadyExists, false, none},
        {"x --statusbar", LockOutcome::AlreadyExists, false, none},
        {"x a=--screenshots", LockOutcome::AlreadyExists, false, none},
        {"/home/u/--headless-copy/Vyr_Sistem_Zuvedadu", LockOutcome::AlreadyExists, false, none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line ? c.line : "(no command line)");
        FakePlatform p;
        p.line = c.line;
        p.lock = c.lock;
        EXPECT_EQ(vyr::launcher::another_copy_runs(p), c.ends);
        EXPECT_EQ(p.calls, c.calls);
    }
}

TEST(Launcher, ProgramFolderBecomesWorkingFolderDllFolderAndPythonPath) {
    FakePlatform p;
    vyr::launcher::prepare_program_folder(p);
    const std::vector<std::string> expected = {"cwd /opt/vyr", "dll /opt/vyr",
                                               "env PYTHONPATH=/opt/vyr"};
    EXPECT_EQ(p.calls, expected);

    const std::pair<std::string, std::string> folders[] = {
        {"/opt/vyr/Vyr_Sistem_Zuvedadu", "/opt/vyr"},
        {"/Vyr_Sistem_Zuvedadu", ""},
        {"Vyr_Sistem_Zuvedadu", "Vyr_Sistem_Zuvedadu"},
        {"/a b/ç/Vyr", "/a b/ç"},
        {"", ""},
    };
    for (const auto& [path, folder] : folders) {
        EXPECT_EQ(vyr::launcher::folder_of(path), folder) << path;
    }
}

TEST(Launcher, BootstrapScriptIsFortyFourLines) {
    const std::string script = vyr::launcher::kBootstrapScript;
    ASSERT_FALSE(script.empty());
    EXPECT_EQ(script.back(), '\n');
    std::size_t lines = 0;
    for (char c : script) lines += c == '\n';
    EXPECT_EQ(lines, 44u);
    EXPECT_EQ(script.find('\r'), std::string::npos);
    EXPECT_EQ(script.find("\n\n"), std::string::npos);
}

TEST(WindowTitle, OnlyTheFirst510CharactersAreSearched) {
    const std::string title = "Vyr Ruvivu Zizodiro";
    const auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    struct Case {
        std::string text;
        bool matches;
    };
    const Case cases[] = {
        {"Vyr Ruvivu Zizodiro", true},
        {"Vyr Ruvivu Zizodiro - Baslatma Hatasi", true},
        {"[x] Vyr Ruvivu Zizodiro", true},
        {"", false},
        {"vyr ruvivu zizodiro", false},
        {"Vyr Ruvivu", false},
        {repeat("a", 491) + title, true},           // ends at character 510
        {repeat("a", 492) + title, false},          // its last letter is character 511
        {repeat("ş", 491) + title, true},           // two-byte characters count once
        {repeat("ş", 492) + title, false},
        {repeat("🙂", 491) + title + "tail", true},  // four-byte characters too
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vyr::launcher::linux_layer::title_matches(c.text, title), c.matches)
            << c.text.size() << " bytes";
    }
}

// A scratch folder removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/vyr-launcher-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchFolder() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

TEST(SessionLock, HeldByTheFirstOpenFileOnly) {
    ScratchFolder runtime;
    const std::string name = vyr::launcher::kInstanceLockName;
    EXPECT_EQ(vyr::launcher::linux_layer::lock_file_name(name), "VYR_SINGLE_INSTANCE_vyr-sysmonitor");

    int first = -1;
    ASSERT_EQ(vyr::launcher::linux_layer::take_session_lock(name, runtime.path.c_str(), nullptr, first),
              LockOutcome::Created);
    const std::string file = runtime.path + "/VYR_SINGLE_INSTANCE_vyr-sysmonitor";
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(fcntl(first, F_GETFD) & FD_CLOEXEC, 0);

    int second = -1;
    EXPECT_EQ(vyr::launcher::linux_layer::take_session_lock(name, runtime.path.c_str(), nullptr, second),
              LockOutcome::AlreadyExists);
    EXPECT_GE(second, 0);
    close(second);

    // Once the first copy has gone the lock can be had again.
    close(first);
    int third = -1;
    EXPECT_EQ(vyr::launcher::linux_layer::take_session_lock(name, runtime.path.c_str(), nullptr, third),
              LockOutcome::Created);
    close(third);
}

TEST(SessionLock, PrivateFolderUnderTheTemporaryFolder) {
    const std::string name = vyr::launcher::kInstanceLockName;
    const std::string user_folder = "/vyr-" + std::to_string(geteuid());
    struct Case {
        const char* what;
        void (*prepare)(const std::string& folder);
        LockOutcome outcome;
    };
    const Case cases[] = {
        {"made when missing", [](const std::string&) {}, LockOutcome::Created},
        {"kept when private", [](const std::string& f) { mkdir(f.c_str(), 0700); }, LockOutcome::Created},
        {"refused when others may enter",
         [](const std::string& f) { mkdir(f.c_str(), 0700); chmod(f.c_str(), 0755); },
         LockOutcome::Failed},
        {"refused when it is a link",
         [](const std::string& f) {
             mkdir((f + "-real").c_str(), 0700);
             (void)symlink((f + "-real").c_str(), f.c_str());
         },
         LockOutcome::Failed},
        {"refused when the lock file is a link",
         [](const std::string& f) {
             mkdir(f.c_str(), 0700);
             (void)symlink("/tmp/elsewhere", (f + "/VYR_SINGLE_INSTANCE_vyr-sysmonitor").c_str());
         },
         LockOutcome::Failed},
        {"refused when it is a file",
         [](const std::string& f) { close(open(f.c_str(), O_CREAT | O_WRONLY, 0600)); },
         LockOutcome::Failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder temp;
        const std::string folder = temp.path + user_folder;
        c.prepare(folder);
        int fd = -1;
        // An unset or relative XDG_RUNTIME_DIR falls back to the temporary folder.
        for (const char* runtime : {static_cast<const char*>(nullptr), "", "relative/run"}) {
            const std::string temp_dir = temp.path + "/";
            EXPECT_EQ(vyr::launcher::linux_layer::take_session_lock(name, runtime, temp_dir.c_str(), fd),
                      c.outcome);
            if (c.outcome == LockOutcome::Created) {
                struct stat st {};
                ASSERT_EQ(lstat(folder.c_str(), &st), 0);
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                EXPECT_EQ(st.st_mode & 0777, 0700u);
                EXPECT_EQ(access((folder + "/VYR_SINGLE_INSTANCE_vyr-sysmonitor").c_str(), F_OK), 0);
                ASSERT_GE(fd, 0);
                close(fd);
            } else {
                EXPECT_EQ(fd, -1);
            }
        }
    }
}

TEST(SessionLock, UnusableRuntimeFolderFallsBackToThePerUserFolder) {
    ScratchFolder temp;
    const std::string per_user = temp.path + "/vyr-" + std::to_string(geteuid());
    for (const std::string& runtime : {temp.path + "/gone", std::string("/proc")}) {
        SCOPED_TRACE(runtime);
        int fd = -1;
        EXPECT_EQ(vyr::launcher::linux_layer::take_session_lock(vyr::launcher::kInstanceLockName,
                                                                runtime.c_str(), temp.path.c_str(), fd),
                  LockOutcome::Created);
        EXPECT_EQ(access((per_user + "/VYR_SINGLE_INSTANCE_vyr-sysmonitor").c_str(), F_OK), 0);
        ASSERT_GE(fd, 0);
        close(fd);
    }
}

TEST(SessionLock, AnotherUsersLockFileIsNoLockOfOurs) {
    // Held or not, a lock file that another user owns or may write to means
    // running without the lock, not another copy.
    struct Case {
        const char* what;
        void (*make)(const std::string& path);
        bool needs_root;
    } cases[] = {
        {"owned by another user", [](const std::string& p) { (void)chown(p.c_str(), 65534, 65534); }, true},
        {"writable by the group", [](const std::string& p) { chmod(p.c_str(), 0620); }, false},
        {"writable by others", [](const std::string& p) { chmod(p.c_str(), 0606); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0) continue;
        ScratchFolder runtime;
        const std::string path = runtime.path + "/VYR_SINGLE_INSTANCE_vyr-sysmonitor";
        const int holder = open(path.c_str(), O_CREAT | O_RDONLY, 0600);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
        c.make(path);
        int fd = -1;
        EXPECT_EQ(vyr::launcher::linux_layer::take_session_lock(vyr::launcher::kInstanceLockName,
                                                                runtime.path.c_str(), nullptr, fd),
                  LockOutcome::Failed);
        EXPECT_EQ(fd, -1);
        close(holder);
    }
}

}  // namespace
