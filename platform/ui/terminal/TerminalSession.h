// The newt session of the process: the terminal in full-screen mode, and the way back to the operator's shell.
#pragma once

namespace enlistor::terminal_ui {

// How often a waiting form looks for a terminating signal or a terminal that went away. (A form could watch a self-pipe
// instead, but newt never frees a form's list of watched descriptors.)
inline constexpr int kSignalPollMs = 100;

// Holds the newt session open. The first lease starts it (newtInit), the last one to go ends it (newtFinished),
// so nested leases (a message box over a dialog) share one session. Starting throws std::runtime_error, with the
// terminal untouched, when the terminal cannot be used.
//
// While a session is open, terminating signals are held back (platform/process/SignalDeferral.h): form loops look at
// SignalPending() every kSignalPollMs and end, and when the last lease goes the terminal is restored and the
// signal raised again with its previous disposition, so the process ends as the signal asked. A std::terminate while
// the session is open restores the terminal before aborting.
class SessionLease {
public:
    SessionLease();
    ~SessionLease();
    SessionLease(const SessionLease&) = delete;
    SessionLease& operator=(const SessionLease&) = delete;

    // Whether slang shows UTF-8 (the locale's character set); otherwise texts are single bytes.
    [[nodiscard]] bool Utf8() const;
    // Whether a terminating signal has arrived.
    [[nodiscard]] bool SignalPending() const;
    // Whether the terminal went away: hung up (the SSH connection dropped, the tmux session was killed), closed,
    // or reading it gave end of input or an error. Once seen it stays so for the rest of the process: nobody can
    // answer a form any more, and reading such a terminal again returns at once, so a loop that waits for a key
    // would spin.
    [[nodiscard]] bool TerminalLost() const;
    // Records that reading the terminal failed (newt's form loop gave up on it).
    void MarkTerminalLost();
    // Discards what the operator typed so far (used after the window was busy). Returns at once on a lost
    // terminal, and reads at most a bounded number of keys that arrive meanwhile.
    void DiscardInput();
};

} // namespace enlistor::terminal_ui
