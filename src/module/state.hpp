// Pickling support shared by the bindings: __getstate__, __setstate__ and
// __reduce__ for a core type T with `std::string save() const` and
// `static T load(std::string_view)` (or, for types that cannot be moved,
// `static std::unique_ptr<T> load(std::string_view)`). The saved state (the
// bytes save() returns) is checked by `load`, so a corrupted or foreign state
// is a ValueError and leaves the object as it was.
#pragma once
#include <cstring>
#include <memory>
#include <type_traits>
#include <string_view>
#include <utility>

#include "module/py.hpp"

namespace tw::py {

template <class T>
PyObject* state_getstate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":__getstate__");
        Shared<T> model(self);
        return py_bytes(model->save());
    });
}

template <class T>
PyObject* state_setstate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const names[] = {"state", nullptr};
        PyObject* ostate;
        parse_args(args, kwargs, "O:__setstate__", names, &ostate);
        const std::string_view state = to_bytes(ostate, "state");
        auto loaded = T::load(state);
        Exclusive<T> model(self);
        if constexpr (std::is_same_v<decltype(loaded), std::unique_ptr<T>>) {
            auto* box = reinterpret_cast<Box<T>*>(self);
            std::unique_ptr<T> old(box->value);
            box->value = loaded.release();
        } else {
            *model = std::move(loaded);
        }
        return none();
    });
}

// (tarnwood._persist._restore, (class name, state)); the class name is the
// type's own, so one template serves every class.
template <class T>
PyObject* state_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        parse_no_args(args, kwargs, ":__reduce__");
        const char* name = Py_TYPE(self)->tp_name;  // "builtins.<Name>"
        if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
        Shared<T> model(self);
        return reduce_to_state(name, model->save());
    });
}

}  // namespace tw::py

// The three method-table entries of a picklable class.
#define TW_STATE_METHODS(T)                                                                  \
    TW_METHOD("__getstate__", ::tw::py::state_getstate<T>, "__getstate__($self)\n--\n\n"),   \
        TW_METHOD("__reduce__", ::tw::py::state_reduce<T>, "__reduce__($self)\n--\n\n"),     \
        TW_METHOD("__setstate__", ::tw::py::state_setstate<T>, "__setstate__($self, state)\n--\n\n")
