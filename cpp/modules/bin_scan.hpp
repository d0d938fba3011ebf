// Scanning helpers shared by the binning and the monitoring modules.
//
// Bin lookups run once per binned attribute of every scored record. The
// helpers below read the bins' fields without touching reference counts,
// take the exact-type fast paths (exact str, exact float) in C, and hand a
// comparison to the interpreter only when an operand is of another type,
// which keeps the interpreter's semantics and its error messages.
#pragma once

#include "frame/fields.hpp"

#include <cstring>

namespace kelvane::bins {

// Equality of two exact str objects (what str.__eq__ answers).
inline bool text_equal(PyObject *a, PyObject *b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b)) return false;
    const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
    const std::size_t size = static_cast<std::size_t>(n) * kind;
    if (size <= 16) {
        // Labels and categories are mostly short: no library call for them.
        const unsigned char *pa = static_cast<const unsigned char *>(da), *pb = static_cast<const unsigned char *>(db);
        for (std::size_t i = 0; i < size; ++i)
            if (pa[i] != pb[i]) return false;
        return true;
    }
    return std::memcmp(da, db, size) == 0;
}

// A strong reference released at the end of the scope.
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

// The bins of a binning as a list, new reference: the list itself, or a list
// made from any other iterable (with the iteration's own error for the rest).
inline PyObject *bin_list(PyObject *discretisation) {
    if (PyList_CheckExact(discretisation)) return Py_NewRef(discretisation);
    return PySequence_List(discretisation);
}

// ---------------------------------------------------------------- fields

// The fields the scans read (frame/fields.hpp: the bin and binning records
// are read straight from their dicts).
enum Field : int { NAME, VALUE, LOWER_BOUND, UPPER_BOUND, CATEGORIES, DISCRETISATION, ATTRIBUTE, BINNING };

inline void name_fields(RecordFields &fields) {
    fields.init({"name", "value", "lower_bound", "upper_bound", "categories", "discretisation", "attribute", "binning"});
}

// ---------------------------------------------------------------- tests

// 1 when the record is an instance of `wanted` (`other` being a class it
// cannot be at the same time), 0, or -1 with an error.
inline int kind_is(RecordReader &r, PyObject *wanted, PyObject *other) {
    PyTypeObject *t = Py_TYPE(r.record());
    if (t == reinterpret_cast<PyTypeObject *>(wanted)) return 1;
    if (t == reinterpret_cast<PyTypeObject *>(other)) return 0;
    r.pin();
    return PyObject_IsInstance(r.record(), wanted);
}

// `obj == other` where `text` is the exact str form of `other`: 1, 0, or -1
// with an error set. Objects that are not exact str are compared with
// `other` by the interpreter.
inline int equals(PyObject *obj, PyObject *text, PyObject *other) {
    if (PyUnicode_CheckExact(obj)) return text_equal(obj, text);
    return PyObject_RichCompareBool(obj, other, Py_EQ);
}
// The same for a value read through `r`.
inline int equals(RecordReader &r, PyObject *obj, PyObject *text, PyObject *other) {
    if (PyUnicode_CheckExact(obj)) return text_equal(obj, text);
    r.pin();
    return PyObject_RichCompareBool(obj, other, Py_EQ);
}

// Truth of `a < b` / `a <= b` computed by the interpreter.
inline int compare(PyObject *a, PyObject *b, int op) {
    PyObject *res = PyObject_RichCompare(a, b, op);
    if (!res) return -1;
    int t = res == Py_True ? 1 : res == Py_False ? 0 : PyObject_IsTrue(res);
    Py_DECREF(res);
    return t;
}

// `lower < value <= upper`, evaluated as the chained comparison is: the upper
// bound is not looked at when the lower test fails. 1, 0, or -1 with an error.
inline int in_interval(RecordReader &r, PyObject *lower, PyObject *upper, FloatValue &value) {
    const double v = value.value();
    int t;
    if (PyFloat_CheckExact(lower)) {
        t = PyFloat_AS_DOUBLE(lower) < v;
    } else {
        PyObject *vo = value.object();
        if (!vo) return -1;
        r.pin();
        t = compare(lower, vo, Py_LT);
    }
    if (t <= 0) return t;
    if (PyFloat_CheckExact(upper)) return v <= PyFloat_AS_DOUBLE(upper);
    PyObject *vo = value.object();
    if (!vo) return -1;
    r.pin();
    return compare(vo, upper, Py_LE);
}

// `value in items`, as list membership compares (identity, then
// item == value); other containers (and None) go to the interpreter.
inline int contains(RecordReader &r, PyObject *items, PyObject *value) {
    if (!PyList_CheckExact(items)) {
        r.pin();
        return PySequence_Contains(items, value);
    }
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
        r.pin();
        Py_INCREF(item);
        int res = PyObject_RichCompareBool(item, value, Py_EQ);
        Py_DECREF(item);
        if (res != 0) return res;
    }
    return 0;
}

}  // namespace kelvane::bins
