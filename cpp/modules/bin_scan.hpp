// The scan of a binning's bins, shared by the binning, monitoring and
// preprocessing modules.
//
//     bins::Vocabulary V;                     // captured while declaring
//     V.capture(m);                           // bin classes and reserved names from the namespace
//     nb::object bin;
//     int r = bins::find_interval(F, V, bins::assignment, list, value, &bin);
//
// The binning's assignment and the monitoring lookup scan the bins in list
// order the same way and differ in two rules only, which `Policy` names: the
// assignment passes over bins with a reserved name in its regular scans, the
// monitoring lookup passes over bins with a missing bound or without
// categories. Fields are read straight from the records' dicts (see
// frame/fields.hpp); exact floats and exact strings are compared in C and
// any other operand is handed to the interpreter, which keeps its semantics
// and its error messages.
//
// The preprocessing module's fast paths stop at the first bin that is not
// plain (`plain_step`), and leave the value to the binning's own lookup.
#pragma once

#include "frame/fields.hpp"
#include "frame/host.hpp"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kelvane::bins {

// ---------------------------------------------------------------- fields

// The fields the scans read, known by these indexes in every module's
// RecordFields (a module adds its own fields after them, from END on).
enum Field : int { NAME, VALUE, LOWER_BOUND, UPPER_BOUND, CATEGORIES, DISCRETISATION, ATTRIBUTE, BINNING, END };

// Names the bin fields, then the module's own `more` (from END on).
inline void name_fields(RecordFields &fields, std::initializer_list<const char *> more = {}) {
    std::vector<const char *> all{"name",           "value",     "lower_bound", "upper_bound",
                                  "categories",     "discretisation", "attribute", "binning"};
    all.insert(all.end(), more.begin(), more.end());
    fields.init(all);
}

// ---------------------------------------------------------------- vocabulary

// Reserved bin names, in the order of the enum.
enum Reserved : int { DEFAULT, DEFINED_DEFAULT, SYSTEM_DEFAULT, NULL_BIN, N_RESERVED };

// The bin classes and the reserved bin names, captured from the binning
// module's names (imported into the module namespace, or its own).
struct Vocabulary {
    nb::object numerical, categorical;      // AttributeBinNumerical, AttributeBinCategorical
    nb::object text[N_RESERVED];            // "0_default", ...: exact str
    nb::object member[N_RESERVED];          // PredictiveModelBinName members
    Py_ssize_t length[N_RESERVED] = {};     // their lengths
    std::uint64_t short_lengths = 0;        // bit n: a reserved name has length n (< 64)
    std::uint64_t first_chars[2] = {};      // bit c: a reserved name starts with ASCII character c
    nb::object nan_text;                    // "nan"

    // From the binning module (or any object with its names as attributes).
    void capture(nb::handle binning_module) {
        numerical = binning_module.attr("AttributeBinNumerical");
        categorical = binning_module.attr("AttributeBinCategorical");
        nb::object names = binning_module.attr("PredictiveModelBinName");
        const char *members[N_RESERVED] = {"DEFAULT", "DEFINED_DEFAULT", "SYSTEM_DEFAULT", "NULL"};
        for (int i = 0; i < N_RESERVED; ++i) {
            member[i] = names.attr(members[i]);
            text[i] = member[i].attr("value");
            if (!PyUnicode_CheckExact(text[i].ptr())) {
                PyErr_SetString(PyExc_TypeError, "reserved bin names must be strings");
                throw_error();
            }
            length[i] = PyUnicode_GET_LENGTH(text[i].ptr());
            if (length[i] < 64) short_lengths |= std::uint64_t{1} << length[i];
            if (length[i] > 0) {
                const Py_UCS4 c = PyUnicode_READ_CHAR(text[i].ptr(), 0);
                if (c < 128) first_chars[c >> 6] |= std::uint64_t{1} << (c & 63);
            }
        }
        nan_text = check(PyUnicode_InternFromString("nan"));
    }

    PyTypeObject *numerical_type() const { return reinterpret_cast<PyTypeObject *>(numerical.ptr()); }
    PyTypeObject *categorical_type() const { return reinterpret_cast<PyTypeObject *>(categorical.ptr()); }

    // Which reserved name among first..last-1 an exact str is: its index, or
    // -1 for none. Names are told apart by length before any character is
    // compared: most bin names have a length or a first character (ASCII) no
    // reserved name has, and are passed at one or two tests. No Python code.
    int reserved_index(PyObject *name, int first = 0, int last = N_RESERVED) const {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
        if (n < 64 && !((short_lengths >> n) & 1)) return -1;
        if (n > 0) {
            const Py_UCS4 c = PyUnicode_READ_CHAR(name, 0);
            if (c < 128 && !((first_chars[c >> 6] >> (c & 63)) & 1)) return -1;
        }
        for (int i = first; i < last; ++i)
            if (n == length[i] && str_equal(name, text[i].ptr())) return i;
        return -1;
    }
    bool reserved_text(PyObject *name) const { return reserved_index(name) >= 0; }

    // Which reserved name among first..last-1 the bin's name is: 1 (index in
    // *which), 0, or -1 with an error set. The enum member is the left
    // operand (`member == name`, as membership in a list of the members
    // tests): for a name that is a str, of any class, that is str equality
    // and runs no Python code; any other name is compared by the interpreter.
    int reserved(RecordReader &r, int first, int last, int *which) const {
        PyObject *name = r.read(NAME);
        if (!name) return -1;
        if (PyUnicode_Check(name)) {
            *which = reserved_index(name, first, last);
            return *which >= 0;
        }
        r.pin();
        for (int i = first; i < last; ++i) {
            const int hit = host_compare(member[i].ptr(), name, Py_EQ);
            if (hit != 0) {
                *which = i;
                return hit;
            }
        }
        return 0;
    }
};

// Where the scans of the binning's assignment and of the monitoring lookup
// differ.
struct Policy {
    bool skip_reserved;   // regular scans pass over bins with a reserved name
    bool skip_missing;    // bins with a None bound or None categories are passed over
};
inline constexpr Policy assignment{true, false};
inline constexpr Policy monitoring{false, true};

// ---------------------------------------------------------------- values

// The value being looked up as a float object, made only when a comparison
// or a message needs it (an int or a None input has none until then).
class FloatValue {
public:
    // `given`: the float object itself when the input was one, else empty.
    FloatValue(double v, nb::handle given) : v_(v), obj_(nb::borrow(given)) {}
    double value() const { return v_; }
    // The float object; nullptr with an error set on failure. Stays valid
    // for the life of this object.
    PyObject *object() {
        if (!obj_.is_valid()) obj_ = nb::steal(PyFloat_FromDouble(v_));
        return obj_.ptr();
    }

private:
    double v_;
    nb::object obj_;
};

// The bins of a binning as a list: the list itself, or a list made from any
// other iterable (with the iteration's own error for the rest).
inline nb::object bin_list(nb::handle discretisation) {
    if (PyList_CheckExact(discretisation.ptr())) return nb::borrow(discretisation);
    return check(PySequence_List(discretisation.ptr()));
}

// ---------------------------------------------------------------- tests

// 1 when the record is an instance of `wanted` (`other` being a class it
// cannot be at the same time), 0, or -1 with an error.
inline int kind_is(RecordReader &r, PyTypeObject *wanted, PyTypeObject *other) {
    PyTypeObject *t = Py_TYPE(r.record());
    if (t == wanted) return 1;
    if (t == other) return 0;
    r.pin();
    return PyObject_IsInstance(r.record(), reinterpret_cast<PyObject *>(wanted));
}

// `lower < value`: 1, 0, or -1 with an error.
inline int above_lower(RecordReader &r, PyObject *lower, FloatValue &value) {
    if (PyFloat_CheckExact(lower)) return PyFloat_AS_DOUBLE(lower) < value.value();
    PyObject *vo = value.object();
    if (!vo) return -1;
    r.pin();
    return host_compare(lower, vo, Py_LT);
}

// `value <= upper`: 1, 0, or -1 with an error.
inline int within_upper(RecordReader &r, PyObject *upper, FloatValue &value) {
    if (PyFloat_CheckExact(upper)) return value.value() <= PyFloat_AS_DOUBLE(upper);
    PyObject *vo = value.object();
    if (!vo) return -1;
    r.pin();
    return host_compare(vo, upper, Py_LE);
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
        // Borrowed: the tests below run no Python code until the item is held.
        PyObject *item = PyList_GET_ITEM(items, i);
        if (item == value) return 1;
        if (PyUnicode_CheckExact(item)) {
            if (text) {
                if (str_equal(item, value)) return 1;
                continue;
            }
            if (number) continue;   // a str never equals a float
        }
        r.pin();
        nb::object held = nb::borrow(item);
        const int res = PyObject_RichCompareBool(held.ptr(), value, Py_EQ);
        if (res != 0) return res;
    }
    return 0;
}

// ---------------------------------------------------------------- scans
//
// Each scan answers 1 with the bin in *bin, 0 when no bin matches, or -1
// with an error set. `list` is an exact list the caller holds, read by
// position. What a RecordReader gives stays valid for the life of the reader
// (it pins the bin and the values read before any Python code runs).

// The first bin, of either kind, whose name is one of the reserved names
// first..last-1 (the name found in *which).
inline int find_named(RecordFields &F, const Vocabulary &V, PyObject *list, int first, int last, nb::object *bin,
                      int *which) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        const int hit = V.reserved(r, first, last, which);
        if (hit < 0) return -1;
        if (hit) {
            *bin = nb::borrow(r.record());
            return 1;
        }
    }
    return 0;
}

// Whether a regular scan passes over the bin under the policy's reserved-name
// rule: 1, 0, -1.
inline int passes_over_reserved(RecordReader &r, const Vocabulary &V, Policy p) {
    if (!p.skip_reserved) return 0;
    int which;
    return V.reserved(r, 0, N_RESERVED, &which);
}

// The first numeric bin with lower < value <= upper.
inline int find_interval(RecordFields &F, const Vocabulary &V, Policy p, PyObject *list, FloatValue &value,
                         nb::object *bin) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = kind_is(r, V.numerical_type(), V.categorical_type());
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        k = passes_over_reserved(r, V, p);
        if (k != 0) {
            if (k < 0) return -1;
            continue;
        }
        // The assignment evaluates `lower < value <= upper` as the chained
        // comparison does: the upper bound is not read when the lower test
        // fails. The monitoring lookup reads both bounds first, to pass over
        // a bin with a missing one.
        PyObject *lower = r.read(LOWER_BOUND);
        if (!lower) return -1;
        if (p.skip_missing && lower == Py_None) continue;
        PyObject *upper = nullptr;
        if (p.skip_missing) {
            upper = r.read(UPPER_BOUND);
            if (!upper) return -1;
            if (upper == Py_None) continue;
        }
        int hit = above_lower(r, lower, value);
        if (hit > 0) {
            if (!upper) upper = r.read(UPPER_BOUND);
            hit = upper ? within_upper(r, upper, value) : -1;
        }
        if (hit < 0) return -1;
        if (hit) {
            *bin = nb::borrow(r.record());
            return 1;
        }
    }
    return 0;
}

// The first categorical bin whose categories hold the value (None
// categories: the membership TypeError, or passed over under `skip_missing`).
inline int find_category(RecordFields &F, const Vocabulary &V, Policy p, PyObject *list, PyObject *value,
                         nb::object *bin) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = kind_is(r, V.categorical_type(), V.numerical_type());
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        k = passes_over_reserved(r, V, p);
        if (k != 0) {
            if (k < 0) return -1;
            continue;
        }
        PyObject *categories = r.read(CATEGORIES);
        if (!categories) return -1;
        if (p.skip_missing && categories == Py_None) continue;
        const int hit = contains(r, categories, value);
        if (hit < 0) return -1;
        if (hit) {
            *bin = nb::borrow(r.record());
            return 1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- plain bins

// Kinds of bin, told by exact class.
enum class Kind { Other, Numerical, Categorical };

inline Kind kind_of(const Vocabulary &V, PyObject *bin) {
    PyTypeObject *t = Py_TYPE(bin);
    if (t == V.numerical_type()) return Kind::Numerical;
    if (t == V.categorical_type()) return Kind::Categorical;
    return Kind::Other;
}

// What a fast scan for bins of kind `wanted` does at a bin, which `run` is
// at (the fast scans follow the assignment's policy):
//   Stop - the bin is not plain: the fast path gives up and the binning's own
//          lookup answers (a bin of another class, a name that is not an exact
//          str, bounds that are not exact floats, categories that are not an
//          exact list of exact str);
//   Skip - a bin of the other kind, or a reserved bin: the scan passes over it;
//   Use  - a regular bin whose test runs no Python code; its bounds (exact
//          floats) or its categories (an exact list of exact str) are in *out,
//          borrowed from the bin.
// Runs no Python code.
enum class Step { Stop, Skip, Use };

struct PlainBin {
    PyObject *lower, *upper;   // numerical bins
    PyObject *categories;      // categorical bins
};

// `every_category`: whether a categorical bin is plain only when all its
// categories are exact str. A scan that tests membership itself may leave
// that to its own loop, as long as it stops at the first category that is
// not one before it has matched (membership compares in order and stops at
// the first match, so a later category is never compared).
template <Kind wanted, bool skip_reserved = true, bool every_category = true>
inline Step plain_step(const Vocabulary &V, const RecordRun &run, PyObject *bin, PlainBin *out) {
    const Kind kind = kind_of(V, bin);
    if (kind == Kind::Other) return Step::Stop;
    PyObject *name = run[NAME];
    if (!name || !PyUnicode_CheckExact(name)) return Step::Stop;
    if (kind != wanted || (skip_reserved && V.reserved_text(name))) return Step::Skip;
    if constexpr (wanted == Kind::Numerical) {
        out->lower = run[LOWER_BOUND];
        out->upper = run[UPPER_BOUND];
        // The monitoring lookup passes over a bin with a missing bound.
        if (!skip_reserved && (out->lower == Py_None || out->upper == Py_None)) return Step::Skip;
        return out->lower && out->upper && PyFloat_CheckExact(out->lower) && PyFloat_CheckExact(out->upper)
                   ? Step::Use
                   : Step::Stop;
    } else {
        PyObject *categories = out->categories = run[CATEGORIES];
        if (!skip_reserved && categories == Py_None) return Step::Skip;   // likewise without categories
        if (!categories || !PyList_CheckExact(categories)) return Step::Stop;
        if constexpr (every_category)
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(categories); ++j)
                if (!PyUnicode_CheckExact(PyList_GET_ITEM(categories, j))) return Step::Stop;
        return Step::Use;
    }
}

// The regular scans over plain bins only, for the usual lookups: the first
// bin of the list (an exact list the caller holds) that matches, borrowed, or
// nullptr when find_interval / find_category must scan instead (no bin
// matches, or a bin that is not plain comes first). `skip_reserved` picks the
// policy: true for the assignment's, false for the monitoring's. A bin with a
// missing bound or without categories is not plain under the assignment's
// policy, and passed over under the monitoring's. Runs no Python code.
// When `value` is given, *value is the matched bin's value field, borrowed,
// or nullptr when it is not at its place in the bin's dict.
template <bool skip_reserved>
inline PyObject *try_plain_interval(RecordFields &F, const Vocabulary &V, PyObject *list, double v,
                                    PyObject **value = nullptr) {
    RecordRun run(F);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *bin = PyList_GET_ITEM(list, i);
        run.next(bin);   // nothing in this loop runs Python code
        PlainBin plain;
        const Step step = plain_step<Kind::Numerical, skip_reserved>(V, run, bin, &plain);
        if (step == Step::Stop) return nullptr;
        if (step == Step::Skip) continue;
        if (PyFloat_AS_DOUBLE(plain.lower) < v && v <= PyFloat_AS_DOUBLE(plain.upper)) {
            if (value) *value = run[VALUE];
            return bin;
        }
    }
    return nullptr;
}

// `value` is an exact str; categories are told apart by their kept hashes.
// *bin_value as *value above.
template <bool skip_reserved>
inline PyObject *try_plain_category(RecordFields &F, const Vocabulary &V, PyObject *list, PyObject *value,
                                    PyObject **bin_value = nullptr) {
    const Py_hash_t hash = str_hash(value);
    RecordRun run(F);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *bin = PyList_GET_ITEM(list, i);
        run.next(bin);   // nothing in this loop runs Python code
        PlainBin plain;
        const Step step = plain_step<Kind::Categorical, skip_reserved, false>(V, run, bin, &plain);
        if (step == Step::Stop) return nullptr;
        if (step == Step::Skip) continue;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(plain.categories); ++j) {
            PyObject *c = PyList_GET_ITEM(plain.categories, j);
            if (!PyUnicode_CheckExact(c)) return nullptr;   // its comparison may run code
            if (c == value || (str_hash(c) == hash && str_equal(c, value))) {
                if (bin_value) *bin_value = run[VALUE];
                return bin;
            }
        }
    }
    return nullptr;
}

}  // namespace kelvane::bins
