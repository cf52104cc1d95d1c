#include "vyr/instance_name.hpp"
#include "vyr/runtime_folder.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace names = vyr::instance_name;

TEST(InstanceName, UserTagCountsCharactersAsTheRuntimeDecodesThem) {
    const struct {
        const char* login;
        const char* tag;
    } cases[] = {
        {"alice", "alice"},
        {"a-b_C9", "a-b_C9"},
        {"J\xC3\xB6hn Doe", "J_hn_Doe"},          // one "_" for a two-byte letter
        {"bob.smith@corp", "bob_smith_corp"},
        {"x\xE2\x82\xACy", "x_y"},                 // three-byte euro sign
        {"\xF0\x9F\x98\x80", "_"},                 // four-byte emoji
        {"caf\xE9", "caf_"},                       // a Latin-1 byte: no valid character
        {"\xE2\x82" "A", "__A"},                   // cut-off sequence: one per byte
        {"\xC0\xAF", "__"},                        // overlong form
        {"\xED\xA0\x80", "___"},                   // encoded surrogate
        {"\xF4\x90\x80\x80", "____"},              // beyond U+10FFFF
        {"", "user"},
    };
    for (const auto& c : cases) EXPECT_EQ(names::user_tag_of(c.login), c.tag) << c.login;
}

TEST(InstanceName, LoginNameTakesTheFirstSetVariableThenTheAccount) {
    const char* variables[] = {"LOGNAME", "USER", "LNAME", "USERNAME"};
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* v : variables) {
        const char* value = getenv(v);
        saved[v] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    const auto set_only = [&](std::map<std::string, std::string> values) {
        for (const char* v : variables) unsetenv(v);
        for (const auto& [name, value] : values) setenv(name.c_str(), value.c_str(), 1);
    };

    set_only({{"USERNAME", "d"}, {"LNAME", "c"}, {"USER", "b"}, {"LOGNAME", "a"}});
    EXPECT_EQ(names::login_name(), "a");
    set_only({{"USERNAME", "d"}, {"LNAME", "c"}, {"USER", "b"}, {"LOGNAME", ""}});
    EXPECT_EQ(names::login_name(), "b");
    set_only({{"USERNAME", "d"}});
    EXPECT_EQ(names::login_name(), "d");
    set_only({{"LOGNAME", "J\xC3\xB6hn Doe"}});
    EXPECT_EQ(names::user_tag(), "J_hn_Doe");

    set_only({});
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(names::login_name(), std::string(account->pw_name));

    for (const auto& [name, value] : saved) {
        if (value) setenv(name.c_str(), value->c_str(), 1);
        else unsetenv(name.c_str());
    }
}

TEST(InstanceName, ServerName) {
    EXPECT_EQ(names::server_name(names::kMonitorKey, "alice"), "VYR_SINGLE_INSTANCE_MONITOR_alice");
}

// A scratch folder removed with everything in it.
struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/vyr-runtime-folder-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Scratch() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

TEST(RuntimeFolder, RuntimeFolderElsePrivatePerUserFolder) {
    const std::string user_folder = "/vyr-" + std::to_string(geteuid());
    struct Case {
        const char* what;
        void (*prepare)(const std::string& folder);
        bool usable;
        bool needs_root = false;  // only root may give a folder away
    };
    const Case cases[] = {
        {"made when missing", [](const std::string&) {}, true},
        {"kept when private", [](const std::string& f) { mkdir(f.c_str(), 0700); }, true},
        {"refused when others may enter",
         [](const std::string& f) { mkdir(f.c_str(), 0700); chmod(f.c_str(), 0711); }, false},
        {"refused when another user owns it",
         [](const std::string& f) { mkdir(f.c_str(), 0700); (void)chown(f.c_str(), 65534, 65534); },
         false, true},
        {"refused when it is a link",
         [](const std::string& f) {
             mkdir((f + "-real").c_str(), 0700);
             (void)symlink((f + "-real").c_str(), f.c_str());
         },
         false},
        {"refused when it is a file",
         [](const std::string& f) { close(open(f.c_str(), O_CREAT | O_WRONLY, 0600)); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0) continue;
        Scratch temp;
        const std::string folder = temp.path + user_folder;
        c.prepare(folder);
        // An unset or relative XDG_RUNTIME_DIR falls back to the temporary folder.
        for (const char* runtime : {static_cast<const char*>(nullptr), "", "relative/run"}) {
            const std::string temp_dir = temp.path + "//";
            EXPECT_EQ(vyr::runtime_folder::private_folder(runtime, temp_dir.c_str()),
                      c.usable ? folder : std::string());
            if (c.usable) {
                struct stat st {};
                ASSERT_EQ(lstat(folder.c_str(), &st), 0);
                EXPECT_TRUE(S_ISDIR(st.st_mode));
                EXPECT_EQ(st.st_mode & 0777, 0700u);
            }
        }
    }

    Scratch runtime;
    EXPECT_EQ(vyr::runtime_folder::private_folder((runtime.path + "/").c_str(), "/nowhere"),
              runtime.path);
}

TEST(RuntimeFolder, UnusableRuntimeFolderFallsBackToThePerUserFolder) {
    struct Case {
        const char* what;
        std::string (*make)(const std::string& scratch);  // the XDG_RUNTIME_DIR to use
        bool needs_root = false;
    };
    const Case cases[] = {
        {"missing", [](const std::string& t) { return t + "/gone"; }},
        {"the process file system", [](const std::string&) { return std::string("/proc"); }},
        {"others may enter",
         [](const std::string& t) { mkdir((t + "/run").c_str(), 0755); chmod((t + "/run").c_str(), 0755); return t + "/run"; }},
        {"not writable",
         [](const std::string& t) { mkdir((t + "/run").c_str(), 0500); return t + "/run"; }},
        {"a file",
         [](const std::string& t) { close(open((t + "/run").c_str(), O_CREAT | O_WRONLY, 0600)); return t + "/run"; }},
        {"another user's",
         [](const std::string& t) {
             mkdir((t + "/run").c_str(), 0700);
             (void)chown((t + "/run").c_str(), 65534, 65534);
             return t + "/run";
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0) continue;
        Scratch temp;
        const std::string runtime = c.make(temp.path);
        const std::string per_user = temp.path + "/vyr-" + std::to_string(geteuid());
        EXPECT_EQ(vyr::runtime_folder::private_folder(runtime.c_str(), temp.path.c_str()), per_user);
        EXPECT_EQ(vyr::runtime_folder::meeting_folders(runtime.c_str(), temp.path.c_str()),
                  std::vector<std::string>{per_user});
        const int dir = vyr::runtime_folder::open_private_folder(runtime.c_str(), temp.path.c_str());
        ASSERT_GE(dir, 0);
        struct stat opened {}, expected {};
        ASSERT_EQ(fstat(dir, &opened), 0);
        ASSERT_EQ(stat(per_user.c_str(), &expected), 0);
        EXPECT_EQ(opened.st_ino, expected.st_ino);
        close(dir);
    }
}

TEST(RuntimeFolder, BothFoldersAreMeetingPlaces) {
    // A running copy listens in both, so that a start that sees another (or
    // no) runtime folder still meets it in the per-user folder.
    Scratch temp;
    Scratch runtime;
    const std::string per_user = temp.path + "/vyr-" + std::to_string(geteuid());
    EXPECT_EQ(vyr::runtime_folder::meeting_folders(runtime.path.c_str(), temp.path.c_str()),
              (std::vector<std::string>{runtime.path, per_user}));
    EXPECT_EQ(vyr::runtime_folder::meeting_folders(nullptr, temp.path.c_str()),
              std::vector<std::string>{per_user});
    EXPECT_EQ(vyr::runtime_folder::meeting_folders(per_user.c_str(), temp.path.c_str()),
              std::vector<std::string>{per_user});
    // No usable folder at all: nowhere to meet.
    chmod(per_user.c_str(), 0755);
    EXPECT_TRUE(vyr::runtime_folder::meeting_folders("/proc", temp.path.c_str()).empty());
}

}  // namespace
