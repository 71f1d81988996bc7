#pragma once

// The streamed draft of a model run on its way to the GUI thread. A model may send its answer in
// hundreds of thousands of tiny pieces; handing the GUI thread the whole text for each of them
// would bury it (and its Stop button) under copies. The run offers every change here, which keeps
// one copy up to date by appending only the new piece, and wakes the GUI thread only when no wake
// is pending; the GUI thread takes the latest text when it is ready to show it. Never fails.

#include <mutex>
#include <string>

namespace kivo {

class DraftRelay {
public:
    // The run's thread: the whole draft so far (it only grows, or starts again empty). Answers
    // whether the GUI thread must be woken: the first change since it last took the text.
    bool offer(const std::string& draft);
    // The GUI thread: the latest draft; the next change wakes it again.
    std::string take();

private:
    std::mutex lock_;
    std::string text_;
    bool woken_ = false;
};

}  // namespace kivo
