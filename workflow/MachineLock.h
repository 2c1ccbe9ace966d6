// One registration at a time per machine: an advisory lock on a file beside the registry root.
#pragma once

#include "common/Text.h"

#include <chrono>
#include <optional>

// Register and unregister hold the lock exclusively from the snapshot of the settings to the end of the roll-back;
// check holds it shared, so it never reads a half-saved set of settings. The lock is flock(2) on
// "<registry root>.lock" (created 0600, never through a symbolic link); the kernel drops it when the process ends,
// however it ends.
class MachineLock {
public:
    enum class Mode { Shared, Exclusive };

    MachineLock(MachineLock&& other) noexcept;
    MachineLock& operator=(MachineLock&& other) noexcept;
    MachineLock(const MachineLock&) = delete;
    MachineLock& operator=(const MachineLock&) = delete;
    ~MachineLock();

    // Waits up to `wait` for the lock. Returns nothing when it was not had, with the reason in error: another
    // registration held it all that time, or the lock file cannot be opened (the system's reason).
    [[nodiscard]] static std::optional<MachineLock> Acquire(Mode mode, std::chrono::milliseconds wait, CString& error);
    // The lock file's path.
    [[nodiscard]] static CString Path();

    // True when the lock file could not be opened for lack of rights, so a shared reader may go on without it (it
    // cannot read the settings either, and will say so).
    [[nodiscard]] static bool LastFailureWasAccess() noexcept;

private:
    explicit MachineLock(int fd) noexcept : m_fd(fd) {}
    int m_fd = -1;
};

// How long a second run waits for the first before it gives up.
inline constexpr std::chrono::milliseconds kMachineLockWait{60000};
