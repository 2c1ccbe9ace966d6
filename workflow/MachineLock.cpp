#include "workflow/MachineLock.h"

#include "common/FormatString.h"
#include "platform/registry/Registry.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::chrono::milliseconds poll_interval{25};

thread_local bool last_failure_was_access = false;

int open_lock_file(const CString& path) {
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        // The registry's parent directory does not exist yet (no settings were ever stored): make it, private.
        const CString parent = path.substr(0, path.rfind('/'));
        if (!parent.empty() && ::mkdir(parent.c_str(), 0700) == 0)
            fd = ::open(path.c_str(), flags, 0600);
        else
            errno = ENOENT;
    }
    return fd;
}

} // namespace

MachineLock::MachineLock(MachineLock&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

MachineLock& MachineLock::operator=(MachineLock&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

MachineLock::~MachineLock() {
    if (m_fd >= 0)
        ::close(m_fd); // closing the only descriptor releases the lock
}

CString MachineLock::Path() {
    CString root = RegistryRootPath();
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root + ".lock";
}

bool MachineLock::LastFailureWasAccess() noexcept {
    return last_failure_was_access;
}

std::optional<MachineLock> MachineLock::Acquire(Mode mode, std::chrono::milliseconds wait, CString& error) {
    last_failure_was_access = false;
    const CString path = Path();
    const int fd = open_lock_file(path);
    if (fd < 0) {
        const int code = errno;
        last_failure_was_access = code == EACCES || code == EPERM || code == EROFS;
        error = FormatString("cannot open the lock file %s: %s%s", path.c_str(), std::strerror(code),
                             last_failure_was_access ? " (run as root)" : "");
        return std::nullopt;
    }
    MachineLock lock(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = FormatString("the lock file %s is not a regular file", path.c_str());
        return std::nullopt;
    }
    const int operation = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, operation) == 0)
            return lock;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = FormatString("cannot lock %s: %s", path.c_str(), std::strerror(errno));
            return std::nullopt;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(poll_interval);
    }
    error = FormatString("another registration on this machine is still running (it holds %s); gave up after %lld s",
                         path.c_str(), static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(wait).count()));
    return std::nullopt;
}
