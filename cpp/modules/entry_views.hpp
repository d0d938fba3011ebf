// Turning a mapping held by a record into a list of small GraphQL objects, one
// per entry, for the view types of the performance and description modules
// (GraphQL has no mappings: {GINI: 0.41} is shown as [{metric: GINI, value: 0.41}]).
#pragma once

#include "frame/host.hpp"

namespace kelvane::views {

// The text form of a value shown through GraphQL: a string as it is, anything
// else converted by str().
inline nb::object text_form(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return nb::borrow(value);
    return check(PyObject_Str(value.ptr()));
}

// The (key, value) pair of one item of mapping.items(), with the unpacking
// errors of `for key, value in ...`.
inline void unpack_pair(nb::handle item, nb::object &key, nb::object &value) {
    nb::object pair = PyTuple_CheckExact(item.ptr()) ? nb::borrow(item) : check(PySequence_Tuple(item.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(pair.ptr());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error();
    }
    key = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
    value = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
}

// [type(<key_name>=key, <value_name>=value) for key, value in mapping.items()],
// the value in its text form when `as_text`. `kwnames` is the tuple
// (key_name, value_name). A mapping without `items` (None included) fails with
// the interpreter's AttributeError.
inline nb::object entry_views(nb::handle mapping, nb::handle type, nb::handle kwnames, bool as_text) {
    static PyObject *const items_name = intern("items");
    nb::object out = check(PyList_New(0));
    each(call_method(items_name, mapping), [&](nb::handle item) {
        nb::object key, value;
        unpack_pair(item, key, value);
        if (as_text) value = text_form(value);
        PyObject *args[2] = {key.ptr(), value.ptr()};
        nb::object view = check(PyObject_Vectorcall(type.ptr(), args, 0, kwnames.ptr()));
        if (PyList_Append(out.ptr(), view.ptr()) < 0) throw_error();
        return false;
    });
    return out;
}

}  // namespace kelvane::views
