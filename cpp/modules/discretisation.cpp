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
#include "frame/host.hpp"
#include "frame/state.hpp"
#include "modules/bin_scan.hpp"

#include "core/naming.hpp"

#include <charconv>
#include <cmath>
#include <string>

namespace {

using namespace kelvane;
using bins::N_RESERVED;

#define DISCRETISATION_NAMES(X)                                                                              \
    X(name) X(lower_bound) X(upper_bound) X(categories) X(discretisation) X(type) X(id) X(warning) X(debug)   \
    X(model_fields) X(annotation) X(get) X(__init__) X(is_integer) X(_get_number_formatting) X(number)

struct State : ModuleState {
    KELVANE_NAMES(DISCRETISATION_NAMES)
    bins::Vocabulary V;
    nb::object abstract_bin;
    nb::object get_origin, get_args, literal;
    nb::object minus_inf_text, inf_text, empty_text, comma, fixed3, scientific2;
    nb::object hundred, one, minus_inf, plus_inf;
    nb::object number_kwnames;   // ("number",)
};
KELVANE_STATE(State, S);

// ------------------------------------------------------------ number formatting

nb::object from_dtoa(double x, char code, int precision) {
    char *text = PyOS_double_to_string(x, code, precision, 0, nullptr);
    if (!text) throw_error();
    nb::object s = nb::steal(PyUnicode_FromString(text));
    PyMem_Free(text);
    if (!s.is_valid()) throw_error();
    return s;
}

// The label of a float bound: the interpreter's own formatting of each rule.
nb::object format_double(double x) {
    switch (core::bound_format(x)) {
        case core::BoundFormat::MinusInf: return S.minus_inf_text;
        case core::BoundFormat::PlusInf: return S.inf_text;
        case core::BoundFormat::Integer: {
            if (x > -9.2e18 && x < 9.2e18) {
                char buf[32];
                auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(x));
                return check(PyUnicode_FromStringAndSize(buf, res.ptr - buf));
            }
            nb::object i = check(PyLong_FromDouble(x));
            return check(PyObject_Str(i.ptr()));
        }
        case core::BoundFormat::Fixed3: return from_dtoa(x, 'f', 3);
        case core::BoundFormat::Scientific2: return from_dtoa(x, 'E', 2);
    }
    PyErr_SetString(PyExc_SystemError, "unknown bound format");
    throw_error();
}

// The same rules for any other number, through the number's own operations
// (an object without is_integer fails with its AttributeError).
nb::object format_object(nb::handle number) {
    if (equals(number, S.minus_inf)) return S.minus_inf_text;
    if (equals(number, S.plus_inf)) return S.inf_text;
    if (truthy(call_method(S.str_is_integer, number))) {
        nb::object i = check(PyNumber_Long(number.ptr()));
        return check(PyObject_Str(i.ptr()));
    }
    nb::object product = check(PyNumber_Multiply(number.ptr(), S.hundred.ptr()));
    const int above = host_compare(product.ptr(), S.one.ptr(), Py_GT);
    if (above < 0) throw_error();
    return check(PyObject_Format(number.ptr(), above ? S.fixed3.ptr() : S.scientific2.ptr()));
}

nb::object format_number(nb::handle number) {
    if (PyFloat_CheckExact(number.ptr())) return format_double(PyFloat_AS_DOUBLE(number.ptr()));
    if (PyLong_CheckExact(number.ptr())) return check(PyObject_Str(number.ptr()));   // int.is_integer() holds
    return format_object(number);
}

nb::object get_number_formatting(Args a) { return format_number(a[0]); }

// ------------------------------------------------------------ constructors

// super(owner, self).__init__(**kwargs)
void init_base(nb::handle owner, PyObject *self, PyObject *kwargs) {
    PyObject *args[] = {owner.ptr(), self};
    nb::object sup = check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), args, 2, nullptr));
    nb::object init = check(PyObject_GetAttr(sup.ptr(), S.str___init__));
    nb::object empty = check(PyTuple_New(0));
    check(PyObject_Call(init.ptr(), empty.ptr(), kwargs));
}

// kwargs["type"] = the Literal value of the class's "type" field, if any.
nb::object abstract_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    nb::object fields = check(PyObject_GetAttr(reinterpret_cast<PyObject *>(Py_TYPE(self)), S.str_model_fields));
    nb::object field = call_method(S.str_get, fields, S.str_type);
    if (!field.is_none()) {
        nb::object annotation = check(PyObject_GetAttr(field.ptr(), S.str_annotation));
        nb::object origin = check(PyObject_CallOneArg(S.get_origin.ptr(), annotation.ptr()));
        const int is_literal = PyObject_RichCompareBool(origin.ptr(), S.literal.ptr(), Py_EQ);
        if (is_literal < 0) throw_error();
        if (is_literal) {
            nb::object values = check(PyObject_CallOneArg(S.get_args.ptr(), annotation.ptr()));
            nb::object first = truthy(values) ? check(PySequence_GetItem(values.ptr(), 0)) : none();
            if (PyDict_SetItem(kwargs, S.str_type, first.ptr()) < 0) throw_error();
        }
    }
    init_base(S.abstract_bin, self, kwargs);
    return none();
}

// kwargs[key], or an empty object when the mapping does not hold it.
nb::object kwarg(PyObject *kwargs, PyObject *key) {
    PyObject *v;
    if (PyDict_GetItemRef(kwargs, key, &v) < 0) throw_error();
    return nb::steal(v);
}

nb::object required_id(PyObject *kwargs) {
    nb::object id = kwarg(kwargs, S.str_id);
    if (!id.is_valid()) {
        PyErr_SetObject(PyExc_KeyError, S.str_id);
        throw_error();
    }
    return id;
}

// The categories joined with "," after str(), cut to 50 characters.
nb::object joined_categories(nb::handle categories) {
    nb::object texts = check(PyList_New(0));
    each(categories, [&](nb::handle c) {
        nb::object text = check(PyObject_Str(c.ptr()));
        if (PyList_Append(texts.ptr(), text.ptr()) < 0) throw_error();
        return false;
    });
    nb::object joined = check(PyUnicode_Join(S.comma.ptr(), texts.ptr()));
    if (PyUnicode_GET_LENGTH(joined.ptr()) <= 50) return joined;
    // Lone surrogates pass through the UTF-8 round trip unchanged.
    nb::object bytes = check(PyUnicode_AsEncodedString(joined.ptr(), "utf-8", "surrogatepass"));
    std::string cut =
        core::shorten_label(std::string_view(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr())), 50);
    return check(PyUnicode_DecodeUTF8(cut.data(), static_cast<Py_ssize_t>(cut.size()), "surrogatepass"));
}

nb::object categorical_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    nb::object categories = kwarg(kwargs, S.str_categories);
    if (!categories.is_valid()) categories = none();
    nb::object name = kwarg(kwargs, S.str_name);
    if (!name.is_valid() || name.is_none()) {
        nb::object joined = categories.is_none() ? none() : joined_categories(categories);
        nb::object id = required_id(kwargs);
        nb::object label = check(PyUnicode_FromFormat("%S_{%S}", id.ptr(), joined.ptr()));
        if (PyDict_SetItem(kwargs, S.str_name, label.ptr()) < 0) throw_error();
    }
    init_base(S.V.categorical, self, kwargs);
    return none();
}

nb::object numerical_init(Args a) {
    PyObject *self = a.get(0), *kwargs = a.get(1);
    const int has_name = PyDict_Contains(kwargs, S.str_name);
    if (has_name < 0) throw_error();
    if (!has_name) {
        nb::object lower = kwarg(kwargs, S.str_lower_bound);
        nb::object upper = kwarg(kwargs, S.str_upper_bound);
        if (lower.is_valid() && !lower.is_none() && upper.is_valid() && !upper.is_none()) {
            nb::object id = required_id(kwargs);
            nb::object lo = format_number(lower);
            nb::object hi = format_number(upper);
            nb::object id_text = check(PyObject_Format(id.ptr(), S.empty_text.ptr()));
            nb::object label = check(PyUnicode_FromFormat("%U_(%U;%U)", id_text.ptr(), lo.ptr(), hi.ptr()));
            if (PyDict_SetItem(kwargs, S.str_name, label.ptr()) < 0) throw_error();
        }
    }
    init_base(S.V.numerical, self, kwargs);
    return none();
}

// ------------------------------------------------------------ assignment

RecordFields F;

nb::object value_of(nb::handle bin) { return check(F.get(bin.ptr(), bins::VALUE)); }

// Logs the default hit through the module's current logger.
void log_default(PyObject *level, PyObject *self, nb::handle shown) {
    nb::object attribute = check(F.get(self, bins::ATTRIBUTE));
    S.log(level, check(PyUnicode_FromFormat(
                     "Predictive model hit default value when processing binning of attribute '%S' with value '%S'.",
                     attribute.ptr(), shown.ptr())));
}

// The first bin named "0_default", "0_system_default" or "0_defined_default":
// logs the hit (debug for the defined default, warning for the others) and
// answers the bin's value; None without logging when there is none.
template <typename Shown>
nb::object default_value(PyObject *self, PyObject *list, Shown shown) {
    nb::object bin;
    int which;
    const int r = bins::find_named(F, S.V, list, bins::DEFAULT, bins::NULL_BIN, &bin, &which);
    if (r < 0) throw_error();
    if (r == 0) return none();
    log_default(which == bins::DEFINED_DEFAULT ? S.str_debug : S.str_warning, self, shown());
    return value_of(bin);
}

nb::object bins_of(PyObject *self) {
    nb::object d = check(F.get(self, bins::DISCRETISATION));
    return bins::bin_list(d);
}

// The value of the bin that scan(list, &value_field) finds in the binning's
// own exact list of bins, new reference; nullptr (no error) when the bins
// are not read from the binning's dict or the scan finds nothing, and the
// lookup must go the general way. The list and the bin are borrowed while
// only C code runs; the bin is held before its value is read some other way.
template <class Scan>
PyObject *try_plain_bin(PyObject *self, Scan &&scan) {
    PyObject *list = F.entry(self, bins::DISCRETISATION);
    if (!list || !PyList_CheckExact(list)) return nullptr;
    PyObject *value_field = nullptr;
    PyObject *hit = scan(list, &value_field);
    if (!hit) return nullptr;
    if (value_field) return Py_NewRef(value_field);
    nb::object held = nb::borrow(hit);
    return value_of(held).release().ptr();
}

// The bin named "1_null": 1 (bin in *bin), 0, -1.
int find_null(PyObject *list, nb::object *bin) {
    int which;
    return bins::find_named(F, S.V, list, bins::NULL_BIN, N_RESERVED, bin, &which);
}

nb::object bin_numeric_attribute(Args a) {
    PyObject *self = a.get(0), *raw = a.get(1);
    // float(value), None being NaN; an exact int needs no float object.
    double v;
    nb::object given;
    if (raw == Py_None) {
        v = NAN;
    } else if (PyFloat_CheckExact(raw)) {
        v = PyFloat_AS_DOUBLE(raw);
        given = nb::borrow(raw);
    } else if (PyLong_CheckExact(raw)) {
        v = PyLong_AsDouble(raw);
        if (v == -1.0 && PyErr_Occurred()) throw_error();
    } else {
        given = check(PyNumber_Float(raw));
        v = PyFloat_AS_DOUBLE(given.ptr());
    }
    bins::FloatValue value(v, given);
    if (!std::isnan(v))
        if (PyObject *found = try_plain_bin(self, [v](PyObject *list, PyObject **value_field) {
                return bins::try_plain_interval<true>(F, S.V, list, v, value_field);
            }))
            return nb::steal(found);
    nb::object list = bins_of(self);
    nb::object bin;
    const int r = std::isnan(v) ? find_null(list.ptr(), &bin)
                                : bins::find_interval(F, S.V, bins::assignment, list.ptr(), value, &bin);
    if (r < 0) throw_error();
    if (r) return value_of(bin);
    return default_value(self, list.ptr(), [&value]() {
        PyObject *shown = value.object();   // owned by `value`
        if (!shown) throw_error();
        return nb::borrow(shown);
    });
}

nb::object bin_categoric_attribute(Args a) {
    PyObject *self = a.get(0), *value = a.get(1);   // exact str or None
    if (value != Py_None && !str_equal(value, S.V.nan_text.ptr()))
        if (PyObject *found = try_plain_bin(self, [value](PyObject *list, PyObject **value_field) {
                return bins::try_plain_category<true>(F, S.V, list, value, value_field);
            }))
            return nb::steal(found);
    nb::object list = bins_of(self);
    nb::object bin;
    const int r = (value == Py_None || str_equal(value, S.V.nan_text.ptr()))
                      ? find_null(list.ptr(), &bin)
                      : bins::find_category(F, S.V, bins::assignment, list.ptr(), value, &bin);
    if (r < 0) throw_error();
    if (r) return value_of(bin);
    return default_value(self, list.ptr(), [value]() { return nb::borrow(value); });
}

// ------------------------------------------------------------ views

nb::object parent_type(Args a) { return check(field_of(a.get(1), S.str_type)); }

// parent._get_number_formatting(number=<bound>), or None for a missing bound:
// a subclass's own formatting is used.
nb::object formatted(PyObject *parent, PyObject *field) {
    nb::object bound = check(field_of(parent, field));
    if (bound.is_none()) return none();
    PyObject *args[] = {parent, bound.ptr()};
    return check(PyObject_VectorcallMethod(S.str__get_number_formatting, args, 1, S.number_kwnames.ptr()));
}
nb::object formatted_lower_bound(Args a) { return formatted(a.get(1), S.str_lower_bound); }
nb::object formatted_upper_bound(Args a) { return formatted(a.get(1), S.str_upper_bound); }

// The GraphQL answer of a numerical bound: None for an infinite (or NaN)
// bound, which GraphQL's Float cannot represent (the formatted bounds keep
// "-inf" and "inf"). A field extension of the plain fields, so that the view
// keeps its fields and GraphQL its schema: resolve(self, next_, source, info,
// **kwargs) post-processes what the field answers.
nb::object finite_bound_resolve(Args a) {
    // Borrowed from the call, which holds its arguments until it returns.
    PyObject *args[] = {a.get(2), a.get(3)};
    nb::object value = check(PyObject_VectorcallDict(a.get(1), args, 2, a.get(4)));
    if (PyFloat_Check(value.ptr()) && !std::isfinite(PyFloat_AS_DOUBLE(value.ptr()))) return none();
    return value;
}

nb::object parent_discretisation(Args a) { return check(field_of(a.get(1), S.str_discretisation)); }

// ------------------------------------------------------------ declarations

void declare(Module &m) {
    S.init(m);
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

    S.get_origin = m.get("get_origin");
    S.get_args = m.get("get_args");
    S.literal = m.get("Literal");
    S.minus_inf_text = nb::str("-inf");
    S.inf_text = nb::str("inf");
    S.empty_text = nb::str("");
    S.comma = nb::str(",");
    S.fixed3 = nb::str(".3f");
    S.scientific2 = nb::str(".2E");
    S.hundred = nb::int_(100);
    S.one = nb::int_(1);
    S.minus_inf = nb::float_(-INFINITY);
    S.plus_inf = nb::float_(INFINITY);
    S.number_kwnames = nb::make_tuple(nb::handle(S.str_number));

    m.enumeration("AttributeDataType").member("CATEGORICAL").member("NUMERICAL").strawberry().create();
    m.enumeration("PredictiveModelBinName")
        .member("DEFAULT", "0_default")
        .member("DEFINED_DEFAULT", "0_defined_default")
        .member("SYSTEM_DEFAULT", "0_system_default")
        .member("NULL", "1_null")
        .create();

    S.abstract_bin = m.record("AbstractAttributeBin", {"BaseModel", "ABC"})
                         .doc("Class holds information about one bin of the attribute.")
                         .field("name", "str")
                         .field("value", "Optional[float]", none())
                         .field("frequency", "Optional[float]", none())
                         .field("target_rate", "Optional[float]", none())
                         .field("id", "int")
                         .method(Function("__init__", abstract_init).self().kwargs("kwargs", "Any"))
                         .create();

    m.record("AttributeBinCategorical", {"AbstractAttributeBin"})
        .doc("\n    Class holds information about one bin of categorical attribute.\n\n    ")
        .field("type", "Literal[AttributeDataType.CATEGORICAL]")
        .field("categories", "Optional[List[str]]", none())
        .method(Function("__init__", categorical_init).self().kwargs("kwargs", "Any"))
        .create();

    m.record("AttributeBinNumerical", {"AbstractAttributeBin"})
        .doc("Class holds information about one bin of numerical attribute.")
        .field("type", "Literal[AttributeDataType.NUMERICAL]")
        .field("lower_bound", "Optional[float]", none())
        .field("upper_bound", "Optional[float]", none())
        .method(Function("__init__", numerical_init).self().kwargs("kwargs", "Any"))
        .staticmethod(Function("_get_number_formatting", get_number_formatting)
                          .arg("number", "Union[float, int]")
                          .returns("str"))
        .create();
    S.V.capture(m.object());

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

    // strawberry.field(extensions=[FiniteBound()]) for each bound.
    nb::dict extension_ns;
    extension_ns["resolve"] = Function("resolve", finite_bound_resolve)
                                  .self()
                                  .arg("next_")
                                  .arg("source")
                                  .arg("info")
                                  .kwargs("kwargs")
                                  .create(m.dotted(), "FiniteBound.resolve");
    extension_ns["__module__"] = m.dotted();
    nb::object finite_bound_type = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(
        "FiniteBound", nb::make_tuple(nb::module_::import_("strawberry.extensions").attr("FieldExtension")),
        extension_ns);
    auto bound_field = [&] {
        nb::list extensions;
        extensions.append(finite_bound_type());
        return m.get("strawberry").attr("field")(nb::arg("extensions") = extensions);
    };
    m.view("AttributeBinNumericalType", "AttributeBinNumerical", {"AbstractAttributeBinType"})
        .field("lower_bound", "strawberry.auto", bound_field())
        .field("upper_bound", "strawberry.auto", bound_field())
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

    F.trust(S.V.numerical);
    F.trust(S.V.categorical);

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
