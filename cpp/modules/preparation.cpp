// kelvane_analytics_utils.predictive_models.preparation.preparation
//
// The preprocessing record of a model: its transformations, binnings and
// dummy encodings, the building of binnings from a plain mapping of bin
// edges and values, and the application of binnings and dummy encodings to
// raw attribute values.
//
// The apply methods run once per attribute of every scored record, so they
// read record fields through interned names and compare exact strings
// directly; everything else goes through the ordinary object protocol so that
// the host's own semantics (equality, conversions, error messages) hold.
#include "frame/fields.hpp"
#include "core/binning.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using namespace kelvane;

constexpr const char *kBinningModule = "kelvane_analytics_utils.predictive_models.preparation.discretisation";

// ------------------------------------------------------------ module state

// Interned names: record fields, methods and the keys of binning definitions.
struct Names {
    PyObject *attribute, *transformation, *transformed_attribute_name, *transformations, *binning, *dummy_encoding,
        *encoding, *value, *encoded_feature_name, *use_for_undefined, *attribute_data_type, *discretisation,
        *binned_attribute_name, *name, *lower_bound, *upper_bound, *categories, *type, *frequency, *target_rate, *id,
        *bin_numeric_attribute, *bin_categoric_attribute, *get_discretisation, *logger, *warning, *info, *append,
        *get, *keys, *dtype, *bins, *bin_vals, *bin_frequencies, *bin_target_rates, *null_val, *null_frequency,
        *null_target_rate, *default_;
} N;

// Classes, enum members and original methods, set once while declaring.
struct State {
    PyObject *namespace_;                 // the module dict (the logger is read there on every event)
    PyObject *AttributePreprocessing;
    PyObject *AttributeTransformation;
    PyObject *AttributeBinning;
    PyObject *AttributeBinNumerical;
    PyObject *AttributeBinCategorical;
    PyObject *NUMERICAL, *CATEGORICAL;
    PyObject *NULL_BIN, *DEFAULT, *DEFINED_DEFAULT, *SYSTEM_DEFAULT;
    PyObject *bin_numeric_attribute;      // AttributeBinning's own lookups
    PyObject *bin_categoric_attribute;
    PyObject *get_discretisation;         // AttributePreprocessing's own lookup
    PyObject *zero, *one;                 // 0 and 1
    PyObject *zero_float;                 // 0.0
    PyObject *nan_text;                   // "nan"
} S;

nb::object own(PyObject *o) { return check(o); }

// ------------------------------------------------------------ equality

// Equality of two exact strings (compact strings are canonical: equal text
// means equal kind, length and bytes).
inline bool str_eq(PyObject *a, PyObject *b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    // Hashes already computed tell most unequal texts apart without reading them.
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject *>(a)->hash, hb = reinterpret_cast<PyASCIIObject *>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return false;
    const size_t bytes = static_cast<size_t>(n) * PyUnicode_KIND(a);
    const char *pa = static_cast<const char *>(PyUnicode_DATA(a)), *pb = static_cast<const char *>(PyUnicode_DATA(b));
    if (bytes <= 16) {
        for (size_t i = 0; i < bytes; ++i)
            if (pa[i] != pb[i]) return false;
        return true;
    }
    return std::memcmp(pa, pb, bytes) == 0;
}

// bool(a == b), as the host evaluates it (no identity shortcut); throws on error.
bool equals(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return str_eq(a, b);
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    PyObject *r = PyObject_RichCompare(a, b, Py_EQ);
    if (!r) throw_error();
    int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) throw_error();
    return t != 0;
}

// bool(a != b); throws on error.
bool differs(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return !str_eq(a, b);
    PyObject *r = PyObject_RichCompare(a, b, Py_NE);
    if (!r) throw_error();
    int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
    Py_DECREF(r);
    if (t < 0) throw_error();
    return t != 0;
}

bool truthy(PyObject *o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    int t = PyObject_IsTrue(o);
    if (t < 0) throw_error();
    return t != 0;
}

// ------------------------------------------------------------ record fields

// The fields read on the hot paths. Records of the classes trusted while
// declaring are read straight from their dicts (frame/fields.hpp).
enum Field : int {
    TRANSFORMATIONS, BINNING, DUMMY_ENCODING,                              // AttributePreprocessing
    ATTRIBUTE,                                                             // transformations, binnings, encodings
    TRANSFORMATION, TRANSFORMED_ATTRIBUTE_NAME,                            // AttributeTransformation
    ATTRIBUTE_DATA_TYPE, DISCRETISATION, BINNED_ATTRIBUTE_NAME,            // AttributeBinning
    NAME, VALUE, LOWER_BOUND, UPPER_BOUND, CATEGORIES,                     // bins (VALUE: single values too)
    ENCODING, ENCODED_FEATURE_NAME, USE_FOR_UNDEFINED,                     // dummy encodings
};
RecordFields F;

// record.<field>: the instance dict first, then attribute lookup.
nb::object field(PyObject *record, Field f) { return own(F.get(record, f)); }

// The field at its learned place in the record's dict (borrowed), or null
// (no error) when it is not there. Runs no code at all, so loops that run
// none either can hold what it gives without references.
inline PyObject *entry(PyObject *record, Field f) { return F.entry(record, f); }

// The field when the instance dict holds it; an invalid object otherwise
// (errors cleared): for the fast paths, which leave anything unusual to the
// general path.
nb::object plain_field(PyObject *record, Field f) {
    PyObject *v;
    int r = RecordFields::in_dict(record, F.layout_of(record), f, &v);
    if (r < 0) PyErr_Clear();
    return r > 0 ? nb::steal(v) : nb::object();
}

// ------------------------------------------------------------ helpers

// Calls f(item) for each element in order until f returns true. A list is
// read by position while it is walked, like the host's own iteration.
template <class F>
void each(PyObject *seq, F &&f) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(seq, i));
            if (f(item.ptr())) return;
        }
        return;
    }
    nb::object it = own(PyObject_GetIter(seq));
    for (;;) {
        PyObject *p = PyIter_Next(it.ptr());
        if (!p) {
            if (PyErr_Occurred()) throw_error();
            return;
        }
        nb::object item = nb::steal(p);
        if (f(item.ptr())) return;
    }
}

// Whether `name` on `obj` is still the method the class was declared with
// (no override in a subclass, on the class or on the instance).
bool own_method(PyObject *obj, PyObject *name, PyObject *original) {
    if (_PyType_Lookup(Py_TYPE(obj), name) != original) return false;
    PyObject **dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr && *dictptr) {
        int has = PyDict_Contains(*dictptr, name);
        if (has < 0) PyErr_Clear();
        if (has != 0) return false;
    }
    return true;
}

nb::object call_method(PyObject *name, PyObject *self, PyObject *arg) {
    PyObject *args[] = {self, arg};
    return own(PyObject_VectorcallMethod(name, args, 2, nullptr));
}

// logger.<level>(message) through the module's current `logger`.
void log_event(PyObject *level, PyObject *message) {
    PyObject *logger;
    if (PyDict_GetItemRef(S.namespace_, N.logger, &logger) < 0) throw_error();
    if (!logger) {
        PyErr_SetString(PyExc_NameError, "name 'logger' is not defined");
        throw_error();
    }
    nb::object hold = nb::steal(logger);
    call_method(level, logger, message);
}

void set_item(PyObject *d, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(d, key, value) < 0) throw_error();
}

// Sets `context` as the context of the pending exception (what raising inside
// an `except` block does).
void chain_pending(PyObject *context) {
    PyObject *now = PyErr_GetRaisedException();
    if (now && now != context) PyException_SetContext(now, Py_NewRef(context));
    PyErr_SetRaisedException(now);
}

// Re-raises the pending exception as the same class with the message
// "Binning attribute <attribute>: <text of the exception>", the original as
// its cause. Exceptions outside Exception (interrupts, exits) pass unchanged.
[[noreturn]] void rewrap(PyObject *attribute) {
    nb::object ex = nb::steal(PyErr_GetRaisedException());
    if (!ex.is_valid()) {
        PyErr_SetString(PyExc_SystemError, "binning failed without setting an error");
        throw_error();
    }
    if (!PyErr_GivenExceptionMatches(ex.ptr(), PyExc_Exception)) {
        PyErr_SetRaisedException(ex.release().ptr());
        throw_error();
    }
    PyObject *text = PyObject_Str(ex.ptr());
    PyObject *message = text ? PyUnicode_FromFormat("Binning attribute %U: %U", attribute, text) : nullptr;
    Py_XDECREF(text);
    PyObject *wrapped = message ? PyObject_CallOneArg(reinterpret_cast<PyObject *>(Py_TYPE(ex.ptr())), message) : nullptr;
    Py_XDECREF(message);
    if (wrapped && !PyExceptionInstance_Check(wrapped)) {
        Py_CLEAR(wrapped);
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    if (!wrapped) {
        chain_pending(ex.ptr());
        throw_error();
    }
    PyException_SetCause(wrapped, Py_NewRef(ex.ptr()));
    PyException_SetContext(wrapped, ex.release().ptr());
    PyErr_SetRaisedException(wrapped);
    throw_error();
}

// ------------------------------------------------------------ lookups

// The first record of `list` whose `attribute` equals `attribute`, or None.
nb::object first_with_attribute(PyObject *list, PyObject *attribute) {
    if (PyList_CheckExact(list)) {
        RecordRun run(F);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *record = PyList_GET_ITEM(list, i);
            PyObject *a = run.entry(record, ATTRIBUTE);
            if (a && PyUnicode_CheckExact(a)) {   // compared without running code
                if (str_eq(a, attribute)) return nb::borrow(record);
                continue;
            }
            nb::object held = nb::borrow(record);
            nb::object value = field(record, ATTRIBUTE);
            if (equals(value.ptr(), attribute)) return held;
        }
        return none();
    }
    nb::object found = none();
    each(list, [&](PyObject *record) {
        nb::object a = field(record, ATTRIBUTE);
        if (!equals(a.ptr(), attribute)) return false;
        found = nb::borrow(record);
        return true;
    });
    return found;
}

nb::object first_binning(PyObject *self, PyObject *attribute) {
    nb::object list = field(self, BINNING);
    return first_with_attribute(list.ptr(), attribute);
}

// self.get_discretisation(attribute), read directly when the record's own
// method would answer.
nb::object discretisation_of(PyObject *self, PyObject *attribute) {
    if (own_method(self, N.get_discretisation, S.get_discretisation)) return first_binning(self, attribute);
    return call_method(N.get_discretisation, self, attribute);
}

enum class Kind { Neither, Numerical, Categorical };

// The binning's data type, compared numerical first.
Kind kind_of(PyObject *binning) {
    PyObject *plain = entry(binning, ATTRIBUTE_DATA_TYPE);
    if (plain == S.NUMERICAL) return Kind::Numerical;
    if (plain == S.CATEGORICAL) return Kind::Categorical;
    nb::object t = field(binning, ATTRIBUTE_DATA_TYPE);
    if (t.ptr() == S.NUMERICAL) return Kind::Numerical;
    if (t.ptr() != S.CATEGORICAL && equals(t.ptr(), S.NUMERICAL)) return Kind::Numerical;
    if (t.ptr() == S.CATEGORICAL || equals(t.ptr(), S.CATEGORICAL)) return Kind::Categorical;
    return Kind::Neither;
}

bool is_reserved(PyObject *name) {
    return str_eq(name, S.NULL_BIN) || str_eq(name, S.DEFAULT) || str_eq(name, S.DEFINED_DEFAULT) ||
           str_eq(name, S.SYSTEM_DEFAULT);
}

// ------------------------------------------------------------ batch indexes
//
// A batch reads the bins once and answers the values it can answer exactly
// from an index over the leading regular bins: the bins that the list-order
// scan would reach, in order, up to the first bin whose fields could make the
// scan behave otherwise than a plain comparison (a bound that is not a
// float, a name that is not a string, a bin of another class). Any value the
// index does not match (missing values, values left to the default bin or to
// the bins after that point, bin values of the wrong type) goes through the
// binning's own lookup, with its log events and errors.

struct BinValues {
    std::vector<nb::object> values;   // the bin value of each indexed bin
    std::vector<char> usable;         // whether the lookup would return it as is
    void add(PyObject *bin) {
        nb::object v = plain_field(bin, VALUE);
        usable.push_back(v.is_valid() && (v.is_none() || PyFloat_CheckExact(v.ptr())));
        values.push_back(std::move(v));
    }
    PyObject *answer(std::size_t k) const {
        return usable[k] ? Py_NewRef(values[k].ptr()) : nullptr;
    }
};

// The bin list (borrowed) of a plain AttributeBinning whose `method` is its
// own; null otherwise.
PyObject *plain_bins(PyObject *binning, PyObject *method, PyObject *original) {
    if (Py_TYPE(binning) != reinterpret_cast<PyTypeObject *>(S.AttributeBinning)) return nullptr;
    if (!own_method(binning, method, original)) return nullptr;
    PyObject *list = entry(binning, DISCRETISATION);
    return list && PyList_CheckExact(list) ? list : nullptr;
}

enum class BinKind { Other, Numerical, Categorical };

BinKind bin_kind(PyObject *bin) {
    PyTypeObject *t = Py_TYPE(bin);
    if (t == reinterpret_cast<PyTypeObject *>(S.AttributeBinNumerical)) return BinKind::Numerical;
    if (t == reinterpret_cast<PyTypeObject *>(S.AttributeBinCategorical)) return BinKind::Categorical;
    return BinKind::Other;
}

// The exact-string name of a bin of either class (borrowed), or null when
// the bin would stop a fast path.
PyObject *plain_name(const RecordRun &bin) {
    PyObject *name = bin[NAME];
    return name && PyUnicode_CheckExact(name) ? name : nullptr;
}
PyObject *plain_name(PyObject *bin) {
    RecordRun run(F);
    run.at(bin);
    return plain_name(run);
}

struct NumericIndex {
    bool ready = false;
    core::IntervalIndex index;
    BinValues bins;

    void build(PyObject *binning) {
        PyObject *list = plain_bins(binning, N.bin_numeric_attribute, S.bin_numeric_attribute);
        if (!list) return;
        nb::object hold = nb::borrow(list);
        std::vector<core::Interval> intervals;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            nb::object held = nb::borrow(PyList_GET_ITEM(list, i));
            PyObject *bin = held.ptr();
            const BinKind kind = bin_kind(bin);
            if (kind == BinKind::Other) break;
            PyObject *name = plain_name(bin);
            if (!name) break;
            if (kind != BinKind::Numerical || is_reserved(name)) continue;   // skipped by the scan
            PyObject *lower = entry(bin, LOWER_BOUND), *upper = entry(bin, UPPER_BOUND);
            if (!lower || !upper || !PyFloat_CheckExact(lower) || !PyFloat_CheckExact(upper)) break;
            intervals.push_back({PyFloat_AS_DOUBLE(lower), PyFloat_AS_DOUBLE(upper)});
            bins.add(bin);
        }
        index = core::IntervalIndex(intervals);
        ready = true;
    }

    // The bin value for `value`, new reference, or null when the lookup must answer.
    PyObject *find(PyObject *value) const {
        if (!ready) return nullptr;
        double d;
        if (PyFloat_CheckExact(value)) {
            d = PyFloat_AS_DOUBLE(value);
        } else if (PyLong_CheckExact(value)) {
            d = PyLong_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return nullptr;
            }
        } else {
            return nullptr;
        }
        std::size_t k = index.find(d);   // NaN finds nothing
        return k == core::no_bin ? nullptr : bins.answer(k);
    }
};

struct CategoricalIndex {
    bool ready = false;
    nb::object first;   // category text -> position in `bins`
    BinValues bins;

    void build(PyObject *binning) {
        PyObject *list = plain_bins(binning, N.bin_categoric_attribute, S.bin_categoric_attribute);
        if (!list) return;
        nb::object hold = nb::borrow(list);   // storing categories may collect garbage
        PyObject *d = PyDict_New();
        if (!d) {
            PyErr_Clear();
            return;
        }
        first = nb::steal(d);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            nb::object bin = nb::borrow(PyList_GET_ITEM(list, i));
            const BinKind kind = bin_kind(bin.ptr());
            if (kind == BinKind::Other) break;
            PyObject *name = plain_name(bin.ptr());
            if (!name) break;
            if (kind != BinKind::Categorical || is_reserved(name)) continue;
            nb::object categories = plain_field(bin.ptr(), CATEGORIES);
            // Membership in a list of exact strings is string equality.
            if (!categories.is_valid() || !PyList_CheckExact(categories.ptr())) break;
            PyObject *cats = categories.ptr();
            bool plain = true;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats) && plain; ++j)
                plain = PyUnicode_CheckExact(PyList_GET_ITEM(cats, j));
            if (!plain) break;
            PyObject *pos = PyLong_FromSize_t(bins.values.size());
            bool stored = pos != nullptr;
            for (Py_ssize_t j = 0; stored && j < PyList_GET_SIZE(cats); ++j)
                stored = PyDict_SetDefaultRef(first.ptr(), PyList_GET_ITEM(cats, j), pos, nullptr) >= 0;
            Py_XDECREF(pos);
            if (!stored) {   // out of memory: leave every value to the lookup
                PyErr_Clear();
                return;
            }
            bins.add(bin.ptr());
        }
        ready = true;
    }

    PyObject *find(PyObject *value) const {
        if (!ready || !PyUnicode_CheckExact(value) || str_eq(value, S.nan_text)) return nullptr;
        PyObject *pos;
        if (PyDict_GetItemRef(first.ptr(), value, &pos) <= 0) {
            PyErr_Clear();
            return nullptr;
        }
        std::size_t k = PyLong_AsSize_t(pos);
        Py_DECREF(pos);
        return bins.answer(k);
    }
};

// ------------------------------------------------------------ single values
//
// One value is scanned here, in list order, as the binning's own lookup scans
// it, for as long as every bin on the way is plain (a bin of the exact class,
// an exact-string name, exact-float bounds or an exact list of exact-string
// categories) and the value is an exact float or int (for categories: an
// exact string other than "nan"). A regular bin that matches answers its
// value; anything else (missing values, no match, an unusual bin or value)
// is left to the binning's own lookup, which also logs a default hit.

// The value as the numeric lookup converts it, when that runs no code.
bool plain_number(PyObject *value, double &d) {
    if (PyFloat_CheckExact(value)) {
        d = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyLong_CheckExact(value)) return false;
    d = PyLong_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The matched bin's value (new reference), or null when the lookup must answer.
PyObject *scan_numeric(PyObject *binning, PyObject *value) {
    double d;
    if (!plain_number(value, d) || std::isnan(d)) return nullptr;
    PyObject *list = plain_bins(binning, N.bin_numeric_attribute, S.bin_numeric_attribute);
    if (!list) return nullptr;
    // Reading the bins runs no code: borrowed references stay valid.
    RecordRun fields(F);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *bin = PyList_GET_ITEM(list, i);
        const BinKind kind = bin_kind(bin);
        if (kind == BinKind::Other) return nullptr;
        fields.at(bin);
        PyObject *name = plain_name(fields);
        if (!name) return nullptr;
        if (kind != BinKind::Numerical || is_reserved(name)) continue;
        PyObject *lower = fields[LOWER_BOUND], *upper = fields[UPPER_BOUND];
        if (!lower || !upper || !PyFloat_CheckExact(lower) || !PyFloat_CheckExact(upper)) return nullptr;
        if (PyFloat_AS_DOUBLE(lower) < d && d <= PyFloat_AS_DOUBLE(upper)) {
            PyObject *v = fields[VALUE];
            return v ? Py_NewRef(v) : nullptr;
        }
    }
    return nullptr;
}

PyObject *scan_categorical(PyObject *binning, PyObject *value) {
    if (!PyUnicode_CheckExact(value) || str_eq(value, S.nan_text)) return nullptr;
    PyObject *list = plain_bins(binning, N.bin_categoric_attribute, S.bin_categoric_attribute);
    if (!list) return nullptr;
    RecordRun fields(F);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *bin = PyList_GET_ITEM(list, i);
        const BinKind kind = bin_kind(bin);
        if (kind == BinKind::Other) return nullptr;
        fields.at(bin);
        PyObject *name = plain_name(fields);
        if (!name) return nullptr;
        if (kind != BinKind::Categorical || is_reserved(name)) continue;
        PyObject *cats = fields[CATEGORIES];
        if (!cats || !PyList_CheckExact(cats)) return nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(cats); ++j) {
            PyObject *item = PyList_GET_ITEM(cats, j);
            if (!PyUnicode_CheckExact(item)) return nullptr;
            if (str_eq(item, value)) {
                PyObject *v = fields[VALUE];
                return v ? Py_NewRef(v) : nullptr;
            }
        }
    }
    return nullptr;
}

// ------------------------------------------------------------ methods

nb::object get_transformation_formula(Args a) {
    nb::object list = field(a.get(0), TRANSFORMATIONS);
    nb::object t = first_with_attribute(list.ptr(), a.get(1));
    if (t.is_none()) return nb::borrow(a[1]);
    nb::object text = field(t.ptr(), TRANSFORMATION);
    nb::object open = own(PyUnicode_FromString("("));
    nb::object close = own(PyUnicode_FromString(")"));
    nb::object left = own(PyUnicode_Concat(open.ptr(), text.ptr()));
    return own(PyUnicode_Concat(left.ptr(), close.ptr()));
}

nb::object add_reshaping(Args a) {
    PyObject *self = a.get(0);
    each(a.get(1), [&](PyObject *element) {
        // AttributeTransformation(**element)
        nb::object kwargs = own(PyDict_New());
        if (PyDict_Update(kwargs.ptr(), element) < 0) {
            // Not a mapping at all: the host's message for a call with **element.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            PyObject *failure = PyErr_GetRaisedException();
            int has_keys = PyObject_HasAttrWithError(element, N.keys);
            if (has_keys != 0) {
                if (has_keys > 0) PyErr_SetRaisedException(failure);
                else Py_DECREF(failure);
                throw_error();
            }
            Py_DECREF(failure);
            nb::object where = own(_PyObject_FunctionStr(S.AttributeTransformation));
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", where.ptr(),
                         Py_TYPE(element)->tp_name);
            throw_error();
        }
        nb::object empty = own(PyTuple_New(0));
        nb::object t = own(PyObject_Call(S.AttributeTransformation, empty.ptr(), kwargs.ptr()));
        nb::object list = field(self, TRANSFORMATIONS);
        call_method(N.append, list.ptr(), t.ptr());
        return false;
    });
    return none();
}

// definition.get(key[, default])
nb::object spec_get(PyObject *spec, PyObject *key, PyObject *default_value = nullptr) {
    PyObject *args[] = {spec, key, default_value};
    return own(PyObject_VectorcallMethod(N.get, args, default_value ? 3 : 2, nullptr));
}

bool spec_has(PyObject *spec, PyObject *key) {
    int r = PySequence_Contains(spec, key);
    if (r < 0) throw_error();
    return r != 0;
}

// definition[key][i] when the definition has the key, else None.
nb::object spec_at(PyObject *spec, PyObject *key, Py_ssize_t i) {
    if (!spec_has(spec, key)) return none();
    nb::object list = own(PyObject_GetItem(spec, key));
    nb::object index = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(list.ptr(), index.ptr()));
}

nb::object item_at(PyObject *seq, Py_ssize_t i) {
    nb::object index = own(PyLong_FromSsize_t(i));
    return own(PyObject_GetItem(seq, index.ptr()));
}

// One AttributeBinning from the binning definition of one attribute.
nb::object build_binning(PyObject *attribute, PyObject *spec) {
    nb::object input = own(PyDict_New());
    set_item(input.ptr(), N.attribute, attribute);
    nb::object data_type = spec_get(spec, N.dtype, Py_None);
    set_item(input.ptr(), N.attribute_data_type, data_type.ptr());
    nb::object bin_list = own(PyList_New(0));
    set_item(input.ptr(), N.discretisation, bin_list.ptr());
    set_item(input.ptr(), N.binned_attribute_name, spec_get(spec, N.binned_attribute_name, Py_None).ptr());

    nb::object bins = own(PyObject_GetItem(spec, N.bins));
    const Py_ssize_t size = PyObject_Size(bins.ptr());
    if (size < 0) throw_error();
    const Py_ssize_t regular = equals(data_type.ptr(), S.CATEGORICAL) ? size : size - 1;

    Py_ssize_t bin_id = 2;
    for (Py_ssize_t i = 0; i < regular; ++i) {
        nb::object bin = own(PyDict_New());
        set_item(bin.ptr(), N.type, data_type.ptr());
        set_item(bin.ptr(), N.value, spec_at(spec, N.bin_vals, i).ptr());
        set_item(bin.ptr(), N.frequency, spec_at(spec, N.bin_frequencies, i).ptr());
        set_item(bin.ptr(), N.target_rate, spec_at(spec, N.bin_target_rates, i).ptr());
        set_item(bin.ptr(), N.id, own(PyLong_FromSsize_t(bin_id)).ptr());
        if (equals(data_type.ptr(), S.CATEGORICAL)) {
            set_item(bin.ptr(), N.categories, item_at(bins.ptr(), i).ptr());
        } else if (equals(data_type.ptr(), S.NUMERICAL)) {
            set_item(bin.ptr(), N.lower_bound, item_at(bins.ptr(), i).ptr());
            set_item(bin.ptr(), N.upper_bound, item_at(bins.ptr(), i + 1).ptr());
        }
        if (PyList_Append(bin_list.ptr(), bin.ptr()) < 0) throw_error();
        ++bin_id;
    }

    nb::object null_bin = own(PyDict_New());
    set_item(null_bin.ptr(), N.type, data_type.ptr());
    set_item(null_bin.ptr(), N.name, S.NULL_BIN);
    set_item(null_bin.ptr(), N.value, spec_get(spec, N.null_val, S.zero_float).ptr());
    set_item(null_bin.ptr(), N.frequency, spec_get(spec, N.null_frequency).ptr());
    set_item(null_bin.ptr(), N.target_rate, spec_get(spec, N.null_target_rate).ptr());
    set_item(null_bin.ptr(), N.id, S.one);
    if (PyList_Append(bin_list.ptr(), null_bin.ptr()) < 0) throw_error();

    nb::object default_value = spec_get(spec, N.default_, Py_None);
    nb::object default_bin = own(PyDict_New());
    set_item(default_bin.ptr(), N.type, data_type.ptr());
    set_item(default_bin.ptr(), N.name, default_value.is_none() ? S.SYSTEM_DEFAULT : S.DEFINED_DEFAULT);
    set_item(default_bin.ptr(), N.value, truthy(default_value.ptr()) ? default_value.ptr() : S.zero_float);
    set_item(default_bin.ptr(), N.frequency, S.zero_float);
    set_item(default_bin.ptr(), N.target_rate, S.zero_float);
    set_item(default_bin.ptr(), N.id, S.zero);
    if (PyList_Append(bin_list.ptr(), default_bin.ptr()) < 0) throw_error();

    nb::object kwargs = own(PyDict_Copy(input.ptr()));
    nb::object empty = own(PyTuple_New(0));
    return own(PyObject_Call(S.AttributeBinning, empty.ptr(), kwargs.ptr()));
}

nb::object add_discretisation(Args a) {
    nb::object items = own(PyDict_Items(a.get(1)));
    nb::object result = own(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        nb::object binning = build_binning(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
        if (PyList_Append(result.ptr(), binning.ptr()) < 0) throw_error();
    }
    return result;
}

nb::object get_discretisation(Args a) { return first_binning(a.get(0), a.get(1)); }

nb::object apply_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *value = a.get(2);
    nb::object binning = discretisation_of(self, attribute);
    if (binning.is_none()) return none();
    try {
        Kind kind = kind_of(binning.ptr());
        if (kind == Kind::Neither) return none();
        const bool numeric = kind == Kind::Numerical;
        PyObject *found = numeric ? scan_numeric(binning.ptr(), value) : scan_categorical(binning.ptr(), value);
        nb::object r = found ? nb::steal(found)
                             : call_method(numeric ? N.bin_numeric_attribute : N.bin_categoric_attribute,
                                           binning.ptr(), value);
        if (!r.is_none() && !PyFloat_CheckExact(r.ptr())) {
            raise_result_type("float", r.ptr());
            throw_error();
        }
        return r;
    } catch (error_already_set &) {
        rewrap(attribute);
    }
}

template <class Index>
nb::object bin_each(PyObject *binning, PyObject *values, PyObject *method) {
    Index index;
    index.build(binning);
    const Py_ssize_t n = PyList_GET_SIZE(values);
    nb::object result = own(PyList_New(n));
    Py_ssize_t i = 0;
    // The input is read by position while it is walked: a lookup that runs
    // the caller's code (a log processor) sees the list as the host would.
    for (; i < PyList_GET_SIZE(values); ++i) {
        PyObject *value = PyList_GET_ITEM(values, i);
        PyObject *r = index.find(value);
        if (!r) {
            nb::object hold = nb::borrow(value);
            r = call_method(method, binning, value).release().ptr();
        }
        if (i < n) {
            PyList_SET_ITEM(result.ptr(), i, r);
        } else {
            int failed = PyList_Append(result.ptr(), r);
            Py_DECREF(r);
            if (failed < 0) throw_error();
        }
    }
    if (i < n && PyList_SetSlice(result.ptr(), i, n, nullptr) < 0) throw_error();
    return result;
}

nb::object apply_discretisation_batch(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *values = a.get(2);
    nb::object binning = discretisation_of(self, attribute);
    if (binning.is_none()) return none();
    try {
        switch (kind_of(binning.ptr())) {
            case Kind::Numerical:
                return bin_each<NumericIndex>(binning.ptr(), values, N.bin_numeric_attribute);
            case Kind::Categorical:
                return bin_each<CategoricalIndex>(binning.ptr(), values, N.bin_categoric_attribute);
            default:
                return nb::borrow(values);
        }
    } catch (error_already_set &) {
        rewrap(attribute);
    }
}

nb::object discretisation_exists(Args a) {
    return nb::bool_(!first_binning(a.get(0), a.get(1)).is_none());
}

// [record.<field> for record in self.<list>]
nb::object all_of(PyObject *self, Field list_name, Field field_name) {
    nb::object list = field(self, list_name);
    nb::object out = own(PyList_New(0));
    each(list.ptr(), [&](PyObject *record) {
        if (PyList_Append(out.ptr(), field(record, field_name).ptr()) < 0) throw_error();
        return false;
    });
    return out;
}

// [record.<created> for record in self.<list>
//  if record.<created> is not None and record.<created> != record.attribute]
nb::object created_in(PyObject *self, Field list_name, Field created_name, Field attribute_name) {
    nb::object list = field(self, list_name);
    nb::object out = own(PyList_New(0));
    each(list.ptr(), [&](PyObject *record) {
        nb::object created = field(record, created_name);
        if (created.is_none()) return false;
        nb::object attribute = field(record, attribute_name);
        if (differs(created.ptr(), attribute.ptr()) && PyList_Append(out.ptr(), created.ptr()) < 0) throw_error();
        return false;
    });
    return out;
}

nb::object get_all_transformation_attributes(Args a) {
    return all_of(a.get(0), TRANSFORMATIONS, ATTRIBUTE);
}
nb::object get_attributes_created_in_transformations(Args a) {
    return created_in(a.get(0), TRANSFORMATIONS, TRANSFORMED_ATTRIBUTE_NAME, ATTRIBUTE);
}
nb::object get_all_binning_attributes(Args a) { return all_of(a.get(0), BINNING, ATTRIBUTE); }
nb::object get_attributes_created_in_binning(Args a) {
    return created_in(a.get(0), BINNING, BINNED_ATTRIBUTE_NAME, ATTRIBUTE);
}

nb::object get_all_dummy_enc_attributes(Args a) {
    nb::object list = field(a.get(0), DUMMY_ENCODING);
    nb::object out = own(PyList_New(0));
    each(list.ptr(), [&](PyObject *encoding) {
        nb::object entries = field(encoding, ENCODING);
        each(entries.ptr(), [&](PyObject *entry) {
            if (PyList_Append(out.ptr(), field(entry, ENCODED_FEATURE_NAME).ptr()) < 0) throw_error();
            return false;
        });
        return false;
    });
    return out;
}

// Built-in scalars whose comparisons run no code of the caller's.
inline bool plain_scalar(PyObject *o) {
    return PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o) || o == Py_None;
}

// attribute_value == value when it can be told without running code: 1 or
// 0; -1 when the general comparison must decide.
int quick_match(PyObject *attribute_value, PyObject *value) {
    const bool text_a = PyUnicode_CheckExact(attribute_value), text_v = PyUnicode_CheckExact(value);
    if (text_a && text_v) {
        // The hash of an encoded value is computed once and kept by the string
        // itself; later calls then tell most values apart by hash alone.
        if (reinterpret_cast<PyASCIIObject *>(value)->hash == -1) (void)PyObject_Hash(value);
        return str_eq(attribute_value, value);
    }
    if (text_a) return plain_scalar(value) ? 0 : -1;
    if (text_v) return plain_scalar(attribute_value) ? 0 : -1;
    if (PyFloat_CheckExact(attribute_value) && PyFloat_CheckExact(value))
        return PyFloat_AS_DOUBLE(attribute_value) == PyFloat_AS_DOUBLE(value);
    if (plain_scalar(attribute_value) && plain_scalar(value)) return equals(attribute_value, value);
    return -1;
}

// bool(attribute_value == value): the host's equality, so 1 == 1.0 and "1" != 1.
bool value_matches(PyObject *attribute_value, PyObject *value) {
    int quick = quick_match(attribute_value, value);
    return quick >= 0 ? quick != 0 : equals(attribute_value, value);
}

// The result of a dummy encoding, for the usual case of a list of plain
// single-value encodings (exact-string feature names, bool flags, values the
// argument compares with without running code). The mapping starts as a copy
// of the features at 0, made once per list of feature names and kept for the
// next calls, and the matched features are then set to 1.
// Plain references, released when a template is replaced and kept to the
// end of the process otherwise (like the module's other state: nothing is
// released after the interpreter has gone).
struct DummyTemplate {
    std::vector<PyObject *> names;     // the feature names in list order
    PyObject *zeros = nullptr;         // {name: 0} in first-seen order
    std::vector<PyObject *> one_hot;   // per entry (distinct names): zeros with that name at 1, made on use
    bool distinct = false;             // one key per entry
    void clear() {
        for (PyObject *n : names) Py_DECREF(n);
        for (PyObject *d : one_hot) Py_XDECREF(d);
        names.clear();
        one_hot.clear();
        Py_CLEAR(zeros);
    }
};
constexpr Py_ssize_t kPlainMax = 64;
DummyTemplate templates[4];
unsigned next_template = 0;

DummyTemplate &template_for(PyObject *const *features, Py_ssize_t n) {
    for (DummyTemplate &t : templates) {
        if (static_cast<Py_ssize_t>(t.names.size()) != n || !t.zeros) continue;
        Py_ssize_t i = 0;
        while (i < n && t.names[i] == features[i]) ++i;
        if (i == n) return t;
    }
    nb::object zeros = own(_PyDict_NewPresized(n));
    for (Py_ssize_t i = 0; i < n; ++i) set_item(zeros.ptr(), features[i], S.zero);
    DummyTemplate &t = templates[next_template++ % 4];
    t.clear();
    t.names.reserve(n);
    for (Py_ssize_t i = 0; i < n; ++i) t.names.push_back(Py_NewRef(features[i]));
    t.distinct = PyDict_GET_SIZE(zeros.ptr()) == n;
    t.one_hot.assign(t.distinct ? n : 0, nullptr);
    t.zeros = zeros.release().ptr();
    return t;
}

// False, with nothing done, when an entry is not plain.
bool encode_plain(PyObject *entries, PyObject *attribute_value, nb::object &dummies, bool &found,
                  nb::object &default_value) {
    const Py_ssize_t n = PyList_GET_SIZE(entries);
    if (n > kPlainMax) return false;
    PyObject *features[kPlainMax];
    bool hits[kPlainMax];
    PyObject *marked = nullptr;
    if (PyUnicode_CheckExact(attribute_value)) (void)PyObject_Hash(attribute_value);
    // Reading and comparing run no code: the borrowed names stay valid.
    RecordRun fields(F);
    for (Py_ssize_t i = 0; i < n; ++i) {
        fields.at(PyList_GET_ITEM(entries, i));
        PyObject *value = fields[VALUE];
        PyObject *use = fields[USE_FOR_UNDEFINED];
        PyObject *feature = fields[ENCODED_FEATURE_NAME];
        if (!value || !feature || (use != Py_True && use != Py_False) || !PyUnicode_CheckExact(feature))
            return false;
        const int hit = quick_match(attribute_value, value);
        if (hit < 0) return false;
        features[i] = feature;
        hits[i] = hit != 0;
        if (use == Py_True) marked = feature;
    }
    DummyTemplate &t = template_for(features, n);   // holds the names from here on
    Py_ssize_t only = -1, count = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (hits[i]) only = i, ++count;
    if (count == 1 && t.distinct) {   // the usual case: one feature at 1
        if (!t.one_hot[only]) {
            nb::object d = own(PyDict_Copy(t.zeros));
            set_item(d.ptr(), features[only], S.one);
            t.one_hot[only] = d.release().ptr();
        }
        dummies = own(PyDict_Copy(t.one_hot[only]));
        found = true;
        if (marked) default_value = nb::borrow(marked);
        return true;
    }
    nb::object result = own(PyDict_Copy(t.zeros));
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (hits[i]) {
            set_item(result.ptr(), features[i], S.one);
            found = true;
        } else if (!t.distinct) {
            set_item(result.ptr(), features[i], S.zero);   // a shared name keeps the last write
        }
    }
    if (marked) default_value = nb::borrow(marked);
    dummies = std::move(result);
    return true;
}

nb::object apply_dummy_encoding(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *attribute_value = a.get(2);
    nb::object encodings = field(self, DUMMY_ENCODING);
    nb::object encoding = first_with_attribute(encodings.ptr(), attribute);
    if (encoding.is_none()) {
        nb::object message = own(PyUnicode_FromFormat("No dummy encoding for %U was found.", attribute));
        log_event(N.warning, message.ptr());
        return none();
    }
    nb::object values_to_encode = field(encoding.ptr(), ENCODING);
    PyObject *entries = values_to_encode.ptr();
    const bool listed = PyList_CheckExact(entries);
    nb::object dummies;
    bool dummy_found = false;
    nb::object default_value = none();

    // One single-value encoding, in the order its fields are read.
    auto visit = [&](PyObject *single) {
        nb::object value = field(single, VALUE);
        nb::object use_for_undefined = field(single, USE_FOR_UNDEFINED);
        if (truthy(use_for_undefined.ptr())) default_value = field(single, ENCODED_FEATURE_NAME);
        const bool hit = value_matches(attribute_value, value.ptr());
        nb::object feature = field(single, ENCODED_FEATURE_NAME);
        set_item(dummies.ptr(), feature.ptr(), hit ? S.one : S.zero);
        dummy_found = dummy_found || hit;
        return false;
    };
    if (!listed) {
        dummies = own(PyDict_New());
        each(entries, visit);
    } else if (!encode_plain(entries, attribute_value, dummies, dummy_found, default_value)) {
        dummies = own(PyDict_New());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); ++i) {
            PyObject *single = PyList_GET_ITEM(entries, i);
            // Plain fields and a comparison that runs no code: no references needed.
            PyObject *value = entry(single, VALUE);
            PyObject *use = entry(single, USE_FOR_UNDEFINED);
            PyObject *feature = entry(single, ENCODED_FEATURE_NAME);
            int hit = -1;
            if (value && feature && (use == Py_True || use == Py_False) && PyUnicode_CheckExact(feature))
                hit = quick_match(attribute_value, value);
            if (hit < 0) {
                nb::object held = nb::borrow(single);
                visit(single);
                continue;
            }
            if (use == Py_True) default_value = nb::borrow(feature);
            set_item(dummies.ptr(), feature, hit ? S.one : S.zero);
            dummy_found = dummy_found || hit;
        }
    }
    if (dummy_found) return dummies;
    if (truthy(default_value.ptr())) {
        set_item(dummies.ptr(), default_value.ptr(), S.one);
        nb::object message = own(PyUnicode_FromFormat(
            "Dummy encoding for value '%S' of attribute '%U' is not defined. Default value '%S' was assigned with 1.",
            attribute_value, attribute, default_value.ptr()));
        log_event(N.info, message.ptr());
        return dummies;
    }
    nb::object message = own(PyUnicode_FromFormat(
        "Dummy encoding for value '%S' of attribute '%U' is not defined and no default value was assigned. "
        "All dummies for given attribute are assigned with 0.",
        attribute_value, attribute));
    log_event(N.warning, message.ptr());
    return dummies;
}

nb::object check_created_attribute_naming(Args a) {
    PyObject *self = a.get(0);
    nb::object attribute = field(self, ATTRIBUTE);
    nb::object entries = field(self, ENCODING);
    each(entries.ptr(), [&](PyObject *entry) {
        nb::object name = field(entry, ENCODED_FEATURE_NAME);
        if (!equals(name.ptr(), attribute.ptr())) return false;
        PyErr_Format(PyExc_ValueError,
                     "Features created by dummy encoding in predictive model cannot be named the same as feature "
                     "that is being encoded. This rule is broken for feature '%S'",
                     attribute.ptr());
        throw_error();
    });
    return nb::borrow(self);
}

// ------------------------------------------------------------ declaration

PyObject *keep(nb::handle o) { return nb::borrow(o).release().ptr(); }

PyObject *class_function(nb::handle cls, PyObject *name) {
    PyObject *f = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name);
    if (!f) {
        PyErr_Format(PyExc_AttributeError, "type object '%s' has no attribute '%U'",
                     reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_name, name);
        throw_error();
    }
    return Py_NewRef(f);
}

// The module's own records and those of the binning and reshaping modules are
// read straight from their dicts; records built here show where the records
// of each class keep their fields.
void read_fields_directly(Module &m) {
    nb::object numeric = nb::borrow(S.AttributeBinNumerical)(nb::arg("id") = 2, nb::arg("lower_bound") = 0.0,
                                                             nb::arg("upper_bound") = 1.0, nb::arg("value") = 1.0);
    nb::object categorical = nb::borrow(S.AttributeBinCategorical)(nb::arg("id") = 3, nb::arg("categories") = nb::list(),
                                                                   nb::arg("value") = 1.0);
    nb::list bins;
    bins.append(numeric);
    bins.append(categorical);
    nb::object binning = nb::borrow(S.AttributeBinning)(nb::arg("attribute") = "a",
                                                        nb::arg("attribute_data_type") = nb::borrow(S.NUMERICAL),
                                                        nb::arg("discretisation") = bins);
    nb::object transformation = nb::borrow(S.AttributeTransformation)(nb::arg("attribute") = "a",
                                                                      nb::arg("transformation") = "t");
    nb::object single = m.get("PredictiveModelDummyEncodingSingleValue")(nb::arg("value") = "v",
                                                                         nb::arg("encoded_feature_name") = "f");
    nb::list singles;
    singles.append(single);
    nb::object encoding = m.get("PredictiveModelDummyEncoding")(nb::arg("attribute") = "a", nb::arg("encoding") = singles);
    nb::object preprocessing = nb::borrow(S.AttributePreprocessing)();
    for (nb::handle record : {preprocessing, transformation, binning, numeric, categorical, encoding, single}) {
        F.trust(reinterpret_cast<PyObject *>(Py_TYPE(record.ptr())));
        F.learn(record.ptr());
    }
}

void intern_names() {
#define KELVANE_NAME(n) N.n = intern(#n)
    KELVANE_NAME(attribute); KELVANE_NAME(transformation); KELVANE_NAME(transformed_attribute_name);
    KELVANE_NAME(transformations); KELVANE_NAME(binning); KELVANE_NAME(dummy_encoding); KELVANE_NAME(encoding);
    KELVANE_NAME(value); KELVANE_NAME(encoded_feature_name); KELVANE_NAME(use_for_undefined);
    KELVANE_NAME(attribute_data_type); KELVANE_NAME(discretisation); KELVANE_NAME(binned_attribute_name);
    KELVANE_NAME(name); KELVANE_NAME(lower_bound); KELVANE_NAME(upper_bound); KELVANE_NAME(categories);
    KELVANE_NAME(type); KELVANE_NAME(frequency); KELVANE_NAME(target_rate); KELVANE_NAME(id);
    KELVANE_NAME(bin_numeric_attribute); KELVANE_NAME(bin_categoric_attribute); KELVANE_NAME(get_discretisation);
    KELVANE_NAME(logger); KELVANE_NAME(warning); KELVANE_NAME(info); KELVANE_NAME(append); KELVANE_NAME(get);
    KELVANE_NAME(keys); KELVANE_NAME(dtype); KELVANE_NAME(bins); KELVANE_NAME(bin_vals);
    KELVANE_NAME(bin_frequencies); KELVANE_NAME(bin_target_rates); KELVANE_NAME(null_val);
    KELVANE_NAME(null_frequency); KELVANE_NAME(null_target_rate);
#undef KELVANE_NAME
    N.default_ = intern("default");
    F.init({"transformations", "binning", "dummy_encoding", "attribute", "transformation",
            "transformed_attribute_name", "attribute_data_type", "discretisation", "binned_attribute_name", "name",
            "value", "lower_bound", "upper_bound", "categories", "encoding", "encoded_feature_name",
            "use_for_undefined"});
}

void declare(Module &m) {
    intern_names();
    S.namespace_ = keep(nb::borrow(PyModule_GetDict(m.object().ptr())));

    m.import_from("typing", {"List", "Optional", "Union", "Dict", "Any"});
    m.import("structlog");
    m.import("strawberry");
    m.import_from("pydantic", {"model_validator"});
    m.import_from(kBinningModule,
                  {"AttributeBinning", "AttributeBinningType", "AttributeDataType", "PredictiveModelBinName"});
    m.import_from("kelvane_analytics_utils.predictive_models.preparation.reshaping",
                  {"AttributeTransformation", "AttributeTransformationType"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.logger();

    // What the lookups need beyond the module's own names.
    nb::object binning_module = own(PyImport_ImportModule(kBinningModule));
    S.AttributeBinNumerical = keep(binning_module.attr("AttributeBinNumerical"));
    S.AttributeBinCategorical = keep(binning_module.attr("AttributeBinCategorical"));
    S.AttributeBinning = keep(m.get("AttributeBinning"));
    S.AttributeTransformation = keep(m.get("AttributeTransformation"));
    nb::object data_type = m.get("AttributeDataType");
    S.NUMERICAL = keep(data_type.attr("NUMERICAL"));
    S.CATEGORICAL = keep(data_type.attr("CATEGORICAL"));
    nb::object bin_name = m.get("PredictiveModelBinName");
    S.NULL_BIN = keep(bin_name.attr("NULL"));
    S.DEFAULT = keep(bin_name.attr("DEFAULT"));
    S.DEFINED_DEFAULT = keep(bin_name.attr("DEFINED_DEFAULT"));
    S.SYSTEM_DEFAULT = keep(bin_name.attr("SYSTEM_DEFAULT"));
    for (PyObject *reserved : {S.NULL_BIN, S.DEFAULT, S.DEFINED_DEFAULT, S.SYSTEM_DEFAULT}) {
        if (!PyUnicode_Check(reserved)) {
            PyErr_SetString(PyExc_TypeError, "reserved bin names must be strings");
            throw_error();
        }
    }
    S.bin_numeric_attribute = class_function(S.AttributeBinning, N.bin_numeric_attribute);
    S.bin_categoric_attribute = class_function(S.AttributeBinning, N.bin_categoric_attribute);
    S.zero = own(PyLong_FromLong(0)).release().ptr();
    S.one = own(PyLong_FromLong(1)).release().ptr();
    S.zero_float = own(PyFloat_FromDouble(0.0)).release().ptr();
    S.nan_text = keep(nb::str("nan"));

    m.record("PredictiveModelDummyEncodingSingleValue", {"BaseModel"})
        .field("value", "Union[str, int, float]")
        .field("encoded_feature_name", "str")
        .field("use_for_undefined", "bool", nb::bool_(false))
        .create();

    m.record("PredictiveModelDummyEncoding", {"BaseModel"})
        .field("attribute", "str")
        .field("encoding", "List[PredictiveModelDummyEncodingSingleValue]")
        .validator_after(Function("check_created_attribute_naming", check_created_attribute_naming)
                             .self()
                             .returns("'PredictiveModelDummyEncoding'")
                             .doc("We don't allow new features created by dummy encoding to be named the same as "
                                  "original attribute."))
        .create();

    nb::object preprocessing =
        m.record("AttributePreprocessing", {"BaseModel"})
            .doc("Class stores information about attribute transformations and binning applied before models "
                 "creation.")
            .field("transformations", "List[AttributeTransformation]", nb::list())
            .field("binning", "List[AttributeBinning]", nb::list())
            .field("dummy_encoding", "List[PredictiveModelDummyEncoding]", nb::list())
            .method(Function("get_transformation_formula", get_transformation_formula)
                        .self()
                        .arg("attribute", "str")
                        .returns("str"))
            .method(Function("add_reshaping", add_reshaping)
                        .self()
                        .arg("transformations", "List[Dict[str, str]]")
                        .returns("None"))
            .classmethod(Function("add_discretisation", add_discretisation)
                             .cls()
                             .arg("attributes_binning", "Dict[str, Any]")
                             .returns("List[AttributeBinning]")
                             .doc("Create objects with attribute binning from dictionary.\n"
                                  "\n"
                                  ":param attributes_binning: dictionary with binning of the attributes\n"
                                  ":return:"))
            .method(Function("get_discretisation", get_discretisation)
                        .self()
                        .arg("attribute", "str")
                        .returns("Optional[AttributeBinning]"))
            .method(Function("apply_discretisation", apply_discretisation)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_value", "Union[str, int, float]")
                        .returns("Optional[float]"))
            .method(Function("apply_discretisation_batch", apply_discretisation_batch)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_values", "List")
                        .returns("Optional[List[float]]"))
            .method(Function("discretisation_exists", discretisation_exists)
                        .self()
                        .arg("attribute", "str")
                        .returns("bool")
                        .doc("Check if attribute binning exists.\n"
                             ":param attribute: name of the attribute\n"
                             ":return: True if binning for given attribute exists"))
            .method(Function("get_all_transformation_attributes", get_all_transformation_attributes)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_attributes_created_in_transformations", get_attributes_created_in_transformations)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_all_binning_attributes", get_all_binning_attributes).self().returns("List[str]"))
            .method(Function("get_attributes_created_in_binning", get_attributes_created_in_binning)
                        .self()
                        .returns("List[str]"))
            .method(Function("get_all_dummy_enc_attributes", get_all_dummy_enc_attributes).self().returns("List[str]"))
            .method(Function("apply_dummy_encoding", apply_dummy_encoding)
                        .self()
                        .arg("attribute", "str")
                        .arg("attribute_value", "Union[str, int, float]")
                        .returns("Optional[Dict[str, int]]"))
            .create();
    S.AttributePreprocessing = keep(preprocessing);
    S.get_discretisation = class_function(preprocessing, N.get_discretisation);
    read_fields_directly(m);

    m.view("AttributePreprocessingType", "AttributePreprocessing")
        .field("binning", "List[AttributeBinningType]")
        .field("transformations", "List[AttributeTransformationType]")
        .create();
}

}  // namespace

KELVANE_MODULE(preparation, "kelvane_analytics_utils.predictive_models.preparation.preparation", declare)
