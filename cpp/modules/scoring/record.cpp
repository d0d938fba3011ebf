// One record: the bundle's preparation applied to it (apply_preprocessing,
// with its log events and errors), each feature taken from the prepared
// values, else from the record, else missing; values turned into model
// inputs; the forest walked or the linear term computed.
#include "modules/scoring/state.hpp"

#include <cmath>

namespace kelvane::scoring {

namespace {

// A native categorical feature's code for a text: ValueError for a category
// the model never saw (what XGBoost raises when it re-codes categories).
int category_code(const Scorer &s, std::size_t f, PyObject *text, float *out) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return -1;
    const auto &codes = s.category_codes[static_cast<std::size_t>(s.features[f].categories)];
    const auto it = codes.find(std::string(data, static_cast<std::size_t>(size)));
    if (it == codes.end()) {
        PyErr_Format(PyExc_ValueError, "Feature '%U' has the category %R, which the model has never seen",
                     s.features[f].name.ptr(), text);
        return -1;
    }
    *out = it->second;
    return 1;
}

}  // namespace

template <class T>
int feature_value(const Scorer &s, std::size_t f, PyObject *value, T *out) {
    constexpr T missing = std::numeric_limits<T>::quiet_NaN();
    if (value == Py_None) {
        *out = missing;
        return 0;
    }
    if (PyFloat_CheckExact(value)) {
        *out = static_cast<T>(PyFloat_AS_DOUBLE(value));
        return std::isnan(*out) ? 0 : 1;
    }
    PyTypeObject *type = Py_TYPE(value);
    // Integers (bool and numpy integers included) convert straight to T,
    // rounding once as XGBoost converts an integer column.
    if (PyLong_Check(value) || (!PyFloat_Check(value) && type->tp_as_number && type->tp_as_number->nb_index &&
                                !PyUnicode_Check(value))) {
        nb::object integer = nb::steal(PyNumber_Index(value));
        if (!integer.is_valid()) {
            // An __index__ that refuses (numpy's bool): the float conversion decides.
            if (PyLong_Check(value) || !type->tp_as_number->nb_float) return -1;
            PyErr_Clear();
            const double d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) return -1;
            *out = static_cast<T>(d);
            return std::isnan(d) ? 0 : 1;
        }
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) return -1;
        if (overflow) {
            const double d = PyLong_AsDouble(integer.ptr());   // OverflowError beyond a double
            if (d == -1.0 && PyErr_Occurred()) return -1;
            *out = static_cast<T>(d);
        } else {
            *out = static_cast<T>(v);
        }
        return 1;
    }
    if (PyUnicode_Check(value)) {
        if constexpr (std::is_same_v<T, float>) {
            if (s.trees && s.features[f].categories >= 0) {
                float code = 0;
                const int r = category_code(s, f, value, &code);
                if (r == 1) *out = code;
                return r;
            }
        }
        PyErr_Format(PyExc_TypeError, "Feature '%U' is numerical, got the str %R", s.features[f].name.ptr(), value);
        return -1;
    }
    if (type->tp_as_number && type->tp_as_number->nb_float) {
        const double d = PyFloat_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred()) return -1;
        *out = static_cast<T>(d);
        return std::isnan(d) ? 0 : 1;
    }
    PyErr_Format(PyExc_TypeError, "Feature '%U' must be a number or None, got %.200s", s.features[f].name.ptr(),
                 type->tp_name);
    return -1;
}
template int feature_value<float>(const Scorer &, std::size_t, PyObject *, float *);
template int feature_value<double>(const Scorer &, std::size_t, PyObject *, double *);

void raise_missing_linear(const Scorer &s, std::size_t f) {
    PyErr_Format(PyExc_ValueError, "Feature '%U' is missing: a linear model has no rule for missing values",
                 s.features[f].name.ptr());
    throw_error();
}

void raise_missing_created(const Scorer &s, std::size_t f) {
    PyErr_Format(PyExc_ValueError,
                 "Feature '%U' is created by the transformation %R, which the scorer does not run: pass its value "
                 "under its name",
                 s.features[f].name.ptr(), s.features[f].transformation.ptr());
    throw_error();
}

namespace {

// The model inputs of one record (`values` an exact dict) into `out`,
// one per feature.
template <class T>
void record_inputs(const Scorer &s, nb::handle values, T *out) {
    nb::object prepared;
    if (!s.preparation.is_none()) {
        prepared = call_method(S.str_apply_preprocessing, s.preparation, values);
        if (!PyDict_Check(prepared.ptr())) {
            PyErr_Format(PyExc_TypeError, "apply_preprocessing returned %.200s, not a dict", Py_TYPE(prepared.ptr())->tp_name);
            throw_error();
        }
    }
    for (std::size_t f = 0; f < s.features.size(); ++f) {
        PyObject *key = s.features[f].name.ptr();   // borrowed from the scorer, which the call holds
        PyObject *found = nullptr;   // a new reference: converting it may run Python code
        int r = prepared.is_valid() ? PyDict_GetItemRef(prepared.ptr(), key, &found) : 0;
        if (r == 0) r = PyDict_GetItemRef(values.ptr(), key, &found);
        if (r < 0) throw_error();
        nb::object value = nb::steal(found);
        if (r == 0) {
            if (s.features[f].transformation.is_valid()) raise_missing_created(s, f);
            if (!s.trees) raise_missing_linear(s, f);
            out[f] = std::numeric_limits<T>::quiet_NaN();
            continue;
        }
        const int stored = feature_value<T>(s, f, value.ptr(), &out[f]);
        if (stored < 0) throw_error();
        if (stored == 0 && !s.trees) raise_missing_linear(s, f);
    }
}

}  // namespace

nb::object result_object(const float *values, std::size_t width) {
    if (width == 1) return check(PyFloat_FromDouble(values[0]));
    nb::object list = check(PyList_New(static_cast<Py_ssize_t>(width)));
    for (std::size_t i = 0; i < width; ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), check(PyFloat_FromDouble(values[i])).release().ptr());
    return list;
}

nb::object prepare(const Scorer &s, nb::handle values) {
    const std::size_t n = s.features.size();
    nb::object list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    auto fill = [&](auto *inputs) {
        record_inputs(s, values, inputs);
        for (std::size_t f = 0; f < n; ++f)
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(f), check(PyFloat_FromDouble(inputs[f])).release().ptr());
    };
    if (s.trees) {
        std::vector<float> inputs(n);
        fill(inputs.data());
    } else {
        std::vector<double> inputs(n);
        fill(inputs.data());
    }
    return list;
}

nb::object score(const Scorer &s, nb::handle values, bool output_margin) {
    const std::size_t n = s.features.size();
    if (!s.trees) {
        std::vector<double> inputs(n);
        record_inputs(s, values, inputs.data());
        return check(PyFloat_FromDouble(s.linear.score(inputs.data(), output_margin)));
    }
    // Small models keep everything on the stack.
    constexpr std::size_t kInline = 256;
    float inline_inputs[kInline], inline_margins[16], inline_result[16];
    std::vector<float> heap_inputs, heap_margins, heap_result;
    float *inputs = inline_inputs, *margins = inline_margins, *result = inline_result;
    if (n > kInline) {
        heap_inputs.resize(n);
        inputs = heap_inputs.data();
    }
    const std::size_t outputs = s.forest.n_outputs();
    if (outputs > 16) {
        heap_margins.resize(outputs);
        heap_result.resize(outputs);
        margins = heap_margins.data();
        result = heap_result.data();
    }
    record_inputs(s, values, inputs);
    s.forest.margins(inputs, s.tree_end, margins);
    if (output_margin) return result_object(margins, outputs);
    s.forest.transform(margins, result);
    return result_object(result, s.forest.result_size());
}

}  // namespace kelvane::scoring
