// Run control of one call: how many threads it may use, whether it has been
// asked to stop, and how many of its work items (trees, rounds) are done.
//
// The package's own door starts heavy work on a thread of its own and keeps
// a RunControl for it; the calling thread sets `stop` when the user
// interrupts and reads `done` to report progress, while the work never
// touches Python. The engine reads the control of the thread that started
// the parallel loop (`current_control`, set by a ControlScope); loops started
// without one behave exactly as before. A stop is honoured between work
// items: the loop skips the items not yet started and throws Stopped once
// the running ones have finished, so a stopped call changes nothing.
#pragma once
#include <atomic>
#include <cstddef>
#include <exception>

namespace tw::parallel {

struct RunControl {
    std::size_t threads = 0;            // threads for this call; 0 = the pool's size
    std::atomic<bool> stop{false};      // set by the calling thread to end the call early
    std::atomic<std::size_t> done{0};   // work items finished so far (trees, rounds)
};

// Thrown out of a parallel loop whose control asked it to stop.
struct Stopped : std::exception {
    const char* what() const noexcept override { return "the call was stopped"; }
};

namespace detail {
inline thread_local RunControl* g_control = nullptr;
}

inline RunControl* current_control() { return detail::g_control; }

// Makes `control` the current control of this thread while in scope.
class ControlScope {
public:
    explicit ControlScope(RunControl* control) : previous_(detail::g_control) {
        detail::g_control = control;
    }
    ~ControlScope() { detail::g_control = previous_; }
    ControlScope(const ControlScope&) = delete;
    ControlScope& operator=(const ControlScope&) = delete;

private:
    RunControl* previous_;
};

// Counts one finished work item of the given control, if any.
inline void note_done(RunControl* control) {
    if (control) control->done.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tw::parallel
