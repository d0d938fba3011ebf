// The function object type and the awaitable that coroutine functions return.
#include "frame/frame.hpp"
#include "frame/guard.hpp"

#include <cstring>
#include <memory>

namespace kelvane {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *signature;     // built on first use
    PyObject *annotations;   // built on first use
    PyObject *globals;       // the namespace of the declaring module (its dict)
    FunctionSpec *spec;
};

struct AwaitableObject {
    PyObject_HEAD
    PyObject *result;        // the value, or the exception to raise
    bool failed;
    bool done;
};

// A static type object: every slot empty, filled by `ready`.
PyTypeObject empty_type() {
    PyTypeObject t{};
    PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};   // the macro ends in a comma
    t.ob_base = head[0];
    return t;
}

PyTypeObject FunctionType = empty_type();
PyTypeObject AwaitableType = empty_type();

// Runs the body of an entry point the interpreter calls; a C++ exception
// becomes a Python one (see set_error_from_exception) and the call fails.
template <class F>
PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

// ------------------------------------------------------------ awaitable

PyObject *awaitable_new(PyObject *value, bool failed) {
    auto *a = PyObject_GC_New(AwaitableObject, &AwaitableType);
    if (!a) {
        Py_DECREF(value);
        return nullptr;
    }
    a->result = value;   // steals
    a->failed = failed;
    a->done = false;
    PyObject_GC_Track(a);
    return reinterpret_cast<PyObject *>(a);
}

int awaitable_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<AwaitableObject *>(self)->result);
    return 0;
}

int awaitable_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<AwaitableObject *>(self)->result);
    return 0;
}

void awaitable_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    awaitable_clear(self);
    PyObject_GC_Del(self);
}

PyObject *awaitable_await(PyObject *self) noexcept { return Py_NewRef(self); }

// Finishes the awaitable: raises StopIteration carrying the result (as an
// instance, so that a tuple result is not unpacked), or the stored exception.
PyObject *awaitable_step(PyObject *self) {
    auto *a = reinterpret_cast<AwaitableObject *>(self);
    if (a->done || !a->result) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    a->done = true;
    PyObject *r = a->result;
    a->result = nullptr;
    if (a->failed) {
        PyErr_SetRaisedException(r);
        return nullptr;
    }
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, r);
    Py_DECREF(r);
    if (!stop) return nullptr;
    PyErr_SetObject(PyExc_StopIteration, stop);
    Py_DECREF(stop);
    return nullptr;
}

PyObject *awaitable_next(PyObject *self) noexcept {
    return guarded([&] { return awaitable_step(self); });
}

PyObject *awaitable_send(PyObject *self, PyObject *) noexcept { return awaitable_next(self); }

// throw(value), or the deprecated throw(type[, value[, traceback]]), as a
// native coroutine that has not started answers it: the exception is raised
// where the coroutine would start and ends it. What can not be raised is
// refused with TypeError and leaves the awaitable as it was.
PyObject *awaitable_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    auto *a = reinterpret_cast<AwaitableObject *>(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s %d argument%s, got %zd", nargs < 1 ? "at least" : "at most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : nullptr;
    PyObject *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exc;   // new reference: the exception instance to raise
    if (PyExceptionClass_Check(typ)) {
        // typ(), typ(val), typ(*val) or val itself, as the interpreter normalises it.
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (b) PyException_SetTraceback(v, b);
        Py_DECREF(t);
        Py_XDECREF(b);
        exc = v;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
        if (tb) PyException_SetTraceback(exc, tb);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (a->done || !a->result) {
        Py_XDECREF(exc);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    a->done = true;
    Py_CLEAR(a->result);
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "throw() could not build the exception");
        return nullptr;
    }
    PyErr_SetRaisedException(exc);   // steals
    return nullptr;
}

PyObject *awaitable_close(PyObject *self, PyObject *) noexcept {
    auto *a = reinterpret_cast<AwaitableObject *>(self);
    a->done = true;
    Py_CLEAR(a->result);
    Py_RETURN_NONE;
}

PyMethodDef awaitable_methods[] = {
    {"send", awaitable_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(awaitable_throw)), METH_FASTCALL, nullptr},
    {"close", awaitable_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods awaitable_async{awaitable_await, nullptr, nullptr, nullptr};

// ------------------------------------------------------------ calling

PyObject *invoke(FunctionObject *f, PyObject *const *slots) {
    const FunctionSpec &s = *f->spec;
    PyObject *result = nullptr;
    // Calls nested through Python code and back end here when the thread's
    // stack runs low (guard.hpp).
    if (check_stack() < 0) goto failed;
    for (const Param &p : s.params) {
        if (p.test.active()) {
            PyObject *v = slots[&p - s.params.data()];
            if (!passes(p.test.type, p.test.allows_none, v)) {
                raise_argument_type(p.name.c_str(), core::exact_type_name(p.test.type), v);
                goto failed;
            }
        }
    }
    try {
        result = s.impl(Args{slots}).release().ptr();
    } catch (...) {
        set_error_from_exception();
    }
    if (!result) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "function failed without setting an error");
        goto failed;
    }
    if (s.result_test.active() && !passes(s.result_test.type, s.result_test.allows_none, result)) {
        raise_result_type(core::exact_type_name(s.result_test.type), result);
        Py_DECREF(result);
        goto failed;
    }
    if (s.coroutine) return awaitable_new(result, false);
    return result;
failed:
    if (s.coroutine) return awaitable_new(PyErr_GetRaisedException(), true);
    return nullptr;
}

int find_keyword(const FunctionSpec &s, PyObject *key) {
    const int n = static_cast<int>(s.params.size());
    for (int i = 0; i < n; ++i)
        if (s.params[i].interned == key) return i;
    for (int i = 0; i < n; ++i) {
        const Param &p = s.params[i];
        if (p.kind != ParamKind::PositionalOrKeyword && p.kind != ParamKind::KeywordOnly) continue;
        if (PyUnicode_Compare(p.interned, key) == 0) return i;
    }
    return -1;
}

PyObject *bind_and_invoke(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<FunctionObject *>(callable);
    const FunctionSpec &s = *f->spec;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = static_cast<Py_ssize_t>(s.params.size());

    // The common case: every parameter given by position.
    if (!kwnames && nargs == n && s.n_positional == n) return invoke(f, args);

    PyObject *small[16];
    std::unique_ptr<PyObject *[]> large;
    PyObject **slots = small;
    if (n > 16) {
        large.reset(new PyObject *[n]);
        slots = large.get();
    }
    std::fill(slots, slots + n, nullptr);
    PyObject *owned_args = nullptr, *owned_kwargs = nullptr;
    PyObject *result = nullptr;
    const Py_ssize_t npos = s.n_positional;

    for (Py_ssize_t i = 0; i < nargs && i < npos; ++i) slots[i] = args[i];
    if (nargs > npos) {
        if (s.var_positional < 0) {
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", f->name, npos,
                         npos == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
            return nullptr;
        }
        owned_args = PyTuple_New(nargs - npos);
        if (!owned_args) return nullptr;
        for (Py_ssize_t i = npos; i < nargs; ++i) PyTuple_SET_ITEM(owned_args, i - npos, Py_NewRef(args[i]));
    } else if (s.var_positional >= 0) {
        owned_args = PyTuple_New(0);
        if (!owned_args) return nullptr;
    }
    if (owned_args) slots[s.var_positional] = owned_args;
    if (s.var_keyword >= 0) {
        owned_kwargs = PyDict_New();
        if (!owned_kwargs) goto done;
        slots[s.var_keyword] = owned_kwargs;
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, j);
            PyObject *value = args[nargs + j];
            int idx = find_keyword(s, key);
            if (idx >= 0) {
                if (slots[idx]) {
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->name, key);
                    goto done;
                }
                slots[idx] = value;
            } else if (owned_kwargs) {
                if (PyDict_SetItem(owned_kwargs, key, value) < 0) goto done;
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->name, key);
                goto done;
            }
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i]) continue;
        const Param &p = s.params[i];
        if (!p.default_value.is_valid()) {
            PyErr_Format(PyExc_TypeError, "%U() missing 1 required %sargument: '%s'", f->name,
                         p.kind == ParamKind::KeywordOnly ? "keyword-only " : "positional ", p.name.c_str());
            goto done;
        }
        slots[i] = p.default_value.ptr();
    }
    result = invoke(f, slots);
done:
    Py_XDECREF(owned_args);
    Py_XDECREF(owned_kwargs);
    return result;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    return guarded([&] { return bind_and_invoke(callable, args, nargsf, kwnames); });
}

// ------------------------------------------------------------ attributes

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    Py_VISIT(f->annotations);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    return 0;
}

void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->spec;
    PyObject_GC_Del(self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->name); }
PyObject *get_qualname(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

int set_text(PyObject **slot, PyObject *value, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(&reinterpret_cast<FunctionObject *>(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(&reinterpret_cast<FunctionObject *>(self)->qualname, value, "__qualname__");
}

// __doc__ and __module__: any object, None when deleted.
template <PyObject *FunctionObject::*slot>
PyObject *get_object(PyObject *self, void *) {
    PyObject *v = reinterpret_cast<FunctionObject *>(self)->*slot;
    return Py_NewRef(v ? v : Py_None);
}
template <PyObject *FunctionObject::*slot>
int set_object(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(reinterpret_cast<FunctionObject *>(self)->*slot, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->annotations) {
        PyObject *d = PyDict_New();
        if (!d) return nullptr;
        const FunctionSpec &s = *f->spec;
        for (const Param &p : s.params) {
            if (p.annotation.empty()) continue;
            PyObject *text = PyUnicode_FromString(p.annotation.c_str());
            if (!text || PyDict_SetItem(d, p.interned, text) < 0) {
                Py_XDECREF(text);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(text);
        }
        if (s.has_return) {
            PyObject *text = PyUnicode_FromString(s.returns.c_str());
            if (!text || PyDict_SetItemString(d, "return", text) < 0) {
                Py_XDECREF(text);
                Py_DECREF(d);
                return nullptr;
            }
            Py_DECREF(text);
        }
        f->annotations = d;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(f->annotations, Py_XNewRef(value));
    return 0;
}

// inspect.Signature with the parameters and the annotation texts.
PyObject *build_signature(FunctionObject *f) noexcept {
    try {
        nb::module_ inspect = nb::module_::import_("inspect");
        nb::object Parameter = inspect.attr("Parameter");
        nb::object Signature = inspect.attr("Signature");
        nb::object empty = Parameter.attr("empty");
        const FunctionSpec &s = *f->spec;
        nb::list params;
        for (const Param &p : s.params) {
            const char *kind = "POSITIONAL_OR_KEYWORD";
            switch (p.kind) {
                case ParamKind::VarPositional: kind = "VAR_POSITIONAL"; break;
                case ParamKind::KeywordOnly: kind = "KEYWORD_ONLY"; break;
                case ParamKind::VarKeyword: kind = "VAR_KEYWORD"; break;
                default: break;
            }
            nb::object annotation = p.annotation.empty() ? empty : nb::str(p.annotation.c_str());
            nb::object def = p.default_value.is_valid() ? p.default_value : empty;
            params.append(Parameter(nb::str(p.name.c_str()), Parameter.attr(kind), nb::arg("default") = def,
                                    nb::arg("annotation") = annotation));
        }
        nb::object ret = s.has_return ? nb::object(nb::str(s.returns.c_str())) : Signature.attr("empty");
        return Signature(params, nb::arg("return_annotation") = ret).release().ptr();
    } catch (...) {
        set_error_from_exception();
        return nullptr;
    }
}

PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->signature) {
        f->signature = build_signature(f);
        if (!f->signature) return nullptr;
    }
    return Py_NewRef(f->signature);
}

// __globals__: the declaring module's namespace, where typing.get_type_hints
// and inspect.get_annotations(eval_str=True) evaluate the annotation texts.
PyObject *get_globals(PyObject *self, void *) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    if (!f->globals) return PyDict_New();   // a function made outside any module
    return Py_NewRef(f->globals);
}

PyObject *function_reduce(PyObject *self, PyObject *) {
    // Pickled (and deep-copied) by reference, like a module-level function.
    return Py_NewRef(reinterpret_cast<FunctionObject *>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_object<&FunctionObject::doc>, set_object<&FunctionObject::doc>, nullptr, nullptr},
    {"__module__", get_object<&FunctionObject::module>, set_object<&FunctionObject::module>, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool ready() {
    static bool done = false;
    if (done) return true;
    PyTypeObject &t = FunctionType;
    t.tp_name = "kelvane_analytics_utils.function";
    t.tp_doc = "A function implemented in C++.";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_descr_get = function_descr_get;
    t.tp_repr = function_repr;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    if (PyType_Ready(&t) < 0) return false;

    PyTypeObject &a = AwaitableType;
    a.tp_name = "kelvane_analytics_utils.awaitable";
    a.tp_basicsize = sizeof(AwaitableObject);
    a.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    a.tp_dealloc = awaitable_dealloc;
    a.tp_traverse = awaitable_traverse;
    a.tp_clear = awaitable_clear;
    a.tp_as_async = &awaitable_async;
    a.tp_iter = PyObject_SelfIter;
    a.tp_iternext = awaitable_next;
    a.tp_methods = awaitable_methods;
    if (PyType_Ready(&a) < 0) return false;
    done = true;
    return true;
}

}  // namespace

PyTypeObject *function_type() {
    if (!ready()) throw_error();
    return &FunctionType;
}

bool is_function(PyObject *o) { return Py_TYPE(o) == &FunctionType; }

// ------------------------------------------------------------ builder

Function::Function(const char *name, Impl impl) {
    spec_.name = name;
    spec_.impl = impl;
}

Function &Function::arg(const char *name, const char *annotation) { return arg(name, annotation, nb::handle()); }

Function &Function::arg(const char *name, const char *annotation, nb::handle default_value) {
    Param p;
    p.name = name;
    if (annotation) {
        p.annotation = annotation;
        p.test = core::argument_test(annotation);
    }
    if (default_value.is_valid()) p.default_value = nb::borrow(default_value);
    p.kind = ParamKind::PositionalOrKeyword;
    spec_.params.push_back(std::move(p));
    ++spec_.n_positional;
    return *this;
}

Function &Function::kwonly(const char *name, const char *annotation, nb::handle default_value) {
    Param p;
    p.name = name;
    if (annotation) {
        p.annotation = annotation;
        p.test = core::argument_test(annotation);
    }
    if (default_value.is_valid()) p.default_value = nb::borrow(default_value);
    p.kind = ParamKind::KeywordOnly;
    spec_.params.push_back(std::move(p));
    return *this;
}

Function &Function::varargs(const char *name, const char *annotation) {
    Param p;
    p.name = name;
    if (annotation) p.annotation = annotation;
    p.kind = ParamKind::VarPositional;
    spec_.var_positional = static_cast<int>(spec_.params.size());
    spec_.params.push_back(std::move(p));
    return *this;
}

Function &Function::kwargs(const char *name, const char *annotation) {
    Param p;
    p.name = name;
    if (annotation) p.annotation = annotation;
    p.kind = ParamKind::VarKeyword;
    spec_.var_keyword = static_cast<int>(spec_.params.size());
    spec_.params.push_back(std::move(p));
    return *this;
}

Function &Function::untested() {
    if (!spec_.params.empty()) spec_.params.back().test = {};
    return *this;
}

Function &Function::returns(const char *annotation) {
    spec_.returns = annotation;
    spec_.has_return = true;
    spec_.result_test = core::result_test(annotation);
    return *this;
}

Function &Function::result_may_be_none() {
    spec_.result_test.allows_none = true;
    return *this;
}

Function &Function::doc(const char *text) {
    spec_.doc = text;
    spec_.has_doc = true;
    return *this;
}

Function &Function::coroutine() {
    spec_.coroutine = true;
    return *this;
}

nb::object Function::create(const std::string &module, const std::string &qualname) const {
    PyTypeObject *type = function_type();
    auto *f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw_error();
    f->vectorcall = function_vectorcall;
    f->dict = f->weakrefs = f->signature = f->annotations = f->globals = nullptr;
    f->name = f->qualname = f->module = f->doc = nullptr;
    f->spec = new FunctionSpec(spec_);
    f->spec->module = module;
    f->spec->qualname = qualname;
    nb::object self = nb::steal(reinterpret_cast<PyObject *>(f));
    for (Param &p : f->spec->params) p.interned = intern(p.name.c_str());
    f->name = Py_NewRef(intern(spec_.name.c_str()));
    f->qualname = check(PyUnicode_FromString(qualname.c_str())).release().ptr();
    f->module = check(PyUnicode_FromString(module.c_str())).release().ptr();
    f->doc = spec_.has_doc ? check(PyUnicode_FromString(spec_.doc.c_str())).release().ptr() : Py_NewRef(Py_None);
    // The module is in sys.modules while it is declared.
    nb::object declaring = nb::steal(PyImport_GetModule(reinterpret_cast<FunctionObject *>(self.ptr())->module));
    if (declaring.is_valid() && PyModule_Check(declaring.ptr())) {
        f->globals = Py_NewRef(PyModule_GetDict(declaring.ptr()));
    } else if (PyErr_Occurred()) {
        throw_error();
    }
    PyObject_GC_Track(f);
    if (spec_.coroutine) {
        // inspect.iscoroutinefunction() honours this marker (and so strawberry).
        nb::module_::import_("inspect").attr("markcoroutinefunction")(self);
    }
    return self;
}

}  // namespace kelvane
