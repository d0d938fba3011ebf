// kelvane_analytics_utils.utils.parse
//
// Literal values taken from text: a quoted text becomes the text inside its
// quotes, a number written as text becomes an int when it is integral and a
// float otherwise, and anything else stays text.
#include "frame/host.hpp"
#include "frame/state.hpp"

#include <cmath>
#include <string_view>

#include "core/number_text.hpp"
#include "core/quotes.hpp"

namespace {

using namespace kelvane;

#define PARSE_NAMES(X) X(_has_quotes) X(_remove_quotes)

struct State : ModuleState {
    KELVANE_NAMES(PARSE_NAMES)
    nb::object StringFunctions;                 // the class
    nb::object has_quotes_own, remove_quotes_own;   // its class methods as declared
    VersionProof own_methods;                   // StringFunctions still answers them
};
KELVANE_STATE(State, S);

// Whether `cls` is StringFunctions and still has its own _has_quotes and
// _remove_quotes: the quote rules may then be applied here instead of being
// called through the class.
bool own_rules(PyObject *cls) {
    if (cls != S.StringFunctions.ptr()) return false;
    auto *t = reinterpret_cast<PyTypeObject *>(cls);
    return proven(S.own_methods, t, [t] {
        return Py_IS_TYPE(t, &PyType_Type) && _PyType_Lookup(t, S.str__has_quotes) == S.has_quotes_own.ptr() &&
               _PyType_Lookup(t, S.str__remove_quotes) == S.remove_quotes_own.ptr();
    });
}

// ------------------------------------------------------------ str helpers

bool str_has_quotes(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    return core::has_quotes(static_cast<std::size_t>(n), PyUnicode_READ(kind, data, 0),
                            PyUnicode_READ(kind, data, n - 1));
}

// val[1:-1]: the text without its first and last character (empty when it
// has at most two).
nb::object inner_text(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n <= 2) return check(PyUnicode_New(0, 0));
    return check(PyUnicode_Substring(s, 1, n - 1));
}

nb::object str_remove_quotes(PyObject *s) { return str_has_quotes(s) ? inner_text(s) : nb::borrow(s); }

nb::object str_strip_quotes(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const auto layers = static_cast<Py_ssize_t>(core::quote_layers(
        static_cast<std::size_t>(n), [&](std::size_t i) { return char32_t(PyUnicode_READ(kind, data, i)); }));
    if (layers == 0) return nb::borrow(s);
    if (n - layers <= layers) return check(PyUnicode_New(0, 0));
    return check(PyUnicode_Substring(s, layers, n - layers));
}

// cls._has_quotes(val) of a class derived from StringFunctions, as a truth value.
bool subclass_has_quotes(PyObject *cls, PyObject *val) { return truthy(call_method(S.str__has_quotes, cls, val)); }

// ------------------------------------------------------------ StringFunctions

nb::object has_quotes(Args a) { return nb::bool_(str_has_quotes(a.get(1))); }

nb::object remove_quotes(Args a) {
    PyObject *cls = a.get(0), *val = a.get(1);
    if (own_rules(cls)) return str_remove_quotes(val);
    // A derived class decides through its own _has_quotes.
    return subclass_has_quotes(cls, val) ? inner_text(val) : nb::borrow(val);
}

nb::object strip_quotes(Args a) {
    PyObject *cls = a.get(0), *val = a.get(1);
    if (own_rules(cls)) return str_strip_quotes(val);
    nb::object v = nb::borrow(val);
    while (subclass_has_quotes(cls, v.ptr())) v = call_method(S.str__remove_quotes, cls, v);
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
    nb::object number;
    if (PyUnicode_Check(val) && !own_rules(S.StringFunctions.ptr())) {
        // StringFunctions._has_quotes(val), then _remove_quotes(val), as the class now answers them.
        if (subclass_has_quotes(S.StringFunctions.ptr(), val))
            return call_method(S.str__remove_quotes, S.StringFunctions, nb::borrow(val));
        number = nb::steal(PyNumber_Float(val));
    } else if (PyUnicode_CheckExact(val)) {
        if (str_has_quotes(val)) return inner_text(val);
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
        number = nb::steal(PyFloat_FromString(val));
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
        number = nb::steal(PyNumber_Float(val));
    }
    if (!number.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error();
        PyErr_Clear();
        return check(PyObject_Str(val));
    }
    return integral_or_float(std::move(number));
}

void declare(Module &m) {
    S.init(m);
    m.import_from("typing", {"Any", "Union"});

    S.StringFunctions = m.cls("StringFunctions", {})
                          .classmethod(Function("_has_quotes", has_quotes).cls().arg("val", "str").returns("bool"))
                          .classmethod(Function("_remove_quotes", remove_quotes).cls().arg("val", "str").returns("str"))
                          .classmethod(Function("_strip_quotes", strip_quotes).cls().arg("val", "str").returns("str"))
                          .create();
    S.has_quotes_own = class_function(S.StringFunctions, S.str__has_quotes);
    S.remove_quotes_own = class_function(S.StringFunctions, S.str__remove_quotes);

    m.function(Function("parse_value", parse_value).arg("val", "Any").returns("Union[str, int, float]"));
}

}  // namespace

KELVANE_MODULE(parse, "kelvane_analytics_utils.utils.parse", declare)
