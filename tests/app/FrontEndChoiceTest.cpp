// Which front end the process entry starts, from the environment and the terminal's state.
#include "app/FrontEndChoice.h"

#include <gtest/gtest.h>

#include <ostream>

#include <map>

namespace {

struct Case {
    const char* name;
    std::map<std::string, std::string> env;
    bool windowBuilt;
    bool terminal; // terminal front end usable
    FrontEndKind expected;
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
    env.windowBuilt = c.windowBuilt;
    env.terminalAvailable = [&c](std::string* why) {
        if (!c.terminal && why != nullptr) {
            *why = "TERM is \"dumb\"";
        }
        return c.terminal;
    };
    std::string why;
    EXPECT_EQ(ChooseFrontEnd(env, &why), c.expected);
    if (c.expected == FrontEndKind::None) {
        EXPECT_NE(why.find("no usable terminal (TERM is \"dumb\")"), std::string::npos) << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environments, FrontEndChoiceTest,
    ::testing::Values(Case{"X11", {{"DISPLAY", ":0"}}, true, true, FrontEndKind::Window},
                      Case{"Wayland", {{"WAYLAND_DISPLAY", "wayland-0"}}, true, false, FrontEndKind::Window},
                      Case{"NamedQtPlatform", {{"QT_QPA_PLATFORM", "offscreen"}}, true, false, FrontEndKind::Window},
                      Case{"EmptyDisplayIsNone", {{"DISPLAY", ""}}, true, true, FrontEndKind::Terminal},
                      Case{"SshTerminal", {{"TERM", "xterm"}}, true, true, FrontEndKind::Terminal},
                      Case{"DisplayButNoWindowBuild", {{"DISPLAY", ":0"}}, false, true, FrontEndKind::Terminal},
                      Case{"Nothing", {}, true, false, FrontEndKind::None},
                      Case{"DisplayNoWindowBuildNoTerminal", {{"DISPLAY", ":0"}}, false, false, FrontEndKind::None}),
    [](const auto& info) { return std::string(info.param.name); });

// A build without the terminal front end says so.
TEST(FrontEndChoice, WithoutTerminalFrontEndTheReasonSaysSo) {
    FrontEndEnvironment env;
    env.getEnv = [](const char*) -> const char* { return nullptr; };
    std::string why;
    EXPECT_EQ(ChooseFrontEnd(env, &why), FrontEndKind::None);
    EXPECT_NE(why.find("this build has no terminal front end"), std::string::npos) << why;
}

} // namespace
