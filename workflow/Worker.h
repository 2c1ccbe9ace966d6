// The one way a run's blocking work leaves the face's thread: the work runs on a thread of its own while the face
// waits in its own way (a window keeps painting, the command line watches for a held-back signal).
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class WorkerRun {
public:
    // Starts work on its own thread.
    explicit WorkerRun(std::function<void()> work);
    // Joins a worker that finished. One that the face stopped waiting for is detached: it holds only what it owns
    // and ends with the process, which a held-back signal is about to end.
    ~WorkerRun();
    WorkerRun(const WorkerRun&) = delete;
    WorkerRun& operator=(const WorkerRun&) = delete;

    // Whether the work has ended. Safe from any thread.
    [[nodiscard]] bool Finished() const;
    // Blocks up to timeout for the work to end; true when it has.
    bool WaitFor(std::chrono::milliseconds timeout);
    // The exception the work ended with, if any (read after Finished()).
    [[nodiscard]] std::exception_ptr Failure() const;

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::exception_ptr failure;
    };
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

// Runs work on a WorkerRun and calls wait(run) to wait for it. The result, or nothing when wait returned before the
// work ended (the face gave up). An exception from work is rethrown here.
template <typename Result, typename Work, typename Wait>
std::optional<Result> RunOnWorker(Work work, Wait&& wait) {
    auto slot = std::make_shared<std::optional<Result>>();
    WorkerRun run([slot, work = std::move(work)]() mutable { *slot = work(); });
    wait(run);
    if (!run.Finished())
        return std::nullopt;
    if (const std::exception_ptr failure = run.Failure())
        std::rethrow_exception(failure);
    return std::move(*slot);
}
