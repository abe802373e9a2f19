// A thread that works beside its owner until told to stop: the decoding
// threads of the GIF and picture conversions. `mutex` and `changed` guard
// what the two threads share, `stopping` among it; the work waits on
// `changed` and returns once it sees `stopping`.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

class WorkerThread {
public:
    WorkerThread() = default;
    ~WorkerThread() { Stop(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Runs `work` on a thread of its own; without a thread to be had,
    // Running() stays false and the owner does the work itself.
    void Start(std::function<void()> work) {
        try {
            thread_ = std::thread(std::move(work));
        } catch (const std::system_error&) {
        }
    }
    bool Running() const { return thread_.joinable(); }
    // Sets `stopping`, wakes the work and waits for it to return.
    void Stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        thread_.join();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;

private:
    std::thread thread_;
};
