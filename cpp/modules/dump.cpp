// kelvane_analytics_utils.utils.dump
//
// YAML and JSON text of in-memory values (records, enums, decimals, dates,
// identifiers, plain containers), and YAML text read back. ruamel.yaml and the
// json module do the emitting; this module decides, at every node they reach,
// which entries of a mapping are left out (filter first) and what outward form
// the value takes (then convert).
#include "frame/frame.hpp"

namespace {

using namespace kelvane;

// Classes and functions of the namespace, set during declare (strong references).
PyObject *ReferenceType, *EnumClass, *DecimalClass, *DatetimeClass, *DateClass, *TimeClass, *UUIDClass;
PyObject *PydanticModel, *asdict_function, *YAMLClass, *StringIOClass, *RuamelSafeRepresenter;
PyObject *ValidRepresenter, *MirelJSONEncoder, *json_module, *valid_dump_yaml_function;
PyObject *float_round;     // float.__round__
PyObject *builtin_round;   // round
PyObject *twelve, *two;
PyObject *exclude_defaults_kwnames, *data_kwnames;   // ("exclude_defaults",), ("data",)

struct Names {
    PyObject *value, *isoformat, *model_dump, *asdict, *dataclass_fields, *represent_data, *represent,
        *represent_str, *add_representer, *class_, *default_flow_style, *width, *Representer, *dump_all, *stream,
        *load, *getvalue, *indent, *cls, *dumps, *default_;
} names;

// ------------------------------------------------------------ type tests

// isinstance(o, cls): a real subtype answers at once; otherwise the full test
// (a class's own instance check, a __class__ that differs from the type).
inline int is_instance(PyObject *o, PyObject *cls) {
    if (PyType_IsSubtype(Py_TYPE(o), reinterpret_cast<PyTypeObject *>(cls))) return 1;
    return PyObject_IsInstance(o, cls);
}

// Exact built-in types that no conversion step changes and that are not mappings.
inline bool plain_scalar_or_sequence(PyObject *o) {
    PyTypeObject *t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyLong_Type || o == Py_None || t == &PyList_Type || t == &PyBool_Type ||
           t == &PyTuple_Type;
}

// ------------------------------------------------------------ conversion

PyObject *round_exact_float(PyObject *f) {
    PyObject *args[] = {f, twelve};
    return PyObject_Vectorcall(float_round, args, 2, nullptr);
}

// is_dataclass(obj): a dataclass instance, or a dataclass itself.
int is_dataclass(PyObject *obj) {
    int is_type = PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(&PyType_Type));
    if (is_type < 0) return -1;
    PyObject *cls = is_type ? obj : reinterpret_cast<PyObject *>(Py_TYPE(obj));
    return PyObject_HasAttrWithError(cls, names.dataclass_fields);
}

// A dataclass's own callable asdict, or dataclasses.asdict.
PyObject *dataclass_mapping(PyObject *obj) {
    PyObject *own;
    if (PyObject_GetOptionalAttr(obj, names.asdict, &own) < 0) return nullptr;
    if (own) {
        if (PyCallable_Check(own)) {
            PyObject *out = PyObject_CallNoArgs(own);
            Py_DECREF(own);
            return out;
        }
        Py_DECREF(own);
    }
    return PyObject_CallOneArg(asdict_function, obj);
}

// The outward form of a value that is not a weak reference (new reference).
// The tests run in this order; the first that holds decides.
PyObject *convert(PyObject *obj) {
    if (plain_scalar_or_sequence(obj) || Py_TYPE(obj) == &PyDict_Type) return Py_NewRef(obj);
    if (Py_TYPE(obj) == &PyFloat_Type) return round_exact_float(obj);

    int r = is_instance(obj, EnumClass);
    if (r) return r < 0 ? nullptr : PyObject_GetAttr(obj, names.value);

    r = is_instance(obj, DecimalClass);
    if (r) {
        if (r < 0) return nullptr;
        PyObject *f = PyNumber_Float(obj);
        if (!f) return nullptr;
        PyObject *out = round_exact_float(f);
        Py_DECREF(f);
        return out;
    }

    r = is_instance(obj, reinterpret_cast<PyObject *>(&PyFloat_Type));
    if (r) {
        if (r < 0) return nullptr;
        PyObject *args[] = {obj, twelve};
        return PyObject_Vectorcall(builtin_round, args, 2, nullptr);
    }

    // datetime before date: a datetime is also a date.
    for (PyObject *cls : {DatetimeClass, DateClass, TimeClass}) {
        r = is_instance(obj, cls);
        if (r) return r < 0 ? nullptr : PyObject_CallMethodNoArgs(obj, names.isoformat);
    }

    r = is_instance(obj, UUIDClass);
    if (r) return r < 0 ? nullptr : PyObject_Str(obj);

    r = is_instance(obj, PydanticModel);
    if (r) {
        if (r < 0) return nullptr;
        PyObject *args[] = {obj, Py_True};
        return PyObject_VectorcallMethod(names.model_dump, args, 1, exclude_defaults_kwnames);
    }

    r = is_instance(obj, reinterpret_cast<PyObject *>(&PySet_Type));
    if (r) return r < 0 ? nullptr : PySequence_List(obj);

    r = is_dataclass(obj);
    if (r) return r < 0 ? nullptr : dataclass_mapping(obj);

    return Py_NewRef(obj);
}

// format_output_data: a weak reference stands for its referent (None when gone).
PyObject *format_output(PyObject *obj) {
    if (plain_scalar_or_sequence(obj) || Py_TYPE(obj) == &PyDict_Type) return Py_NewRef(obj);
    if (Py_TYPE(obj) == &PyFloat_Type) return round_exact_float(obj);
    int r = is_instance(obj, ReferenceType);
    if (r < 0) return nullptr;
    if (r == 0) return convert(obj);
    PyObject *referent = PyObject_CallNoArgs(obj);
    if (!referent) return nullptr;
    PyObject *out = convert(referent);
    Py_DECREF(referent);
    return out;
}

// ------------------------------------------------------------ filtering

// is_invalid: None, or equal to an empty list, or equal to an empty mapping.
int invalid(PyObject *v) {
    if (v == Py_None) return 1;
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyList_Type) return PyList_GET_SIZE(v) == 0;
    if (t == &PyDict_Type) return PyDict_GET_SIZE(v) == 0;
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || t == &PyTuple_Type)
        return 0;
    // Anything else answers by its own equality, against new empty containers
    // (an __eq__ may keep or change what it is given).
    PyObject *empty = PyList_New(0);
    if (!empty) return -1;
    int r = PyObject_RichCompareBool(v, empty, Py_EQ);
    Py_DECREF(empty);
    if (r != 0) return r;
    empty = PyDict_New();
    if (!empty) return -1;
    r = PyObject_RichCompareBool(v, empty, Py_EQ);
    Py_DECREF(empty);
    return r;
}

// Adds key -> value to `out` unless the value is invalid; -1 on error.
int keep_valid(PyObject *out, PyObject *key, PyObject *value) {
    int bad = invalid(value);
    if (bad) return bad < 0 ? -1 : 0;
    return PyDict_SetItem(out, key, value);
}

PyObject *filter_dict(PyObject *d) {
    PyObject *out = PyDict_New();
    if (!out) return nullptr;
    const Py_ssize_t size = PyDict_GET_SIZE(d);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {
        // An equality test may run Python code that changes the mapping.
        Py_INCREF(key);
        Py_INCREF(value);
        int rc = keep_valid(out, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
        if (rc < 0) goto fail;
        if (PyDict_GET_SIZE(d) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            goto fail;
        }
    }
    return out;
fail:
    Py_DECREF(out);
    return nullptr;
}

// A mapping of a class derived from dict: its entries as its items() gives them.
PyObject *filter_items(PyObject *mapping) {
    nb::object items = nb::steal(PyMapping_Items(mapping));
    if (!items.is_valid()) return nullptr;
    PyObject *out = PyDict_New();
    if (!out) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object pair = nb::steal(PySequence_Tuple(PyList_GET_ITEM(items.ptr(), i)));
        if (!pair.is_valid()) goto fail;
        if (PyTuple_GET_SIZE(pair.ptr()) != 2) {
            Py_ssize_t got = PyTuple_GET_SIZE(pair.ptr());
            if (got > 2)
                PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            else
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", got);
            goto fail;
        }
        if (keep_valid(out, PyTuple_GET_ITEM(pair.ptr(), 0), PyTuple_GET_ITEM(pair.ptr(), 1)) < 0) goto fail;
    }
    return out;
fail:
    Py_DECREF(out);
    return nullptr;
}

// filter_data: a mapping loses its invalid entries (one level); anything else
// is returned as it is.
PyObject *filter(PyObject *data) {
    if (Py_TYPE(data) == &PyDict_Type) return filter_dict(data);
    if (plain_scalar_or_sequence(data) || Py_TYPE(data) == &PyFloat_Type) return Py_NewRef(data);
    int r = is_instance(data, reinterpret_cast<PyObject *>(&PyDict_Type));
    if (r < 0) return nullptr;
    return r ? filter_items(data) : Py_NewRef(data);
}

// ------------------------------------------------------------ module functions

nb::object format_output_data(Args a) { return check(format_output(a.get(0))); }

nb::object is_invalid(Args a) {
    int r = invalid(a.get(0));
    if (r < 0) throw_error();
    return nb::borrow(r ? Py_True : Py_False);
}

nb::object filter_data(Args a) { return check(filter(a.get(0))); }

// super(<cls>, self).<name>
nb::object super_attr(PyObject *cls, PyObject *self, PyObject *name) {
    PyObject *args[] = {cls, self};
    nb::object super = check(PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PySuper_Type), args, 2, nullptr));
    return check(PyObject_GetAttr(super.ptr(), name));
}

// ------------------------------------------------------------ ValidRepresenter

nb::object represent(Args a) {
    PyObject *self = a.get(0);
    // The str representer of the library class is set, again, to the one the
    // class already has.
    nb::object cls = check(PyObject_GetAttr(self, names.class_));
    nb::object represent_str = check(PyObject_GetAttr(cls.ptr(), names.represent_str));
    check(PyObject_CallMethodObjArgs(RuamelSafeRepresenter, names.add_representer, &PyUnicode_Type,
                                     represent_str.ptr(), nullptr));
    nb::object base = super_attr(ValidRepresenter, self, names.represent);
    PyObject *args[] = {a.get(1)};
    check(PyObject_Vectorcall(base.ptr(), args, 0, data_kwnames));
    return none();
}

// Runs for the document root and for every key, value and item below it.
nb::object represent_data(Args a) {
    PyObject *self = a.get(0);
    nb::object filtered = check(filter(a.get(1)));
    nb::object processed = check(format_output(filtered.ptr()));
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject *>(ValidRepresenter)) {
        // The base's method straight from the library class, as super() finds it.
        PyObject *base = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(RuamelSafeRepresenter),
                                        names.represent_data);
        if (base && PyFunction_Check(base)) {
            nb::object hold = nb::borrow(base);
            PyObject *args[] = {self, processed.ptr()};
            return check(PyObject_Vectorcall(base, args, 2, nullptr));
        }
    }
    nb::object base = super_attr(ValidRepresenter, self, names.represent_data);
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
    nb::object yaml = check(PyObject_CallNoArgs(YAMLClass));
    if (PyObject_SetAttr(yaml.ptr(), names.default_flow_style, Py_False) < 0 ||
        PyObject_SetAttr(yaml.ptr(), names.width, nb::int_(120).ptr()) < 0 ||
        PyObject_SetAttr(yaml.ptr(), names.Representer, ValidRepresenter) < 0)
        throw_error();
    nb::object dump_all = check(PyObject_GetAttr(yaml.ptr(), names.dump_all));
    nb::object keywords = check(PyDict_New());
    if (PyDict_SetItem(keywords.ptr(), names.stream, stream) < 0 || PyDict_Update(keywords.ptr(), kwds) < 0)
        throw_error();
    nb::object args = check(PyTuple_Pack(1, documents.ptr()));
    check(PyObject_Call(dump_all.ptr(), args.ptr(), keywords.ptr()));
    return none();
}

nb::object valid_dumps_yaml(Args a) {
    nb::object stream = check(PyObject_CallNoArgs(StringIOClass));
    nb::object keywords = check(PyDict_Copy(a.get(1)));
    nb::object args = check(PyTuple_Pack(2, a.get(0), stream.ptr()));
    check(PyObject_Call(valid_dump_yaml_function, args.ptr(), keywords.ptr()));
    return check(PyObject_CallMethodNoArgs(stream.ptr(), names.getvalue));
}

nb::object safe_loads_yaml(Args a) {
    nb::object yaml = nb::handle(YAMLClass)(nb::arg("typ") = "safe");
    return check(PyObject_CallMethodOneArg(yaml.ptr(), names.load, a.get(0)));
}

// ------------------------------------------------------------ JSON

nb::object encoder_default(Args a) {
    PyObject *self = a.get(0), *obj = a.get(1);
    nb::object converted = check(format_output(obj));
    if (converted.ptr() != obj) return converted;
    // Unchanged: the standard encoder's refusal.
    nb::object base = super_attr(MirelJSONEncoder, self, names.default_);
    return check(PyObject_CallOneArg(base.ptr(), obj));
}

nb::object safe_dumps_json(Args a) {
    PyObject *keywords = a.get(1);   // owned by this call
    if (!PyDict_SetDefault(keywords, names.indent, two) || !PyDict_SetDefault(keywords, names.cls, MirelJSONEncoder))
        throw_error();
    nb::object dumps = check(PyObject_GetAttr(json_module, names.dumps));
    nb::object args = check(PyTuple_Pack(1, a.get(0)));
    return check(PyObject_Call(dumps.ptr(), args.ptr(), keywords));
}

// ------------------------------------------------------------ declaration

PyObject *keep(const nb::object &o) { return nb::object(o).release().ptr(); }

void declare(Module &m) {
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

    ReferenceType = keep(m.get("ReferenceType"));
    EnumClass = keep(m.get("Enum"));
    DecimalClass = keep(m.get("Decimal"));
    DatetimeClass = keep(m.get("datetime"));
    DateClass = keep(m.get("date"));
    TimeClass = keep(m.get("time"));
    UUIDClass = keep(m.get("UUID"));
    PydanticModel = keep(m.get("BaseModel"));
    asdict_function = keep(m.get("asdict"));
    YAMLClass = keep(m.get("YAML"));
    StringIOClass = keep(m.get("StringIO"));
    RuamelSafeRepresenter = keep(m.get("RuamelSafeRepresenter"));
    json_module = keep(m.get("json"));
    float_round = keep(nb::getattr(nb::handle(reinterpret_cast<PyObject *>(&PyFloat_Type)), "__round__"));
    builtin_round = keep(nb::module_::import_("builtins").attr("round"));
    twelve = keep(nb::int_(12));
    two = keep(nb::int_(2));
    exclude_defaults_kwnames = keep(nb::make_tuple(nb::handle(intern("exclude_defaults"))));
    data_kwnames = keep(nb::make_tuple(nb::handle(intern("data"))));
    names = Names{intern("value"),          intern("isoformat"),
                  intern("model_dump"),     intern("asdict"),
                  intern("__dataclass_fields__"), intern("represent_data"),
                  intern("represent"),      intern("represent_str"),
                  intern("add_representer"), intern("__class__"),
                  intern("default_flow_style"), intern("width"),
                  intern("Representer"),    intern("dump_all"),
                  intern("stream"),         intern("load"),
                  intern("getvalue"),       intern("indent"),
                  intern("cls"),            intern("dumps"),
                  intern("default")};

    m.function(Function("format_output_data", format_output_data).arg("obj", "Any").returns("Any"));
    m.function(Function("is_invalid", is_invalid).arg("value", "Any").returns("bool"));
    m.function(Function("filter_data", filter_data).arg("data", "Any").returns("Any"));

    ValidRepresenter =
        keep(m.cls("ValidRepresenter", {"RuamelSafeRepresenter"})
                 .method(Function("represent", represent).self().arg("data", "Any").returns("None"))
                 .method(Function("represent_data", represent_data).self().arg("data", "Any").returns("Any"))
                 .create());

    valid_dump_yaml_function = keep(m.function(Function("valid_dump_yaml", valid_dump_yaml)
                                                   .arg("data", "Any")
                                                   .arg("stream", "IO[str]")
                                                   .kwargs("kwds", "Any")
                                                   .returns("None")));
    m.function(Function("valid_dumps_yaml", valid_dumps_yaml).arg("data", "Any").kwargs("kwds", "Any").returns("Optional[str]"));
    m.function(Function("safe_loads_yaml", safe_loads_yaml).arg("content", "str").returns("Any"));

    MirelJSONEncoder = keep(m.cls("MirelJSONEncoder", {"json.JSONEncoder"})
                                .method(Function("default", encoder_default).self().arg("obj", "Any").returns("Any"))
                                .create());

    m.function(Function("safe_dumps_json", safe_dumps_json).arg("obj", "Any").kwargs("kwargs", "Any").returns("str"));
}

}  // namespace

KELVANE_MODULE(dump, "kelvane_analytics_utils.utils.dump", declare)
