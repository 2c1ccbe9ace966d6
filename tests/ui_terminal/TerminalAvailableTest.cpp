// When the terminal front end may start: a child process gets a pseudo-terminal or /dev/null as its standard
// streams and a TERM, and reports what TerminalAvailable() said. None of these cases may start newt, which would
// print its own message and end the process with 1.
#include "platform/ui/terminal/TerminalFrontEnd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Streams {
    bool stdinTty;
    bool stdoutTty;
};

struct Verdict {
    bool available = false;
    std::string why;
    int exitCode = -1;
};

// Runs TerminalAvailable() in a child with the given streams and TERM (nullopt: unset).
Verdict check_in_child(Streams streams, const std::optional<std::string>& term) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return {};
    }
    int report[2];
    if (::pipe(report) != 0) {
        ADD_FAILURE() << "pipe failed";
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        const int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(streams.stdinTty ? slave : devnull, STDIN_FILENO);
        ::dup2(streams.stdoutTty ? slave : devnull, STDOUT_FILENO);
        if (term) {
            ::setenv("TERM", term->c_str(), 1);
        } else {
            ::unsetenv("TERM");
        }
        std::string why;
        const bool available = TerminalAvailable(&why);
        const std::string message = (available ? "1" : "0") + why;
        [[maybe_unused]] const ssize_t written = ::write(report[1], message.data(), message.size());
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(slave);
    std::string message;
    char buffer[512];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        message.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(report[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    Verdict verdict;
    verdict.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    verdict.available = !message.empty() && message[0] == '1';
    verdict.why = message.empty() ? "" : message.substr(1);
    return verdict;
}

} // namespace

TEST(TerminalAvailable, NeedsStandardInputAndOutputToBeTerminals) {
    Verdict v = check_in_child({false, true}, "screen");
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_FALSE(v.available);
    EXPECT_EQ(v.why, "standard input is not a terminal");

    v = check_in_child({true, false}, "screen");
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_FALSE(v.available);
    EXPECT_EQ(v.why, "standard output is not a terminal");
}

TEST(TerminalAvailable, NeedsAKnownTerminalType) {
    const Verdict unset = check_in_child({true, true}, std::nullopt);
    EXPECT_EQ(unset.exitCode, 0);
    EXPECT_FALSE(unset.available);
    EXPECT_EQ(unset.why, "TERM is not set, so the terminal type is unknown");

    const Verdict empty = check_in_child({true, true}, "");
    EXPECT_FALSE(empty.available);
    EXPECT_EQ(empty.why, unset.why);

    const Verdict dumb = check_in_child({true, true}, "dumb");
    EXPECT_EQ(dumb.exitCode, 0);
    EXPECT_FALSE(dumb.available);
    EXPECT_EQ(dumb.why, "the terminal type \"dumb\" cannot position the cursor");

    // The reason shows the name without its control characters.
    const Verdict unknown = check_in_child({true, true}, "no-such-\x1b[2Jterminal");
    EXPECT_EQ(unknown.exitCode, 0) << "newt's own exit would show here as 1";
    EXPECT_FALSE(unknown.available);
    EXPECT_EQ(unknown.why, "the terminal type \"no-such-?[2Jterminal\" is not in the terminal database");
}

TEST(TerminalAvailable, AcceptsAPseudoTerminalWithAKnownType) {
    for (const char* term : {"screen", "xterm", "linux", "vt100"}) {
        const Verdict v = check_in_child({true, true}, std::string(term));
        EXPECT_TRUE(v.available) << term << ": " << v.why;
        EXPECT_EQ(v.why, "") << term;
    }
}
