#pragma once

// One thread running jobs one at a time, in the order they were posted: the editor's "commands"
// and "control" queues. Jobs must not throw; whatever they find out they post elsewhere themselves.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kivo {

class SerialQueue {
public:
    using Job = std::function<void()>;

    // Starts the thread, named `label` for debuggers (cut to the 15 bytes the system keeps).
    explicit SerialQueue(std::string label);
    // Stops as stop() does.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept { return label_; }

    // Queues a job behind the others. After stop() the job is dropped.
    void post(Job job);

    // Drops the jobs that have not started, waits for the running one and ends the thread. The
    // caller must first make sure the running job can end (close what it waits on). Never fails.
    void stop() noexcept;

private:
    void run(std::stop_token stop);

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Job> jobs_;
    bool stopped_ = false;
    std::jthread thread_;
};

}  // namespace kivo
