// Creation of the classes whose instances own a C++ object (native.hpp).
#include "frame/native.hpp"

namespace kelvane {

namespace detail {

void raise_not_native(PyTypeObject *expected, PyObject *actual, const char *what) {
    if (expected && actual && Py_TYPE(actual) == expected) {
        PyErr_Format(PyExc_TypeError, "%s object is not initialised", expected->tp_name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a %s instance, got %.200s", what,
                 expected ? expected->tp_name : "native", actual ? Py_TYPE(actual)->tp_name : "nothing");
}

}  // namespace detail

NativeClassBuilder::NativeClassBuilder(Module &m, const char *name, detail::NativeHooks hooks)
    : m_(m), name_(name), qualified_(std::string(m.dotted()) + "." + name), hooks_(hooks) {}

nb::object NativeClassBuilder::function(const Function &f) const {
    return f.create(m_.dotted(), name_ + "." + f.spec().name);
}

NativeClassBuilder &NativeClassBuilder::doc(const char *text) { return attr("__doc__", nb::str(text)); }

NativeClassBuilder &NativeClassBuilder::constructor(const Function &f) {
    has_new_ = true;
    entries_.emplace_back("__new__", check(PyStaticMethod_New(function(f).ptr())));
    return *this;
}

NativeClassBuilder &NativeClassBuilder::method(const Function &f) {
    if (f.spec().name == "__hash__") has_hash_ = true;
    entries_.emplace_back(f.spec().name, function(f));
    return *this;
}

NativeClassBuilder &NativeClassBuilder::staticmethod(const Function &f) {
    entries_.emplace_back(f.spec().name, check(PyStaticMethod_New(function(f).ptr())));
    return *this;
}

NativeClassBuilder &NativeClassBuilder::property(const Function &f) {
    nb::object getter = function(f);
    entries_.emplace_back(f.spec().name,
                          check(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyProperty_Type), getter.ptr())));
    return *this;
}

NativeClassBuilder &NativeClassBuilder::equality(const Function &f) {
    has_eq_ = true;
    entries_.emplace_back("__eq__", function(f));
    return *this;
}

NativeClassBuilder &NativeClassBuilder::attr(const char *name, nb::handle value) {
    entries_.emplace_back(name, nb::borrow(value));
    return *this;
}

PyTypeObject *NativeClassBuilder::create_type() {
    const bool collected = hooks_.traverse != nullptr;
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void *>(hooks_.dealloc)});
    if (collected) {
        slots.push_back({Py_tp_traverse, reinterpret_cast<void *>(hooks_.traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void *>(hooks_.clear)});
    }
    slots.push_back({0, nullptr});
    PyType_Spec spec{};
    spec.name = qualified_.c_str();   // copied by the interpreter
    spec.basicsize = static_cast<int>(sizeof(detail::NativeInstance));
    spec.flags = Py_TPFLAGS_DEFAULT | (collected ? Py_TPFLAGS_HAVE_GC : 0) |
                 (has_new_ ? 0 : Py_TPFLAGS_DISALLOW_INSTANTIATION);
    spec.slots = slots.data();
    nb::object type = check(PyType_FromModuleAndSpec(m_.object().ptr(), &spec, nullptr));
    auto *t = reinterpret_cast<PyTypeObject *>(type.ptr());

    // Set through the class (not its dict), so that dunder names fill their
    // slots (__new__, __eq__, __hash__) as in a class statement.
    for (auto &[name, value] : entries_)
        if (PyObject_SetAttr(type.ptr(), intern(name.c_str()), value.ptr()) < 0) throw_error();
    if (has_eq_ && !has_hash_ && PyObject_SetAttr(type.ptr(), intern("__hash__"), Py_None) < 0) throw_error();

    // No attribute may change from now on: the methods declared are the
    // ones instances answer with.
    t->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(t);
    m_.set(name_.c_str(), type);
    return t;
}

}  // namespace kelvane
