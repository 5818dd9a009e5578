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
// Stop token: the control's stop flag, also visible to the threads running
// the call's items and the loops nested in them (`stop_requested`), so that
// long items such as one large tree can end early too: the growers check it
// once a node.
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
inline thread_local const std::atomic<bool>* g_stop = nullptr;
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

// Makes `stop` the stop token of this thread while in scope (null: none).
class StopScope {
public:
    explicit StopScope(const std::atomic<bool>* stop) : previous_(detail::g_stop) {
        detail::g_stop = stop;
    }
    ~StopScope() { detail::g_stop = previous_; }
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};

inline const std::atomic<bool>* current_stop() { return detail::g_stop; }

// Whether the call this thread works for was asked to stop.
inline bool stop_requested() {
    const std::atomic<bool>* stop = detail::g_stop;
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Throws Stopped when the call this thread works for was asked to stop.
inline void check_stop() {
    if (stop_requested()) throw Stopped{};
}

// Counts one finished work item of the given control, if any.
inline void note_done(RunControl* control) {
    if (control) control->done.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tw::parallel
