// The real enlistor executable in an 80x24 tmux terminal, without a display: settings seeded in a temporary
// registry root point at the SQLite demo suite database through a test ODBC configuration; Register is pressed
// through the terminal and the outcome is read from the screen and from the database.
#include "TmuxTerminal.h"

#include "settings/DatabaseSettings.h"
#include "tests/support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

using namespace enlistor::test;

namespace {

namespace fs = std::filesystem;

const std::string kEnlistor = ENLISTOR_BINARY;
const std::string kPassword = "Sqlite-pw-71";

bool dialog_with_settings(const std::string& screen) {
    return screen.find("Database Password") != std::string::npos && screen.find("127.0.0.1") != std::string::npos;
}

class TerminalEnlistor : public ::testing::Test {
protected:
    void SetUp() override {
        registry_ = dir_.path() / "registry";
        fs::create_directories(registry_);
        ASSERT_EQ(::setenv("ENLISTOR_REGISTRY", registry_.c_str(), 1), 0);
        database_ = dir_.path() / "suite.db";
        CreateSqliteSuiteDatabase(database_);
        connection_ = SqliteConnectionString(database_);
        fs::create_directories(dir_.path() / "odbc");
        UseTestOdbcConfig(dir_.path() / "odbc", {DataSource{"suite", "SQLite3", {{"Database", database_.string()}}}});
        ASSERT_TRUE(SaveDatabaseSettingsValue(
            DatabaseSettingsValue::FromTexts("suite", "127.0.0.1", "suite", "sa", kPassword)));
        std::string tag = std::string("enlistor-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(tag.begin(), tag.end(), '/', '-'); // a parameterised test's name: no path in the socket name
        term_ = std::make_unique<TmuxTerminal>(tag);
    }

    void TearDown() override {
        term_.reset();
        ::unsetenv("ENLISTOR_REGISTRY");
    }

    // Starts enlistor (its standard error going to stderr.txt) with no display, the test's registry and ODBC
    // configuration, through a shell that runs `before` first; afterwards the shell records its exit status and the
    // terminal's modes.
    void StartEnlistor(const std::string& before = "") {
        const std::string after = (dir_.path() / "after.txt").string();
        const std::string errors = (dir_.path() / "stderr.txt").string();
        const std::string script = before + kEnlistor + " 2> " + ShellQuote(errors) + "; echo \"status $?\" > " +
                                   ShellQuote(after) + "; stty -a >> " + ShellQuote(after) + "; echo done >> " +
                                   ShellQuote(after);
        std::string environment = "env -u LC_ALL -u LC_CTYPE -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
                                  "LANG=C.UTF-8 TERM=screen";
        for (const char* name : {"ENLISTOR_REGISTRY", "ODBCSYSINI", "ODBCINI"}) {
            const char* value = std::getenv(name);
            environment += std::string(" ") + name + "=" + ShellQuote(value != nullptr ? value : "");
        }
        term_->Start("exec " + environment + " sh -c " + ShellQuote(script));
        ASSERT_TRUE(term_->WaitForScreen(dialog_with_settings)) << term_->Screen();
    }

    // Closes the dialog with Esc and expects a clean end.
    void CancelAndExpectCleanExit() {
        term_->Keys({"Escape"});
        const fs::path after = dir_.path() / "after.txt";
        ASSERT_TRUE(PollUntil([&] { return ReadFile(after).find("done") != std::string::npos; }, kScreenTimeout))
            << term_->Screen();
        const std::string text = ReadFile(after);
        EXPECT_NE(text.find("status 0\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("-icanon"), std::string::npos) << text;
    }

    int RegisteredRows() const {
        return std::stoi(QueryRows(connection_, "select count(*) from tblRegisteredServers").at(0).at(0));
    }

    TempDir dir_;
    fs::path registry_;
    fs::path database_;
    std::string connection_;
    std::unique_ptr<TmuxTerminal> term_;
};

// With a display set that cannot be opened (a stale "ssh -X" forward or tmux session), the dialog opens in the
// terminal, and one line on standard error says why.
TEST_F(TerminalEnlistor, UnreachableDisplayFallsBackToTheTerminal) {
    ASSERT_FALSE(fs::exists("/tmp/.X11-unix/X99"));
    StartEnlistor("DISPLAY=:99 ");
    CancelAndExpectCleanExit();
    EXPECT_EQ(ReadFile(dir_.path() / "stderr.txt"),
              "enlistor: cannot open display \":99\"; showing the dialog in the terminal\n");
}

// Without a terminal, a display that cannot be opened, or a program installed without its window, ends with the
// clear error and status 2 (never Qt's abort).
TEST_F(TerminalEnlistor, NoWindowAndNoTerminalIsAClearError) {
    const fs::path alone = dir_.path() / "bin" / "enlistor";
    fs::create_directories(alone.parent_path());
    fs::copy_file(kEnlistor, alone);
    ASSERT_EQ(::setenv("DISPLAY", ":99", 1), 0);
    ::unsetenv("QT_QPA_PLATFORM");
    ::unsetenv("WAYLAND_DISPLAY");
    const CommandResult stale = RunCommand({kEnlistor});
    const CommandResult withoutWindow = RunCommand({alone.string()});
    ::unsetenv("DISPLAY");
    EXPECT_EQ(stale.exitCode, 2);
    EXPECT_THAT(stale.err, ::testing::StartsWith("enlistor: cannot open display \":99\" and no usable terminal ("));
    EXPECT_EQ(withoutWindow.exitCode, 2);
    EXPECT_THAT(
        withoutWindow.err,
        ::testing::StartsWith("enlistor: the window is not installed (" + alone.parent_path().string() +
                              "/../lib/enlistor/window/enlistor-window.so: No such file or directory; the package "
                              "enlistor-gui provides it) and no usable terminal ("));
    for (const CommandResult* run : {&stale, &withoutWindow}) {
        EXPECT_EQ(std::count(run->err.begin(), run->err.end(), '\n'), 1) << run->err;
    }
}

// A terminal too small for every field and button (40x12) gets no partial dialog: one line says so, with the size
// it needs, the terminal is restored, and the program ends with status 1.
TEST_F(TerminalEnlistor, TooSmallTerminalSaysSo) {
    term_ = std::make_unique<TmuxTerminal>("enlistor-small", 40, 12);
    const std::string after = (dir_.path() / "after.txt").string();
    const std::string errors = (dir_.path() / "stderr.txt").string();
    term_->Start(
        "exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM LANG=C.UTF-8 TERM=screen ENLISTOR_REGISTRY=" +
        ShellQuote(registry_.string()) + " sh -c " +
        ShellQuote(kEnlistor + " 2> " + ShellQuote(errors) + "; echo \"status $?\" > " + ShellQuote(after) +
                   "; stty -a >> " + ShellQuote(after) + "; echo done >> " + ShellQuote(after)));
    ASSERT_TRUE(PollUntil([&] { return ReadFile(after).find("done") != std::string::npos; }, kScreenTimeout))
        << term_->Screen();
    const std::string text = ReadFile(after);
    EXPECT_NE(text.find("status 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("-icanon"), std::string::npos) << text;
    EXPECT_THAT(ReadFile(errors), ::testing::MatchesRegex("enlistor: the terminal \\(40x12\\) is too small for the "
                                                          "dialog, which needs [0-9]+x[0-9]+; enlarge it, or see "
                                                          "\"enlistor --help\" for the command line\n"));
}

// The stored settings appear (the password masked); Register enters this machine into the demo database once and
// says so under "Success"; a second press finds it known.
TEST_F(TerminalEnlistor, RegisterThroughTheTerminalInsertsTheRow) {
    StartEnlistor();
    const std::string dialog = term_->SaveScreen("enlistor_dialog");
    EXPECT_NE(dialog.find(std::string(kPassword.size(), '*')), std::string::npos) << dialog;
    EXPECT_EQ(dialog.find(kPassword), std::string::npos) << dialog;
    ASSERT_EQ(RegisteredRows(), 0);

    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
    const std::string success = term_->SaveScreen("enlistor_success");
    EXPECT_NE(success.find("Server registered successfully"), std::string::npos) << success;
    EXPECT_EQ(RegisteredRows(), 1);
    const Rows rows = QueryRows(connection_, "select ServerName, ServerIP from tblRegisteredServers");
    EXPECT_FALSE(rows.at(0).at(0).empty());
    EXPECT_FALSE(rows.at(0).at(1).empty());

    term_->Keys({"Enter"});
    ASSERT_TRUE(term_->WaitForScreen([](const std::string& s) { return s.find("Success") == std::string::npos; }));
    term_->Keys({"Space"}); // the focus stayed on Register
    ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
    EXPECT_EQ(RegisteredRows(), 1);
    term_->Keys({"Enter"});
    ASSERT_TRUE(term_->WaitForScreen([](const std::string& s) { return s.find("Success") == std::string::npos; }));
    CancelAndExpectCleanExit();
}

// A database error is shown under "Error", wrapped inside the box; the settings typed before the press are rolled
// back and the reloaded values shown; nothing is inserted.
TEST_F(TerminalEnlistor, DatabaseErrorIsShownAndTheSettingsRolledBack) {
    RunSql(connection_, "drop table tblRegisteredServers");
    StartEnlistor();
    term_->Keys({"Tab", "Tab", "Tab"}); // Database Login
    term_->Type("-typed");
    ASSERT_TRUE(term_->WaitForText("sa-typed")) << term_->Screen();
    term_->Keys({"Tab", "Tab", "Enter"});
    ASSERT_TRUE(term_->WaitForText("\u2524 Error \u251c")) << term_->Screen();
    const std::string error = term_->SaveScreen("enlistor_error");
    EXPECT_NE(error.find("tblRegisteredServers"), std::string::npos) << error;
    for (const std::string& line : term_->ScreenLines()) {
        EXPECT_LE(line.size(), 80u * 3) << line; // at most 80 cells of at most three bytes each
    }
    term_->Keys({"Enter"});
    ASSERT_TRUE(term_->WaitForScreen([](const std::string& s) {
        return s.find("Error") == std::string::npos && s.find("sa-typed") == std::string::npos &&
               s.find(" sa_") != std::string::npos;
    })) << term_->Screen();
    DatabaseSettingsValue stored;
    EXPECT_TRUE(LoadDatabaseSettingsValue(stored));
    EXPECT_EQ(stored.login, "sa");
    EXPECT_EQ(stored.password.Text(), kPassword);
    CancelAndExpectCleanExit();
}

} // namespace

namespace {

// What the terminal shows when the connection drops.
enum class Showing { Dialog, SuccessBox, ErrorBox };

struct HangupCase {
    const char* name;
    Showing showing;
    bool hangupIgnored; // started under `trap '' HUP` (as nohup would): only the dead terminal tells
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const HangupCase& row, std::ostream* out) {
    *out << row.name;
}

class TerminalEnlistorHangup : public TerminalEnlistor, public ::testing::WithParamInterface<HangupCase> {};

// The connection drops (the tmux session is killed) while the dialog or one of its message boxes shows: the program
// does not wait on the dead terminal but cancels the dialog and ends within a second, using little processor
// time; a failed Register's roll-back still runs. Without SIGHUP (ignored), the dead terminal alone ends it and the
// program leaves as after a cancel.
TEST_P(TerminalEnlistorHangup, ProgramEndsWithinASecond) {
    const HangupCase& c = GetParam();
    if (c.showing == Showing::ErrorBox) {
        RunSql(connection_, "drop table tblRegisteredServers");
    }
    StartEnlistor(c.hangupIgnored ? "trap '' HUP; " : "");
    const int pid = ChildOf(term_->PanePid());
    ASSERT_GT(pid, 0);
    switch (c.showing) {
    case Showing::Dialog:
        break;
    case Showing::SuccessBox:
        term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
        ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
        break;
    case Showing::ErrorBox:
        term_->Keys({"Tab", "Tab", "Tab"}); // Database Login
        term_->Type("-typed");
        ASSERT_TRUE(term_->WaitForText("sa-typed")) << term_->Screen();
        term_->Keys({"Tab", "Tab", "Enter"});
        ASSERT_TRUE(term_->WaitForText("\u2524 Error \u251c")) << term_->Screen();
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the form back in its wait

    const HangupOutcome end = KillSessionAndWaitForEnd(*term_, pid, std::chrono::milliseconds(5000));
    ASSERT_TRUE(end.ended) << "still running 5 s after the terminal went away: " << end.stillRunning;
    std::cout << c.name << ": ended " << end.elapsedMs << " ms after kill-session, " << end.cpuMs
              << " ms of processor time\n";
    RecordProperty("exit_ms", static_cast<int>(end.elapsedMs));
    EXPECT_LE(end.elapsedMs, 1000);
    EXPECT_LE(end.cpuMs, 300);

    if (c.showing == Showing::ErrorBox) {
        DatabaseSettingsValue stored;
        EXPECT_TRUE(LoadDatabaseSettingsValue(stored));
        EXPECT_EQ(stored.login, "sa"); // rolled back
        EXPECT_EQ(stored.password.Text(), kPassword);
    }
    if (c.showing == Showing::SuccessBox) {
        EXPECT_EQ(RegisteredRows(), 1);
    }
    if (c.hangupIgnored) {
        const fs::path after = dir_.path() / "after.txt";
        ASSERT_TRUE(PollUntil([&] { return ReadFile(after).find("done") != std::string::npos; }, kScreenTimeout));
        EXPECT_NE(ReadFile(after).find("status 0\n"), std::string::npos) << ReadFile(after); // cancelled, not killed
    }
}

INSTANTIATE_TEST_SUITE_P(Showing, TerminalEnlistorHangup,
                         ::testing::Values(HangupCase{"DialogIdle", Showing::Dialog, false},
                                           HangupCase{"SuccessBoxOpen", Showing::SuccessBox, false},
                                           HangupCase{"ErrorBoxOpenRollsBack", Showing::ErrorBox, false},
                                           HangupCase{"HangupIgnoredDialogIdle", Showing::Dialog, true},
                                           HangupCase{"HangupIgnoredErrorBoxRollsBack", Showing::ErrorBox, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
