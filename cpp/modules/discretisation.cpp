// kelvane_analytics_utils.predictive_models.preparation.discretisation
//
// The vocabulary of binning: attribute kinds, reserved bin names, the bin
// records with the rules that name them, the binning of one attribute with
// the assignment of a raw value to its bin, and the GraphQL views.
//
// The assignment methods run for every binned attribute of every scored
// record: they scan the bins in list order reading their fields straight from
// the records' dicts (frame/fields.hpp), test kinds by type pointer, compare
// exact floats and exact strings in C, and only hand a comparison to the
// interpreter when an operand is of another type.
#include "frame/frame.hpp"
#include "modules/bin_scan.hpp"

#include "core/naming.hpp"

#include <charconv>
#include <cmath>

namespace {

using namespace kelvane;
using bins::Ref;

// Reserved bin names, in the order of the enum.
enum Reserved { DEFAULT = 0, DEFINED_DEFAULT = 1, SYSTEM_DEFAULT = 2, NULL_BIN = 3, N_RESERVED = 4, NOT_RESERVED = -1 };

struct State {
    PyObject *module_dict = nullptr;
    PyObject *abstract_bin = nullptr, *categorical = nullptr, *numerical = nullptr;
    PyObject *reserved_text[N_RESERVED] = {};     // exact str values
    PyObject *reserved_member[N_RESERVED] = {};   // the enum members
    Py_ssize_t reserved_length[N_RESERVED] = {};
    PyObject *get_origin = nullptr, *get_args = nullptr, *literal = nullptr;
    PyObject *nan_text = nullptr, *minus_inf_text = nullptr, *inf_text = nullptr, *empty_text = nullptr;
    PyObject *comma = nullptr, *hundred = nullptr, *one = nullptr;
    PyObject *minus_inf = nullptr, *plus_inf = nullptr;
    PyObject *fixed3 = nullptr, *scientific2 = nullptr;
    // Interned names.
    PyObject *name, *lower_bound, *upper_bound, *categories, *discretisation, *type, *id;
    PyObject *logger, *warning, *debug, *model_fields, *annotation, *get, *init, *is_integer;
};
State S;

void init_names() {
    S.name = intern("name");
    S.lower_bound = intern("lower_bound");
    S.upper_bound = intern("upper_bound");
    S.categories = intern("categories");
    S.discretisation = intern("discretisation");
    S.type = intern("type");
    S.id = intern("id");
    S.logger = intern("logger");
    S.warning = intern("warning");
    S.debug = intern("debug");
    S.model_fields = intern("model_fields");
    S.annotation = intern("annotation");
    S.get = intern("get");
    S.init = intern("__init__");
    S.is_integer = intern("is_integer");
}

PyObject *keep(nb::handle h) { return Py_NewRef(h.ptr()); }
PyObject *keep(PyObject *o) {
    if (!o) throw_error();
    return o;
}

// ------------------------------------------------------------ names

// Which reserved name `name` is, among first..last-1: its index,
// NOT_RESERVED, or -2 on error. Exact str names are told apart by length
// before any character is compared.
int reserved_index(PyObject *name, int first = 0, int last = N_RESERVED) {
    if (PyUnicode_CheckExact(name)) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
        for (int i = first; i < last; ++i)
            if (n == S.reserved_length[i] && bins::text_equal(name, S.reserved_text[i])) return i;
        return NOT_RESERVED;
    }
    for (int i = first; i < last; ++i) {
        int r = PyObject_RichCompareBool(name, S.reserved_member[i], Py_EQ);
        if (r < 0) return -2;
        if (r) return i;
    }
    return NOT_RESERVED;
}

// ------------------------------------------------------------ number formatting

PyObject *from_dtoa(double x, char code, int precision) {
    char *text = PyOS_double_to_string(x, code, precision, 0, nullptr);
    if (!text) return nullptr;
    PyObject *s = PyUnicode_FromString(text);
    PyMem_Free(text);
    return s;
}

// The label of a float bound: the interpreter's own formatting of each rule.
PyObject *format_double(double x) {
    switch (core::bound_format(x)) {
        case core::BoundFormat::MinusInf: return Py_NewRef(S.minus_inf_text);
        case core::BoundFormat::PlusInf: return Py_NewRef(S.inf_text);
        case core::BoundFormat::Integer: {
            if (x > -9.2e18 && x < 9.2e18) {
                char buf[32];
                auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(x));
                return PyUnicode_FromStringAndSize(buf, res.ptr - buf);
            }
            PyObject *i = PyLong_FromDouble(x);
            if (!i) return nullptr;
            PyObject *s = PyObject_Str(i);
            Py_DECREF(i);
            return s;
        }
        case core::BoundFormat::Fixed3: return from_dtoa(x, 'f', 3);
        case core::BoundFormat::Scientific2: return from_dtoa(x, 'E', 2);
    }
    return nullptr;
}

int truth(PyObject *o) {
    if (!o) return -1;
    int t = PyObject_IsTrue(o);
    Py_DECREF(o);
    return t;
}

// The same rules for any other number, through the number's own operations
// (an object without is_integer fails with its AttributeError).
PyObject *format_object(PyObject *number) {
    int t = PyObject_RichCompareBool(number, S.minus_inf, Py_EQ);
    if (t) return t < 0 ? nullptr : Py_NewRef(S.minus_inf_text);
    t = PyObject_RichCompareBool(number, S.plus_inf, Py_EQ);
    if (t) return t < 0 ? nullptr : Py_NewRef(S.inf_text);
    t = truth(PyObject_CallMethodNoArgs(number, S.is_integer));
    if (t < 0) return nullptr;
    if (t) {
        Ref i(PyNumber_Long(number));
        return i ? PyObject_Str(i.p) : nullptr;
    }
    Ref product(PyNumber_Multiply(number, S.hundred));
    if (!product) return nullptr;
    t = truth(PyObject_RichCompare(product.p, S.one, Py_GT));
    if (t < 0) return nullptr;
    return PyObject_Format(number, t ? S.fixed3 : S.scientific2);
}

PyObject *format_number(PyObject *number) {
    if (PyFloat_CheckExact(number)) return format_double(PyFloat_AS_DOUBLE(number));
    if (PyLong_CheckExact(number)) return PyObject_Str(number);   // int.is_integer() holds
    return format_object(number);
}

nb::object get_number_formatting(Args a) { return check(format_number(a.get(0))); }

// ------------------------------------------------------------ constructors

// super(owner, self).__init__(**kwargs)
void init_base(PyObject *owner, PyObject *self, PyObject *kwargs) {
    Ref sup(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(&PySuper_Type), owner, self, nullptr));
    if (!sup) throw_error();
    Ref init(PyObject_GetAttr(sup.p, S.init));
    if (!init) throw_error();
    Ref empty(PyTuple_New(0));
    if (!empty) throw_error();
    Ref r(PyObject_Call(init.p, empty.p, kwargs));
    if (!r) throw_error();
}

// kwargs["type"] = the Literal value of the class's "type" field, if any.
nb::object abstract_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    Ref fields(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(self)), S.model_fields));
    if (!fields) throw_error();
    Ref field(PyObject_CallMethodOneArg(fields.p, S.get, S.type));
    if (!field) throw_error();
    if (field.p != Py_None) {
        Ref annotation(PyObject_GetAttr(field.p, S.annotation));
        if (!annotation) throw_error();
        Ref origin(PyObject_CallOneArg(S.get_origin, annotation.p));
        if (!origin) throw_error();
        int is_literal = PyObject_RichCompareBool(origin.p, S.literal, Py_EQ);
        if (is_literal < 0) throw_error();
        if (is_literal) {
            Ref values(PyObject_CallOneArg(S.get_args, annotation.p));
            if (!values) throw_error();
            int any = PyObject_IsTrue(values.p);
            if (any < 0) throw_error();
            Ref first(any ? PySequence_GetItem(values.p, 0) : Py_NewRef(Py_None));
            if (!first || PyDict_SetItem(kwargs, S.type, first.p) < 0) throw_error();
        }
    }
    init_base(S.abstract_bin, self, kwargs);
    return none();
}

PyObject *required_id(PyObject *kwargs) {
    PyObject *id;
    int r = PyDict_GetItemRef(kwargs, S.id, &id);
    if (r < 0) throw_error();
    if (r == 0) {
        PyErr_SetObject(PyExc_KeyError, S.id);
        throw_error();
    }
    return id;
}

// The categories joined with "," after str(), cut to 50 characters.
PyObject *joined_categories(PyObject *categories) {
    Ref texts(PyList_New(0));
    Ref it(PyObject_GetIter(categories));
    if (!texts || !it) return nullptr;
    while (PyObject *c = PyIter_Next(it.p)) {
        Ref item(c);
        Ref text(PyObject_Str(c));
        if (!text || PyList_Append(texts.p, text.p) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref joined(PyUnicode_Join(S.comma, texts.p));
    if (!joined) return nullptr;
    if (PyUnicode_GET_LENGTH(joined.p) <= 50) return joined.release();
    // Lone surrogates pass through the UTF-8 round trip unchanged.
    Ref bytes(PyUnicode_AsEncodedString(joined.p, "utf-8", "surrogatepass"));
    if (!bytes) return nullptr;
    std::string cut = core::shorten_label(std::string_view(PyBytes_AS_STRING(bytes.p), PyBytes_GET_SIZE(bytes.p)), 50);
    return PyUnicode_DecodeUTF8(cut.data(), static_cast<Py_ssize_t>(cut.size()), "surrogatepass");
}

nb::object categorical_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    PyObject *categories_raw, *name_raw;
    if (PyDict_GetItemRef(kwargs, S.categories, &categories_raw) < 0) throw_error();
    Ref categories(categories_raw ? categories_raw : Py_NewRef(Py_None));
    if (PyDict_GetItemRef(kwargs, S.name, &name_raw) < 0) throw_error();
    Ref name(name_raw);
    if (!name || name.p == Py_None) {
        Ref joined(categories.p == Py_None ? Py_NewRef(Py_None) : joined_categories(categories.p));
        if (!joined) throw_error();
        Ref id(required_id(kwargs));
        Ref label(PyUnicode_FromFormat("%S_{%S}", id.p, joined.p));
        if (!label || PyDict_SetItem(kwargs, S.name, label.p) < 0) throw_error();
    }
    init_base(S.categorical, self, kwargs);
    return none();
}

nb::object numerical_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    int has_name = PyDict_Contains(kwargs, S.name);
    if (has_name < 0) throw_error();
    if (!has_name) {
        PyObject *lower_raw, *upper_raw;
        if (PyDict_GetItemRef(kwargs, S.lower_bound, &lower_raw) < 0) throw_error();
        Ref lower(lower_raw);
        if (PyDict_GetItemRef(kwargs, S.upper_bound, &upper_raw) < 0) throw_error();
        Ref upper(upper_raw);
        if (lower && lower.p != Py_None && upper && upper.p != Py_None) {
            Ref id(required_id(kwargs));
            Ref lo(format_number(lower.p));
            if (!lo) throw_error();
            Ref hi(format_number(upper.p));
            if (!hi) throw_error();
            Ref id_text(PyObject_Format(id.p, S.empty_text));
            if (!id_text) throw_error();
            Ref label(PyUnicode_FromFormat("%U_(%U;%U)", id_text.p, lo.p, hi.p));
            if (!label || PyDict_SetItem(kwargs, S.name, label.p) < 0) throw_error();
        }
    }
    init_base(S.numerical, self, kwargs);
    return none();
}

// ------------------------------------------------------------ assignment

RecordFields F;

// Which reserved name the bin's name is (among first..last-1): its index,
// NOT_RESERVED, or -2 on error.
int reserved_name(RecordReader &r, int first, int last) {
    PyObject *name = r.read(bins::NAME);
    if (!name) return -2;
    if (!PyUnicode_CheckExact(name)) r.pin();
    return reserved_index(name, first, last);
}

// The first bin, of either kind, named "1_null": 1 (bin in *out), 0, -1.
int find_null(PyObject *list, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = reserved_name(r, NULL_BIN, NULL_BIN + 1);
        if (k == -2) return -1;
        if (k == NULL_BIN) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

// The first regular numeric bin with lower < value <= upper.
int find_interval(PyObject *list, bins::FloatValue &value, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = bins::kind_is(r, S.numerical, S.categorical);
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        k = reserved_name(r, 0, N_RESERVED);
        if (k == -2) return -1;
        if (k != NOT_RESERVED) continue;
        PyObject *lower = r.read(bins::LOWER_BOUND);
        if (!lower) return -1;
        PyObject *upper = r.read(bins::UPPER_BOUND);
        if (!upper) return -1;
        int hit = bins::in_interval(r, lower, upper, value);
        if (hit < 0) return -1;
        if (hit) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

// The first regular categorical bin whose categories hold the value.
int find_category(PyObject *list, PyObject *value, PyObject **out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = bins::kind_is(r, S.categorical, S.numerical);
        if (k <= 0) {
            if (k < 0) return -1;
            continue;
        }
        k = reserved_name(r, 0, N_RESERVED);
        if (k == -2) return -1;
        if (k != NOT_RESERVED) continue;
        PyObject *categories = r.read(bins::CATEGORIES);
        if (!categories) return -1;
        int hit = bins::contains(r, categories, value);   // None: the membership TypeError
        if (hit < 0) return -1;
        if (hit) {
            *out = Py_NewRef(r.record());
            return 1;
        }
    }
    return 0;
}

nb::object value_of(PyObject *bin) {
    Ref b(bin);
    return check(F.get(bin, bins::VALUE));
}

// Logs the default hit through the module's current logger.
void log_default(PyObject *level, PyObject *self, PyObject *shown) {
    Ref attribute(F.get(self, bins::ATTRIBUTE));
    if (!attribute) throw_error();
    Ref message(PyUnicode_FromFormat(
        "Predictive model hit default value when processing binning of attribute '%S' with value '%S'.",
        attribute.p, shown));
    if (!message) throw_error();
    PyObject *logger_raw;
    int found = PyDict_GetItemRef(S.module_dict, S.logger, &logger_raw);
    if (found < 0) throw_error();
    if (!found) {
        PyErr_SetString(PyExc_NameError, "name 'logger' is not defined");
        throw_error();
    }
    Ref logger(logger_raw);
    PyObject *args[2] = {logger.p, message.p};
    Ref r(PyObject_VectorcallMethod(level, args, 2, nullptr));
    if (!r) throw_error();
}

// The first bin named "0_default", "0_system_default" or "0_defined_default":
// logs the hit (debug for the defined default, warning for the others) and
// answers the bin's value; None without logging when there is none.
template <typename Shown>
nb::object default_value(PyObject *self, PyObject *list, Shown shown) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        RecordReader r(F, PyList_GET_ITEM(list, i));
        int k = reserved_name(r, DEFAULT, NULL_BIN);
        if (k == -2) throw_error();
        if (k == NOT_RESERVED) continue;
        r.pin();   // logging runs Python code
        PyObject *text = shown();
        if (!text) throw_error();
        log_default(k == DEFINED_DEFAULT ? S.debug : S.warning, self, text);
        return check(F.get(r.record(), bins::VALUE));
    }
    return none();
}

PyObject *bins_of(PyObject *self) {
    Ref d(F.get(self, bins::DISCRETISATION));
    if (!d) throw_error();
    PyObject *list = bins::bin_list(d.p);
    if (!list) throw_error();
    return list;
}

nb::object bin_numeric_attribute(Args a) {
    PyObject *self = a.get(0), *raw = a.get(1);
    // float(value), None being NaN; an exact int needs no float object.
    double v;
    PyObject *borrowed = nullptr;
    Ref converted(nullptr);
    if (raw == Py_None) {
        v = NAN;
    } else if (PyFloat_CheckExact(raw)) {
        v = PyFloat_AS_DOUBLE(raw);
        borrowed = raw;
    } else if (PyLong_CheckExact(raw)) {
        v = PyLong_AsDouble(raw);
        if (v == -1.0 && PyErr_Occurred()) throw_error();
    } else {
        converted.p = PyNumber_Float(raw);
        if (!converted) throw_error();
        v = PyFloat_AS_DOUBLE(converted.p);
        borrowed = converted.p;
    }
    bins::FloatValue value(v, borrowed);
    Ref list(bins_of(self));
    PyObject *bin = nullptr;
    int r = std::isnan(v) ? find_null(list.p, &bin) : find_interval(list.p, value, &bin);
    if (r < 0) throw_error();
    if (r) return value_of(bin);
    return default_value(self, list.p, [&value]() { return value.object(); });
}

nb::object bin_categoric_attribute(Args a) {
    PyObject *self = a.get(0), *value = a.get(1);   // exact str or None
    Ref list(bins_of(self));
    PyObject *bin = nullptr;
    int r = (value == Py_None || bins::text_equal(value, S.nan_text)) ? find_null(list.p, &bin)
                                                                       : find_category(list.p, value, &bin);
    if (r < 0) throw_error();
    if (r) return value_of(bin);
    return default_value(self, list.p, [value]() { return value; });
}

// ------------------------------------------------------------ views

nb::object parent_type(Args a) { return check(field_of(a.get(1), S.type)); }

nb::object formatted(PyObject *parent, PyObject *field) {
    Ref bound(field_of(parent, field));
    if (!bound) throw_error();
    if (bound.p == Py_None) return none();
    return check(format_number(bound.p));
}
nb::object formatted_lower_bound(Args a) { return formatted(a.get(1), S.lower_bound); }
nb::object formatted_upper_bound(Args a) { return formatted(a.get(1), S.upper_bound); }

nb::object parent_discretisation(Args a) { return check(field_of(a.get(1), S.discretisation)); }

// ------------------------------------------------------------ declarations

void declare(Module &m) {
    init_names();
    bins::name_fields(F);
    m.import_from("typing", {"List", "Optional", "Union", "Any", "Literal", "cast", "get_args", "get_origin"});
    m.import("structlog");
    m.import("strawberry");
    m.import_from("typing_extensions", {"Annotated"});
    m.import("math");
    m.import_from("pydantic", {"Field"});
    m.import_from("abc", {"ABC"});
    m.import_from("enum", {"Enum"});
    m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
    m.logger();

    S.module_dict = Py_NewRef(PyModule_GetDict(m.object().ptr()));
    S.get_origin = keep(m.get("get_origin"));
    S.get_args = keep(m.get("get_args"));
    S.literal = keep(m.get("Literal"));
    S.nan_text = keep(PyUnicode_InternFromString("nan"));
    S.minus_inf_text = keep(PyUnicode_InternFromString("-inf"));
    S.inf_text = keep(PyUnicode_InternFromString("inf"));
    S.empty_text = keep(PyUnicode_InternFromString(""));
    S.comma = keep(PyUnicode_InternFromString(","));
    S.fixed3 = keep(PyUnicode_InternFromString(".3f"));
    S.scientific2 = keep(PyUnicode_InternFromString(".2E"));
    S.hundred = keep(PyLong_FromLong(100));
    S.one = keep(PyLong_FromLong(1));
    S.minus_inf = keep(PyFloat_FromDouble(-INFINITY));
    S.plus_inf = keep(PyFloat_FromDouble(INFINITY));

    m.enumeration("AttributeDataType").member("CATEGORICAL").member("NUMERICAL").strawberry().create();
    nb::object bin_names = m.enumeration("PredictiveModelBinName")
                               .member("DEFAULT", "0_default")
                               .member("DEFINED_DEFAULT", "0_defined_default")
                               .member("SYSTEM_DEFAULT", "0_system_default")
                               .member("NULL", "1_null")
                               .create();
    const char *members[N_RESERVED] = {"DEFAULT", "DEFINED_DEFAULT", "SYSTEM_DEFAULT", "NULL"};
    const char *values[N_RESERVED] = {"0_default", "0_defined_default", "0_system_default", "1_null"};
    for (int i = 0; i < N_RESERVED; ++i) {
        S.reserved_member[i] = keep(bin_names.attr(members[i]));
        S.reserved_text[i] = keep(PyUnicode_InternFromString(values[i]));
        S.reserved_length[i] = PyUnicode_GET_LENGTH(S.reserved_text[i]);
    }

    S.abstract_bin = keep(m.record("AbstractAttributeBin", {"BaseModel", "ABC"})
                              .doc("Class holds information about one bin of the attribute.")
                              .field("name", "str")
                              .field("value", "Optional[float]", none())
                              .field("frequency", "Optional[float]", none())
                              .field("target_rate", "Optional[float]", none())
                              .field("id", "int")
                              .method(Function("__init__", abstract_init).self().kwargs("kwargs", "Any"))
                              .create());

    S.categorical =
        keep(m.record("AttributeBinCategorical", {"AbstractAttributeBin"})
                 .doc("\n    Class holds information about one bin of categorical attribute.\n\n    ")
                 .field("type", "Literal[AttributeDataType.CATEGORICAL]")
                 .field("categories", "Optional[List[str]]", none())
                 .method(Function("__init__", categorical_init).self().kwargs("kwargs", "Any"))
                 .create());

    S.numerical = keep(m.record("AttributeBinNumerical", {"AbstractAttributeBin"})
                           .doc("Class holds information about one bin of numerical attribute.")
                           .field("type", "Literal[AttributeDataType.NUMERICAL]")
                           .field("lower_bound", "Optional[float]", none())
                           .field("upper_bound", "Optional[float]", none())
                           .method(Function("__init__", numerical_init).self().kwargs("kwargs", "Any"))
                           .staticmethod(Function("_get_number_formatting", get_number_formatting)
                                             .arg("number", "Union[float, int]")
                                             .returns("str"))
                           .create());

    // AttributeBin = Annotated[Union[AttributeBinNumerical, AttributeBinCategorical], Field(discriminator="type")]
    {
        nb::object members_union = check(PyObject_GetItem(
            m.get("Union").ptr(), nb::make_tuple(m.get("AttributeBinNumerical"), m.get("AttributeBinCategorical")).ptr()));
        nb::object field = m.get("Field")(nb::arg("discriminator") = "type");
        m.set("AttributeBin",
              check(PyObject_GetItem(m.get("Annotated").ptr(), nb::make_tuple(members_union, field).ptr())));
    }

    m.view("AbstractAttributeBinType", "AbstractAttributeBin")
        .field("name", "strawberry.auto")
        .field("value", "strawberry.auto")
        .field("frequency", "strawberry.auto")
        .field("target_rate", "strawberry.auto")
        .field("id", "strawberry.auto")
        .strawberry_field(Function("type", parent_type)
                              .self()
                              .arg("parent", "strawberry.Parent[AttributeBin]")
                              .returns("AttributeDataType")
                              .coroutine())
        .create();

    m.view("AttributeBinCategoricalType", "AttributeBinCategorical", {"AbstractAttributeBinType"})
        .field("categories", "strawberry.auto")
        .create();

    m.view("AttributeBinNumericalType", "AttributeBinNumerical", {"AbstractAttributeBinType"})
        .field("lower_bound", "strawberry.auto")
        .field("upper_bound", "strawberry.auto")
        .strawberry_field(Function("formatted_lower_bound", formatted_lower_bound)
                              .self()
                              .arg("parent", "strawberry.Parent[AttributeBinNumerical]")
                              .returns("Optional[str]")
                              .coroutine())
        .strawberry_field(Function("formatted_upper_bound", formatted_upper_bound)
                              .self()
                              .arg("parent", "strawberry.Parent[AttributeBinNumerical]")
                              .returns("Optional[str]")
                              .coroutine())
        .create();

    F.trust(m.get("AttributeBinNumerical"));
    F.trust(m.get("AttributeBinCategorical"));

    nb::object binning = m.record("AttributeBinning", {"BaseModel"})
        .doc("Class to store binning of the attributes.")
        .field("attribute", "str")
        .field("attribute_data_type", "AttributeDataType")
        .field("discretisation", "List[AttributeBin]", nb::list())
        .field("binned_attribute_name", "Optional[str]", none())
        .method(Function("bin_numeric_attribute", bin_numeric_attribute)
                    .self()
                    .arg("value", "Optional[Union[int, float]]")
                    .returns("Optional[float]"))
        .method(Function("bin_categoric_attribute", bin_categoric_attribute)
                    .self()
                    .arg("value", "Optional[str]")
                    .returns("Optional[float]"))
        .create();
    F.trust(binning);

    m.view("AttributeBinningType", "AttributeBinning")
        .field("attribute", "strawberry.auto")
        .strawberry_field(Function("discretisation", parent_discretisation)
                              .self()
                              .arg("parent", "strawberry.Parent[AttributeBinning]")
                              .returns("List[AttributeBinNumericalType | AttributeBinCategoricalType]")
                              .result_may_be_none()
                              .coroutine())
        .create();
}

}  // namespace

KELVANE_MODULE(discretisation, "kelvane_analytics_utils.predictive_models.preparation.discretisation", declare)
