// The readers of one process's files scan each file once and take shortcuts
// for the kernel's usual text; they must give what reading line by line, as
// the runtime reads text files, gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "engine_internal.hpp"
#include "linux/proc_text.hpp"
#include "pymath.hpp"

namespace vyr::engine {
namespace {

TEST(ProcessFiles, StatusInOneScanAsLineByLine) {
    struct Case {
        const char* name;
        std::string status;
        long long uid, rss_kb;
        double swap_mb;
    } cases[] = {
        {"the kernel's layout", "Name:\tbash\nUid:\t1000\t1000\t1000\t1000\nVmRSS:\t  2048 kB\nRssAnon:\t1 kB\n"
                                "VmSwap:\t     512 kB\nThreads:\t1\n", 1000, 2048, 0.5},
        {"a kernel thread has neither line", "Name:\tkworker/0:1\nUid:\t0\t0\t0\t0\nThreads:\t1\n", 0, 0, 0.0},
        {"the memory line after the swap line", "VmSwap:\t1024 kB\nVmRSS:\t8 kB\n", -1, 8, 1.0},
        {"the first of two lines counts", "VmRSS:\t1 kB\nVmRSS:\t2 kB\nVmSwap:\t2048 kB\nVmSwap:\t4096 kB\n", -1, 1,
         2.0},
        {"a line that only looks alike", "VmRSSx\nXVmSwap:\t9 kB\nVmSwap:\t1024 kB\n", -1, 0, 1.0},
        {"carriage returns end lines", "VmRSS:\t4 kB\rVmSwap:\t2048 kB\r\n", -1, 4, 2.0},
        {"a carriage return inside the swap line", "VmSwap:\t10\r24 kB\n", -1, 0, 10.0 / 1024},
        {"text before the swap line", "Name:\tcaf\xc3\xa9\nVmRSS:\t3 kB\nVmSwap:\t\xd9\xa1\xd9\xa0 kB\n", -1, 3,
         10.0 / 1024},  // Arabic-Indic digits: int() reads them
        {"undecodable bytes before the swap line", "Name:\t\xff\n\xfeVmSwap:\t2048 kB\n", -1, 0, 2.0},
        {"undecodable bytes only after it", "VmSwap:\t1024 kB\nName:\t\xff\n\xfeVmSwap:\t2048 kB\n", -1, 0, 1.0},
        {"no final line feed", "VmRSS:\t5 kB\nVmSwap:\t1024", -1, 5, 1.0},
        {"a bad figure", "VmRSS:\tlots kB\nVmSwap:\t1x kB\n", -1, 0, 0.0},
        {"nothing", "", -1, 0, 0.0},
    };
    for (const auto& c : cases) {
        const StatusFigures s = parse_status(c.status);
        EXPECT_EQ(s.uid.value_or(-1), c.uid) << c.name;
        EXPECT_EQ(s.rss, c.rss_kb * 1024) << c.name;
        EXPECT_DOUBLE_EQ(s.swap_mb, c.swap_mb) << c.name;
        // The same as the readers one by one.
        EXPECT_EQ(s.rss, status_rss(c.status)) << c.name;
        EXPECT_EQ(s.swap_mb, parse_status_swap(c.status)) << c.name;
    }
}

TEST(ProcessFiles, StatLine) {
    const std::string tail = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    struct Case {
        const char* name;
        std::string line;
        bool readable;
        std::string comm;
        char state;
        bool kernel_thread;
        double utime, stime;
        unsigned long long start;
    } cases[] = {
        {"a process", "42 (bash) S 1 42 42 0 -1 4194560 100 0 0 0 15 7 0 0 20 0 1 0 4121" + tail, true, "bash", 'S',
         false, 15, 7, 4121},
        {"a kernel thread", "2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 3 0 0 20 0 1 0 9" + tail, true,
         "kthreadd", 'S', true, 0, 3, 9},
        {"parentheses and blanks in the name", "7 (a) (b c) R 1 7 7 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 5" + tail, true,
         "a) (b c", 'R', false, 1, 2, 5},
        {"tabs and runs of blanks between fields",
         "7 (x) T\t1  7 7 0 -1 0 0 0 0 0 1\t\t2 0 0 20 0 1 0 5" + tail, true, "x", 'T', false, 1, 2, 5},
        {"a state of two letters", "7 (x) Zz 1 7 7 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 5" + tail, true, "x", '\0',
         false, 1, 2, 5},
        {"too few fields", "7 (x) S 1 7 7 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0\n", false, "", 0, false, 0, 0, 0},
        {"a time that is not a number", "7 (x) S 1 7 7 0 -1 0 0 0 0 0 1 b 0 0 20 0 1 0 5" + tail, false, "", 0,
         false, 0, 0, 0},
        {"no name", "7 x S 1 7 7 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 5" + tail, false, "", 0, false, 0, 0, 0},
        {"a closing parenthesis first", "7 )x( S 1 7 7 0 -1 0 0 0 0 0 1 2 0 0 20 0 1 0 5" + tail, false, "", 0,
         false, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const auto f = parse_stat(c.line);
        ASSERT_EQ(f.has_value(), c.readable) << c.name;
        if (!f) continue;
        EXPECT_EQ(f->comm, c.comm) << c.name;
        EXPECT_EQ(f->state, c.state) << c.name;
        EXPECT_EQ(f->kernel_thread, c.kernel_thread) << c.name;
        EXPECT_EQ(f->utime, c.utime) << c.name;
        EXPECT_EQ(f->stime, c.stime) << c.name;
        EXPECT_EQ(f->start, c.start) << c.name;
    }
}

TEST(ProcessFiles, LaterMeminfoLinesStandForEarlierOnes) {
    const proc_text::MemInfo mems = proc_text::parse_meminfo("MemTotal: 1 kB\nMemFree: 2 kB\nMemTotal: 3 kB\n");
    ASSERT_NE(mems.find("MemTotal:"), mems.end());
    EXPECT_EQ(mems.find("MemTotal:")->second, 3072);
    EXPECT_EQ(mems.find("MemFree:")->second, 2048);
    EXPECT_EQ(mems.count("MemAvailable:"), 0u);
}

// round(x, 1) without text gives the text's double, bit for bit.
TEST(ProcessFiles, RoundingToTenthsAsTheRuntime) {
    const double cases[] = {0.0,  -0.0, 0.04, -0.04, 0.05, 0.15, 0.25, 0.35, 2.675, 1.45, -1.45,
                            99.95, 12.3456, 1e14, 1e15, 123456789012.349, 5e-324, -2.5e-5};
    auto same = [](double x) {
        const double quick = py::round(x, 1), text = py::round_by_text(x, 1);
        return std::memcmp(&quick, &text, sizeof quick) == 0;
    };
    for (const double x : cases) EXPECT_TRUE(same(x)) << x;
    // Shares as the list computes them: processor seconds over elapsed time.
    std::mt19937_64 rng(12345);
    std::uniform_int_distribution<int> ticks(0, 100000);
    std::uniform_real_distribution<double> elapsed(0.05, 20.0);
    for (int i = 0; i < 200000; ++i) {
        const double share = ((ticks(rng) / 100.0) / (elapsed(rng) * 8)) * 100 * 8;
        ASSERT_TRUE(same(share)) << share;
    }
}

// The command line as the runtime's text-mode read of the file splits it:
// "\r\n" and a lone "\r" are line feeds before the split.
TEST(ProcessFiles, CommandLineAsReadInTextMode) {
    using Args = std::vector<std::string>;
    const struct Case {
        const char* name;
        std::string data;
        Args args;
    } cases[] = {
        {"arguments ending in NUL", std::string("sleep\0" "60\0", 9), {"sleep", "60"}},
        {"a carriage return inside an argument", std::string("sh\0a\rb\0", 7), {"sh", "a\nb"}},
        {"a carriage return and line feed", std::string("sh\0a\r\nb\0", 8), {"sh", "a\nb"}},
        {"two carriage returns before a line feed", std::string("a\r\r\nb\0", 6), {"a\n\nb"}},
        {"an argument that is a carriage return", std::string("\r\0", 2), {"\n"}},
        {"a final carriage return keeps the NUL", std::string("x\0y\r", 4), {std::string("x\0y\n", 4)}},
        {"a rewritten line split at blanks", "nginx: worker\r process", {"nginx:", "worker\n", "process"}},
        {"one argument with blanks", std::string("a b\r\0", 5), {"a", "b\n"}},
        {"nothing", "", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_cmdline(c.data), c.args) << c.name;
}

}  // namespace
}  // namespace vyr::engine
