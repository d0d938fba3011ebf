// What C++ code must prove before it takes a shortcut the interpreter would
// not take: that enough C stack is left to go one call deeper.
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

namespace kelvane {

namespace detail {

// The lowest stack address this thread may reach before calls are refused;
// 0 until learned (and when the stack bounds are unknown: never refused).
struct StackLimit {
    std::uintptr_t lowest = 0;
    bool known = false;
};
// Initial-exec: one load relative to the thread pointer, no library call on
// the hot path (the variable is a few bytes of static TLS).
extern thread_local StackLimit stack_limit __attribute__((tls_model("initial-exec")));

// Learns the bounds of the calling thread's stack.
void learn_stack_limit(StackLimit &limit) noexcept;

}  // namespace detail

// Whether the calling thread's stack is too deep for one more level of calls
// (the margin left covers the interpreter's frames of one level and raising
// the error). Runs no Python code.
inline bool stack_exhausted() noexcept {
    detail::StackLimit &limit = detail::stack_limit;
    if (!limit.known) detail::learn_stack_limit(limit);
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < limit.lowest;
}

// Sets RecursionError when the stack is exhausted: 0 when the caller may go
// on, -1 with the error set.
int check_stack(const char *where = "") noexcept;

}  // namespace kelvane
