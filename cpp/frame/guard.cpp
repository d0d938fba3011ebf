// The out-of-line parts of the frame's guards (guard.hpp).
#include "frame/guard.hpp"
#include "frame/frame.hpp"

#include <pthread.h>

#include <algorithm>

namespace kelvane {

namespace detail {

thread_local StackLimit stack_limit __attribute__((tls_model("initial-exec")));

// The stack grows down from addr + size. A quarter of it, between 64 KiB and
// 256 KiB, is kept back: one level of interpreter frames between two of our
// calls, the error raised there and its unwinding fit in it (also with the
// larger frames of sanitizer builds).
void learn_stack_limit(StackLimit &limit) noexcept {
    limit.known = true;
    limit.lowest = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void *addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size) {
        const std::size_t margin = std::clamp<std::size_t>(size / 4, 64 * 1024, 256 * 1024);
        if (size > margin) limit.lowest = reinterpret_cast<std::uintptr_t>(addr) + margin;
    }
    pthread_attr_destroy(&attr);
}

}  // namespace detail

bool plain_instance_lookup(PyTypeObject *t) noexcept {
    static PyObject *const getattribute = intern("__getattribute__");
    static PyObject *const object_getattribute =
        getattribute ? _PyType_Lookup(&PyBaseObject_Type, getattribute) : nullptr;
    return object_getattribute && _PyType_Lookup(t, getattribute) == object_getattribute;
}

bool read_from_instance_dict(PyTypeObject *t, PyObject *name) noexcept {
    if (!plain_instance_lookup(t)) return false;
    PyObject *found = _PyType_Lookup(t, name);   // borrowed; only its type is looked at
    return !found || !Py_TYPE(found)->tp_descr_set;
}

int check_stack(const char *where) noexcept {
    if (!stack_exhausted()) return 0;
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return -1;
}

}  // namespace kelvane
