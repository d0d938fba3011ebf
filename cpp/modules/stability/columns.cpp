// Values, columns and targets read into bin slots.
//
// A numerical attribute takes floats, integers (counted as floats) and None;
// a categorical one takes str, numbers (which no category equals) and None.
// Columns are lists, tuples, other sequences of such values, or buffers of
// numbers (1-dimensional: float64, float32, signed and unsigned integers,
// bool), read in place.
#include "modules/stability/state.hpp"

#include <bit>
#include <cmath>
#include <cstring>

namespace kelvane::stability {

std::string_view text_key(PyObject *s, std::string &scratch) {
    if (PyUnicode_IS_ASCII(s))
        return {static_cast<const char *>(PyUnicode_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s))};
    Py_ssize_t size;
    if (const char *utf8 = PyUnicode_AsUTF8AndSize(s, &size)) return {utf8, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();   // lone surrogates: the same bytes as surrogatepass gives
    nb::object bytes = check(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    scratch.assign(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    return scratch;
}

namespace {

[[noreturn]] void wrong_value(PyObject *attribute, const char *expected, PyObject *value) {
    PyErr_Format(PyExc_TypeError, "value of '%U' must be %s, got %.200s", attribute, expected,
                 Py_TYPE(value)->tp_name);
    throw_error();
}

// A number as a float: floats by value, integers (and integer-like objects)
// converted as float() would; false for anything else.
bool as_double(PyObject *value, double *out) {
    if (PyFloat_Check(value)) {
        *out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_Check(value)) {
        *out = PyLong_AsDouble(value);
        if (*out == -1.0 && PyErr_Occurred()) throw_error();
        return true;
    }
    if (PyIndex_Check(value) && !PyUnicode_Check(value)) {
        nb::object index = check(PyNumber_Index(value));
        *out = PyLong_AsDouble(index.ptr());
        if (*out == -1.0 && PyErr_Occurred()) throw_error();
        return true;
    }
    return false;
}

}  // namespace

std::uint32_t slot_of(const core::Binning &b, PyObject *value, PyObject *attribute) {
    if (b.kind == core::DataKind::Other) return b.unmatched();
    if (value == Py_None) return b.missing();
    if (b.kind == core::DataKind::Categorical && PyUnicode_CheckExact(value)) {
        std::string scratch;
        const std::string_view key = text_key(value, scratch);
        if (key == "nan") return b.missing();
        return b.text(key, static_cast<std::uint64_t>(str_hash(value)));
    }
    double v;
    if (!as_double(value, &v))
        wrong_value(attribute, b.kind == core::DataKind::Numerical ? "a number or None" : "a str, a number or None",
                    value);
    if (b.kind == core::DataKind::Numerical) return b.number(v);
    // A number equals no category; only NaN ("nan" as text) is missing.
    return std::isnan(v) ? b.missing() : b.fallback();
}

std::int8_t target_of(PyObject *value) {
    if (value == Py_None) return -1;
    double v;
    if (as_double(value, &v)) {
        if (v == 0 || v == 1) return static_cast<std::int8_t>(v);
        if (std::isnan(v)) return -1;
    }
    PyErr_Format(PyExc_ValueError, "target must be 0, 1 or None, got %R", value);
    throw_error();
}

// ---------------------------------------------------------------- columns

Column::Column(nb::handle source, nb::handle what) : what_(nb::borrow(what)) {
    PyObject *o = source.ptr();
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o) || PyDict_Check(o)) {
        PyErr_Format(PyExc_TypeError, "column '%U' must be a list, a tuple or a buffer of numbers, not %.200s",
                     what.ptr(), Py_TYPE(o)->tp_name);
        throw_error();
    }
    if (!PyList_Check(o) && !PyTuple_Check(o) && PyObject_CheckBuffer(o)) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) {
            PyErr_Clear();   // no buffer of this kind: read as a sequence
        } else if (view_.format && (std::string_view(view_.format) == "O" || std::string_view(view_.format) == "@O")) {
            PyBuffer_Release(&view_);   // an array of objects: read as a sequence
        } else {
            buffer_ = true;
            std::string_view format = view_.format ? view_.format : "B";
            // Native byte order only; the item size decides the integer width.
            if (!format.empty() && (format[0] == '@' || format[0] == '=' ||
                                    (format[0] == '<' && std::endian::native == std::endian::little)))
                format.remove_prefix(1);
            if (format == "d" && view_.itemsize == 8) code_ = 'd';
            else if (format == "f" && view_.itemsize == 4) code_ = 'f';
            else if (format == "?" && view_.itemsize == 1) code_ = '?';
            else if (format.size() == 1 && std::strchr("bhilq", format[0]) && view_.itemsize <= 8) code_ = 'i';
            else if (format.size() == 1 && std::strchr("BHILQ", format[0]) && view_.itemsize <= 8) code_ = 'u';
            if (!code_ || view_.ndim != 1) {
                PyErr_Format(PyExc_TypeError,
                             "column '%U' must be a 1-dimensional buffer of numbers (format %s, %d dimensions)",
                             what.ptr(), view_.format ? view_.format : "B", view_.ndim);
                PyBuffer_Release(&view_);   // the destructor does not run for a failed constructor
                buffer_ = false;
                throw_error();
            }
            size_ = view_.shape[0];
            return;
        }
    }
    items_ = check(PySequence_Fast(o, "a column must be a list, a tuple or a buffer of numbers"));
    size_ = PySequence_Fast_GET_SIZE(items_.ptr());
}

Column::~Column() {
    if (buffer_) PyBuffer_Release(&view_);
}

namespace {

// The element at position i of a buffer of `code` and the buffer's item size.
template <class T>
inline T element(const char *base, Py_ssize_t stride, Py_ssize_t i) {
    T v;
    std::memcpy(&v, base + i * stride, sizeof v);
    return v;
}

double number_at(const Py_buffer &view, char code, Py_ssize_t i) {
    const char *base = static_cast<const char *>(view.buf);
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    switch (code) {
        case 'd': return element<double>(base, stride, i);
        case 'f': return element<float>(base, stride, i);
        case '?': return element<unsigned char>(base, stride, i) != 0;
        case 'i':
            switch (view.itemsize) {
                case 1: return element<std::int8_t>(base, stride, i);
                case 2: return element<std::int16_t>(base, stride, i);
                case 4: return element<std::int32_t>(base, stride, i);
                default: return static_cast<double>(element<std::int64_t>(base, stride, i));
            }
        default:
            switch (view.itemsize) {
                case 1: return element<std::uint8_t>(base, stride, i);
                case 2: return element<std::uint16_t>(base, stride, i);
                case 4: return element<std::uint32_t>(base, stride, i);
                default: return static_cast<double>(element<std::uint64_t>(base, stride, i));
            }
    }
}

// The slot of a number under the binning's lookup.
inline std::uint32_t number_slot(const core::Binning &b, double v) {
    switch (b.kind) {
        case core::DataKind::Numerical: return b.number(v);
        case core::DataKind::Categorical: return std::isnan(v) ? b.missing() : b.fallback();
        default: return b.unmatched();
    }
}

}  // namespace

void Column::count(const core::Binning &b, const std::int8_t *targets, core::Tally &tally) const {
    if (buffer_) {
        const Py_ssize_t stride = view_.strides ? view_.strides[0] : view_.itemsize;
        if (code_ == 'd' && stride == 8 && !targets && b.kind == core::DataKind::Numerical &&
            reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0) {
            // The common case: a contiguous, aligned float64 column without targets.
            const double *v = static_cast<const double *>(view_.buf);
            std::uint64_t *count = tally.count.data();
            for (Py_ssize_t i = 0; i < size_; ++i) ++count[b.number(v[i])];
            return;
        }
        for (Py_ssize_t i = 0; i < size_; ++i)
            tally.add(number_slot(b, number_at(view_, code_, i)), targets ? targets[i] : -1);
        return;
    }
    std::string scratch;
    for (Py_ssize_t i = 0; i < size_; ++i) {
        // The sequence is the caller's list (or our own copy); Python code run
        // for a value may shorten it.
        if (i >= PySequence_Fast_GET_SIZE(items_.ptr())) {
            PyErr_Format(PyExc_RuntimeError, "column '%U' changed size while it was counted", what_.ptr());
            throw_error();
        }
        PyObject *value = PySequence_Fast_GET_ITEM(items_.ptr(), i);
        std::uint32_t slot;
        if (PyUnicode_CheckExact(value) && b.kind == core::DataKind::Categorical) {
            // Borrowed: reading a str's key and kept hash runs no Python code.
            const std::string_view key = text_key(value, scratch);
            slot = key == "nan" ? b.missing() : b.text(key, static_cast<std::uint64_t>(str_hash(value)));
        } else if (PyFloat_CheckExact(value)) {
            slot = number_slot(b, PyFloat_AS_DOUBLE(value));
        } else {
            nb::object held = nb::borrow(value);   // a conversion may run Python code
            slot = slot_of(b, held.ptr(), what_.ptr());
        }
        tally.add(slot, targets ? targets[i] : -1);
    }
}

std::vector<std::int8_t> Column::targets() const {
    std::vector<std::int8_t> out(static_cast<std::size_t>(size_));
    for (Py_ssize_t i = 0; i < size_; ++i) {
        if (buffer_) {
            const double v = number_at(view_, code_, i);
            if (std::isnan(v)) {
                out[i] = -1;
            } else if (v == 0 || v == 1) {
                out[i] = static_cast<std::int8_t>(v);
            } else {
                PyErr_Format(PyExc_ValueError, "target must be 0, 1 or None, got %R",
                             nb::float_(v).ptr());
                throw_error();
            }
        } else {
            if (i >= PySequence_Fast_GET_SIZE(items_.ptr())) {
                PyErr_Format(PyExc_RuntimeError, "column '%U' changed size while it was read", what_.ptr());
                throw_error();
            }
            nb::object held = nb::borrow(PySequence_Fast_GET_ITEM(items_.ptr(), i));
            out[i] = target_of(held.ptr());
        }
    }
    return out;
}

}  // namespace kelvane::stability
