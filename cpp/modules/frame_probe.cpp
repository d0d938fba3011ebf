// kelvane_analytics_utils._frame_probe
//
// A small module that uses every declaration form of the frame. The tests and
// the benchmarks of the frame import it; the package's modules do not. It
// also holds the limit loops the scoring benchmarks measure the package's
// hot methods against.
#include "frame/host.hpp"
#include "frame/native.hpp"
#include "frame/state.hpp"

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

using namespace kelvane;

#define PROBE_NAMES(X)                                                                                  \
    X(info) X(append) X(name) X(value) X(lower_bound) X(upper_bound) X(categories) X(discretisation)    \
        X(attribute) X(attribute_data_type) X(binning) X(dummy_encoding) X(encoding) X(encoded_feature_name) \
            X(use_for_undefined)

// The reserved bin names, in the order of their enum.
enum Reserved : int { DEFAULT, DEFINED_DEFAULT, SYSTEM_DEFAULT, NULL_BIN, N_RESERVED };

struct State : ModuleState {
    KELVANE_NAMES(PROBE_NAMES)
    // The binning module's vocabulary, taken by the first limit loop: the
    // probe does not import the package's modules when it loads.
    nb::object numerical, categorical;                 // AttributeBinNumerical, AttributeBinCategorical
    nb::object reserved[N_RESERVED];                   // "0_default", ..., "1_null"
    nb::object numerical_dtype, categorical_dtype;     // AttributeDataType members
    nb::object nan_text, one, zero;
};
KELVANE_STATE(State, S);

nb::object noop(Args) { return none(); }
nb::object identity(Args a) { return nb::borrow(a[0]); }
nb::object first(Args a) { return nb::borrow(a[1]); }
nb::object echo(Args a) { return nb::borrow(a[1]); }
nb::object pair(Args a) { return nb::make_tuple(a[0], a[1]); }
nb::object kwargs_of(Args a) { return nb::make_tuple(a[1], a[2]); }
nb::object label(Args a) { return nb::str("{}:{}").format(a[0].attr("name"), a[0].attr("size")); }
nb::object after(Args a) {
    if (nb::cast<int>(a[0].attr("size")) < 0) {
        PyErr_SetString(PyExc_ValueError, "size must not be negative");
        throw_error();
    }
    return nb::borrow(a[0]);
}
nb::object before(Args a) {
    // Raw input: a plain name becomes a mapping.
    if (PyUnicode_Check(a.get(1))) {
        nb::dict d;
        d["name"] = a[1];
        return d;
    }
    return nb::borrow(a[1]);
}
nb::object parent_name(Args a) { return a[1].attr("name"); }
nb::object init(Args a) {
    // Records built with Probe(**kwargs) get a name when none is given.
    nb::dict kwargs = nb::borrow<nb::dict>(a[1]);
    if (!kwargs.contains("name")) kwargs["name"] = "unnamed";
    nb::object base = nb::module_::import_("kelvane_analytics_utils.utils.base_model").attr("BaseModel");
    base.attr("__init__")(a[0], **kwargs);
    return none();
}

// Throws a C++ exception other than the frame's marker: std::bad_alloc for
// "bad_alloc", std::runtime_error otherwise. The call boundary turns it into
// a Python exception.
nb::object throw_cpp(Args a) {
    const char *text = PyUnicode_AsUTF8(a.get(0));
    if (!text) throw_error();
    const std::string kind = text;
    if (kind == "bad_alloc") throw std::bad_alloc();
    throw std::runtime_error("probe failure: " + kind);
}

// The host helpers, for the tests of the frame: logs each item of `items`
// that is not equal to `skip` through the module's logger, collects those
// items and calls `then()`; a failure of the walk or of `then` is re-raised
// with the prefix "Probe <skip>: ".
nb::object walk(Args a) {
    nb::object out = check(PyList_New(0));
    try {
        each(a[0], [&](nb::handle item) {
            if (!differs(item, a[1])) return false;
            S.log(S.str_info, check(PyObject_Str(item.ptr())));
            call_method(S.str_append, out, item);
            return false;
        });
        if (truthy(a[2])) check(PyObject_CallNoArgs(a.get(2)));
    } catch (error_already_set &) {
        reraise_with_prefix([&] { return check(PyUnicode_FromFormat("Probe %S: ", a.get(1))); });
    }
    return out;
}

// ------------------------------------------------------------ a native class
//
// Tally(start, tag=None): a counter owning a C++ object; the tag is any
// Python object, so the class takes part in garbage collection.

struct Tally {
    long long total = 0;
    nb::object tag;

    int traverse(visitproc visit, void *arg) {
        Py_VISIT(tag.ptr());
        return 0;
    }
    void clear() { tag = nb::object(); }
};

long long whole(nb::handle value) {
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw_error();
    return v;
}

nb::object tally_new(Args a) { return make_native<Tally>(a[0], Tally{whole(a[1]), nb::borrow(a[2])}); }

nb::object tally_add(Args a) {
    native<Tally>(a[0]).total += whole(a[1]);
    return none();
}

nb::object tally_total(Args a) { return check(PyLong_FromLongLong(native<Tally>(a[0]).total)); }
nb::object tally_tag(Args a) {
    const nb::object &tag = native<Tally>(a[0]).tag;
    return tag.is_valid() ? tag : none();
}

nb::object tally_eq(Args a) {
    Tally *other = native_or_null<Tally>(a[1]);
    if (!other) return nb::borrow(Py_NotImplemented);
    return nb::bool_(native<Tally>(a[0]).total == other->total);
}

nb::object tally_reduce(Args a) {
    const Tally &t = native<Tally>(a[0]);
    return nb::make_tuple(native_class<Tally>(), nb::make_tuple(check(PyLong_FromLongLong(t.total)), tally_tag(a)));
}

// ------------------------------------------------------------ limit loops
//
// The limit of each hot scoring method: the plain C loop that makes the same
// comparisons over the same records as the method's common path, reading
// every field with one lookup of its interned name in the record's instance
// dict. No learned field positions, no attribute access, no logging, no
// argument checks: these are measuring sticks for the benchmarks, which check
// that they answer what the methods answer on their inputs. A default hit
// answers the default without its log event; a missing field or a field of
// an unexpected type raises.

void capture() {
    if (S.numerical.is_valid()) return;
    nb::object m = nb::module_::import_("kelvane_analytics_utils.predictive_models.preparation.discretisation");
    nb::object names = m.attr("PredictiveModelBinName");
    const char *members[N_RESERVED] = {"DEFAULT", "DEFINED_DEFAULT", "SYSTEM_DEFAULT", "NULL"};
    for (int i = 0; i < N_RESERVED; ++i) S.reserved[i] = names.attr(members[i]).attr("value");
    nb::object dtypes = m.attr("AttributeDataType");
    S.numerical_dtype = dtypes.attr("NUMERICAL");
    S.categorical_dtype = dtypes.attr("CATEGORICAL");
    S.nan_text = nb::str("nan");
    S.one = nb::int_(1);
    S.zero = nb::int_(0);
    S.categorical = m.attr("AttributeBinCategorical");
    S.numerical = m.attr("AttributeBinNumerical");   // last: marks the capture done
}

// The instance dict of a record.
nb::object dict_of(nb::handle record) {
    // borrowed: taken into a strong reference at once, nothing runs in between.
    PyObject **dictptr = _PyObject_GetDictPtr(record.ptr());
    if (!dictptr || !*dictptr) {
        PyErr_Format(PyExc_TypeError, "%.200s has no instance dict", Py_TYPE(record.ptr())->tp_name);
        throw_error();
    }
    return nb::borrow(*dictptr);
}

// dict[key]: KeyError when absent.
nb::object get(nb::handle dict, PyObject *key) {
    // borrowed: taken into a strong reference at once, nothing runs in between.
    PyObject *v = PyDict_GetItemWithError(dict.ptr(), key);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        throw_error();
    }
    return nb::borrow(v);
}

nb::object list_of(nb::object o) {
    if (!PyList_Check(o.ptr())) {
        PyErr_SetString(PyExc_TypeError, "expected a list");
        throw_error();
    }
    return o;
}

// The item at i, or an invalid object past the end (the list may change
// while an item's comparison runs Python code).
nb::object item(nb::handle list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list.ptr())) return {};
    return nb::borrow(PyList_GET_ITEM(list.ptr(), i));
}

double number(nb::handle o) {
    if (PyFloat_CheckExact(o.ptr())) return PyFloat_AS_DOUBLE(o.ptr());
    const double v = PyFloat_AsDouble(o.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw_error();
    return v;
}

// a == b: exact strings by length, kind and bytes, anything else by the
// interpreter.
bool eq(nb::handle a, nb::handle b) {
    // borrowed: the caller holds both; only the last step runs Python code.
    PyObject *x = a.ptr(), *y = b.ptr();
    if (x == y) return true;
    if (PyUnicode_CheckExact(x) && PyUnicode_CheckExact(y)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(x);
        const int kind = PyUnicode_KIND(x);
        return n == PyUnicode_GET_LENGTH(y) && kind == PyUnicode_KIND(y) &&
               std::memcmp(PyUnicode_DATA(x), PyUnicode_DATA(y), static_cast<std::size_t>(n) * kind) == 0;
    }
    const int r = PyObject_RichCompareBool(x, y, Py_EQ);
    if (r < 0) throw_error();
    return r != 0;
}

bool reserved(nb::handle name, int first, int last) {
    for (int i = first; i < last; ++i)
        if (eq(name, S.reserved[i])) return true;
    return false;
}

// The first bin named one of the reserved names first..last-1.
nb::object named(nb::handle bins, int first, int last) {
    for (Py_ssize_t i = 0;; ++i) {
        nb::object bin = item(bins, i);
        if (!bin.is_valid() || reserved(get(dict_of(bin), S.str_name), first, last)) return bin;
    }
}

// The value of `bin`, or None for no bin.
nb::object value_or_none(const nb::object &bin) { return bin.is_valid() ? get(dict_of(bin), S.str_value) : none(); }

// AttributeBinning.bin_numeric_attribute's assignment.
nb::object assign_numeric(nb::handle binning, nb::handle raw) {
    const double v = raw.is_none() ? NAN : number(raw);
    nb::object bins = list_of(get(dict_of(binning), S.str_discretisation));
    if (std::isnan(v)) {
        nb::object bin = named(bins, NULL_BIN, N_RESERVED);
        if (bin.is_valid()) return value_or_none(bin);
    } else {
        for (Py_ssize_t i = 0;; ++i) {
            nb::object bin = item(bins, i);
            if (!bin.is_valid()) break;
            if (!PyObject_TypeCheck(bin.ptr(), reinterpret_cast<PyTypeObject *>(S.numerical.ptr()))) continue;
            nb::object d = dict_of(bin);
            if (reserved(get(d, S.str_name), DEFAULT, N_RESERVED)) continue;
            if (number(get(d, S.str_lower_bound)) < v && v <= number(get(d, S.str_upper_bound)))
                return get(d, S.str_value);
        }
    }
    return value_or_none(named(bins, DEFAULT, NULL_BIN));
}

// AttributeBinning.bin_categoric_attribute's assignment.
nb::object assign_categoric(nb::handle binning, nb::handle value) {
    nb::object bins = list_of(get(dict_of(binning), S.str_discretisation));
    if (value.is_none() || eq(value, S.nan_text)) {
        nb::object bin = named(bins, NULL_BIN, N_RESERVED);
        if (bin.is_valid()) return value_or_none(bin);
    } else {
        for (Py_ssize_t i = 0;; ++i) {
            nb::object bin = item(bins, i);
            if (!bin.is_valid()) break;
            if (!PyObject_TypeCheck(bin.ptr(), reinterpret_cast<PyTypeObject *>(S.categorical.ptr()))) continue;
            nb::object d = dict_of(bin);
            if (reserved(get(d, S.str_name), DEFAULT, N_RESERVED)) continue;
            nb::object categories = list_of(get(d, S.str_categories));
            for (Py_ssize_t k = 0;; ++k) {
                nb::object category = item(categories, k);
                if (!category.is_valid()) break;
                if (eq(category, value)) return get(d, S.str_value);
            }
        }
    }
    return value_or_none(named(bins, DEFAULT, NULL_BIN));
}

nb::object limit_bin_numeric(Args a) {
    capture();
    return assign_numeric(a[1], a[2]);
}

nb::object limit_bin_categoric(Args a) {
    capture();
    return assign_categoric(a[1], a[2]);
}

// The first record of `records` whose `attribute` equals `attribute`; the
// last one instead when `last`.
nb::object of_attribute(nb::handle records, nb::handle attribute, bool last) {
    nb::object found;
    for (Py_ssize_t i = 0;; ++i) {
        nb::object record = item(records, i);
        if (!record.is_valid()) return found;
        if (eq(get(dict_of(record), S.str_attribute), attribute)) {
            found = record;
            if (!last) return found;
        }
    }
}

// PredictiveModelMonitoring.get_discretisation: the bin (not its value) of
// the last binning of the attribute, by the monitoring rules (bins with a
// missing bound or without categories are passed over, reserved names are
// not).
nb::object limit_get_discretisation(Args a) {
    capture();
    nb::object binnings = get(dict_of(a[1]), S.str_binning);
    if (binnings.is_none()) return none();
    nb::object binning = of_attribute(list_of(binnings), a[2], true);
    if (!binning.is_valid()) return none();
    nb::object bins = list_of(get(dict_of(binning), S.str_discretisation));
    nb::handle value = a[4];
    if (eq(a[3], S.numerical_dtype)) {
        const double v = value.is_none() ? NAN : number(value);
        if (std::isnan(v)) {
            nb::object bin = named(bins, NULL_BIN, N_RESERVED);
            if (bin.is_valid()) return bin;
        } else {
            for (Py_ssize_t i = 0;; ++i) {
                nb::object bin = item(bins, i);
                if (!bin.is_valid()) break;
                if (!PyObject_TypeCheck(bin.ptr(), reinterpret_cast<PyTypeObject *>(S.numerical.ptr()))) continue;
                nb::object d = dict_of(bin);
                nb::object lower = get(d, S.str_lower_bound);
                if (lower.is_none()) continue;
                nb::object upper = get(d, S.str_upper_bound);
                if (!upper.is_none() && number(lower) < v && v <= number(upper)) return bin;
            }
        }
    } else if (eq(a[3], S.categorical_dtype)) {
        nb::object shown = value.is_none() ? none() : check(PyObject_Str(value.ptr()));
        if (value.is_none() || eq(shown, S.nan_text)) {
            nb::object bin = named(bins, NULL_BIN, N_RESERVED);
            if (bin.is_valid()) return bin;
        } else {
            for (Py_ssize_t i = 0;; ++i) {
                nb::object bin = item(bins, i);
                if (!bin.is_valid()) break;
                if (!PyObject_TypeCheck(bin.ptr(), reinterpret_cast<PyTypeObject *>(S.categorical.ptr()))) continue;
                nb::object categories = get(dict_of(bin), S.str_categories);
                if (categories.is_none()) continue;
                list_of(categories);
                for (Py_ssize_t k = 0;; ++k) {
                    nb::object category = item(categories, k);
                    if (!category.is_valid()) break;
                    if (eq(category, value)) return bin;
                }
            }
        }
    } else {
        return none();
    }
    nb::object bin = named(bins, DEFAULT, NULL_BIN);
    return bin.is_valid() ? bin : none();
}

// AttributePreprocessing.apply_discretisation: the first binning of the
// attribute assigns the value.
nb::object limit_apply_discretisation(Args a) {
    capture();
    nb::object binning = of_attribute(list_of(get(dict_of(a[1]), S.str_binning)), a[2], false);
    if (!binning.is_valid()) return none();
    nb::object dtype = get(dict_of(binning), S.str_attribute_data_type);
    if (eq(dtype, S.numerical_dtype)) return assign_numeric(binning, a[3]);
    if (eq(dtype, S.categorical_dtype)) return assign_categoric(binning, a[3]);
    return none();
}

// AttributePreprocessing.apply_dummy_encoding: {encoded feature name: 1 or 0}
// over the first encoding of the attribute; an unmatched value sets the
// default feature to 1 when there is one.
nb::object limit_apply_dummy_encoding(Args a) {
    capture();
    nb::object encoding = of_attribute(list_of(get(dict_of(a[1]), S.str_dummy_encoding)), a[2], false);
    if (!encoding.is_valid()) return none();
    nb::object entries = list_of(get(dict_of(encoding), S.str_encoding));
    nb::object dummies = check(PyDict_New());
    nb::object fallback = none();
    bool found = false;
    for (Py_ssize_t i = 0;; ++i) {
        nb::object entry = item(entries, i);
        if (!entry.is_valid()) break;
        nb::object d = dict_of(entry);
        nb::object value = get(d, S.str_value);
        nb::object feature = get(d, S.str_encoded_feature_name);
        if (truthy(get(d, S.str_use_for_undefined))) fallback = feature;
        const bool hit = eq(a[3], value);
        found = found || hit;
        if (PyDict_SetItem(dummies.ptr(), feature.ptr(), (hit ? S.one : S.zero).ptr()) < 0) throw_error();
    }
    if (!found && truthy(fallback) && PyDict_SetItem(dummies.ptr(), fallback.ptr(), S.one.ptr()) < 0)
        throw_error();
    return dummies;
}

void declare(Module &m) {
    S.init(m);
    m.import_from("abc", {"ABC", "abstractmethod"});
    m.import_from("typing", {"Any", "Dict", "List", "Optional"});
    m.import("strawberry");
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.logger();

    m.enumeration("Colour").member("RED").member("GREEN", "green").strawberry().create();

    m.record("AbstractProbe", {"BaseModel", "ABC"})
        .doc("Abstract probe.")
        .field("name", "str")
        .abstractmethod(Function("label", label).self().returns("str"))
        .create();

    m.record("Probe", {"AbstractProbe"})
        .doc("A record with every kind of method.")
        .field("size", "int", nb::int_(0))
        .field("tags", "List[str]", nb::list())
        .field("colour", "Optional[Colour]", none())
        .method(Function("__init__", init).self().kwargs("kwargs", "Any"))
        .method(Function("label", label).self().returns("str"))
        .method(Function("noop", noop).self().arg("a", "Any").returns("None"))
        .method(Function("text", echo).self().arg("value", "str").returns("str"))
        .method(Function("maybe_float", echo).self().arg("value", "Optional[float]").returns("Optional[float]"))
        .method(Function("as_list", echo).self().arg("value", "List[Dict[str, str]]").returns("List[str]"))
        .method(Function("as_dict", echo).self().arg("value", "Dict[str, Any]").returns("Optional[int]"))
        .method(Function("number", echo).self().arg("value", "Any").returns("Optional[int]"))
        .method(Function("loose", echo).self().arg("value", "Union[str, int]").returns("Any"))
        .method(Function("with_default", pair).self().arg("value", "Optional[str]", nb::str("x")).returns("Any"))
        .method(Function("options", kwargs_of).self().arg("value", "Any").kwargs("kwds", "Any").returns("Any"))
        .classmethod(Function("build", pair).cls().arg("value", "Any").returns("'Probe'").doc("Build one."))
        .staticmethod(Function("_helper", first).arg("unused", "Any").arg("value", "Any").returns("Any"))
        .method(Function("limit_bin_numeric", limit_bin_numeric).self().arg("binning", "Any").arg("value", "Any")
                    .returns("Any"))
        .method(Function("limit_bin_categoric", limit_bin_categoric).self().arg("binning", "Any").arg("value", "Any")
                    .returns("Any"))
        .method(Function("limit_get_discretisation", limit_get_discretisation)
                    .self()
                    .arg("monitoring", "Any")
                    .arg("attribute", "Any")
                    .arg("attribute_dtype", "Any")
                    .arg("attribute_value", "Any")
                    .returns("Any"))
        .method(Function("limit_apply_discretisation", limit_apply_discretisation)
                    .self()
                    .arg("record", "Any")
                    .arg("attribute", "Any")
                    .arg("attribute_value", "Any")
                    .returns("Any"))
        .method(Function("limit_apply_dummy_encoding", limit_apply_dummy_encoding)
                    .self()
                    .arg("record", "Any")
                    .arg("attribute", "Any")
                    .arg("attribute_value", "Any")
                    .returns("Any"))
        .validator_after(Function("check_size", after).self().returns("'Probe'"))
        .validator_before(Function("from_name", before).cls().arg("data", "Any").returns("Any"))
        .create();

    m.view("ProbeType", "Probe")
        .field("name", "strawberry.auto")
        .field("size", "strawberry.auto")
        .strawberry_field(Function("shown_name", parent_name)
                              .self()
                              .arg("parent", "strawberry.Parent[Probe]")
                              .returns("str")
                              .coroutine())
        .create();

    NativeClass<Tally>(m, "Tally")
        .doc("A counter owning a C++ object.")
        .constructor(Function("__new__", tally_new).cls().arg("start", "int").arg("tag", "Any", none()))
        .method(Function("add", tally_add).self().arg("n", "int").returns("None"))
        .property(Function("total", tally_total).self().returns("int").doc("The sum so far."))
        .property(Function("tag", tally_tag).self().returns("Any"))
        .equality(Function("__eq__", tally_eq).self().arg("other", "object").returns("Any"))
        .method(Function("__reduce__", tally_reduce).self().returns("Any"))
        .create();

    m.cls("Plain", {}).method(Function("noop", noop).self().arg("a", "Any").returns("None")).create();

    m.function(Function("noop", noop).arg("a", "Any").returns("None"));
    m.function(Function("later", identity).arg("value", "Any").returns("Any").coroutine());
    m.function(Function("walk", walk).arg("items", "Any").arg("skip", "Any").arg("then", "Any").returns("List[Any]"));
    m.function(Function("throw_cpp", throw_cpp).arg("kind", "str").returns("None"));
    m.function(Function("throw_cpp_later", throw_cpp).arg("kind", "str").returns("None").coroutine());
}

}  // namespace

KELVANE_MODULE(_frame_probe, "kelvane_analytics_utils._frame_probe", declare)
