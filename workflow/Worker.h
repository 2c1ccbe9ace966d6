// The one way a run's blocking work leaves the face's thread: the work runs on a thread of its own while the face
// waits in its own way (a window keeps painting, the command line watches for a held-back signal).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

// Tells a waiting face the moment a worker's work has ended, so that a wait between its looks at the work does not
// sleep on after the end: a wait reads Count() before it asks whether to stop, then SleepPast(count, longest)
// returns as soon as any work ended after that reading, or after longest.
class WorkerEnd {
public:
    static unsigned long Count() {
        State& s = state();
        const std::lock_guard lock(s.mutex);
        return s.count;
    }
    static void SleepPast(unsigned long seen, std::chrono::microseconds longest) {
        State& s = state();
        std::unique_lock lock(s.mutex);
        s.changed.wait_for(lock, longest, [&] { return s.count != seen; });
    }
    // Called on the worker's thread once its result is in place.
    static void Note() {
        State& s = state();
        {
            const std::lock_guard lock(s.mutex);
            ++s.count;
        }
        s.changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        unsigned long count = 0;
    };
    // Never destroyed: a thread left behind by a wait that gave up may still note its end while the process exits.
    static State& state() {
        static State* const s = new State;
        return *s;
    }
};

// Runs work on a thread of its own and calls wait(finished), which returns once finished() is true or when it gives
// up. Returns the work's result (an exception from work is rethrown here), or nothing when wait gave up first: the
// thread is then detached and left to end with the process, which a held-back signal is about to end, so work must own
// what it uses or outlive the wait by design.
template <typename Result, typename Work, typename Wait>
std::optional<Result> RunOnWorker(Work work, Wait&& wait) {
    std::packaged_task<Result()> task(std::move(work));
    std::future<Result> result = task.get_future();
    // The result lives in the future's shared state, not on the thread.
    std::thread worker([task = std::move(task)]() mutable {
        task();
        WorkerEnd::Note();
    });
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
