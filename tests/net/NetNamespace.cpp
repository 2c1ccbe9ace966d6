#include "tests/net/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

std::string namespace_path(const std::string& name) {
    return "/run/netns/" + name;
}

bool write_all(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool RunProgram(const std::vector<std::string>& argv) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::execvp(arguments[0], arguments.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::unique_ptr<NetNamespace> NetNamespace::Create(std::string& reason) {
    static std::atomic<int> counter{0};
    if (::geteuid() != 0) {
        reason = "network namespaces need root (CAP_SYS_ADMIN)";
        return nullptr;
    }
    const std::string name = "enl-net-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (!RunProgram({"ip", "netns", "add", name})) {
        reason = "`ip netns add " + name + "` failed";
        return nullptr;
    }
    return std::unique_ptr<NetNamespace>(new NetNamespace(name));
}

NetNamespace::~NetNamespace() {
    Leave();
    (void)RunProgram({"ip", "netns", "del", m_name});
}

bool NetNamespace::Ip(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"ip", "-n", m_name};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv);
}

bool NetNamespace::IpBatch(const std::vector<std::string>& lines) const {
    char path[] = "/tmp/enl-net-batch-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return false;
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    const bool written = write_all(fd, text);
    ::close(fd);
    const bool ok = written && RunProgram({"ip", "-n", m_name, "-batch", path});
    ::unlink(path);
    return ok;
}

std::string NetNamespace::RunInside(const std::function<std::string()>& call) const {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return "<child failed: pipe>";
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return "<child failed: fork>";
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        const int ns = ::open(namespace_path(m_name).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) {
            (void)write_all(pipeFds[1], "<child failed: setns " + std::string(std::strerror(errno)) + ">");
            ::_exit(1);
        }
        ::close(ns);
        const bool ok = write_all(pipeFds[1], call());
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return "<child failed: killed by signal " + std::to_string(WTERMSIG(status)) + ">";
    return result;
}

bool NetNamespace::Enter() {
    if (m_originalNamespace >= 0)
        return true;
    m_originalNamespace = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int ns = ::open(namespace_path(m_name).c_str(), O_RDONLY | O_CLOEXEC);
    const bool ok = m_originalNamespace >= 0 && ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0;
    if (ns >= 0)
        ::close(ns);
    if (!ok)
        Leave();
    return ok;
}

void NetNamespace::Leave() {
    if (m_originalNamespace < 0)
        return;
    (void)::setns(m_originalNamespace, CLONE_NEWNET);
    ::close(m_originalNamespace);
    m_originalNamespace = -1;
}
