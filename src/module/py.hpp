// The Python boundary toolkit: owned references, argument conversion with the
// library's exact TypeError/OverflowError rules, result conversion, the
// error-mapping point, per-object borrow discipline and type creation.
// Only files in src/module include Python headers.
//
// Box: the instance layout of every class, owning one engine object.
// Borrow: a method's hold on that object while it runs, shared (reading) or
// exclusive (changing it); a call that would break the discipline fails.
// Panic: the internal-failure exception, raised for broken invariants and
// system failures rather than bad input.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/matrix.hpp"

namespace tw::py {

// Thrown after a Python exception has been set; `guarded` returns NULL for it.
struct PyErrorSet {};

// Owned reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = std::exchange(o.p_, nullptr); }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Throws PyErrorSet when `o` is NULL (a Python error is then set), else owns it.
Ref check(PyObject* o);

// ---- error mapping -------------------------------------------------------

// Sets the internal-failure exception with `message`: in `_rs` the type
// created by init_boundary (derives from BaseException); a module that
// replaces it with use_failure_type raises that type instead.
void set_panic(const std::string& message);
// Sets the exception of a failed allocation: the internal-failure exception
// "memory allocation failed", or MemoryError in a module that asked for it.
void set_allocation_failure();
// Makes `type` (a borrowed, immortal exception type such as
// PyExc_RuntimeError) this module's internal-failure exception, its
// messages opened by `prefix` (a static string); with `memory_error`,
// allocation failures raise MemoryError instead.
void use_failure_type(PyObject* type, const char* prefix, bool memory_error);

// Runs `body` (returning an owned PyObject*) and maps C++ exceptions:
// tw::ValueError -> ValueError, PyErrorSet -> the error already set,
// std::bad_alloc -> set_allocation_failure, every other exception -> the
// internal-failure exception.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const tw::ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        set_allocation_failure();
        return nullptr;
    } catch (const std::exception& e) {
        set_panic(e.what());
        return nullptr;
    } catch (...) {
        set_panic("unknown internal failure");
        return nullptr;
    }
}

// ---- argument parsing ----------------------------------------------------

// PyArg_ParseTupleAndKeywords with only "O" codes; throws PyErrorSet on the
// standard missing / unexpected / duplicated argument TypeErrors.
// `format` e.g. "OO|O:fit"; `names` NULL-terminated.
void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                ...);

// ---- argument conversion (each throws PyErrorSet with the error set) ------
// TypeErrors read "argument '{name}': {message}"; a negative count raises
// OverflowError unchanged.

// Float64 array with exactly 2 dimensions, viewed (or copied once) as
// C-contiguous rows; kept alive by the holder for the duration of the call.
class Matrix {
public:
    MatrixView view() const { return view_; }
    std::size_t rows() const { return view_.rows; }

private:
    friend Matrix to_matrix(PyObject*, const char*);
    Ref array_;
    MatrixView view_;
};
Matrix to_matrix(PyObject* obj, const char* name);

// Float64 array with exactly 1 dimension, as a contiguous run.
class Vector {
public:
    Vec view() const { return view_; }

private:
    friend Vector to_vector(PyObject*, const char*);
    Ref array_;
    Vec view_;
};
Vector to_vector(PyObject* obj, const char* name);
std::optional<Vector> to_opt_vector(PyObject* obj, const char* name);  // None -> nullopt

std::uint64_t to_count(PyObject* obj, const char* name);                 // int 0..2^64-1
std::optional<std::uint64_t> to_opt_count(PyObject* obj, const char* name);  // None or count
double to_float(PyObject* obj, const char* name);                        // float or int
bool to_flag(PyObject* obj, const char* name);                           // bool only
std::string to_text(PyObject* obj, const char* name);                    // str
std::optional<std::string> to_opt_text(PyObject* obj, const char* name); // None or str
// bytes; the view stays valid while `obj` is alive (for __setstate__).
std::string_view to_bytes(PyObject* obj, const char* name);

// ---- whole argument lists (parse, then convert in argument order) ---------

// A call without arguments; `format` is ":name".
void parse_no_args(PyObject* args, PyObject* kwargs, const char* format);
// A call whose only argument is the matrix `name`; `format` e.g. "O:predict".
Matrix parse_matrix(PyObject* args, PyObject* kwargs, const char* format,
                    const char* name = "x");
// fit(x, y, sample_weight=None).
struct FitArgs {
    Matrix x;
    Vector y;
    std::optional<Vector> w;
    std::optional<Vec> weights() const {
        if (!w) return std::nullopt;
        return w->view();
    }
};
FitArgs parse_fit(PyObject* args, PyObject* kwargs);

// ---- result conversion (each returns a new reference or throws) -----------

PyObject* none();
PyObject* py_bool(bool v);
PyObject* py_int(std::uint64_t v);
PyObject* py_float(double v);
PyObject* py_text(const std::string& v);
PyObject* py_bytes(const std::string& v);
PyObject* float_list(std::span<const double> values);
PyObject* int_list(std::span<const std::uint64_t> values);
// `flat` holds rows * cols values row-major; returns a list of row lists.
PyObject* float_rows(std::span<const double> flat, std::size_t rows, std::size_t cols);
// New float64 NumPy arrays holding a copy of `flat`: one dimension, or
// rows x cols row-major.
PyObject* float_array(std::span<const double> flat);
PyObject* float_array(std::span<const double> flat, std::size_t rows, std::size_t cols);
// A float64 NumPy array of the given shape (row-major) that takes over the
// buffer of `values` without copying it: the array's base object owns the
// vector and frees it with the array. The shape's product must equal
// values.size().
PyObject* adopt_array(std::vector<double>&& values, std::initializer_list<std::size_t> shape);
// A new float64 NumPy array of the given shape whose cells are not set yet,
// for results written straight into it; `data` receives its buffer. A shape
// whose size cannot be allocated raises MemoryError.
PyObject* empty_array(std::initializer_list<std::size_t> shape, double*& data);
// New int64 NumPy array of the counts (each below 2^63).
PyObject* count_array(std::span<const std::uint64_t> values);
// The same for any shape (row-major; the sizes' product must be flat.size()).
PyObject* float_array(std::span<const double> flat, std::initializer_list<std::size_t> shape);
// A new int64 NumPy array of the given shape, its entries left for the
// caller to write through `data` (the sizes' product of them).
PyObject* new_int64_array(std::initializer_list<std::size_t> shape, std::int64_t*& data);
// New int64 array holding a copy of `flat` (entries of any integer type
// below 2^63), shaped as given.
template <class Int>
PyObject* int64_array(std::span<const Int> flat, std::initializer_list<std::size_t> shape) {
    std::int64_t* data = nullptr;
    PyObject* out = new_int64_array(shape, data);
    std::size_t size = 1;
    for (std::size_t d : shape) size *= d;
    if (size != flat.size()) {
        Py_DECREF(out);
        throw InternalError("result size does not match its shape");
    }
    for (std::size_t i = 0; i < flat.size(); ++i) data[i] = static_cast<std::int64_t>(flat[i]);
    return out;
}
PyObject* optional_int_list(const std::optional<std::vector<std::uint64_t>>& values);
// The pickling reduction (tarnwood._persist._restore, (class_name, state)).
PyObject* reduce_to_state(const char* class_name, const std::string& state);
// Sets d[key] = value, stealing `value`.
void dict_set(PyObject* dict, const char* key, PyObject* value);

// ---- collector pause -----------------------------------------------------

// Pauses the cyclic garbage collector while a large nested result is built
// (it would otherwise traverse the growing lists again and again); restores
// the previous state on destruction. Lists of floats cannot form cycles.
class GcPause {
public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    PyObject* gc_ = nullptr;  // the gc module while paused, else null
};

// ---- instances and borrow discipline -------------------------------------

// Layout of every instance: the estimator lives on the heap, owned here.
template <class T>
struct Box {
    PyObject_HEAD
    T* value;
    long borrow;  // >0 shared borrows, -1 exclusive
};

// Raises RuntimeError for a broken borrow discipline (via PyErrorSet):
// "Already mutably borrowed" (a shared borrow while an exclusive one is
// held) or "Already borrowed" (an exclusive borrow while any is held),
// unless the module set its own texts with set_borrow_messages.
[[noreturn]] void fail_borrow(bool exclusive);
// Replaces the two texts of fail_borrow (static strings).
void set_borrow_messages(const char* while_changing, const char* while_in_use);

// RAII access guards. Constructing one that would break the reader/writer
// discipline fails through fail_borrow.
template <class T>
class Shared {
public:
    explicit Shared(PyObject* self) : box_(reinterpret_cast<Box<T>*>(self)) {
        if (box_->borrow < 0) fail_borrow(false);
        ++box_->borrow;
    }
    ~Shared() { --box_->borrow; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    const T& operator*() const { return *box_->value; }
    const T* operator->() const { return box_->value; }

private:
    Box<T>* box_;
};

template <class T>
class Exclusive {
public:
    explicit Exclusive(PyObject* self) : box_(reinterpret_cast<Box<T>*>(self)) {
        if (box_->borrow != 0) fail_borrow(true);
        box_->borrow = -1;
    }
    ~Exclusive() { box_->borrow = 0; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    T& operator*() const { return *box_->value; }
    T* operator->() const { return box_->value; }

private:
    Box<T>* box_;
};

// Allocates an instance of `type` owning `value` (takes ownership).
template <class T>
PyObject* make_instance(PyTypeObject* type, T* value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        delete value;
        throw PyErrorSet{};
    }
    auto* box = reinterpret_cast<Box<T>*>(self);
    box->value = value;
    box->borrow = 0;
    return self;
}

template <class T>
void dealloc_instance(PyObject* self) {
    auto* box = reinterpret_cast<Box<T>*>(self);
    delete box->value;
    box->value = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// What add_class needs to create one Python class. `doc` is the full class
// doc "Name(sig)\n--\n\n..."; methods and getters are NULL-terminated arrays
// that must outlive the type.
struct TypeDescription {
    const char* name;          // e.g. "DecisionTree"; the type is builtins.<name>
    const char* doc;
    std::size_t basicsize;     // sizeof(Box<T>)
    newfunc tp_new;
    destructor tp_dealloc;     // dealloc_instance<T>
    PyMethodDef* methods;
    PyGetSetDef* getset;
};

// Qualified-name prefix of the types add_class creates: "builtins." unless a
// module sets its own (e.g. "tarnwood._engine.") before adding classes.
void set_type_prefix(const char* prefix);

// Creates the heap type, adds it to the module and to __all__. Returns the
// type (borrowed from the module) or NULL with an error set.
PyTypeObject* add_class(PyObject* module, const TypeDescription& desc);

// Method-definition helper: all methods take (self, args, kwargs).
#define TW_METHOD(name, fn, doc) \
    { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, doc }
// Read-only property helper.
#define TW_GETTER(name, fn) \
    { name, fn, nullptr, nullptr, nullptr }

}  // namespace tw::py
