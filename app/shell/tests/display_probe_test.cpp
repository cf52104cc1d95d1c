#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "vyr/shell/display_probe.hpp"

using vyr::shell::configure_display_platform;
using vyr::shell::display_candidates;

namespace {

struct FakeEnv : vyr::shell::Environment {
    std::map<std::string, std::string> vars;
    bool fail_get = false;
    bool contains(const std::string& n) override { return vars.count(n) != 0; }
    std::optional<std::string> get(const std::string& n) override {
        if (fail_get) throw vyr::shell::EnvironmentError("cannot encode");
        auto it = vars.find(n);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    }
    void set(const std::string& n, const std::string& v) override { vars[n] = v; }
};

struct FakeOpener : vyr::shell::DisplayOpener {
    bool loadable = true;
    std::vector<std::string> opens;  // names that open
    std::vector<std::string> tried;
    std::vector<std::string> wayland_opens;  // compositor sockets that answer
    std::vector<std::string> wayland_tried;
    int loads = 0;
    bool load() override {
        ++loads;
        return loadable;
    }
    bool try_open(const std::string& n) override {
        tried.push_back(n);
        for (auto& o : opens)
            if (o == n) return true;
        return false;
    }
    bool try_open_wayland(const std::string& path) override {
        wayland_tried.push_back(path);
        for (auto& o : wayland_opens)
            if (o == path) return true;
        return false;
    }
};

}  // namespace

TEST(DisplayProbe, CandidateLists) {
    using V = std::vector<std::string>;
    struct Case {
        std::optional<std::string> display;
        V expected;
    } cases[] = {
        {std::nullopt, {":0", ":1", ":2"}},
        {std::string(""), {":0", ":1", ":2"}},
        {std::string(":0"), {":0", ":1", ":2"}},
        {std::string(":1"), {":1", ":0", ":2"}},
        {std::string(":2"), {":2", ":0", ":1"}},
        {std::string("remote:7.0"), {"remote:7.0", ":0", ":1", ":2"}},
        {std::string(":0.0"), {":0.0", ":0", ":1", ":2"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(display_candidates(c.display), c.expected) << c.display.value_or("<unset>");
    }
}

TEST(DisplayProbe, ChoosesTheFirstDisplayThatOpens) {
    struct Case {
        const char* name;
        std::optional<std::string> display;
        std::vector<std::string> opens;
        std::vector<std::string> expect_tried;
        std::optional<std::string> expect_display;
        bool expect_xcb;
    } cases[] = {
        {"own display opens", ":1", {":1", ":0"}, {":1"}, ":1", true},
        {"other display fails, :0 opens", "far:9", {":0"}, {"far:9", ":0"}, ":0", true},
        {"nothing opens", std::nullopt, {}, {":0", ":1", ":2"}, std::nullopt, false},
        {"only :2 opens", std::nullopt, {":2"}, {":0", ":1", ":2"}, ":2", true},
    };
    for (const auto& c : cases) {
        FakeEnv env;
        if (c.display) env.vars["DISPLAY"] = *c.display;
        FakeOpener opener;
        opener.opens = c.opens;
        configure_display_platform(env, opener, false);
        EXPECT_EQ(opener.tried, c.expect_tried) << c.name;
        EXPECT_EQ(env.get("DISPLAY"), c.expect_display) << c.name;
        EXPECT_EQ(env.contains("QT_QPA_PLATFORM"), c.expect_xcb) << c.name;
        if (c.expect_xcb) {
            EXPECT_EQ(env.vars["QT_QPA_PLATFORM"], "xcb") << c.name;
        }
    }
}

TEST(DisplayProbe, LeavesTheEnvironmentAloneWhenItShould) {
    struct Case {
        const char* name;
        bool windows;
        std::optional<std::string> platform;
        bool loadable;
        bool fail_get;
    } cases[] = {
        {"windows", true, std::nullopt, true, false},
        {"platform wayland chosen", false, std::string("wayland"), true, false},
        {"platform present but empty", false, std::string(""), true, false},
        {"library missing", false, std::nullopt, false, false},
        {"display value unreadable", false, std::nullopt, true, true},
    };
    for (const auto& c : cases) {
        FakeEnv env;
        env.vars["DISPLAY"] = ":5";
        if (c.platform) env.vars["QT_QPA_PLATFORM"] = *c.platform;
        const auto before = env.vars;
        env.fail_get = c.fail_get;
        FakeOpener opener;
        opener.loadable = c.loadable;
        opener.opens = {":5", ":0"};
        configure_display_platform(env, opener, c.windows);
        EXPECT_EQ(env.vars, before) << c.name;
        EXPECT_TRUE(opener.tried.empty()) << c.name;
        EXPECT_TRUE(opener.wayland_tried.empty()) << c.name;
        if (c.windows || c.platform) {
            EXPECT_EQ(opener.loads, 0) << c.name;
        }
    }
}

TEST(DisplayProbe, WaylandWhenNoXDisplayOpens) {
    using M = std::map<std::string, std::string>;
    using V = std::vector<std::string>;
    const std::string sock = "/run/user/1000/wayland-1";
    struct Case {
        const char* name;
        M vars;
        bool x_loadable;
        V x_opens;
        V wayland_opens;
        V expect_wayland_tried;
        std::optional<std::string> expect_platform;
    } cases[] = {
        {"compositor only", {{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
         true, {}, {sock}, {sock}, "wayland"},
        {"X11 library missing", {{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}},
         false, {}, {sock}, {sock}, "wayland"},
        {"socket named by its path", {{"WAYLAND_DISPLAY", "/srv/w/sock"}}, true, {}, {"/srv/w/sock"},
         {"/srv/w/sock"}, "wayland"},
        {"X layer of the compositor first",
         {{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}, {"DISPLAY", ":0"}},
         true, {":0"}, {sock}, {}, "xcb"},
        {"compositor does not answer",
         {{"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", "/run/user/1000"}}, true, {}, {}, {sock},
         std::nullopt},
        {"empty WAYLAND_DISPLAY", {{"WAYLAND_DISPLAY", ""}, {"XDG_RUNTIME_DIR", "/run/user/1000"}}, true,
         {}, {sock}, {}, std::nullopt},
        {"name without a runtime folder", {{"WAYLAND_DISPLAY", "wayland-1"}}, true, {}, {sock}, {},
         std::nullopt},
        {"no Wayland display", {{"XDG_RUNTIME_DIR", "/run/user/1000"}}, true, {}, {sock}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        FakeEnv env;
        env.vars = c.vars;
        FakeOpener opener;
        opener.loadable = c.x_loadable;
        opener.opens = c.x_opens;
        opener.wayland_opens = c.wayland_opens;
        // Nothing found means Qt could not start at all.
        EXPECT_EQ(configure_display_platform(env, opener, false),
                  c.expect_platform ? vyr::shell::DisplayProbe::Chosen : vyr::shell::DisplayProbe::NoDisplay)
            << c.name;
        EXPECT_EQ(opener.wayland_tried, c.expect_wayland_tried) << c.name;
        EXPECT_EQ(env.get("QT_QPA_PLATFORM"), c.expect_platform) << c.name;
        EXPECT_EQ(env.get("DISPLAY"), c.vars.count("DISPLAY") ? std::optional(c.vars.at("DISPLAY"))
                                                               : std::nullopt)
            << c.name;
    }
}

TEST(DisplayProbe, WithoutAnyDisplayTheMessageNamesBothVariables) {
    EXPECT_EQ(vyr::shell::no_display_message(std::nullopt, std::nullopt),
              "Ekran bulunamadı: hiçbir X sunucusu yanıt vermedi (DISPLAY: tanımsız; denenen: :0, :1, :2) "
              "ve hiçbir Wayland oturumu yanıt vermedi (WAYLAND_DISPLAY: tanımsız). Vyr Ruvivu Zizodiro "
              "bir masaüstü oturumunda (X11 ya da Wayland) başlatılmalıdır.");
    const std::string given = vyr::shell::no_display_message(std::string(":7"), std::string("wayland-1"));
    EXPECT_NE(given.find("(DISPLAY: \":7\"; denenen: :7, :0, :1, :2)"), std::string::npos) << given;
    EXPECT_NE(given.find("(WAYLAND_DISPLAY: \"wayland-1\")"), std::string::npos) << given;
    // A platform chosen already, or Windows: nothing is asked, nothing is missing.
    FakeEnv env;
    FakeOpener opener;
    EXPECT_EQ(configure_display_platform(env, opener, true), vyr::shell::DisplayProbe::Left);
    env.vars["QT_QPA_PLATFORM"] = "offscreen";
    EXPECT_EQ(configure_display_platform(env, opener, false), vyr::shell::DisplayProbe::Left);
}

TEST(DisplayProbe, SystemOpenerAnswersOnlyWhereACompositorListens) {
    auto* opener = vyr::shell::system_display_opener();
    ASSERT_NE(opener, nullptr);
    char folder[] = "/tmp/vyr_wayland_probe_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/wayland-9";
    EXPECT_FALSE(opener->try_open_wayland(path));

    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    EXPECT_TRUE(opener->try_open_wayland(path));
    close(listener);  // the socket file stays, but nobody answers
    EXPECT_FALSE(opener->try_open_wayland(path));
    unlink(path.c_str());
    rmdir(folder);
}

TEST(DisplayProbe, SystemLibraryFailsQuietlyOnAMissingDisplay) {
    // The real library (when installed) must answer a display that cannot
    // exist with "no" rather than an error.
    auto* opener = vyr::shell::system_display_opener();
    ASSERT_NE(opener, nullptr);
    if (!opener->load()) GTEST_SKIP() << "libX11.so.6 is not installed";
    EXPECT_FALSE(opener->try_open(":987654"));
}
