// Argument conversion and progress printing of the package door's heavy calls.
#include "engine/run.hpp"

#include <cmath>
#include <cstdio>

#include "parallel/pool.hpp"

namespace tw::engine {
namespace {

std::size_t processors() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace

std::size_t threads_for(PyObject* n_jobs) {
    if (n_jobs == nullptr || n_jobs == Py_None) return processors();
    if (PyBool_Check(n_jobs) || !PyLong_Check(n_jobs)) {
        PyErr_Format(PyExc_TypeError, "n_jobs must be an int or None, got %s",
                     Py_TYPE(n_jobs)->tp_name);
        throw py::PyErrorSet{};
    }
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(n_jobs, &overflow);
    if (k == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    if (overflow > 0) return parallel::max_pool_threads;
    if (overflow < 0) return 1;
    if (k == 0) throw ValueError("n_jobs == 0 has no meaning; use None or -1 for all processors");
    if (k > 0) {
        return static_cast<std::size_t>(k) < parallel::max_pool_threads
                   ? static_cast<std::size_t>(k)
                   : parallel::max_pool_threads;
    }
    const long long n = static_cast<long long>(processors()) + 1 + k;
    return n < 1 ? 1 : static_cast<std::size_t>(n);
}

Progress progress_for(PyObject* verbose) {
    Progress p;
    if (verbose == nullptr || verbose == Py_None) return p;
    if (!PyLong_Check(verbose)) {
        if (PyCallable_Check(verbose)) {
            p.callback = verbose;
            return p;
        }
        PyErr_Format(PyExc_TypeError, "verbose must be an int or a callable, got %s",
                     Py_TYPE(verbose)->tp_name);
        throw py::PyErrorSet{};
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(verbose, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
    // Beyond 64 bits the value reads as -1 with the overflow's sign set.
    if (overflow < 0 || (overflow == 0 && v < 0)) throw ValueError("verbose must be >= 0");
    p.level = overflow > 0 || v > 1000 ? 1000 : static_cast<int>(v);
    return p;
}

bool report_progress(const Progress& progress, const char* what, std::size_t done,
                     std::size_t total, double elapsed, bool final) {
    if (progress.callback == nullptr) {
        print_progress(what, done, total, elapsed, final);
        return true;
    }
    PyObject* result = PyObject_CallFunction(progress.callback, "nnd",
                                             static_cast<Py_ssize_t>(done),
                                             static_cast<Py_ssize_t>(total), elapsed);
    if (result == nullptr) return false;
    Py_DECREF(result);
    return true;
}

void print_progress(const char* what, std::size_t done, std::size_t total, double elapsed,
                    bool final) {
    char line[160];
    if (final) {
        std::snprintf(line, sizeof line, "\r%s: %zu/%zu done in %.1f s\n", what, done, total,
                      elapsed);
    } else if (done == 0 || total == 0) {
        std::snprintf(line, sizeof line, "\r%s: %zu/%zu, %.1f s elapsed", what, done, total,
                      elapsed);
    } else {
        const double left = elapsed / static_cast<double>(done) *
                            static_cast<double>(total > done ? total - done : 0);
        std::snprintf(line, sizeof line, "\r%s: %zu/%zu (%.0f%%), %.1f s elapsed, ~%.1f s left",
                      what, done, total, 100.0 * static_cast<double>(done) / total, elapsed, left);
    }
    PySys_WriteStderr("%s", line);
}

}  // namespace tw::engine
