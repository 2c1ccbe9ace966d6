// Terminating signals held back while the settings may be half-changed, or while a full-screen terminal must be
// given back first.
#pragma once

#include <array>
#include <csignal>

// For its lifetime SIGINT, SIGTERM, SIGHUP and SIGQUIT are caught and remembered instead of ending the process. When
// the outermost deferral ends, the earlier handlers come back and the first signal that arrived is raised again, so
// the process ends the way it would have, only later. Deferrals nest (the terminal dialog holds one for its session,
// a registration inside it another): an inner one ends without raising, the outer one raises. Further signals
// meanwhile change nothing. A signal whose handler was SIG_IGN (nohup) stays ignored. Used on one thread.
class SignalDeferral {
public:
    SignalDeferral();
    ~SignalDeferral();
    SignalDeferral(const SignalDeferral&) = delete;
    SignalDeferral& operator=(const SignalDeferral&) = delete;

    // The first signal that arrived while a deferral was held, or 0.
    [[nodiscard]] static int Pending() noexcept;

    static constexpr std::array<int, 4> kSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
};
