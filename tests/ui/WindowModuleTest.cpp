// The window module through its loader, as the program uses it: this test links no Qt. A module that is missing,
// is not a module, or whose display cannot be opened gives nullptr and one line; an offscreen display gives a
// front end whose windows hold template 102.
#include "platform/ui/WindowModule.h"
#include "res/DialogTemplate.h"
#include "res/Resource.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace {

const std::string kModule = ENLISTOR_WINDOW_MODULE;

class WindowModule : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "QT_QPA_PLATFORM"}) {
            ::unsetenv(name);
        }
    }
    std::unique_ptr<WindowModuleSession> Open(const std::string& path, std::string* why) {
        return OpenWindowModule(path, argc_, argv_, why);
    }

    char name_[9] = "enlistor";
    char* argv_[2] = {name_, nullptr};
    int argc_ = 1;
};

struct FailureCase {
    const char* name;
    const char* display;  // DISPLAY, or nullptr
    const char* platform; // QT_QPA_PLATFORM, or nullptr
    bool notAModule;      // load a text file instead of the module
    const char* why;
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const FailureCase& row, std::ostream* out) {
    *out << row.name;
}

class WindowModuleFailure : public WindowModule, public ::testing::WithParamInterface<FailureCase> {};

// Each failure leaves this process running and says why in one line.
TEST_P(WindowModuleFailure, GivesNoSessionAndOneLine) {
    const FailureCase& c = GetParam();
    if (c.display != nullptr) {
        ::setenv("DISPLAY", c.display, 1);
    }
    if (c.platform != nullptr) {
        ::setenv("QT_QPA_PLATFORM", c.platform, 1);
    }
    std::string path = kModule;
    if (c.notAModule) {
        path = std::string(ENLISTOR_BINARY_DIR) + "/not-a-module.so";
        std::ofstream(path) << "text\n";
    }
    std::string why = "marker";
    EXPECT_EQ(Open(path, &why), nullptr);
    EXPECT_THAT(why, ::testing::HasSubstr(c.why));
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WindowModuleFailure,
    ::testing::Values(FailureCase{"StaleX11Display", ":99", nullptr, false, "cannot open display \":99\""},
                      FailureCase{"XcbNamedWithoutDisplay", nullptr, "xcb", false, "DISPLAY is not set"},
                      FailureCase{"StaleDisplayInAPlatformList", ":99", "xcb;xcb", false, "cannot open display"},
                      FailureCase{"NotAModule", ":99", nullptr, true, "the window cannot be loaded ("}),
    [](const auto& info) { return std::string(info.param.name); });

// A module that is not installed is named with the package that brings it.
TEST_F(WindowModule, MissingModuleNamesThePackage) {
    std::string why;
    EXPECT_EQ(Open("/nonexistent/lib/enlistor/window/enlistor-window.so", &why), nullptr);
    EXPECT_EQ(why, "the window is not installed (/nonexistent/lib/enlistor/window/enlistor-window.so: No such file or "
                   "directory; the package enlistor-gui provides it)");
}

// On a display that answers (offscreen), the module's front end creates windows of template 102 whose fields keep
// the bytes they are given.
TEST_F(WindowModule, OffscreenGivesAFrontEndForTemplate102) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string why;
    std::unique_ptr<WindowModuleSession> session = Open(kModule, &why);
    ASSERT_NE(session, nullptr) << why;
    const DialogTemplate* tmpl = FindDialogTemplate(IDD_ENLISTORUTILITY_DIALOG);
    ASSERT_NE(tmpl, nullptr);
    std::unique_ptr<IDialogWindow> window = session->FrontEnd().CreateDialogWindow(*tmpl);
    ASSERT_NE(window, nullptr);
    window->SetItemText(IDC_DATABASE_SERVER, "caf\xE9");
    EXPECT_EQ(window->GetItemText(IDC_DATABASE_SERVER), "caf\xE9");
}

} // namespace
