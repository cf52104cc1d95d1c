// The folder scan with a stand-in `du` on the program search path, the real
// `du` for a linked folder, and the 45-second throttle.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"
#include "vyr/numfmt.hpp"

namespace vyr::engine::testing {
namespace {

// Sets PATH for one test and puts it back afterwards.
class PathGuard {
public:
    explicit PathGuard(const std::string& value) {
        if (const char* old = std::getenv("PATH")) old_ = old;
        setenv("PATH", value.c_str(), 1);
    }
    ~PathGuard() { setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_ = "/usr/bin:/bin";
};

class FolderScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"home/Downloads", "home/Documents", "home/.cache", "home/.local/share",
                              "home/.config", "home/Desktop"})
            tree.make_dir(d);
        platform.home = tree.path("home") + "/";  // a trailing separator, as $HOME may have
    }
    void write_du(const std::string& body) {
        tree.write("bin/du", "#!/bin/sh\n" + body);
        tree.chmod("bin/du", 0755);
    }
    std::vector<FolderUsageInfo> scan() {
        PathGuard path(tree.path("bin"));
        auto r = Engine::scan_folders(platform);
        EXPECT_TRUE(r.has_value());
        return r ? *r : std::vector<FolderUsageInfo>{};
    }

    TempTree tree;
    FixturePlatform platform{tree.root()};
};

TEST_F(FolderScanTest, SizesFailuresAndOrder) {
    const std::string log = tree.path("args.log");
    // A descriptor this process opens without close-on-exec must not reach du.
    const int leak = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leak, 0);
    write_du("echo \"$*\" >> " + log + "\n"
             "[ -e /proc/$$/fd/" + numfmt::integer(leak) + " ] && echo LEAK >> " + log + "\n"
             "for last; do :; done\n"
             "case \"$last\" in\n"
             "  */Downloads) printf '1024\\t%s\\n' \"$last\" ;;\n"
             "  */Documents) echo 0 ;;\n"
             "  */.cache) exec /bin/sleep 5 ;;\n"
             "  */share) echo 'many MB' ;;\n"
             "  */.config) printf '\\377\\376 12\\n' ;;\n"
             "  */Desktop) echo 'du: cannot read directory: Permission denied' >&2;"
             " printf 'warning\\n1152\\t%s\\n' \"$last\" ;;\n"
             "  *) printf '  5\\t%s\\n\\n' \"$last\" ;;\n"
             "esac\n");
    const auto started = std::chrono::steady_clock::now();
    const auto result = scan();
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ::close(leak);

    std::vector<std::string> labels, sizes;
    for (const auto& f : result) {
        labels.push_back(f.label);
        sizes.push_back(f.size_str);
    }
    std::vector<std::string> want_labels = {"Masaüstü (Desktop)", "İndirilenler (Downloads)"};
    std::vector<std::string> want_sizes = {"1.12 GB", "1.00 GB"};
    for (const char* sys : {"/var/log", "/var/cache"}) {
        if (access(sys, F_OK) == 0) {
            want_labels.push_back(std::string(sys) == "/var/log" ? "Ruvivu Günlükleri (/var/log)"
                                                                 : "Ruvivu Önbelleği (/var/cache)");
            want_sizes.push_back("5 MB");
        }
    }
    want_labels.push_back("Belgeler (Documents)");
    want_sizes.push_back("0 MB");
    EXPECT_EQ(labels, want_labels);
    EXPECT_EQ(sizes, want_sizes);
    ASSERT_GE(result.size(), 2u);
    EXPECT_EQ(result[1].path, tree.path("home") + "/Downloads");
    EXPECT_DOUBLE_EQ(result[1].size_mb, 1024.0);
    EXPECT_DOUBLE_EQ(result[0].size_mb, 1152.0);
    // The slow folder was given 2.5 seconds, not more.
    EXPECT_GE(took, 2.4);
    EXPECT_LT(took, 4.9);

    std::ifstream in(log);
    std::string line, all;
    while (std::getline(in, line)) all += line + "\n";
    EXPECT_EQ(all.find("LEAK"), std::string::npos) << all;
    EXPECT_NE(all.find("-H -sm -- " + tree.path("home") + "/.local/share\n"), std::string::npos) << all;
}

TEST_F(FolderScanTest, MissingProgramPublishesAnEmptyList) {
    tree.make_dir("bin");  // nothing in it
    EXPECT_TRUE(scan().empty());
}

TEST_F(FolderScanTest, MissingAndOddCandidates) {
    tree.remove("home/Documents");
    tree.remove("home/Desktop");
    tree.symlink(tree.path("nowhere"), "home/Desktop");  // a dangling link counts as missing
    tree.remove("home/.cache");
    tree.write("home/.cache", "a file");                 // measured like a folder
    write_du("for last; do :; done\nprintf '7\\t%s\\n' \"$last\"\n");
    std::vector<std::string> paths;
    for (const auto& f : scan())
        if (f.path.rfind(tree.root(), 0) == 0) paths.push_back(f.path.substr(tree.root().size()));
    EXPECT_EQ(paths, (std::vector<std::string>{"/home/Downloads", "/home/.cache", "/home/.local/share",
                                               "/home/.config"}));
}

TEST_F(FolderScanTest, ALinkedFolderIsMeasuredWhereItPoints) {
    // The real du: a Downloads folder linked to another disk is not 0 MB.
    tree.make_dir("elsewhere");
    {
        std::ofstream big(tree.path("elsewhere/big.bin"), std::ios::binary);
        const std::string chunk(1 << 20, 'x');
        for (int i = 0; i < 3; ++i) big << chunk;
    }
    tree.remove("home/Downloads");
    tree.symlink(tree.path("elsewhere"), "home/Downloads");
    PathGuard path("/usr/bin:/bin");
    const auto result = Engine::scan_folders(platform);
    ASSERT_TRUE(result.has_value());
    bool seen = false;
    for (const auto& f : *result) {
        if (f.label == std::string("İndirilenler (Downloads)")) {
            seen = true;
            EXPECT_GE(f.size_mb, 3.0);
            EXPECT_EQ(f.size_str, numfmt::fixed(f.size_mb, 0) + " MB");
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(FolderScanTest, AnExistenceTestThatFailsEndsTheScan) {
    platform.home = tree.path(std::string(300, 'h'));  // too long a name to test
    write_du("echo 1\n");
    PathGuard path(tree.path("bin"));
    EXPECT_FALSE(Engine::scan_folders(platform).has_value());
}

TEST(FolderScanThrottle, OneScanPer45Seconds) {
    TempTree tree;
    write_machine(tree);
    tree.make_dir("bin");
    PathGuard path(tree.path("bin"));  // no du: each scan ends at once with an empty list
    auto platform = std::make_shared<FixturePlatform>(tree.root());
    platform->home = tree.path("home");
    auto clock = std::make_shared<ManualClock>();
    clock->wall_now = 1000.0;
    EngineOptions o;
    o.start_folder_scan = true;  // the first scan starts with the engine
    Engine engine(platform, clock, o);
    EXPECT_EQ(engine.last_folder_scan(), 1000.0);
    struct Step {
        double at;
        double stamp;  // stamp after the request
    } steps[] = {{1010.0, 1000.0}, {1044.9, 1000.0}, {1045.0, 1045.0}, {1000.0, 1045.0}, {1089.9, 1045.0},
                 {1090.0, 1090.0}};
    for (const auto& s : steps) {
        clock->wall_now = s.at;
        engine.trigger_folder_scan_async();
        EXPECT_EQ(engine.last_folder_scan(), s.stamp) << s.at;
    }
    // Three scans were accepted; each publishes its (empty) list, on a busy machine late.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (engine.folder_scans_published() < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(engine.folder_scans_published(), 3u);
    EXPECT_TRUE(engine.get_folder_usages().empty());
}

}  // namespace
}  // namespace vyr::engine::testing
