// kelvane_analytics_utils.utils.parse
//
// Literal values taken from text: a quoted text becomes the text inside its
// quotes, a number written as text becomes an int when it is integral and a
// float otherwise, and anything else stays text.
#include "frame/frame.hpp"

#include <cmath>
#include <string_view>

#include "core/number_text.hpp"
#include "core/quotes.hpp"

namespace {

using namespace kelvane;

PyObject *StringFunctions;   // the class, set during declare
PyObject *has_quotes_name;
PyObject *remove_quotes_name;

// ------------------------------------------------------------ str helpers

bool str_has_quotes(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    return core::has_quotes(static_cast<std::size_t>(n), PyUnicode_READ(kind, data, 0),
                            PyUnicode_READ(kind, data, n - 1));
}

// The text without its first and last character (empty when it has at most two).
PyObject *inner_text(PyObject *s) { return PyUnicode_Substring(s, 1, PyUnicode_GET_LENGTH(s) - 1); }

PyObject *str_remove_quotes(PyObject *s) { return str_has_quotes(s) ? inner_text(s) : Py_NewRef(s); }

PyObject *str_strip_quotes(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const auto layers = static_cast<Py_ssize_t>(core::quote_layers(
        static_cast<std::size_t>(n), [&](std::size_t i) { return char32_t(PyUnicode_READ(kind, data, i)); }));
    if (layers == 0) return Py_NewRef(s);
    if (n - layers <= layers) return PyUnicode_New(0, 0);
    return PyUnicode_Substring(s, layers, n - layers);
}

// cls._has_quotes(val) of a class derived from StringFunctions, as a truth value.
bool subclass_has_quotes(PyObject *cls, PyObject *val) {
    nb::object r = check(PyObject_CallMethodOneArg(cls, has_quotes_name, val));
    int truth = PyObject_IsTrue(r.ptr());
    if (truth < 0) throw_error();
    return truth != 0;
}

// ------------------------------------------------------------ StringFunctions

nb::object has_quotes(Args a) { return nb::borrow(str_has_quotes(a.get(1)) ? Py_True : Py_False); }

nb::object remove_quotes(Args a) {
    PyObject *cls = a.get(0), *val = a.get(1);
    if (cls == StringFunctions) return check(str_remove_quotes(val));
    // A derived class decides through its own _has_quotes.
    return check(subclass_has_quotes(cls, val) ? inner_text(val) : Py_NewRef(val));
}

nb::object strip_quotes(Args a) {
    PyObject *cls = a.get(0), *val = a.get(1);
    if (cls == StringFunctions) return check(str_strip_quotes(val));
    nb::object v = nb::borrow(val);
    while (subclass_has_quotes(cls, v.ptr())) v = check(PyObject_CallMethodOneArg(cls, remove_quotes_name, v.ptr()));
    return v;
}

// ------------------------------------------------------------ parse_value

// An integral float becomes an int; a fraction, NaN or an infinity stays a float.
nb::object integral_or_float(nb::object number) {
    const double x = PyFloat_AS_DOUBLE(number.ptr());
    if (std::isfinite(x) && std::floor(x) == x) return check(PyLong_FromDouble(x));
    return number;
}

nb::object parse_value(Args a) {
    PyObject *val = a.get(0);
    PyObject *number;
    if (PyUnicode_CheckExact(val)) {
        if (str_has_quotes(val)) return check(inner_text(val));
        if (PyUnicode_IS_ASCII(val)) {
            std::string_view text(static_cast<const char *>(PyUnicode_DATA(val)),
                                  static_cast<std::size_t>(PyUnicode_GET_LENGTH(val)));
            // Plain decimals are read here; most words are not numbers and are
            // answered without raising and catching the conversion's ValueError.
            double x;
            if (core::read_float_text(text, x)) {
                if (std::floor(x) == x) return check(PyLong_FromDouble(x));
                return check(PyFloat_FromDouble(x));
            }
            if (!core::is_float_text(text)) return nb::borrow(val);
        }
        number = PyFloat_FromString(val);
    } else {
        PyTypeObject *t = Py_TYPE(val);
        int is_str = 0;
        if (t != &PyLong_Type && t != &PyFloat_Type && t != &PyBool_Type && val != Py_None)
            is_str = PyObject_IsInstance(val, reinterpret_cast<PyObject *>(&PyUnicode_Type));
        if (is_str < 0) throw_error();
        if (is_str) {
            // A str of another class: _has_quotes accepts exactly str.
            raise_argument_type("val", "str", val);
            throw_error();
        }
        number = PyNumber_Float(val);
    }
    if (!number) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
        PyErr_Clear();
        return check(PyObject_Str(val));
    }
    return integral_or_float(nb::steal(number));
}

void declare(Module &m) {
    m.import_from("typing", {"Any", "Union"});

    has_quotes_name = intern("_has_quotes");
    remove_quotes_name = intern("_remove_quotes");

    StringFunctions = m.cls("StringFunctions", {})
                          .classmethod(Function("_has_quotes", has_quotes).cls().arg("val", "str").returns("bool"))
                          .classmethod(Function("_remove_quotes", remove_quotes).cls().arg("val", "str").returns("str"))
                          .classmethod(Function("_strip_quotes", strip_quotes).cls().arg("val", "str").returns("str"))
                          .create()
                          .release()
                          .ptr();

    m.function(Function("parse_value", parse_value).arg("val", "Any").returns("Union[str, int, float]"));
}

}  // namespace

KELVANE_MODULE(parse, "kelvane_analytics_utils.utils.parse", declare)
