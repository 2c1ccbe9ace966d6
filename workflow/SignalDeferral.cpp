#include "workflow/SignalDeferral.h"

namespace {

volatile std::sig_atomic_t pending_signal = 0;

extern "C" void remember_signal(int sig) {
    if (pending_signal == 0)
        pending_signal = sig;
}

} // namespace

SignalDeferral::SignalDeferral() {
    pending_signal = 0;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = remember_signal;
        sigemptyset(&action.sa_mask);
        for (int sig : kSignals)
            sigaddset(&action.sa_mask, sig);
        action.sa_flags = SA_RESTART; // the drivers' own waits go on; the registration is bounded by its time limits
        struct sigaction previous {};
        if (sigaction(kSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        m_installed[i] = sigaction(kSignals[i], &action, &m_previous[i]) == 0;
    }
}

SignalDeferral::~SignalDeferral() {
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        if (m_installed[i])
            (void)sigaction(kSignals[i], &m_previous[i], nullptr);
    const int sig = pending_signal;
    pending_signal = 0;
    if (sig != 0)
        (void)std::raise(sig);
}

int SignalDeferral::Pending() noexcept {
    return pending_signal;
}
