// Applying binnings: `apply_discretisation` (one value) and
// `apply_discretisation_batch` (a list of values) of AttributePreprocessing.
//
// These run once per binned attribute of every scored record. When the
// binning is a plain AttributeBinning with its own lookups, the bins are
// scanned here, in list order as the binning's lookup scans them, for as long
// as every bin on the way is plain (bins::plain_step) and the value is an
// exact float or int (for categories: an exact str other than "nan"). A
// regular bin that matches answers its value; anything else (missing values,
// no match, an unusual bin or value) is left to the binning's own lookup,
// which also logs a default hit and raises its own errors.
#include "modules/preparation/state.hpp"

#include "core/binning.hpp"

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace kelvane::preparation {

namespace {

enum class DataType { Neither, Numerical, Categorical };

// The binning's data type, compared numerical first.
DataType data_type_of(PyObject *binning) {
    PyObject *plain = entry(binning, ATTRIBUTE_DATA_TYPE);   // borrowed, compared by identity only
    if (plain == S.NUMERICAL.ptr()) return DataType::Numerical;
    if (plain == S.CATEGORICAL.ptr()) return DataType::Categorical;
    nb::object t = field(binning, ATTRIBUTE_DATA_TYPE);
    if (t.ptr() == S.NUMERICAL.ptr()) return DataType::Numerical;
    if (t.ptr() != S.CATEGORICAL.ptr() && equals(t, S.NUMERICAL)) return DataType::Numerical;
    if (t.ptr() == S.CATEGORICAL.ptr() || equals(t, S.CATEGORICAL)) return DataType::Categorical;
    return DataType::Neither;
}

}  // namespace

nb::object discretisation_of(PyObject *self, PyObject *attribute) {
    if (method_is(self, S.str_get_discretisation, S.get_discretisation))
        return first_with_attribute(field(self, BINNING).ptr(), attribute);
    return call_method(S.str_get_discretisation, self, attribute);
}

namespace {

// The bin list of a plain AttributeBinning whose lookup `method` is its own
// (borrowed from the binning's dict; nothing runs Python code before the
// caller holds it), or an empty handle when the fast paths must not be taken.
nb::handle try_plain_bins(PyObject *binning, PyObject *method, const nb::object &original, bool own = false) {
    if (!own) {
        if (Py_TYPE(binning) != reinterpret_cast<PyTypeObject *>(S.AttributeBinning.ptr())) return {};
        if (!method_is(binning, method, original)) return {};
    }
    PyObject *list = entry(binning, DISCRETISATION);
    return list && PyList_CheckExact(list) ? nb::handle(list) : nb::handle();
}

// The value of a bin's field when its instance dict holds it; an empty object
// otherwise (errors cleared): the fast paths leave anything unusual to the
// general path.
nb::object try_dict_field(PyObject *record, Field f) {
    PyObject *v;
    const int r = RecordFields::in_dict(record, F.layout_of(record), f, &v);
    if (r < 0) PyErr_Clear();
    return r > 0 ? nb::steal(v) : nb::object();
}

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

// ------------------------------------------------------------ single values

}  // namespace

nb::object try_scan_bins(PyObject *list, bool numeric, PyObject *value) {
    PyObject *bin_value = nullptr, *hit;   // borrowed: the scans run no Python code
    if (numeric) {
        double d;
        if (!plain_number(value, d) || std::isnan(d)) return {};
        hit = bins::try_plain_interval<true>(F, S.V, list, d, &bin_value);
    } else {
        if (!PyUnicode_CheckExact(value) || str_equal(value, S.V.nan_text.ptr())) return {};
        hit = bins::try_plain_category<true>(F, S.V, list, value, &bin_value);
    }
    return hit && bin_value ? nb::borrow(bin_value) : nb::object();
}

namespace {

// The matched bin's value, or an empty object when the lookup must answer.
nb::object try_scan(PyObject *binning, bool numeric, PyObject *value, bool own) {
    nb::handle list = numeric ? try_plain_bins(binning, S.str_bin_numeric_attribute, S.bin_numeric_attribute, own)
                              : try_plain_bins(binning, S.str_bin_categoric_attribute, S.bin_categoric_attribute, own);
    return list ? try_scan_bins(list.ptr(), numeric, value) : nb::object();
}

// ------------------------------------------------------------ batch indexes
//
// A batch reads the bins once and answers the values it can answer exactly
// from an index over the leading plain bins: the bins that the list-order
// scan would reach, in order, up to the first bin that is not plain. Any
// value the index does not match (missing values, values left to the default
// bin or to the bins after that point, bin values of the wrong type) goes
// through the binning's own lookup, with its log events and errors.

struct BinValues {
    std::vector<nb::object> values;   // the bin value of each indexed bin
    std::vector<char> usable;         // whether the lookup would return it as is
    void add(PyObject *bin) {
        nb::object v = try_dict_field(bin, VALUE);
        usable.push_back(v.is_valid() && (v.is_none() || PyFloat_CheckExact(v.ptr())));
        values.push_back(std::move(v));
    }
    // The answer for bin k, borrowed from this index; empty when the lookup must answer.
    nb::handle try_answer(std::size_t k) const { return usable[k] ? nb::handle(values[k]) : nb::handle(); }
    std::size_t try_code(std::size_t k) const { return k != core::no_bin && usable[k] ? k : core::no_bin; }
};

struct NumericIndex {
    bool ready = false;
    core::IntervalIndex index;
    BinValues bins;

    void build(PyObject *binning) {
        nb::handle found = try_plain_bins(binning, S.str_bin_numeric_attribute, S.bin_numeric_attribute);
        if (!found) return;
        nb::object list = nb::borrow(found);
        std::vector<core::Interval> intervals;
        const bins::Vocabulary &V = S.V;
        RecordRun run(F);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object bin = nb::borrow(PyList_GET_ITEM(list.ptr(), i));   // storing a value may run code
            run.at(bin.ptr());
            bins::PlainBin plain;
            const bins::Step step = bins::plain_step<bins::Kind::Numerical>(V, run, bin.ptr(), &plain);
            if (step == bins::Step::Stop) break;
            if (step == bins::Step::Skip) continue;
            intervals.push_back({PyFloat_AS_DOUBLE(plain.lower), PyFloat_AS_DOUBLE(plain.upper)});
            bins.add(bin.ptr());
        }
        index = core::IntervalIndex(intervals);
        ready = true;
    }

    // The bin value for `value` (borrowed from the index), or an empty handle
    // when the lookup must answer.
    nb::handle try_find(PyObject *value) const {
        double d;
        if (!ready || !plain_number(value, d)) return {};
        const std::size_t k = index.find(d);   // NaN finds nothing
        return k == core::no_bin ? nb::handle() : bins.try_answer(k);
    }

    // The position in `bins` of the value's answer, or no_bin. Runs no Python code.
    std::size_t try_code(PyObject *value) const {
        double d;
        if (!plain_number(value, d)) return core::no_bin;
        return bins.try_code(index.find(d));
    }
};

struct CategoricalIndex {
    bool ready = false;
    nb::object first;   // category text -> position in `bins`
    BinValues bins;

    void build(PyObject *binning) {
        nb::handle found = try_plain_bins(binning, S.str_bin_categoric_attribute, S.bin_categoric_attribute);
        if (!found) return;
        nb::object list = nb::borrow(found);
        first = nb::steal(PyDict_New());
        if (!first.is_valid()) {
            PyErr_Clear();
            return;
        }
        const bins::Vocabulary &V = S.V;
        RecordRun run(F);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object bin = nb::borrow(PyList_GET_ITEM(list.ptr(), i));   // storing categories may collect garbage
            run.at(bin.ptr());
            bins::PlainBin plain;
            const bins::Step step = bins::plain_step<bins::Kind::Categorical>(V, run, bin.ptr(), &plain);
            if (step == bins::Step::Stop) break;
            if (step == bins::Step::Skip) continue;
            nb::object categories = nb::borrow(plain.categories);
            nb::object pos = nb::steal(PyLong_FromSize_t(bins.values.size()));
            bool stored = pos.is_valid();
            for (Py_ssize_t j = 0; stored && j < PyList_GET_SIZE(categories.ptr()); ++j) {
                nb::object category = nb::borrow(PyList_GET_ITEM(categories.ptr(), j));
                stored = PyDict_SetDefaultRef(first.ptr(), category.ptr(), pos.ptr(), nullptr) >= 0;
            }
            if (!stored) {   // out of memory: leave every value to the lookup
                PyErr_Clear();
                return;
            }
            bins.add(bin.ptr());
        }
        ready = true;
    }

    nb::handle try_find(PyObject *value) const {
        if (!ready || !PyUnicode_CheckExact(value) || str_equal(value, S.V.nan_text.ptr())) return {};
        PyObject *found;
        if (PyDict_GetItemRef(first.ptr(), value, &found) <= 0) {   // exact str keys: no Python code
            PyErr_Clear();
            return {};
        }
        nb::object pos = nb::steal(found);
        return bins.try_answer(PyLong_AsSize_t(pos.ptr()));
    }

    std::size_t try_code(PyObject *value) const {
        if (!PyUnicode_CheckExact(value) || str_equal(value, S.V.nan_text.ptr())) return core::no_bin;
        PyObject *found;
        if (PyDict_GetItemRef(first.ptr(), value, &found) <= 0) {   // exact str keys: no Python code
            PyErr_Clear();
            return core::no_bin;
        }
        const std::size_t k = PyLong_AsSize_t(found);
        Py_DECREF(found);
        return bins.try_code(k);
    }
};

// The whole batch from the index alone, when it answers every value: a first
// pass, which runs no Python code, finds the bin of each value; then the
// list is made and filled. An empty object when some value needs the
// binning's own lookup (nothing has been done then).
template <class Index>
nb::object try_all_indexed(const Index &index, PyObject *values) {
    if (!index.ready || index.bins.values.size() > 255) return {};
    const Py_ssize_t n = PyList_GET_SIZE(values);
    std::unique_ptr<std::uint8_t[]> codes(new std::uint8_t[static_cast<std::size_t>(n) + 1]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const std::size_t k = index.try_code(PyList_GET_ITEM(values, i));   // borrowed: no Python code runs
        if (k == core::no_bin) return {};
        codes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(k);
    }
    nb::object result = check(PyList_New(n));
    // Filled at once: nothing between making the list and its last item runs Python code.
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = index.bins.values[codes[static_cast<std::size_t>(i)]].ptr();
        PyList_SET_ITEM(result.ptr(), i, Py_NewRef(v));
    }
    return result;
}

// The results are collected before the result list is made: a lookup may
// run Python code (a log processor walking gc.get_objects()), which must
// never meet a list with empty slots.
template <class Index>
nb::object bin_each(PyObject *binning, PyObject *values, PyObject *method) {
    Index index;
    index.build(binning);
    if (nb::object all = try_all_indexed(index, values); all.is_valid()) return all;
    std::vector<nb::object> results;
    results.reserve(static_cast<std::size_t>(PyList_GET_SIZE(values)));
    // The input is read by position while it is walked: a lookup that runs
    // the caller's code (a log processor) sees the list as the host would.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        // Borrowed: the index lookup runs no Python code; held for the binning's own.
        PyObject *value = PyList_GET_ITEM(values, i);
        nb::handle found = index.try_find(value);
        nb::object r = found ? nb::borrow(found) : call_method(method, binning, nb::borrow(value));
        results.push_back(std::move(r));
    }
    // Filled at once: nothing between making the list and its last item runs Python code.
    const Py_ssize_t n = static_cast<Py_ssize_t>(results.size());
    nb::object result = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(result.ptr(), i, results[static_cast<std::size_t>(i)].release().ptr());
    return result;
}

// "Binning attribute <attribute>: ", made on the error path only.
auto binning_prefix(PyObject *attribute) {
    return [attribute] { return check(PyUnicode_FromFormat("Binning attribute %U: ", attribute)); };
}

}  // namespace

nb::object discretise(PyObject *binning, PyObject *attribute, PyObject *value, bool *quiet, bool own) {
    if (binning == Py_None) return none();
    try {
        PyObject *plain = entry(binning, ATTRIBUTE_DATA_TYPE);   // borrowed, compared by identity only
        if (plain != S.NUMERICAL.ptr() && plain != S.CATEGORICAL.ptr()) *quiet = false;
        const DataType type = data_type_of(binning);
        if (type == DataType::Neither) return none();
        const bool numeric = type == DataType::Numerical;
        nb::object r = try_scan(binning, numeric, value, own);
        if (!r.is_valid()) {
            *quiet = false;
            r = call_method(numeric ? S.str_bin_numeric_attribute : S.str_bin_categoric_attribute, binning, value);
        }
        if (!r.is_none() && !PyFloat_CheckExact(r.ptr())) {
            raise_result_type("float", r.ptr());
            throw_error();
        }
        return r;
    } catch (error_already_set &) {
        reraise_with_prefix(binning_prefix(attribute));
    }
}

nb::object apply_discretisation(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1);
    nb::object binning = discretisation_of(self, attribute);
    bool quiet = true;
    return discretise(binning.ptr(), attribute, a.get(2), &quiet);
}

nb::object apply_discretisation_batch(Args a) {
    PyObject *self = a.get(0), *attribute = a.get(1), *values = a.get(2);
    nb::object binning = discretisation_of(self, attribute);
    if (binning.is_none()) return none();
    try {
        switch (data_type_of(binning.ptr())) {
            case DataType::Numerical:
                return bin_each<NumericIndex>(binning.ptr(), values, S.str_bin_numeric_attribute);
            case DataType::Categorical:
                return bin_each<CategoricalIndex>(binning.ptr(), values, S.str_bin_categoric_attribute);
            default:
                return nb::borrow(values);
        }
    } catch (error_already_set &) {
        reraise_with_prefix(binning_prefix(attribute));
    }
}

}  // namespace kelvane::preparation
