#include "platform/process/MachineLock.h"

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

using enlistor::registry::unique_fd;

constexpr std::chrono::milliseconds poll_interval{25};

unique_fd open_lock_file(const CString& path) {
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
    return unique_fd(fd);
}

std::nullopt_t fail(MachineLockFailure& failure, MachineLockFailure::Kind kind, CString text) {
    failure.kind = kind;
    failure.text = std::move(text);
    return std::nullopt;
}

} // namespace

CString MachineLock::Path() {
    CString root = RegistryRootPath();
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root + ".lock";
}

std::optional<MachineLock> MachineLock::Acquire(Mode mode, std::chrono::milliseconds wait,
                                                MachineLockFailure& failure) {
    using Kind = MachineLockFailure::Kind;
    const CString path = Path();
    unique_fd fd = open_lock_file(path);
    if (!fd.valid()) {
        const int code = errno;
        const bool refused = code == EACCES || code == EPERM || code == EROFS;
        return fail(failure, refused ? Kind::Refused : Kind::Failed,
                    FormatString("cannot open the lock file %s: %s%s", path.c_str(), std::strerror(code),
                                 refused ? " (run as root)" : ""));
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return fail(failure, Kind::Failed, FormatString("the lock file %s is not a regular file", path.c_str()));
    const int operation = (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd.get(), operation) == 0)
            return MachineLock(std::move(fd));
        if (errno != EWOULDBLOCK && errno != EINTR)
            return fail(failure, Kind::Failed, FormatString("cannot lock %s: %s", path.c_str(), std::strerror(errno)));
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(poll_interval);
    }
    return fail(failure, Kind::Busy,
                FormatString("another registration on this machine is still running (it holds %s); gave up after "
                             "%lld s",
                             path.c_str(),
                             static_cast<long long>(std::chrono::ceil<std::chrono::seconds>(wait).count())));
}
