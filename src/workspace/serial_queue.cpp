#include "workspace/serial_queue.hpp"

#include <pthread.h>

#include <utility>

namespace kivo {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
    ::pthread_setname_np(thread_.native_handle(), label_.substr(0, 15).c_str());
}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::post(Job job) {
    {
        std::lock_guard guard(mutex_);
        if (stopped_) return;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void SerialQueue::stop() noexcept {
    std::deque<Job> dropped;  // destroyed outside the lock: a job's captures may post again
    {
        std::lock_guard guard(mutex_);
        stopped_ = true;
        dropped.swap(jobs_);
    }
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
}

void SerialQueue::run(std::stop_token stop) {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return !jobs_.empty(); })) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

}  // namespace kivo
