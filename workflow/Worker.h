// The one way a run's blocking work leaves the face's thread: the work runs on a thread of its own while the face
// waits in its own way (a window keeps painting, the command line watches for a held-back signal).
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <optional>
#include <thread>

// Runs work on a thread of its own and calls wait(finished), which returns once finished() is true or when it gives
// up. Returns the work's result (an exception from work is rethrown here), or nothing when wait gave up first: the
// thread is then detached and left to end with the process, which a held-back signal is about to end, so work must own
// what it uses or outlive the wait by design.
template <typename Result, typename Work, typename Wait>
std::optional<Result> RunOnWorker(Work work, Wait&& wait) {
    std::packaged_task<Result()> task(std::move(work));
    std::future<Result> result = task.get_future();
    std::thread worker(std::move(task)); // the result lives in the future's shared state, not on the thread
    const auto finished = [&result] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    wait(std::function<bool()>(finished));
    if (!finished()) {
        worker.detach();
        return std::nullopt;
    }
    // Joined once done, so its per-thread state (the dynamic loader's among it) is freed before the process ends.
    worker.join();
    return result.get();
}
