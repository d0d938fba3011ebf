// The host's semantics, for module code that must behave exactly as the
// interpreter would: equality, truth, iteration, logging through the module's
// logger, re-raising with a prefix, method calls by interned name.
//
//     if (str_equal(a, b)) ...                    // two exact str objects, no Python code
//     int r = host_eq(a, b);                      // bool(a == b): 1, 0, -1 (inner loops)
//     if (equals(a, b)) ...                       // the same, throwing the frame's marker
//     each(items, [&](nb::handle item) {          // list by position while walking,
//         ...; return false;                      // anything else by the iterator protocol;
//     });                                         // true stops the walk
//     nb::object r = call_method(S.str_get, mapping, key, default_value);
//     S.log(S.str_warning, message);              // logger.warning(message) (state.hpp)
//     try { ... } catch (error_already_set &) {   // "<prefix><message>", same class,
//         reraise_with_prefix([&] { return prefix_text(); });   // original as the cause
//     }
//
// Conventions: functions returning `int` are for inner loops (1 true, 0
// false, -1 with a Python error set); functions returning `bool` or
// `nb::object` throw the frame's marker (`throw_error()`) with the error set.
#pragma once

#include "frame/frame.hpp"
#include "frame/guard.hpp"

#include <cstdint>
#include <cstring>

namespace kelvane {

// ---------------------------------------------------------------- equality and truth

// The bytes at `p` as one unaligned word.
template <class Word>
inline Word load(const unsigned char *p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Equality of two exact str objects (what str.__eq__ answers). Compact
// strings are canonical: equal text means equal kind, length and bytes.
// Runs no Python code.
inline bool str_equal(PyObject *a, PyObject *b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    const auto *pa = static_cast<const unsigned char *>(PyUnicode_DATA(a));
    const auto *pb = static_cast<const unsigned char *>(PyUnicode_DATA(b));
    const std::size_t size = static_cast<std::size_t>(n) * static_cast<std::size_t>(kind);
    if (size > 8) {
        // Hashes already computed tell most unequal texts apart without reading
        // them (names sharing a long prefix: "attribute_01", "attribute_02").
        const Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash;
        const Py_hash_t hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
        if (ha != -1 && hb != -1 && ha != hb) return false;
    }
    if (size <= 16) {
        // Names and categories are mostly short: two overlapping words cover them.
        if (size >= 8) return load<std::uint64_t>(pa) == load<std::uint64_t>(pb) &&
                              load<std::uint64_t>(pa + size - 8) == load<std::uint64_t>(pb + size - 8);
        if (size >= 4) return load<std::uint32_t>(pa) == load<std::uint32_t>(pb) &&
                              load<std::uint32_t>(pa + size - 4) == load<std::uint32_t>(pb + size - 4);
        for (std::size_t i = 0; i < size; ++i)
            if (pa[i] != pb[i]) return false;
        return true;
    }
    return std::memcmp(pa, pb, size) == 0;
}

// The hash of an exact str: the one it keeps, computed and kept now if it
// has none yet. Runs no Python code.
inline Py_hash_t str_hash(PyObject *s) {
    const Py_hash_t h = reinterpret_cast<PyASCIIObject *>(s)->hash;
    return h != -1 ? h : PyObject_Hash(s);
}

// bool(o): 1, 0, or -1 with an error set.
inline int host_truth(PyObject *o) {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

// bool(a <op> b) as the host evaluates it (no identity shortcut): 1, 0, or
// -1 with an error set. `op` is Py_EQ, Py_NE, Py_LT...
inline int host_compare(PyObject *a, PyObject *b, int op) {
    PyObject *r = PyObject_RichCompare(a, b, op);
    if (!r) return -1;
    const int t = host_truth(r);
    Py_DECREF(r);
    return t;
}

// bool(a == b): exact strings and exact floats are compared in C.
inline int host_eq(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return str_equal(a, b);
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    return host_compare(a, b, Py_EQ);
}

// bool(a != b).
inline int host_ne(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return !str_equal(a, b);
    return host_compare(a, b, Py_NE);
}

// Throwing forms, for method bodies.
inline bool equals(nb::handle a, nb::handle b) {
    const int r = host_eq(a.ptr(), b.ptr());
    if (r < 0) throw_error();
    return r != 0;
}
inline bool differs(nb::handle a, nb::handle b) {
    const int r = host_ne(a.ptr(), b.ptr());
    if (r < 0) throw_error();
    return r != 0;
}
inline bool truthy(nb::handle o) {
    const int r = host_truth(o.ptr());
    if (r < 0) throw_error();
    return r != 0;
}

// a + b + ..., evaluated left to right as the host does: exact strings are
// joined in C; anything else goes to the interpreter (a str subclass's own
// __radd__, the TypeError for an operand that is not a str).
inline nb::object add(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) return check(PyUnicode_Concat(a.ptr(), b.ptr()));
    return check(PyNumber_Add(a.ptr(), b.ptr()));
}
template <class... More>
nb::object add(nb::handle a, nb::handle b, nb::handle c, More... more) {
    return add(add(a, b), c, more...);
}

// ---------------------------------------------------------------- iteration

// Calls f(item) for each element in order until f returns true; each item is
// held for the length of its call. An exact list is read by position while
// it is walked (what the host's list iterator does: items appended by f are
// visited, a list shortened by f ends the walk); anything else goes through
// the iterator protocol, with its own errors.
template <class F>
void each(nb::handle iterable, F &&f) {
    PyObject *seq = iterable.ptr();
    if (PyList_CheckExact(seq)) {
        nb::object list = nb::borrow(seq);   // f may drop the caller's reference
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(seq, i));
            if (f(nb::handle(item))) return;
        }
        return;
    }
    nb::object it = check(PyObject_GetIter(seq));
    for (;;) {
        nb::object item = nb::steal(PyIter_Next(it.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        if (f(nb::handle(item))) return;
    }
}

// ---------------------------------------------------------------- calls

// self.<name>(args...), the name being interned.
template <class... A>
nb::object call_method(PyObject *name, nb::handle self, A... args) {
    PyObject *argv[] = {self.ptr(), nb::handle(args).ptr()...};
    return check(PyObject_VectorcallMethod(name, argv, sizeof...(A) + 1, nullptr));
}

// Whether `name` on `obj` is still `original`, the function its class was
// declared with: not overridden by a subclass, on the class, or in the
// instance dict, and not hidden by a __getattribute__ (guard.hpp). A fast
// path may then do what that function does. Runs no Python code (a failing
// dict test counts as overridden).
inline bool method_is(PyObject *obj, PyObject *name, nb::handle original) {
    if (_PyType_Lookup(Py_TYPE(obj), name) != original.ptr() || !plain_instance_lookup(Py_TYPE(obj))) return false;
    PyObject **dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr && *dictptr) {
        const int has = PyDict_Contains(*dictptr, name);   // exact str key: no Python code
        if (has < 0) PyErr_Clear();
        if (has != 0) return false;
    }
    return true;
}

// The function `cls` holds under `name` (no descriptor binding), to compare
// with `method_is`; AttributeError when it has none.
nb::object class_function(nb::handle cls, PyObject *name);

// ---------------------------------------------------------------- logging

// logger.<level>(message) through the `logger` the namespace holds at the
// time of the call (a caller may replace it); NameError when it holds none.
// One event text, no keyword fields.
void log_event(nb::handle ns, PyObject *level, nb::handle message);

// ---------------------------------------------------------------- re-raising

// Sets `context` as the context of the pending exception (what raising inside
// an `except` block does); nothing when none is pending.
void chain_pending(nb::handle context);

// Re-raises the pending exception as the same class with the message
// prefix + str(exception), the original as its cause (and context), as
// `raise type(e)(prefix + str(e)) from e` would. Exceptions outside
// Exception (interrupts, exits) pass unchanged. `prefix` is a str.
[[noreturn]] void reraise_with_prefix(nb::handle prefix);

// The same with the prefix made by `make_prefix()` (returning a str
// nb::object) once the exception has been taken, so that the prefix is only
// built on the error path. An error while making it is raised instead, with
// the original as its context.
template <class MakePrefix>
[[noreturn]] void reraise_with_prefix(MakePrefix &&make_prefix) {
    nb::object pending = nb::steal(PyErr_GetRaisedException());
    nb::object prefix;
    try {
        prefix = make_prefix();
    } catch (error_already_set &) {
        chain_pending(pending);
        throw;
    }
    PyErr_SetRaisedException(pending.release().ptr());
    reraise_with_prefix(nb::handle(prefix));
}

}  // namespace kelvane
