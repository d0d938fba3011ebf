// The registry of AttributePreprocessing: lookups of transformations,
// binnings and encodings by attribute, the lists of attribute names they read
// and create, and the building of binnings from a plain mapping of bin edges
// and values (`add_discretisation`).
#include "modules/preparation/state.hpp"

namespace kelvane::preparation {

nb::object first_with_attribute(PyObject *list, PyObject *attribute) {
    if (PyList_CheckExact(list)) {
        // Texts are told apart by their hashes first (each string keeps its own).
        const bool text = PyUnicode_CheckExact(attribute);
        const Py_hash_t hash = text ? str_hash(attribute) : -1;
        Py_ssize_t start = 0;
        if (text) {
            // A first pass that runs no Python code, up to the first record whose
            // attribute is not an exact str at its place (the loop below goes on
            // from there): the records before it compare as texts, as below.
            RecordRun run(F);
            for (; start < PyList_GET_SIZE(list); ++start) {
                PyObject *record = PyList_GET_ITEM(list, start);   // borrowed: no Python code runs
                run.next(record);
                PyObject *a = run[ATTRIBUTE];
                if (!a || !PyUnicode_CheckExact(a)) break;
                if (a == attribute || (str_hash(a) == hash && str_equal(a, attribute))) return nb::borrow(record);
            }
        }
        RecordRun run(F);
        for (Py_ssize_t i = start; i < PyList_GET_SIZE(list); ++i) {
            // Borrowed: reading, hashing and comparing exact strings run no Python code.
            PyObject *record = PyList_GET_ITEM(list, i);
            PyObject *a = run.entry(record, ATTRIBUTE);
            if (a && text && PyUnicode_CheckExact(a)) {
                if (a == attribute || (str_hash(a) == hash && str_equal(a, attribute))) return nb::borrow(record);
                continue;
            }
            nb::object held = nb::borrow(record);
            if (equals(field(record, ATTRIBUTE), attribute)) return held;
        }
        return none();
    }
    nb::object found = none();
    each(list, [&](nb::handle record) {
        if (!equals(field(record.ptr(), ATTRIBUTE), attribute)) return false;
        found = nb::borrow(record);
        return true;
    });
    return found;
}

nb::object get_discretisation(Args a) {
    nb::object list = field(a.get(0), BINNING);
    return first_with_attribute(list.ptr(), a.get(1));
}

nb::object discretisation_exists(Args a) { return nb::bool_(!get_discretisation(a).is_none()); }

// Every transformation is compared (the matches are collected, then the
// first is used), so an attribute's own __eq__ sees them all.
nb::object get_transformation_formula(Args a) {
    PyObject *attribute = a.get(1);
    nb::object list = field(a.get(0), TRANSFORMATIONS);
    nb::object first;
    each(list, [&](nb::handle t) {
        nb::object held = nb::borrow(t);
        if (equals(field(t.ptr(), ATTRIBUTE), attribute) && !first.is_valid()) first = held;
        return false;
    });
    if (!first.is_valid()) return nb::borrow(attribute);
    return add(nb::str("("), field(first.ptr(), TRANSFORMATION), nb::str(")"));
}

nb::object add_reshaping(Args a) {
    PyObject *self = a.get(0);
    each(a[1], [&](nb::handle element) {
        // AttributeTransformation(**element)
        nb::object kwargs = check(PyDict_New());
        if (PyDict_Update(kwargs.ptr(), element.ptr()) < 0) {
            // Not a mapping at all: the host's message for a call with **element.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
            nb::object failure = nb::steal(PyErr_GetRaisedException());
            const int has_keys = PyObject_HasAttrWithError(element.ptr(), S.str_keys);
            if (has_keys > 0) PyErr_SetRaisedException(failure.release().ptr());
            if (has_keys != 0) throw_error();
            nb::object where = check(_PyObject_FunctionStr(S.AttributeTransformation.ptr()));
            PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", where.ptr(),
                         Py_TYPE(element.ptr())->tp_name);
            throw_error();
        }
        nb::object empty = check(PyTuple_New(0));
        nb::object t = check(PyObject_Call(S.AttributeTransformation.ptr(), empty.ptr(), kwargs.ptr()));
        call_method(S.str_append, field(self, TRANSFORMATIONS), t);
        return false;
    });
    return none();
}

// ------------------------------------------------------------ add_discretisation

namespace {

void set_item(nb::handle d, PyObject *key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key, value.ptr()) < 0) throw_error();
}

// definition.get(key[, default])
nb::object spec_get(PyObject *spec, PyObject *key) { return call_method(S.str_get, spec, key); }
nb::object spec_get(PyObject *spec, PyObject *key, nb::handle default_value) {
    return call_method(S.str_get, spec, key, default_value);
}

// definition[key][i] when the definition has the key, else None.
nb::object spec_at(PyObject *spec, PyObject *key, Py_ssize_t i) {
    const int has = PySequence_Contains(spec, key);
    if (has < 0) throw_error();
    if (!has) return none();
    nb::object list = check(PyObject_GetItem(spec, key));
    nb::object index = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(list.ptr(), index.ptr()));
}

nb::object item_at(PyObject *seq, Py_ssize_t i) {
    nb::object index = check(PyLong_FromSsize_t(i));
    return check(PyObject_GetItem(seq, index.ptr()));
}

// One AttributeBinning from the binning definition of one attribute.
nb::object build_binning(PyObject *attribute, PyObject *spec) {
    nb::object input = check(PyDict_New());
    set_item(input, S.str_attribute, attribute);
    nb::object data_type = spec_get(spec, S.str_dtype, nb::none());
    set_item(input, S.str_attribute_data_type, data_type);
    nb::object bin_list = check(PyList_New(0));
    set_item(input, S.str_discretisation, bin_list);
    set_item(input, S.str_binned_attribute_name, spec_get(spec, S.str_binned_attribute_name, nb::none()));

    nb::object edges = check(PyObject_GetItem(spec, S.str_bins));
    const Py_ssize_t size = PyObject_Size(edges.ptr());
    if (size < 0) throw_error();
    const Py_ssize_t regular = equals(data_type, S.CATEGORICAL) ? size : size - 1;

    Py_ssize_t bin_id = 2;
    for (Py_ssize_t i = 0; i < regular; ++i) {
        nb::object bin = check(PyDict_New());
        set_item(bin, S.str_type, data_type);
        set_item(bin, S.str_value, spec_at(spec, S.str_bin_vals, i));
        set_item(bin, S.str_frequency, spec_at(spec, S.str_bin_frequencies, i));
        set_item(bin, S.str_target_rate, spec_at(spec, S.str_bin_target_rates, i));
        set_item(bin, S.str_id, check(PyLong_FromSsize_t(bin_id)));
        if (equals(data_type, S.CATEGORICAL)) {
            set_item(bin, S.str_categories, item_at(edges.ptr(), i));
        } else if (equals(data_type, S.NUMERICAL)) {
            set_item(bin, S.str_lower_bound, item_at(edges.ptr(), i));
            set_item(bin, S.str_upper_bound, item_at(edges.ptr(), i + 1));
        }
        if (PyList_Append(bin_list.ptr(), bin.ptr()) < 0) throw_error();
        ++bin_id;
    }

    nb::object null_bin = check(PyDict_New());
    set_item(null_bin, S.str_type, data_type);
    set_item(null_bin, S.str_name, S.V.member[bins::NULL_BIN]);
    set_item(null_bin, S.str_value, spec_get(spec, S.str_null_val, S.zero_float));
    set_item(null_bin, S.str_frequency, spec_get(spec, S.str_null_frequency));
    set_item(null_bin, S.str_target_rate, spec_get(spec, S.str_null_target_rate));
    set_item(null_bin, S.str_id, S.one);
    if (PyList_Append(bin_list.ptr(), null_bin.ptr()) < 0) throw_error();

    nb::object default_value = spec_get(spec, S.str_default, nb::none());
    nb::object default_bin = check(PyDict_New());
    set_item(default_bin, S.str_type, data_type);
    set_item(default_bin, S.str_name,
             S.V.member[default_value.is_none() ? bins::SYSTEM_DEFAULT : bins::DEFINED_DEFAULT]);
    set_item(default_bin, S.str_value, truthy(default_value) ? default_value : S.zero_float);
    set_item(default_bin, S.str_frequency, S.zero_float);
    set_item(default_bin, S.str_target_rate, S.zero_float);
    set_item(default_bin, S.str_id, S.zero);
    if (PyList_Append(bin_list.ptr(), default_bin.ptr()) < 0) throw_error();

    nb::object kwargs = check(PyDict_Copy(input.ptr()));
    nb::object empty = check(PyTuple_New(0));
    return check(PyObject_Call(S.AttributeBinning.ptr(), empty.ptr(), kwargs.ptr()));
}

}  // namespace

nb::object add_discretisation(Args a) {
    nb::object items = check(PyDict_Items(a.get(1)));
    nb::object result = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        // `items` is a new list of new pairs: nothing else changes them.
        PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
        nb::object binning = build_binning(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
        if (PyList_Append(result.ptr(), binning.ptr()) < 0) throw_error();
    }
    return result;
}

// ------------------------------------------------------------ attribute lists

namespace {

// [record.<field> for record in self.<list>]
nb::object all_of(PyObject *self, Field list_name, Field field_name) {
    nb::object out = check(PyList_New(0));
    each(field(self, list_name), [&](nb::handle record) {
        if (PyList_Append(out.ptr(), field(record.ptr(), field_name).ptr()) < 0) throw_error();
        return false;
    });
    return out;
}

// [record.<created> for record in self.<list>
//  if record.<created> is not None and record.<created> != record.attribute]
nb::object created_in(PyObject *self, Field list_name, Field created_name) {
    nb::object out = check(PyList_New(0));
    each(field(self, list_name), [&](nb::handle record) {
        nb::object created = field(record.ptr(), created_name);
        if (created.is_none()) return false;
        if (differs(created, field(record.ptr(), ATTRIBUTE)) && PyList_Append(out.ptr(), created.ptr()) < 0)
            throw_error();
        return false;
    });
    return out;
}

}  // namespace

nb::object get_all_transformation_attributes(Args a) { return all_of(a.get(0), TRANSFORMATIONS, ATTRIBUTE); }
nb::object get_attributes_created_in_transformations(Args a) {
    return created_in(a.get(0), TRANSFORMATIONS, TRANSFORMED_ATTRIBUTE_NAME);
}
nb::object get_all_binning_attributes(Args a) { return all_of(a.get(0), BINNING, ATTRIBUTE); }
nb::object get_attributes_created_in_binning(Args a) {
    return created_in(a.get(0), BINNING, BINNED_ATTRIBUTE_NAME);
}

nb::object get_all_dummy_enc_attributes(Args a) {
    nb::object out = check(PyList_New(0));
    each(field(a.get(0), DUMMY_ENCODING), [&](nb::handle encoding) {
        each(field(encoding.ptr(), ENCODING), [&](nb::handle single) {
            if (PyList_Append(out.ptr(), field(single.ptr(), ENCODED_FEATURE_NAME).ptr()) < 0) throw_error();
            return false;
        });
        return false;
    });
    return out;
}

}  // namespace kelvane::preparation
