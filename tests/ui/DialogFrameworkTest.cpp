// The dialog framework over a scripted window: modal runs, data exchange, busy commands, failures.
#include "platform/ui/Dialog.h"
#include "platform/ui/DialogUnits.h"
#include "tests/ui/ScriptedWindow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace enlistor::test;
using ::testing::ElementsAre;

namespace {

class TwoFieldDialog : public CDialog {
public:
    TwoFieldDialog() : CDialog(102) {}
    CString first = "one";
    CString second = "two";
    std::function<void(TwoFieldDialog&)> onInit;
    std::function<void(TwoFieldDialog&)> onButton;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Text(pDX, 1000, first);
        DDX_Text(pDX, 1004, second);
    }
    BOOL OnInitDialog() override {
        if (onInit) {
            onInit(*this);
        }
        return TRUE;
    }
    bool OnCommand(int id) override {
        if (id == 1005 && onButton) {
            onButton(*this);
            return true;
        }
        return CDialog::OnCommand(id);
    }
};

class Framework : public ::testing::Test {
protected:
    std::vector<std::string> log;
    ScriptedFrontEnd frontEnd{log};
    FrontEndScope scope{&frontEnd};
};

// UpdateData walks the bindings in order, in both directions, and needs a window.
TEST_F(Framework, UpdateDataFollowsTheBindingsInBothDirections) {
    TwoFieldDialog dlg;
    EXPECT_FALSE(dlg.UpdateData(TRUE));
    dlg.onInit = [](TwoFieldDialog& d) {
        EXPECT_TRUE(d.UpdateData(FALSE));
        d.GetDialogWindow()->SetItemText(1000, "edited");
        EXPECT_TRUE(d.UpdateData(TRUE));
    };
    frontEnd.script = {PressEsc()};
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_THAT(log, ElementsAre("window 102", "create", "set 1000=one", "set 1004=two", "set 1000=edited", "get 1000",
                                 "get 1004", "show", "busy", "end 2", "idle"));
    EXPECT_EQ(dlg.first, "edited");
    EXPECT_EQ(dlg.GetDialogWindow(), nullptr);
}

// EndDialog from OnInitDialog ends the run before the window is shown.
TEST_F(Framework, EndDialogDuringInitialisationNeverShows) {
    TwoFieldDialog dlg;
    dlg.onInit = [](TwoFieldDialog& d) { d.EndDialog(7); };
    EXPECT_EQ(dlg.DoModal(), 7);
    EXPECT_EQ(std::count(log.begin(), log.end(), "show"), 0);
}

// A message box shown by a command lifts the busy state for its duration only.
TEST_F(Framework, MessageBoxLiftsBusyWhileShown) {
    TwoFieldDialog dlg;
    dlg.onButton = [](TwoFieldDialog& d) { EXPECT_EQ(d.MessageBox("text", "caption"), IDOK); };
    frontEnd.script = {Click(1005), PressEsc()};
    dlg.DoModal();
    EXPECT_THAT(std::vector<std::string>(log.begin() + 3, log.begin() + 8),
                ElementsAre("busy", "idle", "box [caption] text type 0", "busy", "idle"));
    EXPECT_EQ(dlg.MessageBox("no window", "x"), 0);
}

// A handler's exception ends the modal run and reaches DoModal's caller once the window is gone.
TEST_F(Framework, HandlerExceptionEndsRunAndIsRethrown) {
    TwoFieldDialog dlg;
    dlg.onButton = [](TwoFieldDialog&) { throw std::runtime_error("handler failed"); };
    frontEnd.script = {Click(1005), Click(1005)};
    EXPECT_THROW(dlg.DoModal(), std::runtime_error);
    // The busy state is lifted as the handler unwinds; the second click is never delivered.
    EXPECT_THAT(std::vector<std::string>(log.end() - 3, log.end()), ElementsAre("busy", "idle", "end -1"));
    EXPECT_EQ(dlg.GetDialogWindow(), nullptr);
}

class RefusingFrontEnd final : public IFrontEnd {
public:
    std::unique_ptr<IDialogWindow> CreateDialogWindow(const DialogTemplate&) override {
        throw std::runtime_error("no terminal");
    }
};

class PlainApp final : public CWinApp {};

// Without a front end, with an unknown template, or when the front end refuses, DoModal returns -1, says why on
// standard error, and the application's exit status becomes 1.
TEST_F(Framework, DoModalFailuresReturnMinusOne) {
    PlainApp app;
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_EQ(app.ExitInstance(), 0);
    {
        FrontEndScope none(nullptr);
        TwoFieldDialog dlg;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(dlg.DoModal(), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "enlistor: cannot open the dialog: no front end to show it with\n");
    }
    {
        RefusingFrontEnd refusing;
        FrontEndScope scope2(&refusing);
        TwoFieldDialog dlg;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(dlg.DoModal(), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "enlistor: cannot open the dialog: no terminal\n");
    }
    class Unknown : public CDialog {
    public:
        Unknown() : CDialog(999) {}
    } unknown;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(unknown.DoModal(), -1);
    (void)::testing::internal::GetCapturedStderr();
    EXPECT_EQ(app.ExitInstance(), 1);
    EXPECT_EQ(frontEnd.created, 0);
}

// The framework's process entry: InitInstance false ends with ExitInstance's status; true goes on with Run.
TEST(ProcessEntry, AfxWinMainFollowsInitInstance) {
    struct App final : CWinApp {
        BOOL result = FALSE;
        int runs = 0;
        BOOL InitInstance() override { return result; }
        int Run() override {
            ++runs;
            return 5;
        }
    } app;
    EXPECT_EQ(AfxWinMain(), 0);
    app.result = TRUE;
    EXPECT_EQ(AfxWinMain(), 5);
    EXPECT_EQ(app.runs, 1);
}

// Dialog units to pixels: a quarter of the average character width, an eighth of the height, rounded as MulDiv.
TEST(DialogUnits, ConvertWithTheWindowsRule) {
    const DialogBaseUnits classic{6, 13}; // MS Sans Serif 8 at 96 dpi
    EXPECT_EQ(DialogUnitsToPixelsX(255, classic), 383);
    EXPECT_EQ(DialogUnitsToPixelsY(212, classic), 345);
    EXPECT_EQ(DialogUnitsToPixelsX(187, classic), 281); // the banner's width in its template rectangle
    EXPECT_EQ(DialogUnitsToPixelsY(54, classic), 88);
    EXPECT_EQ(DialogUnitsToPixelsX(0, classic), 0);
    EXPECT_EQ(DialogUnitsToPixelsX(-4, classic), -6);
    EXPECT_EQ(AverageCharWidthFromAlphabet(52 * 6), 6);
    EXPECT_EQ(AverageCharWidthFromAlphabet(52 * 6 + 26), 7); // 6.5 rounds up
    EXPECT_EQ(AverageCharWidthFromAlphabet(52 * 6 + 25), 6);
}

} // namespace
