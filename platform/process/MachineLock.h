// One registration at a time per machine: an advisory lock on a file beside the registry root.
#pragma once

#include "common/Text.h"
#include "platform/registry/HiveKeys.h"

#include <chrono>
#include <optional>

// How long a second run waits for the first before it gives up.
inline constexpr std::chrono::milliseconds kMachineLockWait{60000};

// Why the lock was not had.
struct MachineLockFailure {
    enum class Kind {
        Busy,    // another registration held it all the time allowed
        Refused, // the lock file may not be opened or created (not root, a read-only file system)
        Failed,  // any other reason (the path is not a regular file, the lock call failed)
    };
    Kind kind = Kind::Failed;
    CString text; // one sentence naming the lock file and the reason
};

// Register and unregister hold the lock exclusively from the snapshot of the settings to the end of the roll-back;
// check holds it shared, so it never reads a half-saved set of settings. The lock is flock(2) on
// "<registry root>.lock" (created 0600, never through a symbolic link); the kernel drops it when the process ends,
// however it ends. Releasing it from another thread than the one that took it is fine.
class MachineLock {
public:
    enum class Mode { Shared, Exclusive };

    // Waits up to `wait` for the lock. Returns nothing when it was not had, with the reason in failure.
    [[nodiscard]] static std::optional<MachineLock> Acquire(Mode mode, std::chrono::milliseconds wait,
                                                            MachineLockFailure& failure);
    // The lock file's path.
    [[nodiscard]] static CString Path();

private:
    explicit MachineLock(enlistor::registry::unique_fd fd) noexcept : m_fd(std::move(fd)) {}
    enlistor::registry::unique_fd m_fd; // closing the only descriptor releases the lock
};
