// The terminal front end driven as an operator would: the demo program shows template 102 in an 80x24 tmux
// terminal; keys go in with send-keys, the screen comes back with capture-pane, and the dialog's events come back
// through the demo's event file. Every screen the tests look at is saved under ui_terminal_artifacts/.
#include "TmuxTerminal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>

using namespace enlistor::test;

namespace {

const std::string kDemo = TERMINAL_DEMO_PATH;

// The locale and terminal type of every run, whatever the test's own environment says.
const std::string kTerminalEnv = "env -u LC_ALL -u LC_CTYPE -u LC_MESSAGES LANG=C.UTF-8 TERM=screen";

bool dialog_drawn(const std::string& screen) {
    return screen.find("Enlistor Utility") != std::string::npos &&
           screen.find("Database Password") != std::string::npos && screen.find("<Cancel>") != std::string::npos;
}

std::u32string decode(const std::string& text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
        char32_t value = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(value);
        i += length;
    }
    return out;
}

std::string encode(const std::u32string& text) {
    std::string out;
    for (const char32_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The text inside the message box whose title bar shows `caption`: the rows between its top edge and its button,
// each taken between the box's side borders.
std::vector<std::string> message_box_rows(const std::vector<std::string>& screen, const std::string& caption) {
    std::vector<std::string> rows;
    const std::u32string titleMark = decode("\u2524 " + caption + " \u251c");
    for (std::size_t top = 0; top < screen.size(); ++top) {
        const std::u32string line = decode(screen[top]);
        if (line.find(titleMark) == std::u32string::npos) {
            continue;
        }
        const std::size_t left = line.find(U'\u250c');
        const std::size_t right = line.find(U'\u2510', left);
        for (std::size_t row = top + 1; row < screen.size(); ++row) {
            const std::u32string inner = decode(screen[row]);
            if (inner.size() <= right || inner[left] != U'\u2502') {
                break;
            }
            const std::string text = encode(inner.substr(left + 1, right - left - 1));
            if (text.find("<OK>") != std::string::npos) {
                break;
            }
            rows.push_back(text);
        }
        break;
    }
    return rows;
}

std::string without_spaces(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c != ' ' && c != '\r' && c != '\n') {
            out.push_back(c);
        }
    }
    return out;
}

int count(const std::string& haystack, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

class TerminalDialog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/enlistor-ui-terminal-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        events_ = dir_ + "/events.txt";
        std::string tag = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : tag) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        term_ = std::make_unique<TmuxTerminal>(tag.substr(0, 40));
    }

    void TearDown() override {
        term_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    [[nodiscard]] std::string DemoCommand(const std::string& args = "") const {
        return kDemo + " --out " + ShellQuote(events_) + (args.empty() ? "" : " " + args);
    }

    // Starts the demo from a shell that afterwards records its exit status and the terminal's modes, and waits
    // until the dialog is on the screen.
    void StartDemo(const std::string& args = "") {
        const std::string script = DemoCommand(args) + "; echo \"status $?\" > " + ShellQuote(dir_ + "/after.txt") +
                                   "; stty -a >> " + ShellQuote(dir_ + "/after.txt") + "; echo done >> " +
                                   ShellQuote(dir_ + "/after.txt");
        term_->Start("exec " + kTerminalEnv + " sh -c " + ShellQuote(script));
        ASSERT_TRUE(term_->WaitForScreen(dialog_drawn)) << term_->Screen();
    }

    // The demo ended by itself with status 0 (under the sanitizers: without a finding) and left the terminal's
    // modes as it found them.
    void ExpectCleanExit() const {
        const std::string after = AfterExit();
        EXPECT_NE(after.find("status 0\n"), std::string::npos) << after;
        EXPECT_EQ(after.find("-icanon"), std::string::npos) << after;
        EXPECT_EQ(after.find("-echo "), std::string::npos) << after;
    }

    [[nodiscard]] std::string AfterExit() const {
        EXPECT_TRUE(
            PollUntil([&] { return ReadFile(dir_ + "/after.txt").find("done") != std::string::npos; }, kScreenTimeout));
        return ReadFile(dir_ + "/after.txt");
    }

    [[nodiscard]] std::string Events() const { return ReadFile(events_); }

    bool WaitForEvent(const std::string& line) const {
        return PollUntil([&] { return ("\n" + Events()).find("\n" + line + "\n") != std::string::npos; },
                         kScreenTimeout);
    }

    [[nodiscard]] int DemoPid() const {
        std::istringstream in(Events());
        std::string word;
        int pid = -1;
        in >> word >> pid;
        return word == "pid" ? pid : -1;
    }

    std::string dir_;
    std::string events_;
    std::unique_ptr<TmuxTerminal> term_;
};

// Whether an SGR sequence of the screen sets a colour (30-37, 40-47, 90-97, 100-107, or 38/48 extended).
bool sets_a_colour(const std::string& screen) {
    for (std::size_t at = screen.find("\x1b["); at != std::string::npos; at = screen.find("\x1b[", at + 2)) {
        const std::size_t end = screen.find('m', at);
        if (end == std::string::npos) {
            break;
        }
        std::istringstream parameters(screen.substr(at + 2, end - at - 2));
        for (std::string p; std::getline(parameters, p, ';');) {
            const int n = p.empty() ? 0 : std::atoi(p.c_str());
            if ((n >= 30 && n <= 38) || (n >= 40 && n <= 48) || (n >= 90 && n <= 97) || (n >= 100 && n <= 107)) {
                return true;
            }
        }
    }
    return false;
}

// NO_COLOR set (and not empty) draws the dialog without colours, the focused button in reverse video; empty, in
// colour.
TEST_F(TerminalDialog, NoColorDrawsMonochrome) {
    term_->Start("exec sleep 600");
    for (const auto& [setting, coloured] : {std::pair{"NO_COLOR=1", false}, std::pair{"NO_COLOR=", true}}) {
        SCOPED_TRACE(setting);
        term_->Respawn("exec " + kTerminalEnv + " " + setting + " sh -c " + ShellQuote(DemoCommand()));
        ASSERT_TRUE(term_->WaitForScreen(dialog_drawn)) << term_->Screen();
        term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab"}); // the focus on Register
        std::string screen;
        const bool focusShown = term_->WaitForScreen([&](const std::string&) {
            screen = term_->ScreenWithAttributes();
            return coloured || screen.find("\x1b[7m") != std::string::npos;
        });
        EXPECT_TRUE(focusShown) << "no reverse video for the focused button: " << screen;
        EXPECT_EQ(sets_a_colour(screen), coloured) << screen;
    }
}

// The dialog as drawn: the title on the frame, every label and button text exactly once, the whole window within
// the 80x24 terminal.
TEST_F(TerminalDialog, ShowsTheTemplateWithinEightyByTwentyFour) {
    StartDemo();
    EXPECT_EQ(term_->Query("#{pane_width}x#{pane_height}"), "80x24");
    const std::string screen = term_->SaveScreen("dialog");
    const std::vector<std::string> lines = term_->ScreenLines();
    EXPECT_LE(lines.size(), 24u);
    for (const std::string& line : lines) {
        EXPECT_LE(decode(line).size(), 80u) << line;
    }
    EXPECT_NE(lines.at(0).find("\u2524 Enlistor Utility \u251c"), std::string::npos) << screen;
    for (const char* text : {"Database Server Name", "Database Server IP", "Database Name", "Database Login",
                             "Database Password", "Database Information", "<Register>", "<Cancel>"}) {
        EXPECT_EQ(count(screen, text), 1) << text << "\n" << screen;
    }
    // The frame closes on the screen: its bottom corner row is the last row in use.
    std::size_t bottom = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("\u2514") != std::string::npos) {
            bottom = i;
        }
    }
    EXPECT_GT(bottom, 15u);
    EXPECT_LT(bottom, 24u);
    term_->Keys({"Escape"});
    EXPECT_TRUE(WaitForEvent("result 2"));
    ExpectCleanExit();
}

// Typing fills the field with the focus, which starts in Database Server Name; Tab walks the five fields, Register
// and Cancel, then wraps; the password shows as "*"; Enter in a field is the OK command (no button is the default).
TEST_F(TerminalDialog, TypingTabOrderMaskingAndEnterAsOk) {
    StartDemo();
    term_->Type("db-host");
    term_->Keys({"Tab"});
    term_->Type("10.0.0.5");
    term_->Keys({"Tab"});
    term_->Type("suite");
    term_->Keys({"Tab"});
    term_->Type("sa");
    term_->Keys({"Tab"});
    term_->Type("s3cret pw");
    ASSERT_TRUE(term_->WaitForText("*********")) << term_->Screen();
    // Register, Cancel, and back to the first field.
    term_->Keys({"Tab", "Tab", "Tab"});
    term_->Type("X");
    ASSERT_TRUE(term_->WaitForText("db-hostX")) << term_->Screen();
    const std::string screen = term_->SaveScreen("typed");
    EXPECT_EQ(screen.find("s3cret"), std::string::npos) << screen;
    for (const char* text : {"10.0.0.5", "suite", "sa"}) {
        EXPECT_NE(screen.find(text), std::string::npos) << text;
    }
    term_->Keys({"Enter"});
    ASSERT_TRUE(WaitForEvent("result 1")) << Events();
    ExpectCleanExit();
    const std::string events = Events();
    EXPECT_NE(events.find("ok\nfield1000=db-hostX\nfield1001=10.0.0.5\nfield1002=suite\nfield1003=sa\n"
                          "field1004=s3cret pw\n"),
              std::string::npos)
        << events;
    EXPECT_EQ(events.find("click"), std::string::npos) << events;
}

// Texts set before the dialog shows appear in their fields, the password masked; Shift+Tab walks backwards.
TEST_F(TerminalDialog, PresetTextsAndBackwardTab) {
    StartDemo("--set 1000=server01 --set 1004=preset-pw");
    ASSERT_TRUE(term_->WaitForText("server01")) << term_->Screen();
    const std::string screen = term_->SaveScreen("preset");
    EXPECT_NE(screen.find("*********"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("preset-pw"), std::string::npos) << screen;
    term_->Keys({"BTab"}); // from the first field back to Cancel
    term_->Keys({"Enter"});
    ASSERT_TRUE(WaitForEvent("result 2")) << Events();
    ExpectCleanExit();
    EXPECT_NE(Events().find("click 2\n"), std::string::npos) << Events();
}

// Register (Enter or Space on the button) shows one message box over the dialog, titled with its caption; its OK
// closes it and the dialog goes on with the focus where it was.
TEST_F(TerminalDialog, RegisterShowsAModalMessageBox) {
    StartDemo();
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
    const std::string screen = term_->SaveScreen("messagebox_success");
    const std::vector<std::string> rows = message_box_rows(term_->ScreenLines(), "Success");
    std::string text;
    for (const std::string& row : rows) {
        text += row;
    }
    EXPECT_NE(text.find("Server registered successfully"), std::string::npos) << screen;
    EXPECT_NE(screen.find("<OK>"), std::string::npos);
    // Modal: typing goes nowhere while the box is up.
    term_->Type("typed-into-box");
    term_->Keys({"Enter"});
    ASSERT_TRUE(WaitForEvent("messagebox 1")) << Events();
    EXPECT_TRUE(WaitForEvent("after messagebox field1000=")) << Events();
    ASSERT_TRUE(term_->WaitForScreen([](const std::string& s) { return s.find("Success") == std::string::npos; }));
    // The focus is still on Register: Space clicks it again.
    term_->Keys({"Space"});
    ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
    term_->Keys({"Escape"}); // Esc closes a message box too
    ASSERT_TRUE(PollUntil([&] { return count(Events(), "messagebox 1") == 2; }, kScreenTimeout)) << Events();
    term_->Keys({"Tab", "Enter"}); // Cancel
    ASSERT_TRUE(WaitForEvent("result 2")) << Events();
    ExpectCleanExit();
    EXPECT_EQ(count(Events(), "click 1005"), 2) << Events();
    EXPECT_EQ(Events().find("typed-into-box"), std::string::npos);
}

// A long database error text with line breaks, an unbroken long word and an escape sequence is wrapped inside the
// box, loses nothing, and cannot drive the terminal.
TEST_F(TerminalDialog, LongErrorTextIsWrappedInTheMessageBox) {
    const std::string error =
        "[unixODBC][Driver Manager]Data source name not found and no default driver specified\r\n"
        "Connection to the database server failed: could not connect to server: Connection refused. Is the server "
        "running on host \"127.0.0.1\" and accepting TCP/IP connections on port 5432? The connection used "
        "Provider=SQLOLEDB;Server=db-host;Database=suite;DSN=/var/lib/enlistor/very/long/path/without/any/spaces/"
        "that/is/longer/than/a/line/of/the/box.sqlite and timed out after 15 seconds.\r\n\x1b[2J"
        "Check the settings and try again.";
    const std::string file = dir_ + "/error.txt";
    std::ofstream(file, std::ios::binary) << error;
    StartDemo("--register-text-file " + ShellQuote(file) + " --register-caption Error");
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(term_->WaitForText("\u2524 Error \u251c")) << term_->Screen();
    const std::string screen = term_->SaveScreen("messagebox_error");
    const std::vector<std::string> rows = message_box_rows(term_->ScreenLines(), "Error");
    ASSERT_GT(rows.size(), 6u) << screen;
    std::string shown;
    for (const std::string& row : rows) {
        shown += row;
    }
    std::string expected = error;
    expected.replace(expected.find('\x1b'), 1, "?"); // shown, not obeyed
    EXPECT_EQ(without_spaces(shown), without_spaces(expected)) << screen;
    EXPECT_NE(screen.find("<Register>"), std::string::npos) << "the dialog stays visible around the box";
    term_->Keys({"Enter"});
    ASSERT_TRUE(WaitForEvent("messagebox 1")) << Events();
    term_->Keys({"Escape"});
    EXPECT_TRUE(WaitForEvent("result 2")) << Events();
    ExpectCleanExit();
}

// While the Register work runs the dialog says so and takes no input: keys pressed meanwhile are dropped.
TEST_F(TerminalDialog, BusyDialogShowsANoticeAndDropsKeys) {
    StartDemo("--busy-ms 2500");
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(term_->WaitForText("Working, please wait...")) << term_->Screen();
    term_->SaveScreen("busy");
    ASSERT_TRUE(WaitForEvent("busy"));
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Tab"});
    term_->Type("zzz");
    ASSERT_TRUE(term_->WaitForText("\u2524 Success \u251c")) << term_->Screen();
    EXPECT_EQ(term_->Screen().find("Working, please wait..."), std::string::npos);
    term_->Keys({"Enter"});
    ASSERT_TRUE(WaitForEvent("messagebox 1")) << Events();
    term_->Keys({"BTab", "Enter"}); // from Register back to the password field, then the OK command
    ASSERT_TRUE(WaitForEvent("result 1")) << Events();
    ExpectCleanExit();
    EXPECT_EQ(Events().find("zzz"), std::string::npos) << Events();
}

// The connection drops while the Register work runs: when the work ends, the busy line clears without waiting on the
// dead terminal, the message box returns at once (nobody can answer it), the dialog is cancelled and the program
// ends, all within a second of the work's end and with little processor time.
TEST_F(TerminalDialog, HangupWhileBusyEndsWhenTheWorkEnds) {
    constexpr int kBusyMs = 1000;
    StartDemo("--busy-ms " + std::to_string(kBusyMs));
    const int pid = DemoPid();
    ASSERT_GT(pid, 0) << Events();
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(WaitForEvent("busy")) << Events();
    const HangupOutcome end = KillSessionAndWaitForEnd(*term_, pid, std::chrono::milliseconds(5000));
    ASSERT_TRUE(end.ended) << "still running 5 s after the terminal went away: " << end.stillRunning << "\n"
                           << Events();
    std::cout << "hang-up while busy for " << kBusyMs << " ms: ended " << end.elapsedMs << " ms after kill-session, "
              << end.cpuMs << " ms of processor time\n";
    EXPECT_LE(end.elapsedMs, kBusyMs + 1000);
    EXPECT_LE(end.cpuMs, 300);
    const std::string events = Events();
    EXPECT_NE(events.find("messagebox 1\n"), std::string::npos) << events;
    EXPECT_NE(events.find("cancel\n"), std::string::npos) << events;
}

// Esc and Ctrl+C cancel (Esc after newt's escape-sequence wait); F12, newt's own exit key, does nothing here.
class TerminalCancelKeys : public TerminalDialog, public ::testing::WithParamInterface<const char*> {};

TEST_P(TerminalCancelKeys, CancelTheDialog) {
    StartDemo();
    term_->Keys({"F12"});
    term_->Type("a");
    ASSERT_TRUE(term_->WaitForText("a____")) << "F12 must leave the dialog running\n" << term_->Screen();
    term_->Keys({GetParam()});
    ASSERT_TRUE(WaitForEvent("result 2")) << Events();
    ExpectCleanExit();
    const std::string events = Events();
    EXPECT_NE(events.find("cancel\n"), std::string::npos) << events;
    EXPECT_EQ(events.find("ok\n"), std::string::npos) << events;
}

INSTANTIATE_TEST_SUITE_P(Keys, TerminalCancelKeys, ::testing::Values("Escape", "C-c"),
                         [](const auto& info) { return std::string(info.param) == "Escape" ? "Esc" : "CtrlC"; });

// A terminating signal while the dialog shows restores the terminal's modes, and the process ends by that signal.
class TerminalSignals : public TerminalDialog, public ::testing::WithParamInterface<int> {};

TEST_P(TerminalSignals, RestoreTheTerminal) {
    StartDemo();
    const int pid = DemoPid();
    ASSERT_GT(pid, 0) << Events();
    ASSERT_EQ(::kill(pid, GetParam()), 0);
    const std::string after = AfterExit();
    EXPECT_NE(after.find("status " + std::to_string(128 + GetParam())), std::string::npos) << after;
    EXPECT_EQ(after.find("-icanon"), std::string::npos) << after;
    EXPECT_EQ(after.find("-echo "), std::string::npos) << after;
    EXPECT_EQ(Events().find("result"), std::string::npos) << Events();
}

INSTANTIATE_TEST_SUITE_P(Signals, TerminalSignals, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// An exception out of an event handler leaves through RunModal with the terminal restored.
TEST_F(TerminalDialog, ExceptionInAHandlerRestoresTheTerminal) {
    StartDemo("--throw-on-register");
    term_->Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    const std::string after = AfterExit();
    EXPECT_NE(after.find("status 3"), std::string::npos) << after;
    EXPECT_EQ(after.find("-icanon"), std::string::npos) << after;
    EXPECT_NE(Events().find("exception scripted failure in the Register handler"), std::string::npos) << Events();
}

// Without a usable terminal the program says why on stderr and exits non-zero by itself: newt is never started
// (it would print its own message and exit with 1).
TEST(TerminalUnavailable, StdinNotATerminal) {
    const CommandResult r = RunCommand({kDemo, "--out", "/dev/null"}, "/dev/null");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("standard input is not a terminal"), std::string::npos) << r.err;
}

struct UnusableTerm {
    const char* name;
    const char* environment; // env(1) arguments
    const char* reason;
};

void PrintTo(const UnusableTerm& term, std::ostream* os) {
    *os << term.name;
}

class TerminalUnavailableTerm : public ::testing::TestWithParam<UnusableTerm> {};

TEST_P(TerminalUnavailableTerm, SaysWhyAndExits) {
    TmuxTerminal term(std::string("term-") + GetParam().name);
    char pattern[] = "/tmp/enlistor-ui-terminal-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string events = std::string(pattern) + "/events.txt";
    const std::string script = kDemo + " --out " + ShellQuote(events) + "; echo \"status $?\" >> " + ShellQuote(events);
    term.Start(std::string("exec env -u LC_ALL ") + GetParam().environment + " LANG=C.UTF-8 sh -c " +
               ShellQuote(script));
    ASSERT_TRUE(PollUntil([&] { return ReadFile(events).find("status") != std::string::npos; }, kScreenTimeout))
        << term.Screen();
    EXPECT_NE(ReadFile(events).find("status 2\n"), std::string::npos) << ReadFile(events);
    EXPECT_NE(ReadFile(events).find(std::string("unavailable ") + GetParam().reason), std::string::npos)
        << ReadFile(events);
    std::filesystem::remove_all(pattern);
}

INSTANTIATE_TEST_SUITE_P(
    Terms, TerminalUnavailableTerm,
    ::testing::Values(UnusableTerm{"Unset", "-u TERM", "TERM is not set, so the terminal type is unknown"},
                      UnusableTerm{"Dumb", "TERM=dumb", "the terminal type \"dumb\" cannot position the cursor"},
                      UnusableTerm{"Unknown", "TERM=enlistor-no-such-terminal",
                                   "the terminal type \"enlistor-no-such-terminal\" is not in the terminal database"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace

namespace {

// Milliseconds since the epoch, as date(1) writes them.
double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct BareRun {
    double drawnMs = -1; // start of the process to the whole dialog written
    double cpuMs = -1;   // processor time of the whole run: start, dialog, Esc, exit
};

// The demo on a bare pseudo-terminal, no terminal emulator in between.
BareRun pty_start_to_dialog() {
    int master = -1;
    int slave = -1;
    struct winsize size {};
    size.ws_col = 80;
    size.ws_row = 24;
    if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
        return {};
    }
    const double start = now_ms();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        ::close(master);
        ::setenv("TERM", "screen", 1);
        ::setenv("LANG", "C.UTF-8", 1);
        ::unsetenv("LC_ALL");
        ::execl(kDemo.c_str(), kDemo.c_str(), "--out", "/dev/null", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(slave);
    std::string output;
    double drawn = -1;
    char buffer[4096];
    while (drawn < 0) {
        pollfd pfd{master, POLLIN, 0};
        if (::poll(&pfd, 1, 15000) <= 0) {
            break;
        }
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
        if (output.find("Database Password") != std::string::npos && output.find("Cancel") != std::string::npos) {
            drawn = now_ms() - start;
        }
    }
    const char escape = 0x1b;
    [[maybe_unused]] const ssize_t written = ::write(master, &escape, 1);
    PollUntil([&] { return ::read(master, buffer, sizeof buffer) <= 0; }, kScreenTimeout);
    ::kill(pid, SIGKILL);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    ::close(master);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return {drawn, ms(usage.ru_utime) + ms(usage.ru_stime)};
}

// Process start to dialog on the screen, and the demo's peak memory: figures for the notes, not assertions. In
// tmux, the program's start is stamped by date(1) just before it is executed and the screen is polled with
// capture-pane; the same poll on a program that prints the dialog's texts at once gives the harness's own share.
TEST(TerminalFigures, StartupAndPeakMemory) {
    TmuxTerminal term("figures");
    term.Start("exec sleep 600");
    char pattern[] = "/tmp/enlistor-ui-terminal-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string stamp = std::string(pattern) + "/start";
    auto time_to_screen = [&](const std::string& program) {
        std::filesystem::remove(stamp);
        term.Respawn("exec " + kTerminalEnv + " sh -c " + ShellQuote("date +%s%N > " + stamp + "; exec " + program));
        EXPECT_TRUE(term.WaitForScreen(dialog_drawn, kScreenTimeout, std::chrono::milliseconds(0))) << term.Screen();
        const double seen = now_ms();
        return seen - std::stod(ReadFile(stamp)) / 1e6;
    };
    const std::string marker =
        "sh -c " + ShellQuote("printf 'Enlistor Utility Database Password <Cancel>'; exec sleep 600");
    const std::string demo = kDemo + " --out /dev/null";
    std::vector<double> baseline;
    std::vector<double> dialog;
    std::vector<double> bare;
    std::vector<double> bareCpu;
    for (int i = 0; i < 7; ++i) {
        baseline.push_back(time_to_screen(marker));
        dialog.push_back(time_to_screen(demo));
    }
    const auto peak_kib = [&] {
        std::istringstream status(ReadFile("/proc/" + std::to_string(term.PanePid()) + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::stol(line.substr(6));
            }
        }
        return -1L;
    };
    const long peakAtDialog = peak_kib();
    term.Keys({"Tab", "Tab", "Tab", "Tab", "Tab", "Enter"});
    ASSERT_TRUE(term.WaitForText("\u2524 Success \u251c")) << term.Screen();
    const long peakWithMessageBox = peak_kib();
    term.Keys({"Enter"});
    for (int i = 0; i < 7; ++i) {
        const BareRun run = pty_start_to_dialog();
        bare.push_back(run.drawnMs);
        bareCpu.push_back(run.cpuMs);
    }
    std::filesystem::remove_all(pattern);

    std::ostringstream figures;
    figures << "tmux: process start to dialog on the screen, median of 7 (ms): " << median(dialog) << "\n"
            << "tmux: same poll, program printing the texts at once (ms): " << median(baseline) << "\n"
            << "bare pty: process start to whole dialog written, median of 7 (ms): " << median(bare) << "\n"
            << "bare pty: processor time of start, dialog, Esc and exit, median of 7 (ms): " << median(bareCpu) << "\n"
            << "load average at the time: " << ReadFile("/proc/loadavg")
            << "peak RSS with the dialog (KiB): " << peakAtDialog << "\n"
            << "peak RSS after a message box (KiB): " << peakWithMessageBox << "\n";
    std::ofstream(ArtifactsDir() + "/terminal_figures.txt") << figures.str();
    std::cout << figures.str();
    EXPECT_GT(peakWithMessageBox, 0);
    EXPECT_GT(median(bare), 0);
}

} // namespace
