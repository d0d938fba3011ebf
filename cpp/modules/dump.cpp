// kelvane_analytics_utils.utils.dump
//
// YAML and JSON text of in-memory values (records, enums, decimals, dates,
// identifiers, plain containers), and YAML text read back. ruamel.yaml and the
// json module do the emitting; this module decides, at every node they reach,
// which entries of a mapping are left out (filter first) and what outward form
// the value takes (then convert).
#include "frame/host.hpp"
#include "frame/state.hpp"

namespace {

using namespace kelvane;

#define DUMP_NAMES(X)                                                                                        \
    X(value) X(isoformat) X(model_dump) X(asdict) X(__dataclass_fields__) X(represent_data) X(represent)     \
    X(represent_str) X(add_representer) X(__class__) X(default_flow_style) X(width) X(Representer)           \
    X(dump_all) X(stream) X(load) X(getvalue) X(indent) X(cls) X(dumps) X(default) X(exclude_defaults) X(data)

struct State : ModuleState {
    KELVANE_NAMES(DUMP_NAMES)
    // Classes and functions of the namespace.
    nb::object ReferenceType, EnumClass, DecimalClass, DatetimeClass, DateClass, TimeClass, UUIDClass;
    nb::object PydanticModel, asdict_function, YAMLClass, StringIOClass, RuamelSafeRepresenter;
    nb::object ValidRepresenter, MirelJSONEncoder, json_module, valid_dump_yaml_function;
    nb::object float_round;     // float.__round__
    nb::object builtin_round;   // round
    nb::object twelve, two, width;
    nb::object exclude_defaults_kwnames, data_kwnames;   // ("exclude_defaults",), ("data",)
};
KELVANE_STATE(State, S);

// ------------------------------------------------------------ type tests

// isinstance(o, cls): a real subtype answers at once; otherwise the full test
// (a class's own instance check, a __class__ that differs from the type).
// 1, 0, or -1 with an error set.
inline int is_instance(PyObject *o, const nb::object &cls) {
    if (PyType_IsSubtype(Py_TYPE(o), reinterpret_cast<PyTypeObject *>(cls.ptr()))) return 1;
    return PyObject_IsInstance(o, cls.ptr());
}
inline bool instance_of(PyObject *o, const nb::object &cls) {
    const int r = is_instance(o, cls);
    if (r < 0) throw_error();
    return r != 0;
}
inline bool instance_of(PyObject *o, PyTypeObject *type) {
    if (PyType_IsSubtype(Py_TYPE(o), type)) return true;
    const int r = PyObject_IsInstance(o, reinterpret_cast<PyObject *>(type));
    if (r < 0) throw_error();
    return r != 0;
}

// Exact built-in types that no conversion step changes and that are not mappings.
inline bool plain_scalar_or_sequence(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || o == Py_None || t == &PyList_Type || t == &PyBool_Type ||
           t == &PyTuple_Type;
}

// ------------------------------------------------------------ conversion

nb::object round_exact_float(PyObject *f) {
    PyObject *args[] = {f, S.twelve.ptr()};
    return check(PyObject_Vectorcall(S.float_round.ptr(), args, 2, nullptr));
}

// is_dataclass(obj): a dataclass instance, or a dataclass itself.
bool is_dataclass(PyObject *obj) {
    PyObject *cls = instance_of(obj, &PyType_Type) ? obj : reinterpret_cast<PyObject *>(Py_TYPE(obj));
    const int r = PyObject_HasAttrWithError(cls, S.str___dataclass_fields__);
    if (r < 0) throw_error();
    return r != 0;
}

// A dataclass's own callable asdict, or dataclasses.asdict.
nb::object dataclass_mapping(PyObject *obj) {
    PyObject *found;
    if (PyObject_GetOptionalAttr(obj, S.str_asdict, &found) < 0) throw_error();
    nb::object own = nb::steal(found);
    if (own.is_valid() && PyCallable_Check(own.ptr())) return check(PyObject_CallNoArgs(own.ptr()));
    return check(PyObject_CallOneArg(S.asdict_function.ptr(), obj));
}

// The outward form of a value that is not a weak reference. The tests run in
// this order; the first that holds decides.
nb::object convert(PyObject *obj) {
    if (plain_scalar_or_sequence(obj) || Py_TYPE(obj) == &PyDict_Type) return nb::borrow(obj);
    if (Py_TYPE(obj) == &PyFloat_Type) return round_exact_float(obj);
    if (instance_of(obj, S.EnumClass)) return check(PyObject_GetAttr(obj, S.str_value));
    if (instance_of(obj, S.DecimalClass)) {
        nb::object f = check(PyNumber_Float(obj));
        return round_exact_float(f.ptr());
    }
    if (instance_of(obj, &PyFloat_Type)) {
        PyObject *args[] = {obj, S.twelve.ptr()};
        return check(PyObject_Vectorcall(S.builtin_round.ptr(), args, 2, nullptr));
    }
    // datetime before date: a datetime is also a date.
    for (const nb::object *cls : {&S.DatetimeClass, &S.DateClass, &S.TimeClass})
        if (instance_of(obj, *cls)) return check(PyObject_CallMethodNoArgs(obj, S.str_isoformat));
    if (instance_of(obj, S.UUIDClass)) return check(PyObject_Str(obj));
    if (instance_of(obj, S.PydanticModel)) {
        PyObject *args[] = {obj, Py_True};
        return check(PyObject_VectorcallMethod(S.str_model_dump, args, 1, S.exclude_defaults_kwnames.ptr()));
    }
    if (instance_of(obj, &PySet_Type)) return check(PySequence_List(obj));
    if (is_dataclass(obj)) return dataclass_mapping(obj);
    return nb::borrow(obj);
}

// format_output_data: a weak reference stands for its referent (None when gone).
nb::object format_output(PyObject *obj) {
    if (plain_scalar_or_sequence(obj) || Py_TYPE(obj) == &PyDict_Type) return nb::borrow(obj);
    if (Py_TYPE(obj) == &PyFloat_Type) return round_exact_float(obj);
    if (!instance_of(obj, S.ReferenceType)) return convert(obj);
    nb::object referent = check(PyObject_CallNoArgs(obj));
    return convert(referent.ptr());
}

// ------------------------------------------------------------ filtering

// is_invalid: None, or equal to an empty list, or equal to an empty mapping.
// 1, 0, or -1 with an error set.
int invalid(PyObject *v) {
    if (v == Py_None) return 1;
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyList_Type) return PyList_GET_SIZE(v) == 0;
    if (t == &PyDict_Type) return PyDict_GET_SIZE(v) == 0;
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == &PyTuple_Type)
        return 0;
    // Anything else answers by its own equality, against new empty containers
    // (an __eq__ may keep or change what it is given).
    nb::object empty = nb::steal(PyList_New(0));
    if (!empty.is_valid()) return -1;
    const int r = PyObject_RichCompareBool(v, empty.ptr(), Py_EQ);
    if (r != 0) return r;
    empty = nb::steal(PyDict_New());
    if (!empty.is_valid()) return -1;
    return PyObject_RichCompareBool(v, empty.ptr(), Py_EQ);
}

// Adds key -> value to `out` unless the value is invalid.
void keep_valid(const nb::object &out, nb::handle key, nb::handle value) {
    const int bad = invalid(value.ptr());
    if (bad < 0) throw_error();
    if (!bad && PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
}

nb::object filter_dict(PyObject *d) {
    nb::object out = check(PyDict_New());
    const Py_ssize_t size = PyDict_GET_SIZE(d);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        // An equality test may run Python code that changes the mapping: hold both.
        keep_valid(out, nb::borrow(key), nb::borrow(value));
        if (PyDict_GET_SIZE(d) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw_error();
        }
    }
    return out;
}

// A mapping of a class derived from dict: its entries as its items() gives them.
nb::object filter_items(PyObject *mapping) {
    nb::object items = check(PyMapping_Items(mapping));
    nb::object out = check(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        nb::object pair = check(PySequence_Tuple(PyList_GET_ITEM(items.ptr(), i)));
        const Py_ssize_t got = PyTuple_GET_SIZE(pair.ptr());
        if (got != 2) {
            if (got > 2)
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            else
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
            throw_error();
        }
        keep_valid(out, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1));
    }
    return out;
}

// filter_data: a mapping loses its invalid entries (one level); anything else
// is returned as it is.
nb::object filter(PyObject *data) {
    if (Py_TYPE(data) == &PyDict_Type) return filter_dict(data);
    if (plain_scalar_or_sequence(data) || Py_TYPE(data) == &PyFloat_Type) return nb::borrow(data);
    return instance_of(data, &PyDict_Type) ? filter_items(data) : nb::borrow(data);
}

// ------------------------------------------------------------ module functions

nb::object format_output_data(Args a) { return format_output(a.get(0)); }

nb::object is_invalid(Args a) {
    const int r = invalid(a.get(0));
    if (r < 0) throw_error();
    return nb::bool_(r != 0);
}

nb::object filter_data(Args a) { return filter(a.get(0)); }

// super(<cls>, self).<name>
nb::object super_attr(const nb::object &cls, PyObject *self, PyObject *name) {
    PyObject *args[] = {cls.ptr(), self};
    nb::object super = check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), args, 2, nullptr));
    return check(PyObject_GetAttr(super.ptr(), name));
}

// ------------------------------------------------------------ ValidRepresenter

nb::object represent(Args a) {
    PyObject *self = a.get(0);
    // The str representer of the library class is set, again, to the one the
    // class already has.
    nb::object cls = check(PyObject_GetAttr(self, S.str___class__));
    nb::object represent_str = check(PyObject_GetAttr(cls.ptr(), S.str_represent_str));
    check(PyObject_CallMethodObjArgs(S.RuamelSafeRepresenter.ptr(), S.str_add_representer, &PyUnicode_Type,
                                     represent_str.ptr(), nullptr));
    nb::object base = super_attr(S.ValidRepresenter, self, S.str_represent);
    PyObject *args[] = {a.get(1)};
    check(PyObject_Vectorcall(base.ptr(), args, 0, S.data_kwnames.ptr()));
    return none();
}

// Runs for the document root and for every key, value and item below it.
nb::object represent_data(Args a) {
    PyObject *self = a.get(0);
    nb::object filtered = filter(a.get(1));
    nb::object processed = format_output(filtered.ptr());
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject *>(S.ValidRepresenter.ptr())) {
        // The base's method straight from the library class, as super() finds it.
        nb::object base = nb::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject *>(S.RuamelSafeRepresenter.ptr()),
                                                    S.str_represent_data));
        if (base.is_valid() && PyFunction_Check(base.ptr())) {
            PyObject *args[] = {self, processed.ptr()};
            return check(PyObject_Vectorcall(base.ptr(), args, 2, nullptr));
        }
    }
    nb::object base = super_attr(S.ValidRepresenter, self, S.str_represent_data);
    return check(PyObject_CallOneArg(base.ptr(), processed.ptr()));
}

// ------------------------------------------------------------ YAML

nb::object valid_dump_yaml(Args a) {
    PyObject *data = a.get(0), *stream = a.get(1), *kwds = a.get(2);
    // An exact list is a list of documents; anything else is one document.
    nb::object documents;
    if (PyList_CheckExact(data)) {
        documents = nb::borrow(data);
    } else {
        documents = check(PyList_New(1));
        PyList_SET_ITEM(documents.ptr(), 0, Py_NewRef(data));
    }
    nb::object yaml = check(PyObject_CallNoArgs(S.YAMLClass.ptr()));
    if (PyObject_SetAttr(yaml.ptr(), S.str_default_flow_style, Py_False) < 0 ||
        PyObject_SetAttr(yaml.ptr(), S.str_width, S.width.ptr()) < 0 ||
        PyObject_SetAttr(yaml.ptr(), S.str_Representer, S.ValidRepresenter.ptr()) < 0)
        throw_error();
    nb::object dump_all = check(PyObject_GetAttr(yaml.ptr(), S.str_dump_all));
    nb::object keywords = check(PyDict_New());
    if (PyDict_SetItem(keywords.ptr(), S.str_stream, stream) < 0 || PyDict_Update(keywords.ptr(), kwds) < 0)
        throw_error();
    nb::object args = check(PyTuple_Pack(1, documents.ptr()));
    check(PyObject_Call(dump_all.ptr(), args.ptr(), keywords.ptr()));
    return none();
}

nb::object valid_dumps_yaml(Args a) {
    nb::object stream = check(PyObject_CallNoArgs(S.StringIOClass.ptr()));
    nb::object keywords = check(PyDict_Copy(a.get(1)));
    nb::object args = check(PyTuple_Pack(2, a.get(0), stream.ptr()));
    check(PyObject_Call(S.valid_dump_yaml_function.ptr(), args.ptr(), keywords.ptr()));
    return check(PyObject_CallMethodNoArgs(stream.ptr(), S.str_getvalue));
}

nb::object safe_loads_yaml(Args a) {
    nb::object yaml = S.YAMLClass(nb::arg("typ") = "safe");
    return check(PyObject_CallMethodOneArg(yaml.ptr(), S.str_load, a.get(0)));
}

// ------------------------------------------------------------ JSON

nb::object encoder_default(Args a) {
    PyObject *self = a.get(0), *obj = a.get(1);
    nb::object converted = format_output(obj);
    if (converted.ptr() != obj) return converted;
    // Unchanged: the standard encoder's refusal.
    nb::object base = super_attr(S.MirelJSONEncoder, self, S.str_default);
    return check(PyObject_CallOneArg(base.ptr(), obj));
}

nb::object safe_dumps_json(Args a) {
    PyObject *keywords = a.get(1);   // owned by this call
    if (!PyDict_SetDefault(keywords, S.str_indent, S.two.ptr()) ||
        !PyDict_SetDefault(keywords, S.str_cls, S.MirelJSONEncoder.ptr()))
        throw_error();
    nb::object dumps = check(PyObject_GetAttr(S.json_module.ptr(), S.str_dumps));
    nb::object args = check(PyTuple_Pack(1, a.get(0)));
    return check(PyObject_Call(dumps.ptr(), args.ptr(), keywords));
}

// ------------------------------------------------------------ declaration


void declare(Module &m) {
    S.init(m);
    m.import_from("dataclasses", {"is_dataclass", "asdict"});
    m.import_from("datetime", {"datetime", "date", "time"});
    m.import_from("decimal", {"Decimal"});
    m.import_from("enum", {"Enum"});
    m.import_from("io", {"StringIO"});
    m.import("json");
    m.import_from("typing", {"IO", "Any", "Optional"});
    m.import_from("uuid", {"UUID"});
    m.import_from("weakref", {"ReferenceType"});
    m.import_from("pydantic", {"BaseModel"});
    m.import_from("ruamel.yaml", {"YAML"});
    m.import_from("ruamel.yaml.representer", {{"SafeRepresenter", "RuamelSafeRepresenter"}});

    S.ReferenceType = m.get("ReferenceType");
    S.EnumClass = m.get("Enum");
    S.DecimalClass = m.get("Decimal");
    S.DatetimeClass = m.get("datetime");
    S.DateClass = m.get("date");
    S.TimeClass = m.get("time");
    S.UUIDClass = m.get("UUID");
    S.PydanticModel = m.get("BaseModel");
    S.asdict_function = m.get("asdict");
    S.YAMLClass = m.get("YAML");
    S.StringIOClass = m.get("StringIO");
    S.RuamelSafeRepresenter = m.get("RuamelSafeRepresenter");
    S.json_module = m.get("json");
    S.float_round = nb::getattr(nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)), "__round__");
    S.builtin_round = nb::module_::import_("builtins").attr("round");
    S.twelve = nb::int_(12);
    S.two = nb::int_(2);
    S.width = nb::int_(120);
    S.exclude_defaults_kwnames = nb::make_tuple(nb::handle(S.str_exclude_defaults));
    S.data_kwnames = nb::make_tuple(nb::handle(S.str_data));

    m.function(Function("format_output_data", format_output_data).arg("obj", "Any").returns("Any"));
    m.function(Function("is_invalid", is_invalid).arg("value", "Any").returns("bool"));
    m.function(Function("filter_data", filter_data).arg("data", "Any").returns("Any"));

    S.ValidRepresenter =
        m.cls("ValidRepresenter", {"RuamelSafeRepresenter"})
            .method(Function("represent", represent).self().arg("data", "Any").returns("None"))
            .method(Function("represent_data", represent_data).self().arg("data", "Any").returns("Any"))
            .create();

    S.valid_dump_yaml_function = m.function(Function("valid_dump_yaml", valid_dump_yaml)
                                                .arg("data", "Any")
                                                .arg("stream", "IO[str]")
                                                .kwargs("kwds", "Any")
                                                .returns("None"));
    m.function(Function("valid_dumps_yaml", valid_dumps_yaml).arg("data", "Any").kwargs("kwds", "Any").returns("Optional[str]"));
    m.function(Function("safe_loads_yaml", safe_loads_yaml).arg("content", "str").returns("Any"));

    S.MirelJSONEncoder = m.cls("MirelJSONEncoder", {"json.JSONEncoder"})
                             .method(Function("default", encoder_default).self().arg("obj", "Any").returns("Any"))
                             .create();

    m.function(Function("safe_dumps_json", safe_dumps_json).arg("obj", "Any").kwargs("kwargs", "Any").returns("str"));
}

}  // namespace

KELVANE_MODULE(dump, "kelvane_analytics_utils.utils.dump", declare)
