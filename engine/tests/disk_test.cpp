// Which disk is the primary one, and which partitions are listed beside it.
#include <gtest/gtest.h>

#include <ostream>

#include "fixture.hpp"
#include "vyr/engine/engine.hpp"

namespace vyr::engine::testing {
namespace {

constexpr std::uint64_t GiB = 1073741824ULL;
constexpr std::uint64_t MiB = 1048576ULL;

struct DiskCase {
    const char* name;
    std::string mounts;  // /proc/self/mounts
    std::vector<std::pair<std::string, DiskUsage>> usage;
    bool windows = false;
    std::map<std::string, std::string> env;
    bool fail_partitions = false;
    // expected primary disk
    std::string mount, device, fstype;
};

// Test names already say which case runs; print only the name, not the bytes.
void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

const std::string kFilesystems = "nodev\tsysfs\nnodev\ttmpfs\nnodev\tproc\n\text4\n\tvfat\n\txfs\n\tsquashfs\n\tNTFS\n";

class DiskTest : public ::testing::TestWithParam<DiskCase> {};

TEST_P(DiskTest, PrimaryDisk) {
    const DiskCase& c = GetParam();
    TempTree tree;
    write_machine(tree);
    tree.write("proc/filesystems", kFilesystems);
    tree.write("proc/self/mounts", c.mounts);
    auto platform = c.windows ? std::make_shared<WindowsStepsPlatform>(tree.root())
                              : std::make_shared<FixturePlatform>(tree.root());
    for (const auto& u : c.usage) platform->usage[u.first] = u.second;
    platform->environment = c.env;
    platform->fail_partitions = c.fail_partitions;
    EngineOptions o;
    o.app_dir = "/opt/vyr/program";
    o.start_folder_scan = false;
    Engine engine(platform, std::make_shared<ManualClock>(), o);
    const PrimaryDisk d = engine.resolve_primary_disk();
    EXPECT_EQ(d.mount, c.mount);
    EXPECT_EQ(d.device, c.device);
    EXPECT_EQ(d.fstype, c.fstype);
}

const std::string kRootMounts = "sysfs /sys sysfs rw 0 0\n/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /opt xfs rw 0 0\n";

INSTANTIATE_TEST_SUITE_P(
    Stages, DiskTest,
    ::testing::Values(
        DiskCase{"root accepted", kRootMounts, {{"/", make_usage(100 * GiB, 1)}}, false, {}, false, "/", "/dev/sda1",
                 "ext4"},
        DiskCase{"first of two mounts on the root",
                 "/dev/sda1 / ext4 rw 0 0\n/dev/sda9 / xfs rw 0 0\n", {{"/", make_usage(100 * GiB, 1)}}, false, {},
                 false, "/", "/dev/sda1", "ext4"},
        DiskCase{"nothing listed on the root", "/dev/sdb1 /opt xfs rw 0 0\nrootfs / rootfs rw 0 0\n",
                 {{"/", make_usage(100 * GiB, 1)}}, false, {}, false, "/", "/", "rootfs"},
        // a root of exactly 10 GiB, or one with nothing used, is not taken:
        // the engine folder decides, with the device and type of its mount
        DiskCase{"root of exactly 10 GiB", kRootMounts,
                 {{"/", make_usage(10 * GiB, 5 * GiB)}, {"/opt/vyr/program", make_usage(50 * GiB, 1)}}, false, {},
                 false, "/opt/vyr/program", "/dev/sdb1", "xfs"},
        DiskCase{"root without used space", kRootMounts,
                 {{"/", make_usage(100 * GiB, 0)}, {"/opt/vyr/program", make_usage(50 * GiB, 1)}}, false, {}, false,
                 "/opt/vyr/program", "/dev/sdb1", "xfs"},
        DiskCase{"partition list fails inside the root stage", kRootMounts,
                 {{"/", make_usage(100 * GiB, 1)}, {"/opt/vyr/program", make_usage(50 * GiB, 1)}}, false, {}, true,
                 "/opt/vyr/program", "", ""},
        DiskCase{"engine folder on the root mount", "/dev/sda1 / ext4 rw 0 0\n",
                 {{"/", make_usage(5 * GiB, 1)}, {"/opt/vyr/program", make_usage(5 * GiB, 1)}}, false, {}, false,
                 "/opt/vyr/program", "/dev/sda1", "ext4"},
        DiskCase{"last resort", kRootMounts, {{"/", make_usage(5 * GiB, 1)}}, false, {}, false, "/", "/", "ext4"},
        DiskCase{"windows system drive", "C:\\ C:\\ NTFS rw 0 0\n", {{"D:\\", make_usage(5 * GiB, 1)},
                                                                       {"C:\\", make_usage(50 * GiB, 1)}},
                 true, {}, false, "C:\\", "C:\\", "NTFS"},
        DiskCase{"windows drive from the environment", kRootMounts,
                 {{"D:\\", make_usage(5 * GiB, 1)}, {"/", make_usage(100 * GiB, 1)}}, true, {{"SystemDrive", "D:"}},
                 false, "D:\\", "D:\\", ""},
        DiskCase{"windows drive unreadable: the other stages follow", kRootMounts,
                 {{"/", make_usage(100 * GiB, 1)}}, true, {}, false, "/", "/dev/sda1", "ext4"}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(Partitions, ListedFilteredAndDeduplicated) {
    TempTree tree;
    write_machine(tree);
    tree.write("proc/filesystems", kFilesystems + "nodev\toverlay\n\tTMPFS\n");
    tree.write("proc/self/mounts",
               "/dev/sda1 / ext4 rw 0 0\n"
               "/dev/sda2 /boot vfat rw 0 0\n"          // one byte below the floor
               "/dev/sda3 /data xfs rw 0 0\n"           // exactly the floor: listed
               "/dev/sda3 /data2 xfs rw 0 0\n"          // the same device again
               "/dev/sdc1 /broken ext4 rw 0 0\n"        // usage fails: left out
               "/dev/loop1 /snap/core squashfs ro 0 0\n"  // skipped type
               "tmpfs /run tmpfs rw 0 0\n"              // not physical
               "/dev/sdd1 /upper TMPFS rw 0 0\n"        // the skip list is case-sensitive
               "/dev/sde1 /small ext4 rw 0 0\n"
               "/dev/sde1 /big\\040disk ext4 rw 0 0\n"   // small first, then listed at its next mount
               "/dev/sdf1 /unmeasured ext4 rw 0 0\n");
    auto platform = std::make_shared<FixturePlatform>(tree.root());
    platform->usage = {{"/", make_usage(100 * GiB, 30 * GiB)},      {"/boot", make_usage(500 * MiB - 1, 1)},
                       {"/data", make_usage(500 * MiB, 2 * MiB)},   {"/data2", make_usage(500 * MiB, 2 * MiB)},
                       {"/snap/core", make_usage(10 * GiB, 10 * GiB)}, {"/upper", make_usage(1 * GiB, 0)},
                       {"/small", make_usage(1 * MiB, 0)},           {"/big disk", make_usage(2 * GiB, 1 * GiB)}};
    platform->failing_usage = {"/broken"};
    EngineOptions o;
    o.start_folder_scan = false;
    Engine engine(platform, std::make_shared<ManualClock>(), o);
    const auto parts = engine.get_partitions();
    std::vector<std::string> mounts;
    for (const auto& p : parts) mounts.push_back(p.mountpoint);
    EXPECT_EQ(mounts, (std::vector<std::string>{"/", "/data", "/upper", "/big disk"}));
    ASSERT_FALSE(parts.empty());
    EXPECT_EQ(parts[0].device, "/dev/sda1");
    EXPECT_EQ(parts[0].fstype, "ext4");
    EXPECT_DOUBLE_EQ(parts[0].total_gb, 100.0);
    EXPECT_DOUBLE_EQ(parts[0].used_gb, 30.0);
    EXPECT_DOUBLE_EQ(parts[0].free_gb, 70.0);
    EXPECT_DOUBLE_EQ(parts[0].percent, 30.0);
}

TEST(Partitions, FallbackEntryWhenNothingIsListable) {
    struct Case {
        std::string mounts;
        std::vector<std::pair<std::string, DiskUsage>> usage;
        std::string mount, device, fstype;
    } cases[] = {
        // the primary disk is the root: its own mount point and real type
        {"/dev/sda1 / xfs rw 0 0\n", {{"/", make_usage(300 * MiB, 1)}}, "/", "/", "xfs"},
        // the primary disk is the engine folder: the label, the folder's mount
        {"/dev/sda1 / ext4 rw 0 0\n/dev/nvme0n1p3 /opt btrfs rw 0 0\n",
         {{"/", make_usage(300 * MiB, 0)}, {"/opt/vyr", make_usage(400 * MiB, 1)}, {"/opt", make_usage(400 * MiB, 1)}},
         "/ (Ana Disk)", "/dev/nvme0n1p3", "btrfs"},
    };
    for (const auto& c : cases) {
        TempTree tree;
        write_machine(tree);
        tree.write("proc/filesystems", kFilesystems + "\tbtrfs\n");
        tree.write("proc/self/mounts", c.mounts);
        auto platform = std::make_shared<FixturePlatform>(tree.root());
        for (const auto& u : c.usage) platform->usage[u.first] = u.second;
        EngineOptions o;
        o.app_dir = "/opt/vyr";
        o.start_folder_scan = false;
        Engine engine(platform, std::make_shared<ManualClock>(), o);
        const auto parts = engine.get_partitions();
        ASSERT_EQ(parts.size(), 1u) << c.mounts;
        EXPECT_EQ(parts[0].mountpoint, c.mount);
        EXPECT_EQ(parts[0].device, c.device);
        EXPECT_EQ(parts[0].fstype, c.fstype);
    }
}

TEST(Partitions, RootFailureEndsTheSnapshot) {
    TempTree tree;
    write_machine(tree);
    auto platform = std::make_shared<FixturePlatform>(tree.root());  // no usage for "/" at all
    EngineOptions o;
    o.start_folder_scan = false;
    Engine engine(platform, std::make_shared<ManualClock>(), o);
    EXPECT_THROW(engine.get_system_snapshot(), SystemError);
}

}  // namespace
}  // namespace vyr::engine::testing
