// Terminating signals held back while the settings may be half-changed.
#pragma once

#include <array>
#include <csignal>

// For its lifetime SIGINT, SIGTERM and SIGHUP are caught and remembered instead of ending the process; when it
// ends, the earlier handlers come back and the first signal that arrived is raised again, so the process ends
// the way it would have, only after the settings were put back. Further signals meanwhile change nothing. A signal
// whose handler was SIG_IGN (nohup) stays ignored. Not nestable.
class SignalDeferral {
public:
    SignalDeferral();
    ~SignalDeferral();
    SignalDeferral(const SignalDeferral&) = delete;
    SignalDeferral& operator=(const SignalDeferral&) = delete;

    // The first signal that arrived so far, or 0.
    [[nodiscard]] static int Pending() noexcept;

    static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

private:
    std::array<struct sigaction, kSignals.size()> m_previous{};
    std::array<bool, kSignals.size()> m_installed{};
};
