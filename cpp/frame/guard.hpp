// What C++ code must prove before it takes a shortcut the interpreter would
// not take.
//
// 1. A fast path must prove that it is allowed, or do what the plain
//    algorithm does. It may skip an attribute lookup, a method call or a
//    comparison only when the objects involved are of exact types whose
//    behaviour it knows (exact str, float, int, list, dict; the module's own
//    record classes), and only while the lookups it skips still answer what
//    they answered when it learned them. A class's lookups change only
//    through the class or a base (a property, a method or __getattribute__
//    set later), and every such change gives the class a new version tag
//    (PyType_Modified). So a fast path proves its lookups once per version
//    tag and compares the tag on every use:
//
//        static VersionProof proof;
//        if (proven(proof, type, [&] { return <the lookups answer as learned>; }))
//            ... fast path ...
//        else
//            ... plain algorithm ...
//
//    Subclasses are never taken for their base (exact types only): a
//    subclass may read a field through a property or override a method.
//    Values of any other type are compared, called and looked up by the
//    interpreter, with the operands on the side the plain algorithm puts them.
//
// 2. Enough C stack must be left to go one call deeper:
//
//     if (stack_exhausted()) { PyErr_SetString(PyExc_RecursionError, ...); ... }
//
// Every call of a frame function checks the stack first (function.cpp), so
// data nested through Python code and back (a YAML representer calling the
// library, which calls the representer again for every child; a comparison
// whose __eq__ calls a lookup again) ends in RecursionError, never in a
// stack overflow, in any thread, whatever its stack size or the recursion
// limit. The interpreter's own C recursion counter assumes a main-thread-sized
// stack; this test measures the real one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace kelvane {

namespace detail {

// The lowest stack address this thread may reach before calls are refused;
// 0 until learned (and when the stack bounds are unknown: never refused).
struct StackLimit {
    std::uintptr_t lowest = 0;
    bool known = false;
};
// Initial-exec: one load relative to the thread pointer, no library call on
// the hot path (the variable is a few bytes of static TLS). Compilers without
// the GNU attribute keep their own model.
#if defined(__GNUC__)
#define KELVANE_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define KELVANE_TLS_INITIAL_EXEC
#endif
extern thread_local StackLimit stack_limit KELVANE_TLS_INITIAL_EXEC;

// Learns the bounds of the calling thread's stack.
void learn_stack_limit(StackLimit &limit) noexcept;

// An address in the caller's stack frame (the stack grows down on every
// platform built for).
#if defined(__GNUC__)
#define KELVANE_STACK_POSITION() reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0))
#elif defined(_MSC_VER)
#define KELVANE_STACK_POSITION() reinterpret_cast<std::uintptr_t>(_AddressOfReturnAddress())
#else
#define KELVANE_STACK_POSITION() ::kelvane::detail::address_of_a_local()
inline std::uintptr_t address_of_a_local() noexcept {
    volatile char local = 0;
    return reinterpret_cast<std::uintptr_t>(&local);
}
#endif

}  // namespace detail

// Whether the calling thread's stack is too deep for one more level of calls
// (the margin left covers the interpreter's frames of one level and raising
// the error). Runs no Python code.
inline bool stack_exhausted() noexcept {
    detail::StackLimit &limit = detail::stack_limit;
    if (!limit.known) detail::learn_stack_limit(limit);
    return KELVANE_STACK_POSITION() < limit.lowest;
}

// ---------------------------------------------------------------- lookups

// The version tag of one class at which a fast path last proved its lookups.
// The class is compared by pointer and tag: tags are never reused, so a class
// freed and another made at the same address never passes for it.
struct VersionProof {
    PyTypeObject *type = nullptr;   // borrowed; only compared
    unsigned int tag = 0;           // 0: nothing proved

    bool holds(PyTypeObject *t) const noexcept { return t == type && tag != 0 && t->tp_version_tag == tag; }
    // Records the class's current tag (assigning one when it has none).
    void prove(PyTypeObject *t) noexcept {
        tag = 0;
        type = t;
        if (PyUnstable_Type_AssignVersionTag(t)) tag = t->tp_version_tag;
    }
};

// Whether `check()` holds for the class, asking it only when the class has
// changed since it last held. `check` must run no Python code.
template <class Check>
bool proven(VersionProof &proof, PyTypeObject *t, Check &&check) {
    if (proof.holds(t)) return true;
    if (!check()) return false;
    proof.prove(t);
    return true;
}

// Whether instances of `t` look attributes up the plain way: the class's
// __getattribute__ is object's (a __getattr__, as the record base defines,
// only answers what that lookup misses). Runs no Python code.
bool plain_instance_lookup(PyTypeObject *t) noexcept;

// Whether attribute `name` of instances of `t` is read from the instance dict
// whenever the dict holds it: plain lookup, and no data descriptor (a
// property, a slot) for the name on the class or a base. Runs no Python code.
bool read_from_instance_dict(PyTypeObject *t, PyObject *name) noexcept;

// Sets RecursionError when the stack is exhausted: 0 when the caller may go
// on, -1 with the error set.
int check_stack(const char *where = "") noexcept;

}  // namespace kelvane
