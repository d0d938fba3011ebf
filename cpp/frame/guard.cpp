// The out-of-line parts of the frame's guards (guard.hpp).
#include "frame/guard.hpp"
#include "frame/frame.hpp"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <algorithm>

// glibc 2.34 moved these two into libc under new default versions (2.32 and
// 2.34) and kept the old ones beside them, the same functions. Binding the old
// ones keeps the modules loadable on glibc 2.28 (manylinux_2_28) when they are
// built on a newer system; the names are those of each architecture's first
// glibc. Other architectures take the default versions.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
#if defined(__x86_64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver pthread_getattr_np, pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack, pthread_attr_getstack@GLIBC_2.17");
#endif
#endif

namespace kelvane {

namespace detail {

thread_local StackLimit stack_limit KELVANE_TLS_INITIAL_EXEC;

namespace {

// The lowest address and the size of the calling thread's stack; false where
// the platform does not tell them (the guard then never refuses).
bool thread_stack(std::uintptr_t &lowest, std::size_t &size) noexcept {
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void *addr = nullptr;
    const bool known = pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size;
    pthread_attr_destroy(&attr);
    lowest = reinterpret_cast<std::uintptr_t>(addr);
    return known;
#elif defined(__APPLE__)
    // The address macOS gives is the top of the stack.
    const pthread_t self = pthread_self();
    size = pthread_get_stacksize_np(self);
    lowest = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self)) - size;
    return size != 0;
#elif defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    lowest = low;
    size = high - low;
    return size != 0;
#else
    (void)lowest;
    (void)size;
    return false;
#endif
}

}  // namespace

// The stack grows down from lowest + size. A quarter of it, between 64 KiB and
// 256 KiB, is kept back: one level of interpreter frames between two of our
// calls, the error raised there and its unwinding fit in it (also with the
// larger frames of sanitizer builds).
void learn_stack_limit(StackLimit &limit) noexcept {
    limit.known = true;
    limit.lowest = 0;
    std::uintptr_t lowest = 0;
    std::size_t size = 0;
    if (!thread_stack(lowest, size)) return;
    const std::size_t margin = std::clamp<std::size_t>(size / 4, 64 * 1024, 256 * 1024);
    if (size > margin) limit.lowest = lowest + margin;
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
