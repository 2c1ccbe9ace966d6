#include "workflow/Worker.h"

WorkerRun::WorkerRun(std::function<void()> work) : m_state(std::make_shared<State>()) {
    m_thread = std::thread([state = m_state, work = std::move(work)] {
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        const std::lock_guard lock(state->mutex);
        state->failure = failure;
        state->finished = true;
        state->done.notify_all();
    });
}

WorkerRun::~WorkerRun() {
    if (Finished())
        m_thread.join();
    else
        m_thread.detach();
}

bool WorkerRun::Finished() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->finished;
}

bool WorkerRun::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_state->mutex);
    return m_state->done.wait_for(lock, timeout, [&] { return m_state->finished; });
}

std::exception_ptr WorkerRun::Failure() const {
    const std::lock_guard lock(m_state->mutex);
    return m_state->failure;
}
