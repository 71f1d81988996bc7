#pragma once

// A FIFO's other end for tests of readers that must never wait on one: from a given delay on it is
// opened and closed again and again until the helper goes out of scope, so a reader stuck on the
// FIFO (the fault under test) comes free each time it tries, and the test fails instead of hanging:
// a reader that returns before released() did not wait for the release.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace kivo::testing {

class FifoRelease {
public:
    FifoRelease(std::string path, double seconds)
        : thread_([this, path = std::move(path), seconds] {
              const auto from = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
              while (!done_) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                  if (std::chrono::steady_clock::now() < from) continue;
                  released_ = true;
                  // Read-write never blocks on a FIFO and counts as a writer; closing it ends the read.
                  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
                  if (fd >= 0) ::close(fd);
              }
          }) {}
    ~FifoRelease() {
        done_ = true;
        thread_.join();
    }
    FifoRelease(const FifoRelease&) = delete;
    FifoRelease& operator=(const FifoRelease&) = delete;

    // Whether the other end has been opened yet.
    bool released() const { return released_; }

private:
    std::atomic<bool> released_ = false;
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

}  // namespace kivo::testing
