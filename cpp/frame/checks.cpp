#include "frame/frame.hpp"

#include <mutex>
#include <string>
#include <unordered_map>

namespace kelvane {

PyObject *intern(const char *text) {
    // Interned strings live as long as the interpreter; keep one reference.
    static std::unordered_map<std::string, PyObject *> table;
    auto it = table.find(text);
    if (it != table.end()) return it->second;
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) throw_error();
    table.emplace(text, s);
    return s;
}

void raise_argument_type(const char *name, const char *expected, PyObject *actual) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(actual)->tp_name);
}

void raise_result_type(const char *expected, PyObject *actual) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(actual)->tp_name);
}

bool passes(core::ExactType type, bool allows_none, PyObject *v) {
    if (v == Py_None && allows_none) return true;
    switch (type) {
        case core::ExactType::None: return true;
        case core::ExactType::Str: return PyUnicode_CheckExact(v);
        case core::ExactType::Float: return PyFloat_CheckExact(v);
        case core::ExactType::Int: return PyLong_CheckExact(v);
        case core::ExactType::Bool: return PyBool_Check(v);
        case core::ExactType::List: return PyList_CheckExact(v);
        case core::ExactType::Dict: return PyDict_CheckExact(v);
    }
    return true;
}

}  // namespace kelvane
