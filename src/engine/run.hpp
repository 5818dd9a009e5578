// Heavy calls of the package door: the work runs on a thread of its own with
// the interpreter lock released, while the calling thread waits in short
// slices, checks for interrupts and reports progress.
//
// Work: a callable that touches no Python object (only engine objects and
// the buffers of arrays the caller keeps alive). It runs under a RunControl
// (parallel/control.hpp) carrying the call's thread count, so every parallel
// loop inside it uses that many threads.
// Interrupt: when a signal handler raises (Ctrl-C gives KeyboardInterrupt),
// the control's stop flag is set, the work ends at its next work item or
// tree node, and the exception reaches the caller; the work's own result is
// dropped.
// Progress: `verbose` >= 1 prints a line on stderr with the items done out
// of `total`, the time elapsed and an estimate of the time left, rewritten
// at most four times a second and closed with a newline when the call ends.
// A callable `verbose` is called instead as verbose(done, total, elapsed)
// on the calling thread at the same moments; if it raises, the work stops
// and its exception reaches the caller.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "module/py.hpp"
#include "parallel/control.hpp"

namespace tw::engine {

// Threads for n_jobs with scikit-learn's meaning: None or -1 all processors,
// k > 0 exactly k, k < -1 all but |k| - 1 (at least one); 0 is refused.
std::size_t threads_for(PyObject* n_jobs);
// How a call reports progress: a level (0 silent, >= 1 a line on stderr) or
// a callable (borrowed; the call's arguments keep it alive).
struct Progress {
    int level = 0;
    PyObject* callback = nullptr;
    bool active() const { return level > 0 || callback != nullptr; }
};
// verbose: a non-negative int (bool accepted), a callable, or None (0).
Progress progress_for(PyObject* verbose);

// Reports progress once (the interpreter lock held); false when the
// callback raised (its exception is then set).
bool report_progress(const Progress& progress, const char* what, std::size_t done,
                     std::size_t total, double elapsed, bool final);

// Prints the progress line of `what` on stderr (the interpreter lock held).
void print_progress(const char* what, std::size_t done, std::size_t total, double elapsed,
                    bool final);

template <class Work>
void run_released(const char* what, std::size_t threads, const Progress& progress,
                  std::size_t total, Work&& work) {
    parallel::RunControl control;
    control.threads = threads;
    std::mutex mutex;
    std::condition_variable finished_cv;
    bool finished = false;
    std::exception_ptr error;
    std::thread worker([&] {
        {
            parallel::ControlScope scope(&control);
            parallel::StopScope token(&control.stop);
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        finished_cv.notify_one();
    });
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    bool interrupted = false;  // a Python exception is set for the caller
    double next_report = 0.25;
    for (;;) {
        bool done_now;
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(mutex);
            finished_cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished; });
            done_now = finished;
        }
        PyEval_RestoreThread(saved);
        if (done_now) break;
        if (interrupted) continue;
        if (PyErr_CheckSignals() != 0) {
            interrupted = true;
        } else if (progress.active() && elapsed() >= next_report) {
            interrupted = !report_progress(progress, what,
                                           control.done.load(std::memory_order_relaxed), total,
                                           elapsed(), false);
            next_report = elapsed() + 0.25;
        }
        if (interrupted) control.stop.store(true, std::memory_order_relaxed);
    }
    // The work has finished; joining only reaps the thread.
    worker.join();
    if (interrupted) throw py::PyErrorSet{};
    if (error) std::rethrow_exception(error);
    if (progress.active() &&
        !report_progress(progress, what, control.done.load(), total, elapsed(), true)) {
        throw py::PyErrorSet{};
    }
}

// Runs `work` under the call's thread count: released as above when
// `heavy`, else directly on the calling thread (starting a thread would cost
// more than the work).
template <class Work>
void run_call(bool heavy, const char* what, std::size_t threads, Work&& work) {
    if (heavy) {
        run_released(what, threads, Progress{}, 0, work);
        return;
    }
    parallel::RunControl control;
    control.threads = threads;
    parallel::ControlScope scope(&control);
    work();
}

// Below this many row-node visits (rows times trees, roughly) a call runs
// on the calling thread.
inline constexpr std::size_t kInlineVisits = 1 << 16;

}  // namespace tw::engine
