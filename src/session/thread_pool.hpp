#pragma once

// The worker's pool of helper threads, made once per process on first use and kept until it exits.
// Work that needs no PDFium runs here while the PDFium lock is free or busy with the next page:
// PNG compression spreads its strips over it. Tasks run in the order they were queued.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kivo {

class ThreadPool {
public:
    using Task = std::function<void()>;

    // The process's pool: one thread per core, at most `maxSharedThreads`.
    static ThreadPool& shared();
    static constexpr unsigned maxSharedThreads = 8;

    // Starts up to `threads` threads; when the system refuses one, the pool keeps those it has, and
    // with none it runs every task on the caller. Never fails.
    explicit ThreadPool(unsigned threads);
    // Runs the tasks still queued, then joins the threads.
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues `task`, or runs it at once on the caller when the pool has no thread. A task must not
    // throw: it is the task's own business to record a failure.
    void submit(Task task);

    // Frees `value` on the shared pool: what a command no longer needs, a state of a long document
    // say, is thousands of small allocations whose freeing need not hold up the command's answer.
    // Without memory for the task, `value` is freed on the caller, as it would have been anyway.
    template <class T>
    static void releaseLater(T value) noexcept {
        try {
            auto held = std::make_shared<T>(std::move(value));
            shared().submit([held = std::move(held)]() mutable { held.reset(); });
        } catch (...) {}
    }

    // Runs the oldest queued task on the caller, if there is one, and answers whether it ran one: a
    // thread that waits for the pool's work can do some of it instead of sleeping.
    bool runQueued();

    // The number of threads that run tasks; 0 when tasks run on the caller.
    unsigned threads() const noexcept { return static_cast<unsigned>(threads_.size()); }

private:
    void run();

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace kivo
