#include "frame/frame.hpp"

#include <exception>
#include <new>
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

namespace {

void replace_pending(PyObject *type, const char *text) {
    PyObject *before = PyErr_GetRaisedException();
    PyErr_SetString(type, text);
    if (before) {
        PyObject *now = PyErr_GetRaisedException();
        PyException_SetContext(now, before);   // steals `before`
        PyErr_SetRaisedException(now);
    }
}

}  // namespace

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (error_already_set &) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::bad_alloc &) {
        PyObject *before = PyErr_GetRaisedException();
        PyErr_NoMemory();
        if (before) {
            PyObject *now = PyErr_GetRaisedException();
            PyException_SetContext(now, before);
            PyErr_SetRaisedException(now);
        }
    } catch (std::exception &e) {
        replace_pending(PyExc_SystemError, e.what());
    } catch (...) {
        replace_pending(PyExc_SystemError, "unknown C++ exception");
    }
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
