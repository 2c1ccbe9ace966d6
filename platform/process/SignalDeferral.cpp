#include "platform/process/SignalDeferral.h"

namespace {

volatile std::sig_atomic_t pending_signal = 0;

struct deferral_state {
    int depth = 0;
    std::array<struct sigaction, SignalDeferral::kSignals.size()> previous{};
    std::array<bool, SignalDeferral::kSignals.size()> installed{};
};

deferral_state state;

extern "C" void remember_signal(int sig) {
    if (pending_signal == 0)
        pending_signal = sig;
}

void install_handlers() {
    pending_signal = 0;
    for (std::size_t i = 0; i < SignalDeferral::kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = remember_signal;
        sigemptyset(&action.sa_mask);
        for (int sig : SignalDeferral::kSignals)
            sigaddset(&action.sa_mask, sig);
        // The drivers' own waits go on (they are bounded by their time limits); poll() and select() still wake.
        action.sa_flags = SA_RESTART;
        struct sigaction previous {};
        state.installed[i] = false;
        if (sigaction(SignalDeferral::kSignals[i], nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        state.installed[i] = sigaction(SignalDeferral::kSignals[i], &action, &state.previous[i]) == 0;
    }
}

} // namespace

SignalDeferral::SignalDeferral() {
    if (state.depth++ == 0)
        install_handlers();
}

SignalDeferral::~SignalDeferral() {
    if (--state.depth > 0)
        return;
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        if (state.installed[i])
            (void)sigaction(kSignals[i], &state.previous[i], nullptr);
    const int sig = pending_signal;
    pending_signal = 0;
    if (sig != 0)
        (void)std::raise(sig);
}

int SignalDeferral::Pending() noexcept {
    return pending_signal;
}
