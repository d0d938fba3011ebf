// Declaration of classes (records, view types, plain classes) and enums
// through the metaclass of their bases, as a class statement would.
#include "frame/frame.hpp"

namespace kelvane {

namespace {

nb::object import(const char *name) { return check(PyImport_ImportModule(name)); }

// The most derived metaclass of the bases (what a class statement uses).
nb::object metaclass_of(const nb::tuple &bases) {
    PyTypeObject *winner = &PyType_Type;
    for (nb::handle b : bases) {
        PyTypeObject *t = Py_TYPE(b.ptr());
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass "
                        "of the metaclasses of all its bases");
        throw_error();
    }
    return nb::borrow(reinterpret_cast<PyObject *>(winner));
}

// Names in a class namespace are interned, as the compiler interns the
// identifiers of a class statement: pydantic takes its field names from these
// keys, so instance dicts get interned keys and attribute reads and input
// lookups find them by identity.
void set_item(nb::handle ns, const char *key, nb::handle value) {
    if (PyObject_SetItem(ns.ptr(), intern(key), value.ptr()) < 0) throw_error();
}

void set_annotation(nb::dict &annotations, const char *name, const char *text) {
    if (PyDict_SetItem(annotations.ptr(), intern(name), nb::str(text).ptr()) < 0) throw_error();
}

}  // namespace

ClassBuilder::ClassBuilder(Module &m, Kind kind, const char *name, std::vector<nb::object> bases)
    : m_(m), kind_(kind), name_(name) {
    nb::list b;
    for (auto &o : bases) b.append(o);
    bases_ = nb::steal<nb::tuple>(check(PyList_AsTuple(b.ptr())).release());
    meta_ = metaclass_of(bases_);
    nb::object prepare = nb::getattr(meta_, "__prepare__", nb::none());
    ns_ = prepare.is_none() ? nb::object(nb::dict()) : prepare(nb::str(name), bases_);
    set_item(ns_, "__module__", nb::str(m.dotted()));
    set_item(ns_, "__qualname__", nb::str(name));
    set_item(ns_, "__annotations__", annotations_);
}

ClassBuilder &ClassBuilder::doc(const char *text) {
    set_item(ns_, "__doc__", nb::str(text));
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation) {
    set_annotation(annotations_, name, annotation);
    return *this;
}

ClassBuilder &ClassBuilder::field(const char *name, const char *annotation, nb::handle default_value) {
    set_annotation(annotations_, name, annotation);
    set_item(ns_, name, default_value);
    return *this;
}

ClassBuilder &ClassBuilder::attr(const char *name, nb::handle value) {
    set_item(ns_, name, value);
    return *this;
}

ClassBuilder &ClassBuilder::keyword(const char *name, nb::handle value) {
    if (kind_ == Kind::View && std::string(name) == "model") {
        model_ = nb::borrow(value);
    } else {
        kwargs_[name] = value;
    }
    return *this;
}

nb::object ClassBuilder::function(const Function &f) {
    return f.create(m_.dotted(), name_ + "." + f.spec().name);
}

ClassBuilder &ClassBuilder::method(const Function &f) {
    set_item(ns_, f.spec().name.c_str(), function(f));
    return *this;
}

ClassBuilder &ClassBuilder::classmethod(const Function &f) {
    set_item(ns_, f.spec().name.c_str(), check(PyClassMethod_New(function(f).ptr())));
    return *this;
}

ClassBuilder &ClassBuilder::staticmethod(const Function &f) {
    set_item(ns_, f.spec().name.c_str(), check(PyStaticMethod_New(function(f).ptr())));
    return *this;
}

ClassBuilder &ClassBuilder::abstractmethod(const Function &f) {
    set_item(ns_, f.spec().name.c_str(), import("abc").attr("abstractmethod")(function(f)));
    return *this;
}

ClassBuilder &ClassBuilder::validator_after(const Function &f) {
    nb::object decorator = import("pydantic").attr("model_validator")(nb::arg("mode") = "after");
    set_item(ns_, f.spec().name.c_str(), decorator(function(f)));
    return *this;
}

ClassBuilder &ClassBuilder::validator_before(const Function &f) {
    nb::object decorator = import("pydantic").attr("model_validator")(nb::arg("mode") = "before");
    nb::object cm = check(PyClassMethod_New(function(f).ptr()));
    set_item(ns_, f.spec().name.c_str(), decorator(cm));
    return *this;
}

ClassBuilder &ClassBuilder::strawberry_field(const Function &f) {
    set_item(ns_, f.spec().name.c_str(), import("strawberry").attr("field")(function(f)));
    return *this;
}

nb::object ClassBuilder::create() {
    if (kind_ == Kind::Record) {
        // Functions of the frame are class attributes, not fields: the record
        // base must ignore them as it ignores Python functions.
        nb::object fn_type = nb::borrow(reinterpret_cast<PyObject *>(function_type()));
        nb::list ignored;
        for (nb::handle b : bases_) {
            nb::object config = nb::getattr(b, "model_config", nb::none());
            if (config.is_none()) continue;
            nb::object existing = config.attr("get")("ignored_types", nb::tuple());
            for (nb::handle t : existing)
                if (PySequence_Contains(ignored.ptr(), t.ptr()) == 0) ignored.append(t);
        }
        if (PySequence_Contains(ignored.ptr(), fn_type.ptr()) == 0) ignored.append(fn_type);
        kwargs_["ignored_types"] = check(PyList_AsTuple(ignored.ptr()));
        // Resolve annotation texts in the module only, not in the caller's frame.
        kwargs_["__pydantic_reset_parent_namespace__"] = nb::bool_(false);
    }
    PyObject *args = PyTuple_Pack(3, nb::str(name_.c_str()).ptr(), bases_.ptr(), ns_.ptr());
    nb::object argt = check(args);
    nb::object cls = check(PyObject_Call(meta_.ptr(), argt.ptr(), kwargs_.ptr()));
    if (kind_ == Kind::View) {
        // A view over a record that is not complete yet would get unresolved
        // field types: complete the record first.
        if (!nb::bool_(nb::getattr(model_, "__pydantic_complete__", nb::bool_(true))))
            model_.attr("model_rebuild")();
        import("strawberry.experimental.pydantic");
        nb::object decorator = import("strawberry").attr("experimental").attr("pydantic").attr("type")(
            nb::arg("model") = model_);
        cls = decorator(cls);
    } else if (kind_ == Kind::StrawberryType) {
        cls = import("strawberry").attr("type")(cls);
    }
    m_.set(name_.c_str(), cls);
    return cls;
}

// ------------------------------------------------------------ enums

EnumBuilder::EnumBuilder(Module &m, const char *name) : m_(m), name_(name) {}

EnumBuilder &EnumBuilder::member(const char *name) { return member(name, name); }

EnumBuilder &EnumBuilder::member(const char *name, const char *value) {
    members_.emplace_back(name, value);
    return *this;
}

EnumBuilder &EnumBuilder::doc(const char *text) {
    doc_ = text;
    has_doc_ = true;
    return *this;
}

EnumBuilder &EnumBuilder::strawberry() {
    strawberry_ = true;
    return *this;
}

nb::object EnumBuilder::create() {
    nb::object enum_mod = import("enum");
    nb::object Enum = enum_mod.attr("Enum");
    nb::object meta = enum_mod.attr("EnumType");
    nb::object str_type = nb::borrow(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    nb::tuple bases = nb::make_tuple(str_type, Enum);
    nb::str name(name_.c_str());
    // Members must go through the namespace that the enum metaclass prepares.
    nb::object ns = meta.attr("__prepare__")(name, bases);
    set_item(ns, "__module__", nb::str(m_.dotted()));
    set_item(ns, "__qualname__", name);
    if (has_doc_) set_item(ns, "__doc__", nb::str(doc_.c_str()));
    for (auto &[member, value] : members_) set_item(ns, member.c_str(), nb::str(value.c_str()));
    nb::object cls = meta(name, bases, ns);
    if (strawberry_) cls = import("strawberry").attr("enum")(cls);
    m_.set(name_.c_str(), cls);
    return cls;
}

}  // namespace kelvane
