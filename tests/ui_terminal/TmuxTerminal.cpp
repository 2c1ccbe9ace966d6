#include "TmuxTerminal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace enlistor::test {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

void drain(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

// The state letter and processor time (clock ticks) of a process, from /proc/<pid>/stat.
struct ProcessSample {
    bool exists = false;
    char state = '?';
    long ticks = 0;
};

ProcessSample sample_process(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) {
        return {};
    }
    std::istringstream fields(stat.substr(close + 2));
    ProcessSample sample;
    sample.exists = true;
    fields >> sample.state;
    std::string skip;
    for (int i = 0; i < 10; ++i) { // ppid ... cmajflt
        fields >> skip;
    }
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    sample.ticks = utime + stime;
    return sample;
}

bool ended(const ProcessSample& sample) {
    return !sample.exists || sample.state == 'Z' || sample.state == 'X';
}

} // namespace

HangupOutcome KillSessionAndWaitForEnd(const TmuxTerminal& term, int pid, std::chrono::milliseconds timeout) {
    const ProcessSample before = sample_process(pid);
    ProcessSample last = before;
    const auto start = std::chrono::steady_clock::now();
    term.KillSession();
    HangupOutcome outcome;
    outcome.ended = PollUntil(
        [&] {
            const ProcessSample now = sample_process(pid);
            if (now.exists) {
                last = now;
            }
            return ended(now);
        },
        timeout, std::chrono::milliseconds(5));
    outcome.elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (!outcome.ended) {
        const std::string proc = "/proc/" + std::to_string(pid);
        outcome.stillRunning = "state " + std::string(1, last.state) + ", kernel wait \"" + ReadFile(proc + "/wchan") +
                               "\", system call " + ReadFile(proc + "/syscall");
        ::kill(pid, SIGKILL);
    }
    outcome.cpuMs = (last.ticks - before.ticks) * 1000 / ::sysconf(_SC_CLK_TCK);
    return outcome;
}

int ChildOf(int pid) {
    int child = -1;
    PollUntil(
        [&] {
            const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
            std::istringstream children(ReadFile(task));
            return static_cast<bool>(children >> child);
        },
        kScreenTimeout);
    return child;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& stdinPath) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    }
    Fd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    outWrite.reset();
    errWrite.reset();

    CommandResult result;
    drain(outRead.get(), errRead.get(), result.out, result.err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string ShellQuote(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out + "'";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool PollUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
}

std::string ArtifactsDir() {
    const std::string dir = UI_TERMINAL_ARTIFACTS;
    std::filesystem::create_directories(dir);
    return dir;
}

TmuxTerminal::TmuxTerminal(const std::string& tag, int columns, int rows) : columns_(columns), rows_(rows) {
    static std::atomic<int> counter{0};
    socket_ = "enlistor-ui-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    config_ = std::filesystem::temp_directory_path() / (socket_ + ".conf");
    std::ofstream conf(config_);
    conf << "set -g remain-on-exit on\n"
            "set -g status off\n"
            "set -g history-limit 0\n"
            "set -g default-terminal screen\n";
}

TmuxTerminal::~TmuxTerminal() {
    if (started_) {
        try {
            (void)tmux({"kill-server"});
        } catch (...) {
        }
    }
    std::error_code ignored;
    std::filesystem::remove(config_, ignored);
}

CommandResult TmuxTerminal::tmux(std::vector<std::string> args) const {
    args.insert(args.begin(), {"tmux", "-L", socket_, "-f", config_});
    return RunCommand(args);
}

void TmuxTerminal::Start(const std::string& shellCommand) {
    const CommandResult r = tmux(
        {"new-session", "-d", "-s", "main", "-x", std::to_string(columns_), "-y", std::to_string(rows_), shellCommand});
    if (r.exitCode != 0) {
        throw std::runtime_error("tmux new-session failed: " + r.err);
    }
    started_ = true;
}

void TmuxTerminal::Respawn(const std::string& shellCommand) {
    const CommandResult r = tmux({"respawn-pane", "-k", "-t", "main", shellCommand});
    if (r.exitCode != 0) {
        throw std::runtime_error("tmux respawn-pane failed: " + r.err);
    }
}

std::string TmuxTerminal::Screen() const {
    return tmux({"capture-pane", "-p", "-t", "main"}).out;
}

std::string TmuxTerminal::ScreenWithAttributes() const {
    return tmux({"capture-pane", "-p", "-e", "-t", "main"}).out;
}

std::vector<std::string> TmuxTerminal::ScreenLines() const {
    std::vector<std::string> lines;
    std::istringstream in(Screen());
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool TmuxTerminal::WaitForScreen(const std::function<bool(const std::string&)>& predicate,
                                 std::chrono::milliseconds timeout, std::chrono::milliseconds interval) const {
    return PollUntil([&] { return predicate(Screen()); }, timeout, interval);
}

bool TmuxTerminal::WaitForText(std::string_view text, std::chrono::milliseconds timeout) const {
    return WaitForScreen([&](const std::string& screen) { return screen.find(text) != std::string::npos; }, timeout);
}

void TmuxTerminal::Keys(std::initializer_list<std::string_view> keys) const {
    std::vector<std::string> args = {"send-keys", "-t", "main"};
    for (std::string_view key : keys) {
        args.emplace_back(key);
    }
    (void)tmux(args);
}

void TmuxTerminal::Type(std::string_view text) const {
    (void)tmux({"send-keys", "-t", "main", "-l", "--", std::string(text)});
}

void TmuxTerminal::KillSession() const {
    const CommandResult r = tmux({"kill-session", "-t", "main"});
    if (r.exitCode != 0) {
        throw std::runtime_error("tmux kill-session failed: " + r.err);
    }
}

std::string TmuxTerminal::Query(const std::string& format) const {
    std::string out = tmux({"display-message", "-p", "-t", "main", format}).out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

bool TmuxTerminal::PaneDead() const {
    return Query("#{pane_dead}") == "1";
}

int TmuxTerminal::PanePid() const {
    const std::string pid = Query("#{pane_pid}");
    return pid.empty() ? -1 : std::stoi(pid);
}

std::string TmuxTerminal::SaveScreen(const std::string& name) const {
    const std::string screen = Screen();
    std::ofstream(ArtifactsDir() + "/" + name + ".txt", std::ios::binary) << screen;
    return screen;
}

} // namespace enlistor::test
