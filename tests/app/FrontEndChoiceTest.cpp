// Which front end the process entry starts, from the environment and the terminal's state.
#include "app/FrontEndChoice.h"

#include <gtest/gtest.h>

#include <ostream>

#include <map>

namespace {

struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    bool windowOpens; // the window module loads and its display answers
    bool terminal;    // terminal front end usable
    FrontEndKind expected;
    const char* why; // expected in the line for the operator; "" when there must be none
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const Case& row, std::ostream* out) {
    *out << row.name;
}

class FrontEndChoiceTest : public ::testing::TestWithParam<Case> {};

TEST_P(FrontEndChoiceTest, Chooses) {
    const Case& c = GetParam();
    FrontEndEnvironment env;
    env.getEnv = [&c](const char* name) -> const char* {
        auto it = c.env.find(name);
        return it == c.env.end() ? nullptr : it->second.c_str();
    };
    int windowTries = 0;
    env.openWindow = [&c, &windowTries](std::string* why) {
        ++windowTries;
        if (!c.windowOpens) {
            *why = "cannot open display \":99\"";
        }
        return c.windowOpens;
    };
    env.terminalAvailable = [&c](std::string* why) {
        if (!c.terminal && why != nullptr) {
            *why = "TERM is \"dumb\"";
        }
        return c.terminal;
    };
    std::string why;
    EXPECT_EQ(ChooseFrontEnd(env, &why), c.expected);
    if (*c.why == '\0') {
        EXPECT_EQ(why, "");
    } else {
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    EXPECT_EQ(why.find('\n'), std::string::npos);
    // The window (and Qt with it) is only loaded where a display is set.
    const bool display = !c.env.empty() && !c.env.begin()->second.empty() && c.env.begin()->first != "TERM";
    EXPECT_EQ(windowTries, display ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, FrontEndChoiceTest,
    ::testing::Values(Case{"X11", {{"DISPLAY", ":0"}}, true, true, FrontEndKind::Window, ""},
                      Case{"Wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}, true, false, FrontEndKind::Window, ""},
                      Case{
                          "NamedQtPlatform", {{"QT_QPA_PLATFORM", "offscreen"}}, true, false, FrontEndKind::Window, ""},
                      Case{"EmptyDisplayIsNone", {{"DISPLAY", ""}}, true, true, FrontEndKind::Terminal, ""},
                      Case{"SshTerminal", {{"TERM", "xterm"}}, true, true, FrontEndKind::Terminal, ""},
                      Case{"StaleDisplayFallsBackToTerminal",
                           {{"DISPLAY", ":99"}},
                           false,
                           true,
                           FrontEndKind::Terminal,
                           "cannot open display \":99\"; showing the dialog in the terminal"},
                      Case{"Nothing",
                           {},
                           true,
                           false,
                           FrontEndKind::None,
                           "no display (DISPLAY/WAYLAND_DISPLAY unset) and no "
                           "usable terminal (TERM is \"dumb\")"},
                      Case{"StaleDisplayNoTerminal",
                           {{"DISPLAY", ":99"}},
                           false,
                           false,
                           FrontEndKind::None,
                           "cannot open display \":99\" and no usable terminal (TERM is \"dumb\")"}),
    [](const auto& info) { return std::string(info.param.name); });

// A build without the window says so when a display is set, and a build without the terminal front end says so.
TEST(FrontEndChoice, WithoutTerminalFrontEndTheReasonSaysSo) {
    FrontEndEnvironment env;
    env.getEnv = [](const char* name) -> const char* { return std::string(name) == "DISPLAY" ? ":0" : nullptr; };
    std::string why;
    EXPECT_EQ(ChooseFrontEnd(env, &why), FrontEndKind::None);
    EXPECT_NE(why.find("this build has no window front end and no usable terminal (this build has no terminal "
                       "front end)"),
              std::string::npos)
        << why;
}

} // namespace
