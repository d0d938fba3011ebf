// Columns of records: score_batch. Every row gives what `score` gives for the
// record made of its values (same log events, in row order; the first
// failing row raises what `score` would).
//
// Two ways through, chosen once per call:
//   - direct: the model is a forest and the bundle prepares nothing. Columns
//     of numbers exported through the buffer protocol are read straight
//     from their memory while the trees are walked, without the GIL; list,
//     tuple and object columns are turned into inputs first, row by row;
//   - by record: the bundle bins or encodes attributes (or the model is
//     linear). Row by row, the values the preparation reads go through
//     apply_preprocessing exactly as in `score`, and every input is stored;
//     the walk then runs on the stored inputs without the GIL.
// In both, rows go through each tree a block at a time (Forest::margins_block),
// split across `n_threads` threads.
#include "modules/scoring/state.hpp"

#include <cmath>
#include <cstring>
#include <thread>

namespace kelvane::scoring {

namespace {

enum class Kind { Absent, Values, Float64, Float32, Int64, Int32, Bool };

// A buffer view released with its holder (under the GIL: holders live in
// score_batch's frame, which holds it when they are destroyed).
struct BufferView {
    Py_buffer view{};
    bool held = false;
    BufferView() = default;
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView() {
        if (held) PyBuffer_Release(&view);
    }
};

struct Column {
    Kind kind = Kind::Absent;
    nb::object owner;         // the object the column came from (or its array)
    nb::object items;         // Values: a tuple of the items
    bool plain_items = false; // items from numpy: np.str_ and float subclasses made plain
    const void *data = nullptr;
    std::size_t length = 0;
    std::unique_ptr<BufferView> buffer;
};

[[noreturn]] void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw_error();
}

std::string name_of(nb::handle name) {
    const char *t = PyUnicode_AsUTF8(name.ptr());
    if (!t) {
        PyErr_Clear();
        return "?";
    }
    return t;
}

// The kind of a one-dimensional buffer's items from its format; Absent when
// the format is no number this reads.
Kind kind_of_format(const char *format, Py_ssize_t itemsize) {
    if (!format) return Kind::Absent;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return Kind::Absent;
    switch (format[0]) {
    case 'd': return itemsize == 8 ? Kind::Float64 : Kind::Absent;
    case 'f': return itemsize == 4 ? Kind::Float32 : Kind::Absent;
    case 'q': case 'l': return itemsize == 8 ? Kind::Int64 : itemsize == 4 ? Kind::Int32 : Kind::Absent;
    case 'i': return itemsize == 4 ? Kind::Int32 : Kind::Absent;
    case '?': return itemsize == 1 ? Kind::Bool : Kind::Absent;
    }
    return Kind::Absent;
}

bool object_or_text_format(const char *format) {
    if (!format) return false;
    const std::size_t n = std::strlen(format);
    return n > 0 && (format[n - 1] == 'O' || format[n - 1] == 'w');
}

// Classifies columns[name] (`value`): a list or tuple, a buffer of numbers,
// an array of objects or texts (its items, made plain), or what a
// DataFrame's column gives through to_numpy().
void classify(Column &c, nb::handle name, nb::object value, bool converted = false) {
    PyObject *o = value.ptr();   // held by `value` (and then by the column)
    c.owner = value;
    if (PyList_Check(o) || PyTuple_Check(o)) {
        // A tuple of the items: Python code run later (a log processor, a
        // value's __float__) may change the list, never the tuple.
        c.kind = Kind::Values;
        c.items = PyTuple_CheckExact(o) ? value : check(PySequence_Tuple(o));
        c.length = static_cast<std::size_t>(PyTuple_GET_SIZE(c.items.ptr()));
        return;
    }
    if (PyObject_CheckBuffer(o) && !PyBytes_Check(o) && !PyByteArray_Check(o)) {
        auto view = std::make_unique<BufferView>();
        if (PyObject_GetBuffer(o, &view->view, PyBUF_RECORDS_RO) < 0) throw_error();
        view->held = true;
        const Py_buffer &v = view->view;
        if (v.ndim != 1)
            raise(PyExc_ValueError, "Column '" + name_of(name) + "' must be one-dimensional, got " + std::to_string(v.ndim) + " dimensions");
        if (object_or_text_format(v.format)) {
            nb::object list = call_method(S.str_tolist, value);
            if (!PyList_Check(list.ptr())) raise(PyExc_TypeError, "Column '" + name_of(name) + "': tolist() did not give a list");
            c.kind = Kind::Values;
            c.items = check(PySequence_Tuple(list.ptr()));
            c.plain_items = true;
            c.length = static_cast<std::size_t>(PyTuple_GET_SIZE(c.items.ptr()));
            return;
        }
        c.kind = kind_of_format(v.format, v.itemsize);
        if (c.kind == Kind::Absent)
            raise(PyExc_TypeError, "Column '" + name_of(name) + "' holds items of buffer format '" +
                                       std::string(v.format ? v.format : "B") +
                                       "': numbers must be float64, float32, int64, int32 or bool");
        if (v.strides && v.strides[0] != v.itemsize)
            raise(PyExc_ValueError, "Column '" + name_of(name) + "' is not contiguous: pass a contiguous copy");
        c.data = v.buf;
        c.length = static_cast<std::size_t>(v.shape ? v.shape[0] : v.len / v.itemsize);
        c.buffer = std::move(view);
        return;
    }
    if (!converted && PyObject_HasAttrWithError(o, S.str_to_numpy) == 1) {
        classify(c, name, call_method(S.str_to_numpy, value), true);
        return;
    }
    if (PyErr_Occurred()) throw_error();
    raise(PyExc_TypeError, "Column '" + name_of(name) + "' must be a list, a tuple or an array of numbers, got " +
                               Py_TYPE(o)->tp_name);
}

// Item `row` of a buffer column as T (numbers only; NaN is missing).
template <class T>
inline T buffer_item(const Column &c, std::size_t row) {
    switch (c.kind) {
    case Kind::Float64: return static_cast<T>(static_cast<const double *>(c.data)[row]);
    case Kind::Float32: return static_cast<T>(static_cast<const float *>(c.data)[row]);
    case Kind::Int64: return static_cast<T>(static_cast<const std::int64_t *>(c.data)[row]);
    case Kind::Int32: return static_cast<T>(static_cast<const std::int32_t *>(c.data)[row]);
    case Kind::Bool: return static_cast<const unsigned char *>(c.data)[row] ? T(1) : T(0);
    default: return std::numeric_limits<T>::quiet_NaN();
    }
}

// Item `row` of a column as a plain Python value (a new reference): what a
// record holding this row's values would hold.
nb::object python_item(const Column &c, std::size_t row) {
    switch (c.kind) {
    case Kind::Values: {
        PyObject *item = PyTuple_GET_ITEM(c.items.ptr(), static_cast<Py_ssize_t>(row));   // borrowed, then held
        if (c.plain_items) {
            if (PyUnicode_Check(item) && !PyUnicode_CheckExact(item)) return check(PyUnicode_FromObject(item));
            if (PyFloat_Check(item) && !PyFloat_CheckExact(item)) return check(PyFloat_FromDouble(PyFloat_AS_DOUBLE(item)));
        }
        return nb::borrow(item);
    }
    case Kind::Float64: return check(PyFloat_FromDouble(static_cast<const double *>(c.data)[row]));
    case Kind::Float32: return check(PyFloat_FromDouble(static_cast<const float *>(c.data)[row]));
    case Kind::Int64: return check(PyLong_FromLongLong(static_cast<const std::int64_t *>(c.data)[row]));
    case Kind::Int32: return check(PyLong_FromLong(static_cast<const std::int32_t *>(c.data)[row]));
    case Kind::Bool: return nb::borrow(static_cast<const unsigned char *>(c.data)[row] ? Py_True : Py_False);
    default: return nb::object();
    }
}

// The walk of rows [begin, end) over stored inputs or columns, results into
// `out` (width values per row, float64). Runs without the GIL: reads only
// buffers held by the caller and the immutable forest.
struct Walk {
    const Scorer &s;
    bool output_margin;
    std::size_t width;
    const float *stored;                       // n × features, or nullptr (direct)
    const std::vector<const Column *> *direct;  // per feature, direct way
    const std::vector<std::vector<float>> *converted;   // per feature, direct way: inputs of non-buffer columns
    double *out;

    void operator()(std::size_t begin, std::size_t end) const {
        const std::size_t features = s.forest.n_features(), outputs = s.forest.n_outputs();
        std::vector<float> block(stored ? 0 : core::Forest::kBlockRows * features);
        std::vector<float> margins(core::Forest::kBlockRows * outputs), result(outputs);
        for (std::size_t first = begin; first < end; first += core::Forest::kBlockRows) {
            const std::size_t rows = std::min(core::Forest::kBlockRows, end - first);
            const float *inputs = stored ? stored + first * features : block.data();
            if (!stored) {
                for (std::size_t f = 0; f < features; ++f) {
                    const Column *c = (*direct)[f];
                    const bool buffer = c && c->kind != Kind::Values && c->kind != Kind::Absent;
                    for (std::size_t r = 0; r < rows; ++r)
                        block[r * features + f] = buffer ? buffer_item<float>(*c, first + r) : (*converted)[f][first + r];
                }
            }
            s.forest.margins_block(inputs, rows, s.tree_end, margins.data());
            for (std::size_t r = 0; r < rows; ++r) {
                float *m = margins.data() + r * outputs;
                double *o = out + (first + r) * width;
                if (output_margin) {
                    for (std::size_t g = 0; g < width; ++g) o[g] = m[g];
                } else {
                    s.forest.transform(m, result.data());
                    for (std::size_t g = 0; g < width; ++g) o[g] = result[g];
                }
            }
        }
    }
};

void run_threads(const Walk &walk, std::size_t n, std::size_t n_threads) {
    const std::size_t blocks = (n + core::Forest::kBlockRows - 1) / core::Forest::kBlockRows;
    const std::size_t threads = std::max<std::size_t>(1, std::min(n_threads, blocks));
    nb::gil_scoped_release release;
    if (threads == 1) {
        walk(0, n);
        return;
    }
    std::vector<std::thread> workers;
    const std::size_t per = (blocks + threads - 1) / threads * core::Forest::kBlockRows;
    for (std::size_t t = 1; t < threads; ++t) {
        const std::size_t begin = std::min(n, t * per), end = std::min(n, (t + 1) * per);
        if (begin < end) workers.emplace_back([&walk, begin, end] { walk(begin, end); });
    }
    walk(0, std::min(n, per));
    for (std::thread &w : workers) w.join();
}

// float64 results that numpy.asarray wraps without a copy: a memoryview of
// format 'd' and shape (n,) or (n, width) over a new bytearray.
nb::object results_view(nb::handle bytes, std::size_t n, std::size_t width, bool matrix) {
    if (n == 0) {
        // memoryview.cast refuses a zero in the shape: no rows are described
        // directly, over no memory (nothing to own; the format is static).
        static double nothing = 0.0;
        static char format[] = "d";
        Py_ssize_t shape[2] = {0, static_cast<Py_ssize_t>(width)};
        Py_ssize_t strides[2] = {static_cast<Py_ssize_t>(width * sizeof(double)), sizeof(double)};
        Py_buffer empty{};
        empty.buf = &nothing;
        empty.len = 0;
        empty.itemsize = sizeof(double);
        empty.readonly = 1;
        empty.ndim = matrix ? 2 : 1;
        empty.format = format;
        empty.shape = shape;
        empty.strides = matrix ? strides : strides + 1;
        return check(PyMemoryView_FromBuffer(&empty));
    }
    nb::object view = check(PyMemoryView_FromObject(bytes.ptr()));
    nb::object shape = matrix ? nb::object(nb::make_tuple(n, width)) : nb::object(nb::make_tuple(n));
    return call_method(S.str_cast, view, nb::str("d"), shape);
}

}  // namespace

nb::object score_batch(const Scorer &s, nb::handle columns, bool output_margin, Py_ssize_t n_threads) {
    if (n_threads < 1) raise(PyExc_ValueError, "n_threads must be at least 1, got " + std::to_string(n_threads));
    PyObject *mapping = columns.ptr();   // the argument, held by the call
    const bool dict = PyDict_Check(mapping);
    if (!dict && (PyObject_HasAttrWithError(mapping, S.str_keys) != 1 || !Py_TYPE(mapping)->tp_as_mapping ||
                  !Py_TYPE(mapping)->tp_as_mapping->mp_subscript)) {
        if (PyErr_Occurred()) throw_error();
        raise(PyExc_TypeError, std::string("columns must be a mapping of attribute names to columns (a dict or a "
                                           "DataFrame), got ") + Py_TYPE(mapping)->tp_name);
    }
    // The names the mapping holds, for membership (its keys() taken once).
    nb::object names = dict ? nb::borrow(mapping) : check(PySet_New(call_method(S.str_keys, columns).ptr()));
    auto fetch = [&](nb::handle name, Column &c) {
        const int has = dict ? PyDict_Contains(names.ptr(), name.ptr()) : PySet_Contains(names.ptr(), name.ptr());
        if (has < 0) throw_error();
        if (has) classify(c, name, check(PyObject_GetItem(mapping, name.ptr())));
    };

    const std::size_t features = s.features.size();
    std::vector<Column> feature_columns(features);
    for (std::size_t f = 0; f < features; ++f) fetch(s.features[f].name, feature_columns[f]);
    std::vector<Column> input_columns(s.prepared_inputs.size());
    for (std::size_t i = 0; i < s.prepared_inputs.size(); ++i) fetch(s.prepared_inputs[i], input_columns[i]);

    // The number of rows: every column used has it.
    std::size_t n = 0;
    bool known = false;
    std::string first_name;
    auto measure = [&](const Column &c, nb::handle name) {
        if (c.kind == Kind::Absent) return;
        if (!known) {
            n = c.length, known = true, first_name = name_of(name);
        } else if (c.length != n) {
            raise(PyExc_ValueError, "Columns differ in length: '" + first_name + "' has " + std::to_string(n) +
                                        " rows, '" + name_of(name) + "' has " + std::to_string(c.length));
        }
    };
    for (std::size_t f = 0; f < features; ++f) measure(feature_columns[f], s.features[f].name);
    for (std::size_t i = 0; i < input_columns.size(); ++i) measure(input_columns[i], s.prepared_inputs[i]);
    if (!known && PyObject_Length(mapping) > 0) {
        // No column the model uses: the rows are those of any column.
        nb::object any = check(PyObject_GetIter(names.ptr()));
        nb::object key = nb::steal(PyIter_Next(any.ptr()));
        if (!key.is_valid()) throw_error();
        const Py_ssize_t length = PyObject_Length(check(PyObject_GetItem(mapping, key.ptr())).ptr());
        if (length < 0) throw_error();
        n = static_cast<std::size_t>(length);
    } else if (PyErr_Occurred()) {
        throw_error();
    }

    const std::size_t width = s.result_width(output_margin);
    const bool matrix = s.trees && (output_margin ? s.forest.n_outputs() > 1 : s.forest.result_size() > 1);
    nb::object bytes = check(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * width * sizeof(double))));
    auto *out = reinterpret_cast<double *>(PyByteArray_AS_STRING(bytes.ptr()));

    if (s.preparation.is_none() && s.trees) {
        // Direct: only non-buffer columns are turned into inputs here, row
        // by row (so the first failing row raises first).
        std::vector<std::vector<float>> converted(features);
        std::vector<const Column *> direct(features);
        std::vector<std::size_t> by_value;
        for (std::size_t f = 0; f < features; ++f) {
            const Column &c = feature_columns[f];
            direct[f] = &c;
            if (c.kind == Kind::Values || c.kind == Kind::Absent) {
                converted[f].resize(n);
                by_value.push_back(f);
            }
        }
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t f : by_value) {
                const Column &c = feature_columns[f];
                if (c.kind == Kind::Absent) {
                    if (s.features[f].transformation.is_valid()) raise_missing_created(s, f);
                    converted[f][r] = NAN;
                    continue;
                }
                nb::object item = python_item(c, r);
                if (feature_value<float>(s, f, item.ptr(), &converted[f][r]) < 0) throw_error();
            }
        }
        run_threads(Walk{s, output_margin, width, nullptr, &direct, &converted, out}, n, static_cast<std::size_t>(n_threads));
        return results_view(bytes, n, width, matrix);
    }

    // By record: row by row as `score` does.
    auto inputs_of_rows = [&](auto *stored) {
        using T = std::remove_pointer_t<decltype(stored)>;
        for (std::size_t r = 0; r < n; ++r) {
            nb::object prepared;
            if (!s.preparation.is_none()) {
                nb::object record = check(PyDict_New());
                for (std::size_t i = 0; i < input_columns.size(); ++i) {
                    if (input_columns[i].kind == Kind::Absent) continue;
                    if (PyDict_SetItem(record.ptr(), s.prepared_inputs[i].ptr(), python_item(input_columns[i], r).ptr()) < 0) throw_error();
                }
                prepared = call_method(S.str_apply_preprocessing, s.preparation, record);
                if (!PyDict_Check(prepared.ptr())) raise(PyExc_TypeError, "apply_preprocessing did not return a dict");
            }
            T *row = stored + r * features;
            for (std::size_t f = 0; f < features; ++f) {
                PyObject *found = nullptr;   // a new reference, owned by `value` below
                const int in_prepared = prepared.is_valid() ? PyDict_GetItemRef(prepared.ptr(), s.features[f].name.ptr(), &found) : 0;
                if (in_prepared < 0) throw_error();
                nb::object value = nb::steal(found);
                const Column &c = feature_columns[f];
                if (!in_prepared) {
                    if (c.kind == Kind::Absent) {
                        if (s.features[f].transformation.is_valid()) raise_missing_created(s, f);
                        if (!s.trees) raise_missing_linear(s, f);
                        row[f] = std::numeric_limits<T>::quiet_NaN();
                        continue;
                    }
                    if (c.kind != Kind::Values) {
                        row[f] = buffer_item<T>(c, r);
                        if (std::isnan(row[f]) && !s.trees) raise_missing_linear(s, f);
                        continue;
                    }
                    value = python_item(c, r);
                }
                const int stored_value = feature_value<T>(s, f, value.ptr(), &row[f]);
                if (stored_value < 0) throw_error();
                if (stored_value == 0 && !s.trees) raise_missing_linear(s, f);
            }
        }
    };
    if (!s.trees) {
        std::vector<double> stored(n * features);
        inputs_of_rows(stored.data());
        for (std::size_t r = 0; r < n; ++r) out[r] = s.linear.score(stored.data() + r * features, output_margin);
        return results_view(bytes, n, width, false);
    }
    std::vector<float> stored(n * features);
    inputs_of_rows(stored.data());
    run_threads(Walk{s, output_margin, width, stored.data(), nullptr, nullptr, out}, n, static_cast<std::size_t>(n_threads));
    return results_view(bytes, n, width, matrix);
}

}  // namespace kelvane::scoring
