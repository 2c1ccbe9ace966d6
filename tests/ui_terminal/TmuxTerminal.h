// Drives a real program in a private tmux server: an 80x24 terminal that tests type into and read back.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace enlistor::test {

struct CommandResult {
    int exitCode = -1; // 128 + signal number when the command was killed
    std::string out;
    std::string err;
};

// Runs argv (looked up in PATH) with standard input from `stdinPath`, and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& stdinPath = "/dev/null");

// One word for sh, quoted.
std::string ShellQuote(std::string_view text);

// The whole content of a file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Polls until the predicate holds or the timeout passes; returns whether it held.
bool PollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = std::chrono::milliseconds(10));

inline constexpr std::chrono::milliseconds kScreenTimeout{15000};

// A tmux server on its own socket, with one session of 80x24 cells, no status line, and panes that stay after
// their program ends (so the last screen and the exit status can be read). The server ends with the object.
class TmuxTerminal {
public:
    explicit TmuxTerminal(const std::string& tag, int columns = 80, int rows = 24);
    ~TmuxTerminal();
    TmuxTerminal(const TmuxTerminal&) = delete;
    TmuxTerminal& operator=(const TmuxTerminal&) = delete;

    // Starts the session running `shellCommand` (through sh).
    void Start(const std::string& shellCommand);
    // Replaces the session's program by `shellCommand`, killing the previous one.
    void Respawn(const std::string& shellCommand);

    [[nodiscard]] std::string Screen() const;
    // The screen with its colours and attributes as escape sequences (capture-pane -e).
    [[nodiscard]] std::string ScreenWithAttributes() const;
    [[nodiscard]] std::vector<std::string> ScreenLines() const;
    bool WaitForScreen(const std::function<bool(const std::string&)>& predicate,
                       std::chrono::milliseconds timeout = kScreenTimeout,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(10)) const;
    bool WaitForText(std::string_view text, std::chrono::milliseconds timeout = kScreenTimeout) const;

    // Key names as tmux knows them: "Tab", "BTab", "Enter", "Escape", "Space", "F12", "C-c".
    void Keys(std::initializer_list<std::string_view> keys) const;
    // Literal text.
    void Type(std::string_view text) const;

    // Ends the session as a dropped connection would: the pane's terminal is hung up and its programs lose it.
    void KillSession() const;

    [[nodiscard]] std::string Query(const std::string& format) const;
    [[nodiscard]] bool PaneDead() const;
    [[nodiscard]] int PanePid() const;

    // Writes the current screen to <artifacts>/<name>.txt and returns the screen.
    std::string SaveScreen(const std::string& name) const;

private:
    [[nodiscard]] CommandResult tmux(std::vector<std::string> args) const;

    std::string socket_;
    std::string config_;
    int columns_;
    int rows_;
    bool started_ = false;
};

// What became of a program after its terminal went away.
struct HangupOutcome {
    bool ended = false;       // gone, or a zombie nobody reaped yet (no init in a container reaps it for us)
    long elapsedMs = 0;       // from just before the session was killed to the end seen
    long cpuMs = 0;           // processor time the program used meanwhile
    std::string stillRunning; // when it did not end: where it was, for the failure message
};

// Kills the terminal's session (as a dropped connection would) and waits up to `timeout` for the program `pid` to
// end, sampling /proc every few milliseconds. A program still running then is killed with SIGKILL, so no spinning
// program is left behind.
HangupOutcome KillSessionAndWaitForEnd(const TmuxTerminal& term, int pid, std::chrono::milliseconds timeout);

// The only child of a process (the program a pane's shell started), once it has one; -1 if none within the
// screen timeout.
int ChildOf(int pid);

// Where the tests leave their screens and figures.
std::string ArtifactsDir();

} // namespace enlistor::test
