#include "session/thread_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace kivo {

ThreadPool& ThreadPool::shared() {
    static ThreadPool pool(std::clamp(std::thread::hardware_concurrency(), 1u, maxSharedThreads));
    return pool;
}

ThreadPool::ThreadPool(unsigned threads) {
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { run(); });
        } catch (const std::system_error&) {
            break;  // fewer helpers, or none: the work still gets done
        }
    }
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::submit(Task task) {
    if (threads_.empty()) {
        task();
        return;
    }
    {
        std::lock_guard guard(lock_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

bool ThreadPool::runQueued() {
    Task task;
    {
        std::lock_guard guard(lock_);
        if (tasks_.empty()) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

void ThreadPool::run() {
    pthread_setname_np(pthread_self(), "kivo-pool");
    for (;;) {
        Task task;
        {
            std::unique_lock guard(lock_);
            wake_.wait(guard, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping, and nothing left to run
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

}  // namespace kivo
