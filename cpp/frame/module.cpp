// Module initialisation and the module namespace helpers.
#include "frame/frame.hpp"

#include <string>

// Adds a frame to the traceback of the pending exception (exported by CPython).
extern "C" void _PyTraceback_Add(const char *funcname, const char *filename, int lineno);

namespace kelvane {

namespace {

bool warn_on_version_mismatch(const char *dotted) {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(nullptr, 1, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, dotted, "does not match", major, minor) == 0;
}

bool enter_in_sys_modules(PyObject *module, const char *dotted) {
    PyObject *modules = PyImport_GetModuleDict();   // borrowed
    PyObject *name = PyUnicode_FromString(dotted);
    if (!name) return false;
    int present = PyDict_Contains(modules, name);
    bool ok = present > 0 || (present == 0 && PyDict_SetItem(modules, name, module) == 0);
    Py_DECREF(name);
    return ok;
}

}  // namespace

PyObject *module_init(ModuleDef &d, int (*exec)(PyObject *)) {
    d.slots[0] = {Py_mod_exec, reinterpret_cast<void *>(exec)};
    d.slots[1] = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
    d.slots[2] = {Py_mod_gil, Py_MOD_GIL_USED};
    d.slots[3] = {0, nullptr};
    d.def = PyModuleDef{PyModuleDef_HEAD_INIT, d.dotted, nullptr, 0, nullptr, d.slots, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&d.def);
}

int module_exec(ModuleDef &d, PyObject *module) noexcept {
    if (d.initialised) {
        if (d.initialised == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     d.short_name);
        return -1;
    }
    bool ok = warn_on_version_mismatch(d.dotted) && enter_in_sys_modules(module, d.dotted) &&
              nb::register_module(module);
    if (ok) {
        try {
            Module m(module, d.dotted, d.short_name);
            d.declare(m);
        } catch (...) {
            set_error_from_exception();
            ok = false;
        }
    }
    if (ok) {
        d.initialised = module;   // the module object lives in sys.modules for good
        return 0;
    }
    if (PyErr_Occurred()) {
        char where[256];
        PyOS_snprintf(where, sizeof where, "init %s", d.dotted);
        _PyTraceback_Add(where, d.dotted, 0);
    } else {
        PyErr_Format(PyExc_ImportError, "init %s", d.dotted);
    }
    return -1;
}

// ------------------------------------------------------------ Module

Module::Module(PyObject *module, const char *dotted, const char *short_name)
    : module_(module), dict_(PyModule_GetDict(module)), dotted_(dotted), short_(short_name) {}

nb::object Module::get(const char *name) const {
    PyObject *v = PyDict_GetItemString(dict_.ptr(), name);   // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw_error();
    }
    return nb::borrow(v);
}

void Module::set(const char *name, nb::handle value) {
    if (PyDict_SetItemString(dict_.ptr(), name, value.ptr()) < 0) throw_error();
}

void Module::import(const char *module, const char *as) {
    nb::object leaf = check(PyImport_ImportModule(module));
    if (as) {
        set(as, leaf);
        return;
    }
    std::string dotted(module);
    auto dot = dotted.find('.');
    if (dot == std::string::npos) {
        set(module, leaf);
    } else {
        std::string top = dotted.substr(0, dot);
        set(top.c_str(), check(PyImport_ImportModule(top.c_str())));
    }
}

void Module::import_from(const char *module, std::initializer_list<Name> names) {
    nb::object mod = check(PyImport_ImportModule(module));
    for (const Name &n : names) {
        PyObject *v = PyObject_GetAttrString(mod.ptr(), n.name);
        if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            std::string sub = std::string(module) + "." + n.name;
            v = PyImport_ImportModule(sub.c_str());
            if (!v && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n.name, module);
            }
        }
        set(n.as ? n.as : n.name, check(v));
    }
}

nb::object Module::logger() {
    nb::object structlog = check(PyImport_ImportModule("structlog"));
    nb::object logger = structlog.attr("get_logger")(nb::str(dotted_));
    set("logger", logger);
    return logger;
}

std::vector<nb::object> Module::resolve(std::initializer_list<const char *> names) const {
    // A base is a name of the namespace or a dotted path from one ("json.JSONEncoder").
    std::vector<nb::object> out;
    for (const char *n : names) {
        std::string path(n);
        auto dot = path.find('.');
        nb::object o = get(path.substr(0, dot).c_str());
        while (dot != std::string::npos) {
            auto next = path.find('.', dot + 1);
            std::string part = path.substr(dot + 1, next == std::string::npos ? next : next - dot - 1);
            o = nb::getattr(o, part.c_str());
            dot = next;
        }
        out.push_back(o);
    }
    return out;
}

ClassBuilder Module::record(const char *name, std::initializer_list<const char *> bases) {
    return ClassBuilder(*this, ClassBuilder::Kind::Record, name, resolve(bases));
}

ClassBuilder Module::cls(const char *name, std::initializer_list<const char *> bases) {
    return ClassBuilder(*this, ClassBuilder::Kind::Plain, name, resolve(bases));
}

ClassBuilder Module::view(const char *name, const char *model, std::initializer_list<const char *> bases) {
    ClassBuilder b(*this, ClassBuilder::Kind::View, name, resolve(bases));
    b.keyword("model", get(model));
    return b;
}

ClassBuilder Module::strawberry_type(const char *name) {
    return ClassBuilder(*this, ClassBuilder::Kind::StrawberryType, name, {});
}

nb::object Module::function(const Function &f) {
    nb::object obj = f.create(dotted_, f.spec().name);
    set(f.spec().name.c_str(), obj);
    return obj;
}

}  // namespace kelvane
