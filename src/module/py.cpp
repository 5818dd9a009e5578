// Implementation of the boundary toolkit. This is the only translation unit
// that includes the NumPy C API.
#include "module/py.hpp"

#include <cstdarg>
#include <cstring>

#include <numpy/arrayobject.h>

namespace tw::py {

namespace {

PyObject* g_panic_type = nullptr;
PyObject* g_failure_type = nullptr;  // replaces g_panic_type when set
const char* g_failure_prefix = "";     // opens every internal-failure message
bool g_memory_error = false;           // allocation failures raise MemoryError
const char* g_type_prefix = "builtins.";

// Re-raises a pending TypeError as "argument '{name}': {message}"; any other
// pending exception passes through unchanged.
[[noreturn]] void fail_argument(const char* name) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyErr_NormalizeException(&type, &value, &tb);
        Ref text(value ? PyObject_Str(value) : nullptr);
        const char* msg = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!msg) {
            PyErr_Clear();
            msg = "invalid argument";
        }
        PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, msg);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
    throw PyErrorSet{};
}

// Checks that `obj` is a float64 ndarray with `ndim` dimensions and returns a
// native-byte-order, aligned, C-contiguous array (the same object when it
// already is one, otherwise a copy).
Ref as_float64_array(PyObject* obj, int ndim, const char* name) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected a numpy.ndarray of dtype float64, got '%s'",
                     Py_TYPE(obj)->tp_name);
        fail_argument(name);
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_TYPE(arr) != NPY_DOUBLE) {
        Ref dtype_text(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        const char* dt = dtype_text ? PyUnicode_AsUTF8(dtype_text.get()) : nullptr;
        if (!dt) {
            PyErr_Clear();
            dt = "?";
        }
        PyErr_Format(PyExc_TypeError, "expected an array of dtype float64, got dtype %s", dt);
        fail_argument(name);
    }
    if (PyArray_NDIM(arr) != ndim) {
        PyErr_Format(PyExc_TypeError, "expected a %d-dimensional array, got %d dimensions", ndim,
                     PyArray_NDIM(arr));
        fail_argument(name);
    }
    const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED;
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);  // stolen below
    PyObject* out = PyArray_FromAny(obj, descr, ndim, ndim, flags, nullptr);
    if (!out) throw PyErrorSet{};
    return Ref(out);
}

}  // namespace

Ref check(PyObject* o) {
    if (!o) throw PyErrorSet{};
    return Ref(o);
}

void set_panic(const std::string& message) {
    PyObject* type = g_failure_type ? g_failure_type : g_panic_type;
    const std::string text = g_failure_prefix + message;
    PyErr_SetString(type ? type : PyExc_SystemError, text.c_str());
}

void set_allocation_failure() {
    if (g_memory_error) {
        PyErr_SetString(PyExc_MemoryError, "not enough memory for this call");
    } else {
        set_panic("memory allocation failed");
    }
}

void use_failure_type(PyObject* type, const char* prefix, bool memory_error) {
    g_failure_type = type;
    g_failure_prefix = prefix;
    g_memory_error = memory_error;
}

void set_type_prefix(const char* prefix) { g_type_prefix = prefix; }

namespace {

// New float64 array of `ndim` dimensions holding a copy of `flat`.
PyObject* new_float_array(std::span<const double> flat, int ndim, npy_intp* dims) {
    PyObject* out = PyArray_SimpleNew(ndim, dims, NPY_DOUBLE);
    if (!out) throw PyErrorSet{};
    if (!flat.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)), flat.data(),
                    flat.size() * sizeof(double));
    }
    return out;
}

}  // namespace

PyObject* float_array(std::span<const double> flat) {
    npy_intp dims[1] = {static_cast<npy_intp>(flat.size())};
    return new_float_array(flat, 1, dims);
}

PyObject* float_array(std::span<const double> flat, std::size_t rows, std::size_t cols) {
    if (flat.size() != rows * cols) throw InternalError("result size does not match its shape");
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return new_float_array(flat, 2, dims);
}

namespace {

void free_adopted(PyObject* capsule) {
    delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, nullptr));
}

}  // namespace

PyObject* adopt_array(std::vector<double>&& values, std::initializer_list<std::size_t> shape) {
    npy_intp dims[NPY_MAXDIMS];
    int ndim = 0;
    std::size_t size = 1;
    for (std::size_t d : shape) {
        if (ndim == NPY_MAXDIMS) throw InternalError("too many result dimensions");
        dims[ndim++] = static_cast<npy_intp>(d);
        size *= d;
    }
    if (size != values.size()) throw InternalError("result size does not match its shape");
    if (values.empty()) {
        PyObject* out = PyArray_ZEROS(ndim, dims, NPY_DOUBLE, 0);
        if (!out) throw PyErrorSet{};
        return out;
    }
    auto* owner = new std::vector<double>(std::move(values));
    Ref base(PyCapsule_New(owner, nullptr, free_adopted));
    if (!base) {
        delete owner;
        throw PyErrorSet{};
    }
    Ref out(PyArray_SimpleNewFromData(ndim, dims, NPY_DOUBLE, owner->data()));
    if (!out) throw PyErrorSet{};
    // The array takes the reference to its base even when this fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(out.get()), base.release()) < 0) {
        throw PyErrorSet{};
    }
    return out.release();
}

PyObject* empty_array(std::initializer_list<std::size_t> shape, double*& data) {
    npy_intp dims[NPY_MAXDIMS];
    int ndim = 0;
    std::size_t bytes = sizeof(double);
    for (std::size_t d : shape) {
        if (ndim == NPY_MAXDIMS) throw InternalError("too many result dimensions");
        if (d > static_cast<std::size_t>(NPY_MAX_INTP) ||
            (d != 0 && bytes > static_cast<std::size_t>(NPY_MAX_INTP) / d)) {
            PyErr_NoMemory();
            throw PyErrorSet{};
        }
        bytes *= d;
        dims[ndim++] = static_cast<npy_intp>(d);
    }
    PyObject* out = PyArray_SimpleNew(ndim, dims, NPY_DOUBLE);
    if (!out) throw PyErrorSet{};
    data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
    return out;
}

PyObject* count_array(std::span<const std::uint64_t> values) {
    return int64_array(values, {values.size()});
}

namespace {
const char* g_borrow_while_changing = "Already mutably borrowed";
const char* g_borrow_while_in_use = "Already borrowed";
}  // namespace

void fail_borrow(bool exclusive) {
    PyErr_SetString(PyExc_RuntimeError,
                    exclusive ? g_borrow_while_in_use : g_borrow_while_changing);
    throw PyErrorSet{};
}

void set_borrow_messages(const char* while_changing, const char* while_in_use) {
    g_borrow_while_changing = while_changing;
    g_borrow_while_in_use = while_in_use;
}

PyObject* float_array(std::span<const double> flat, std::initializer_list<std::size_t> shape) {
    npy_intp dims[8];
    std::size_t size = 1;
    int ndim = 0;
    if (shape.size() > 8) throw InternalError("result has too many dimensions");
    for (std::size_t d : shape) {
        dims[ndim++] = static_cast<npy_intp>(d);
        size *= d;
    }
    if (size != flat.size()) throw InternalError("result size does not match its shape");
    return new_float_array(flat, ndim, dims);
}

PyObject* new_int64_array(std::initializer_list<std::size_t> shape, std::int64_t*& data) {
    npy_intp dims[8];
    int ndim = 0;
    if (shape.size() > 8) throw InternalError("result has too many dimensions");
    for (std::size_t d : shape) dims[ndim++] = static_cast<npy_intp>(d);
    PyObject* out = PyArray_SimpleNew(ndim, dims, NPY_INT64);
    if (!out) throw PyErrorSet{};
    data = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)));
    return out;
}

bool init_boundary(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return false;
    if (!g_panic_type) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "The exception raised when an internal failure ends a call.", PyExc_BaseException,
            nullptr);
        if (!g_panic_type) return false;
    }
    Ref all(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    return true;
}

void parse_args(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
                ...) {
    va_list va;
    va_start(va, names);
    const int ok = PyArg_VaParseTupleAndKeywords(args, kwargs, format,
                                                 const_cast<char**>(names), va);
    va_end(va);
    if (!ok) throw PyErrorSet{};
}

Matrix to_matrix(PyObject* obj, const char* name) {
    Matrix m;
    m.array_ = as_float64_array(obj, 2, name);
    auto* arr = reinterpret_cast<PyArrayObject*>(m.array_.get());
    m.view_.data = static_cast<const double*>(PyArray_DATA(arr));
    m.view_.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    m.view_.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
    m.view_.row_stride = m.view_.cols;
    return m;
}

Vector to_vector(PyObject* obj, const char* name) {
    Vector v;
    v.array_ = as_float64_array(obj, 1, name);
    auto* arr = reinterpret_cast<PyArrayObject*>(v.array_.get());
    v.view_ = Vec(static_cast<const double*>(PyArray_DATA(arr)),
                  static_cast<std::size_t>(PyArray_DIM(arr, 0)));
    return v;
}

std::optional<Vector> to_opt_vector(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_vector(obj, name);
}

void parse_no_args(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* const names[] = {nullptr};
    parse_args(args, kwargs, format, names);
}

Matrix parse_matrix(PyObject* args, PyObject* kwargs, const char* format, const char* name) {
    const char* const names[] = {name, nullptr};
    PyObject* ox;
    parse_args(args, kwargs, format, names, &ox);
    return to_matrix(ox, name);
}

FitArgs parse_fit(PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"x", "y", "sample_weight", nullptr};
    PyObject *ox, *oy, *ow = Py_None;
    parse_args(args, kwargs, "OO|O:fit", names, &ox, &oy, &ow);
    Matrix x = to_matrix(ox, "x");
    Vector y = to_vector(oy, "y");
    auto w = to_opt_vector(ow, "sample_weight");
    return FitArgs{std::move(x), std::move(y), std::move(w)};
}

std::uint64_t to_count(PyObject* obj, const char* name) {
    Ref index(PyNumber_Index(obj));
    if (!index) fail_argument(name);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_argument(name);
    return static_cast<std::uint64_t>(v);
}

std::optional<std::uint64_t> to_opt_count(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_count(obj, name);
}

double to_float(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "must be real number, not %s", Py_TYPE(obj)->tp_name);
        fail_argument(name);
    }
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) fail_argument(name);
    return v;
}

bool to_flag(PyObject* obj, const char* name) {
    if (PyBool_Check(obj)) return obj == Py_True;
    const char* tn = Py_TYPE(obj)->tp_name;
    if (std::strcmp(tn, "numpy.bool") == 0 || std::strcmp(tn, "numpy.bool_") == 0) {
        const int t = PyObject_IsTrue(obj);
        if (t < 0) fail_argument(name);
        return t != 0;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bool'", tn);
    fail_argument(name);
}

std::string to_text(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'str'",
                     Py_TYPE(obj)->tp_name);
        fail_argument(name);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) fail_argument(name);
    return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> to_opt_text(PyObject* obj, const char* name) {
    if (obj == nullptr || obj == Py_None) return std::nullopt;
    return to_text(obj, name);
}

std::string_view to_bytes(PyObject* obj, const char* name) {
    if (!PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bytes'",
                     Py_TYPE(obj)->tp_name);
        fail_argument(name);
    }
    return std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

PyObject* py_bytes(const std::string& v) {
    return check(PyBytes_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()))).release();
}

PyObject* none() { Py_RETURN_NONE; }

PyObject* py_bool(bool v) { return check(PyBool_FromLong(v ? 1 : 0)).release(); }
PyObject* py_int(std::uint64_t v) {
    return check(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v))).release();
}
PyObject* py_float(double v) { return check(PyFloat_FromDouble(v)).release(); }
PyObject* py_text(const std::string& v) {
    return check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())))
        .release();
}

PyObject* float_list(std::span<const double> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py_float(values[i]));
    }
    return list.release();
}

PyObject* int_list(std::span<const std::uint64_t> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), py_int(values[i]));
    }
    return list.release();
}

PyObject* float_rows(std::span<const double> flat, std::size_t rows, std::size_t cols) {
    if (flat.size() != rows * cols) throw tw::InternalError("result matrix has the wrong size");
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(rows)));
    for (std::size_t r = 0; r < rows; ++r) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r),
                        float_list(flat.subspan(r * cols, cols)));
    }
    return list.release();
}

PyObject* optional_int_list(const std::optional<std::vector<std::uint64_t>>& values) {
    if (!values) return none();
    return int_list(*values);
}

PyObject* reduce_to_state(const char* class_name, const std::string& state) {
    Ref persist = check(PyImport_ImportModule("tarnwood._persist"));
    Ref restore = check(PyObject_GetAttrString(persist.get(), "_restore"));
    Ref name = check(PyUnicode_FromString(class_name));
    Ref bytes(py_bytes(state));
    Ref args = check(PyTuple_Pack(2, name.get(), bytes.get()));
    return check(PyTuple_Pack(2, restore.get(), args.get())).release();
}

void dict_set(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    if (PyDict_SetItemString(dict, key, owned.get()) < 0) throw PyErrorSet{};
}

PyTypeObject* add_class(PyObject* module, const TypeDescription& desc) {
    // The type may keep a pointer to its name, so the name lives for the
    // whole process (a handful of strings, one per class).
    const std::string* full_name = new std::string(std::string(g_type_prefix) + desc.name);
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(desc.doc)},
        {Py_tp_new, reinterpret_cast<void*>(desc.tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(desc.tp_dealloc)},
        {Py_tp_methods, desc.methods},
        {Py_tp_getset, desc.getset},
        {0, nullptr},
    };
    PyType_Spec definition = {
        full_name->c_str(),
        static_cast<int>(desc.basicsize),
        0,
        Py_TPFLAGS_DEFAULT,
        slots,
    };
    Ref type(PyType_FromSpec(&definition));
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module, desc.name, type.get()) < 0) return nullptr;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) return nullptr;
    Ref all_ref(all);
    Ref name(PyUnicode_FromString(desc.name));
    if (!name || PyList_Append(all, name.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.get());  // the module keeps it alive
}

GcPause::GcPause() {
    PyObject* gc = PyImport_ImportModule("gc");
    if (gc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* enabled = PyObject_CallMethod(gc, "isenabled", nullptr);
    if (enabled == Py_True) {
        PyObject* r = PyObject_CallMethod(gc, "disable", nullptr);
        if (r != nullptr) {
            Py_DECREF(r);
            gc_ = gc;
            gc = nullptr;
        }
    }
    Py_XDECREF(enabled);
    Py_XDECREF(gc);
    PyErr_Clear();
}

GcPause::~GcPause() {
    if (gc_ == nullptr) return;
    // Keep any exception being raised across the re-enable call.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* r = PyObject_CallMethod(gc_, "enable", nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    Py_DECREF(gc_);
}

}  // namespace tw::py
