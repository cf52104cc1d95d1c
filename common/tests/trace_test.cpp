#include "vyr/trace.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

struct RuleCase {
    const char* rules;
    const char* category;
    bool on;
};

TEST(Trace, LoggingRulesTurnCategoriesOn) {
    const RuleCase cases[] = {
        {"", "vyr.engine", false},
        {"vyr.*=true", "vyr.engine", true},
        {"vyr.*=true", "vyr.app", true},
        {"vyr.engine=true", "vyr.app", false},
        {"vyr.engine.warning=true", "vyr.engine", true},
        {"vyr.engine.debug=true", "vyr.engine", false},
        {"vyr.*=true;vyr.guard=false", "vyr.guard", false},
        {"vyr.guard=false\nvyr.*=true", "vyr.guard", true},
        {" vyr.app = true ", "vyr.app", true},
        {"*=true", "vyr.launcher", true},
        {"*.engine=true", "vyr.engine", true},
        {"*engine*=true", "vyr.engine", true},
        {"vyr.*=yes", "vyr.engine", false},
        {"qt.*=true", "vyr.engine", false},
        {"vyr.*", "vyr.engine", false},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(vyr::trace::rules_enable(c.rules, c.category), c.on) << c.rules << " / " << c.category;
    }
}

class TraceReports : public ::testing::Test {
protected:
    void SetUp() override {
        vyr::trace::Hooks hooks;
        hooks.rules = "vyr.engine=true";
        hooks.sink = [this](const std::string& line) { lines.push_back(line); };
        hooks.clock = [this] { return now; };
        vyr::trace::set_hooks_for_test(std::move(hooks));
    }
    void TearDown() override { vyr::trace::reset_for_test(); }

    std::vector<std::string> lines;
    std::chrono::steady_clock::time_point now{};
};

TEST_F(TraceReports, RepeatedFailuresAreHeldBackAndCounted) {
    vyr::trace::report("vyr.engine", "read /proc/meminfo", "No such file or directory (errno 2)");
    for (int i = 0; i < 5; ++i) {
        now += std::chrono::seconds(1);
        vyr::trace::report("vyr.engine", "read /proc/meminfo", "No such file or directory (errno 2)");
    }
    // Another stage is its own report.
    vyr::trace::report("vyr.engine", "read /proc/vmstat", "Permission denied (errno 13)");
    // A category that is off writes nothing.
    vyr::trace::report("vyr.app", "snapshot", "ValueError: x");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "vyr.engine: read /proc/meminfo: No such file or directory (errno 2)");
    EXPECT_EQ(lines[1], "vyr.engine: read /proc/vmstat: Permission denied (errno 13)");

    now += std::chrono::seconds(60);
    vyr::trace::report("vyr.engine", "read /proc/meminfo", "No such file or directory (errno 2)");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "vyr.engine: read /proc/meminfo: No such file or directory (errno 2)"
                        " (and 5 more times since the last report)");
}

TEST(Trace, ErrnoCauseNamesTheError) {
    EXPECT_EQ(vyr::trace::errno_cause(2), "No such file or directory (errno 2)");
}

}  // namespace
