// The dialog's order of operations at opening, on Register (success and failure), and on its ways out.
#include "tests/app/FlowTestSupport.h"

#include "platform/process/MachineLock.h"
#include "res/Resource.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace enlistor::test;
using ::testing::ElementsAreArray;

namespace {

class RegisterFlow : public ::testing::Test {
protected:
    PrivateRegistryRoot root;
    std::vector<std::string> log;
    Settings store;
    ScriptedFrontEnd frontEnd{log};
    FrontEndScope scope{&frontEnd};

    // The log from the first line equal to `marker` on.
    std::vector<std::string> LogFrom(const std::string& marker) const {
        auto it = std::find(log.begin(), log.end(), marker);
        return std::vector<std::string>(it, log.end());
    }
};

const Settings kStored{"srv", "10.0.0.5", "suite", "sa", "secret"};
const Settings kEdited{"srv2", "10.0.0.6", "suite2", "admin", "pa ss"};

// Opening loads the stored settings between the two exchanges and shows them; Esc ends without storing.
TEST_F(RegisterFlow, OpeningShowsStoredSettingsAndEscStoresNothing) {
    store = kStored;
    frontEnd.script = {TypeText(1000, "typed"), PressEsc()};
    InjectedStoreDlg dlg(log, store);
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);

    const auto expected = Concat({{"window 102", "create", "icon 128 big", "icon 128 small"},
                                  Gets(),
                                  {"load"},
                                  Sets(kStored),
                                  {"show", "busy", "end 2", "idle"}});
    EXPECT_THAT(log, ElementsAreArray(expected));
    EXPECT_EQ(dlg.Members(), kStored);
}

// A successful Register: save of the edits, registration, the success box, reload; the dialog stays open.
TEST_F(RegisterFlow, SuccessStoresEditsReportsAndReloads) {
    store = kStored;
    auto script = TypeAll(kEdited);
    script.push_back(Click(IDC_REGISTER));
    script.push_back(PressEsc());
    frontEnd.script = script;
    InjectedStoreDlg dlg(log, store);
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);

    const auto expected =
        Concat({{"busy"},
                Gets(),
                {"save " + Joined(kEdited)},
                Sets(kEdited),
                {"register " + Joined(kEdited), "idle", "box [Success] Server registered successfully type 0", "busy"},
                Gets(),
                {"load"},
                Sets(kEdited),
                {"idle", "busy", "end 2", "idle"}});
    EXPECT_THAT(LogFrom("busy"), ElementsAreArray(expected));
    EXPECT_EQ(store, kEdited);
}

// A failed Register: the error box comes while the edits are stored; only then the snapshot is stored again and
// reloaded, so fields and store hold what the dialog had before the click.
TEST_F(RegisterFlow, FailureShowsErrorThenRestoresSnapshotAndReloads) {
    store = kStored;
    auto script = TypeAll(kEdited);
    script.push_back(Click(IDC_REGISTER));
    script.push_back(Inspect([](ScriptedWindow& window) {
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(window.Field(1000 + i), kStored[i]);
        }
    }));
    script.push_back(PressEsc());
    frontEnd.script = script;
    Settings storeAtBox;
    frontEnd.configure = [&](ScriptedWindow& window) {
        window.onMessageBox = [&](const CString&, const CString&) { storeAtBox = store; };
    };
    InjectedStoreDlg dlg(log, store);
    dlg.registrations = {{0, "Provider Error -2147467259 Login failed for user 'admin'."}};
    dlg.DoModal();

    const auto expected = Concat({{"busy"},
                                  Gets(),
                                  {"save " + Joined(kEdited)},
                                  Sets(kEdited),
                                  {"register " + Joined(kEdited), "idle",
                                   "box [Error] Provider Error -2147467259 Login failed for user 'admin'. type 0",
                                   "busy", "save " + Joined(kStored)},
                                  Gets(),
                                  {"load"},
                                  Sets(kStored),
                                  {"idle", "busy", "end 2", "idle"}});
    EXPECT_THAT(LogFrom("busy"), ElementsAreArray(expected));
    EXPECT_EQ(storeAtBox, kEdited);
    EXPECT_EQ(store, kStored);
    EXPECT_EQ(dlg.Members(), kStored);
}

// Any result other than exactly 1 is a failure; an empty error text still gives a box, with no text.
TEST_F(RegisterFlow, NonOneResultsAndEmptyErrorTextAreFailures) {
    store = kStored;
    frontEnd.script = {Click(IDC_REGISTER), Click(IDC_REGISTER), Click(IDC_REGISTER), PressEsc()};
    InjectedStoreDlg dlg(log, store);
    dlg.registrations = {{0, ""}, {2, "two"}, {-1, "minus one"}};
    dlg.DoModal();

    std::vector<std::string> boxes;
    for (const auto& line : log) {
        if (line.rfind("box ", 0) == 0) {
            boxes.push_back(line);
        }
    }
    EXPECT_THAT(boxes,
                ElementsAreArray({"box [Error]  type 0", "box [Error] two type 0", "box [Error] minus one type 0"}));
}

// Two runs in a row: the second run's snapshot is what the first run reloaded, not the values at opening.
TEST_F(RegisterFlow, SecondRunSnapshotIsFirstRunsReload) {
    store = kStored;
    const Settings secondEdits{"third", "10.0.0.7", "db3", "u3", "p3"};
    auto script = TypeAll(kEdited);
    script.push_back(Click(IDC_REGISTER));
    auto more = TypeAll(secondEdits);
    script.insert(script.end(), more.begin(), more.end());
    script.push_back(Click(IDC_REGISTER));
    script.push_back(PressEsc());
    frontEnd.script = script;
    InjectedStoreDlg dlg(log, store);
    dlg.registrations = {{1, ""}, {0, "refused"}};
    dlg.DoModal();

    std::vector<std::string> saves;
    for (const auto& line : log) {
        if (line.rfind("save ", 0) == 0) {
            saves.push_back(line);
        }
    }
    EXPECT_THAT(
        saves, ElementsAreArray({"save " + Joined(kEdited), "save " + Joined(secondEdits), "save " + Joined(kEdited)}));
    EXPECT_EQ(store, kEdited);
}

// Two runs without edits store the same values twice.
TEST_F(RegisterFlow, TwoRunsWithoutEditsStoreTheSameValuesTwice) {
    store = kStored;
    frontEnd.script = {Click(IDC_REGISTER), Click(IDC_REGISTER), PressEsc()};
    InjectedStoreDlg dlg(log, store);
    dlg.DoModal();
    EXPECT_EQ(std::count(log.begin(), log.end(), "save " + Joined(kStored)), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), "box [Success] Server registered successfully type 0"), 2);
}

// Enter in an edit field is the OK command: the members take the edits, the dialog ends with IDOK, nothing is
// stored or registered.
TEST_F(RegisterFlow, EnterInEditCopiesEditsAndClosesWithoutStoring) {
    store = kStored;
    auto script = TypeAll(kEdited);
    script.push_back(PressEnterInEdit());
    frontEnd.script = script;
    InjectedStoreDlg dlg(log, store);
    EXPECT_EQ(dlg.DoModal(), IDOK);

    EXPECT_THAT(LogFrom("show"), ElementsAreArray(Concat({{"show", "busy"}, Gets(), {"end 1", "idle"}})));
    EXPECT_EQ(dlg.Members(), kEdited);
    EXPECT_EQ(store, kStored);
}

// An error text that fills the whole area without a terminator is shown cut to 511 characters, never read past.
TEST_F(RegisterFlow, LongErrorTextIsCutToTheArea) {
    frontEnd.script = {Click(IDC_REGISTER), PressEsc()};
    InjectedStoreDlg dlg(log, store);
    dlg.registrations = {{0, CString(2000, 'x')}};
    dlg.DoModal();
    EXPECT_EQ(std::count(log.begin(), log.end(), "box [Error] " + std::string(511, 'x') + " type 0"), 1);
}

// Register is the one command besides OK and Cancel; other buttons' clicks do nothing.
TEST_F(RegisterFlow, UnknownCommandsAreIgnored) {
    frontEnd.script = {Click(4242), PressEsc()};
    InjectedStoreDlg dlg(log, store);
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(std::count(log.begin(), log.end(), "load"), 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("save", 0) == 0; }), 0);
}

// The dialog holds the machine's registration lock while Register runs, never while it sits open.
TEST_F(RegisterFlow, HoldsTheMachineLockOnlyWhileRegistering) {
    const auto lock_is_free = [] {
        MachineLockFailure error;
        return MachineLock::Acquire(MachineLock::Mode::Exclusive, std::chrono::milliseconds(0), error).has_value();
    };
    bool freeWhileOpen = false;
    bool freeWhileRegistering = true;
    frontEnd.script = {Inspect([&](ScriptedWindow&) { freeWhileOpen = lock_is_free(); }), Click(IDC_REGISTER),
                       PressEsc()};
    InjectedStoreDlg dlg(log, store);
    dlg.duringRegistration = [&] { freeWhileRegistering = lock_is_free(); };
    dlg.DoModal();
    EXPECT_TRUE(freeWhileOpen);
    EXPECT_FALSE(freeWhileRegistering);
    EXPECT_TRUE(lock_is_free());
}

} // namespace
