// Scanning helpers shared by the binning and the monitoring modules.
//
// Bin lookups run once per binned attribute of every scored record. The
// helpers below read the bins' fields without touching reference counts,
// take the exact-type fast paths (exact str, exact float) in C, and hand a
// comparison to the interpreter only when an operand is of another type,
// which keeps the interpreter's semantics and its error messages.
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

// Fields of the module's own record classes are read from the instance dict,
// the way the interpreter's attribute cache does it (these classes put no
// descriptor in front of their fields). The record base builds every instance
// dict of a class with the same key strings, in field order, and those
// strings are not the interned names: a plain lookup would hash, probe and
// compare texts. So the key object and the position of each field are learned
// from the first record of each class, and a read looks at that position
// first; when the entry there does not hold that very key (another layout, a
// deleted field) the read falls back to a lookup, which finds the same value.
// Records of any other class (subclasses included) are read by attribute
// lookup.
enum Field : int { NAME, VALUE, LOWER_BOUND, UPPER_BOUND, CATEGORIES, DISCRETISATION, ATTRIBUTE, BINNING, N_FIELDS };

class Fields {
public:
    struct Layout {
        PyObject *key[N_FIELDS];          // strong references
        Py_ssize_t position[N_FIELDS];    // -1: unknown
        bool direct;                      // read from the instance dict
    };

    void init() {
        static const char *const names[N_FIELDS] = {"name",       "value",          "lower_bound", "upper_bound",
                                                    "categories", "discretisation", "attribute",   "binning"};
        for (int f = 0; f < N_FIELDS; ++f) {
            by_attribute_.key[f] = intern(names[f]);
            by_attribute_.position[f] = -1;
        }
        by_attribute_.direct = false;
    }

    // Records of exactly this class are read from their dict.
    void trust(nb::handle cls) {
        if (n_ == capacity) return;
        types_[n_] = reinterpret_cast<PyTypeObject *>(Py_NewRef(cls.ptr()));
        layouts_[n_] = by_attribute_;
        layouts_[n_].direct = true;
        for (int f = 0; f < N_FIELDS; ++f) Py_INCREF(layouts_[n_].key[f]);
        learned_[n_] = false;
        ++n_;
    }

    // The layout to read `record` with.
    const Layout &layout_of(PyObject *record) {
        PyTypeObject *t = Py_TYPE(record);
        int i = last_;
        if (types_[i] != t) {
            for (i = 0; i < n_ && types_[i] != t; ++i) {
            }
            if (i == n_) return by_attribute_;
            last_ = i;
        }
        if (!learned_[i]) learn(i, record);
        return layouts_[i];
    }

    // The instance dict of a record, borrowed, or nullptr (no error).
    static PyObject *dict_of(PyObject *record) {
        const Py_ssize_t offset = Py_TYPE(record)->tp_dictoffset;
        if (offset > 0) return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record) + offset);
        PyObject **dictptr = _PyObject_GetDictPtr(record);
        return dictptr ? *dictptr : nullptr;
    }

    // The entry of field f in the record's dict when it sits at its learned
    // position (borrowed; no Python code runs), else nullptr without an error.
    static PyObject *peek(PyObject *dict, const Layout &layout, Field f) {
        Py_ssize_t pos = layout.position[f];
        PyObject *key, *v;
        if (dict && pos >= 0 && PyDict_Next(dict, &pos, &key, &v) && key == layout.key[f]) return v;
        return nullptr;
    }

    // The value of field f, new reference; nullptr with an error set (the
    // AttributeError of a record without the field). May run Python code.
    PyObject *get(PyObject *record, const Layout &layout, Field f) const {
        if (layout.direct) {
            if (PyObject *dict = dict_of(record)) {
                if (PyObject *v = peek(dict, layout, f)) return Py_NewRef(v);
                PyObject *v;
                if (PyDict_GetItemRef(dict, layout.key[f], &v) != 0) return v;   // found, or error
            }
        }
        return PyObject_GetAttr(record, by_attribute_.key[f]);
    }
    PyObject *get(PyObject *record, Field f) { return get(record, layout_of(record), f); }

private:
    static constexpr int capacity = 6;

    void learn(int i, PyObject *record) {
        PyObject *dict = dict_of(record);
        if (!dict) return;   // learn from a later record
        Layout &c = layouts_[i];
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) continue;
            for (int f = 0; f < N_FIELDS; ++f) {
                if (c.position[f] < 0 && text_equal(key, by_attribute_.key[f])) {
                    Py_SETREF(c.key[f], Py_NewRef(key));
                    c.position[f] = pos - 1;   // the index of the entry just read
                }
            }
        }
        learned_[i] = true;
    }

    Layout by_attribute_{};
    Layout layouts_[capacity]{};
    PyTypeObject *types_[capacity] = {};   // strong references
    bool learned_[capacity] = {};
    int n_ = 0, last_ = 0;
};

// Reads the fields of one record during a scan step. Values are borrowed from
// the record's dict while nothing but C code runs. `pin` takes strong
// references to the record and to every value read so far; it is called
// before anything that may run Python code (a comparison of objects other than
// exact floats and strings, an isinstance test through a metaclass, a lookup
// that misses the learned layout), so that what the step still uses outlives
// whatever that code does to the bin list or the record.
class RecordReader {
public:
    RecordReader(Fields &fields, PyObject *record)
        : fields_(fields), record_(record), layout_(fields.layout_of(record)), dict_(Fields::dict_of(record)) {}
    ~RecordReader() {
        for (int i = 0; i < n_; ++i)
            if (owned_[i]) Py_DECREF(values_[i]);
        if (held_) Py_DECREF(record_);
    }
    RecordReader(const RecordReader &) = delete;
    RecordReader &operator=(const RecordReader &) = delete;

    // The value of field f, valid for the life of the reader; nullptr with an
    // error set.
    PyObject *read(Field f) {
        if (n_ == capacity) {
            PyErr_SetString(PyExc_SystemError, "too many fields read from one record");
            return nullptr;
        }
        if (layout_.direct) {
            if (PyObject *v = Fields::peek(dict_, layout_, f)) return keep(v, false);
        }
        pin();
        PyObject *v = fields_.get(record_, layout_, f);
        return v ? keep(v, true) : nullptr;
    }

    void pin() {
        dict_ = nullptr;   // Python code may replace it: read through the lookup from now on
        if (!held_) {
            Py_INCREF(record_);
            held_ = true;
        }
        for (int i = 0; i < n_; ++i) {
            if (!owned_[i]) {
                Py_INCREF(values_[i]);
                owned_[i] = true;
            }
        }
    }

    PyObject *record() const { return record_; }

private:
    static constexpr int capacity = 4;
    PyObject *keep(PyObject *v, bool owned) {
        values_[n_] = v;
        owned_[n_] = owned;
        ++n_;
        return v;
    }

    Fields &fields_;
    PyObject *record_;
    const Fields::Layout &layout_;
    PyObject *dict_;   // borrowed, until pinned
    PyObject *values_[capacity];
    bool owned_[capacity];
    int n_ = 0;
    bool held_ = false;
};

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
