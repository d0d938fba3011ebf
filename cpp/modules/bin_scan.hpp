// Scanning helpers shared by the binning and the monitoring modules.
//
// Bin lookups run once per binned attribute of every scored record, so the
// helpers below take the exact-type fast paths (exact str, exact float) in C
// and fall back to the interpreter's own comparison for anything else, which
// keeps its semantics and its error messages.
#pragma once

#include "frame/frame.hpp"

#include <cstring>

namespace kelvane::bins {

// Equality of two exact str objects (what str.__eq__ answers).
inline bool text_equal(PyObject *a, PyObject *b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
}

// `obj == other` where `text` is the exact str form of `other`: 1, 0, or -1
// with an error set. Objects that are not exact str are compared with
// `other` by the interpreter.
inline int equals(PyObject *obj, PyObject *text, PyObject *other) {
    if (PyUnicode_CheckExact(obj)) return text_equal(obj, text);
    return PyObject_RichCompareBool(obj, other, Py_EQ);
}

// isinstance(o, cls), with the exact-type test first.
inline int is_instance(PyObject *o, PyObject *cls) {
    if (Py_TYPE(o) == reinterpret_cast<PyTypeObject *>(cls)) return 1;
    return PyObject_IsInstance(o, cls);
}

// The value being looked up as a float object, made only when a comparison
// or a message needs it (an int or a None input has none until then).
class FloatValue {
public:
    FloatValue(double v, PyObject *borrowed) : v_(v), obj_(borrowed) {}
    ~FloatValue() { Py_XDECREF(owned_); }
    FloatValue(const FloatValue &) = delete;
    FloatValue &operator=(const FloatValue &) = delete;
    double value() const { return v_; }
    // Borrowed; nullptr with an error set on failure.
    PyObject *object() {
        if (!obj_) obj_ = owned_ = PyFloat_FromDouble(v_);
        return obj_;
    }

private:
    double v_;
    PyObject *obj_;
    PyObject *owned_ = nullptr;
};

// Truth of `a < b` / `a <= b` computed by the interpreter (used when an
// operand is not an exact float, so that its own rules and errors apply).
inline int compare(PyObject *a, PyObject *b, int op) {
    PyObject *r = PyObject_RichCompare(a, b, op);
    if (!r) return -1;
    int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    return t;
}

// `lower < value <= upper`, evaluated as the chained comparison is: the upper
// bound is not looked at when the lower test fails. 1, 0, or -1 with an error.
inline int in_interval(PyObject *lower, PyObject *upper, FloatValue &value) {
    const double v = value.value();
    int t;
    if (PyFloat_CheckExact(lower)) {
        t = PyFloat_AS_DOUBLE(lower) < v;
    } else {
        PyObject *vo = value.object();
        if (!vo) return -1;
        t = compare(lower, vo, Py_LT);
    }
    if (t <= 0) return t;
    if (PyFloat_CheckExact(upper)) return v <= PyFloat_AS_DOUBLE(upper);
    PyObject *vo = value.object();
    if (!vo) return -1;
    return compare(vo, upper, Py_LE);
}

// `value in items` for a list of categories, as list membership compares
// (identity, then item == value); other containers go to the interpreter.
inline int contains(PyObject *items, PyObject *value) {
    if (!PyList_CheckExact(items)) return PySequence_Contains(items, value);
    const bool text = PyUnicode_CheckExact(value);
    const bool number = PyFloat_CheckExact(value);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject *item = PyList_GET_ITEM(items, i);
        if (item == value) return 1;
        if (PyUnicode_CheckExact(item)) {
            if (text) {
                if (text_equal(item, value)) return 1;
                continue;
            }
            if (number) continue;   // a str never equals a float
        }
        Py_INCREF(item);
        int r = PyObject_RichCompareBool(item, value, Py_EQ);
        Py_DECREF(item);
        if (r != 0) return r;
    }
    return 0;
}

// The bins of a binning as a list, new reference: the list itself, or a list
// made from any other iterable (with the iteration's own error for the rest).
inline PyObject *bin_list(PyObject *discretisation) {
    if (PyList_CheckExact(discretisation)) return Py_NewRef(discretisation);
    return PySequence_List(discretisation);
}

// A strong reference held for the length of one scan step.
struct Ref {
    PyObject *p;
    explicit Ref(PyObject *o) : p(o) {}
    ~Ref() { Py_XDECREF(p); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *release() {
        PyObject *o = p;
        p = nullptr;
        return o;
    }
    explicit operator bool() const { return p != nullptr; }
};

}  // namespace kelvane::bins
