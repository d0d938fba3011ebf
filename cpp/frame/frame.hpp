// The module frame shared by every extension module of the package.
//
// A module's source declares, in the order its Python counterpart would, its
// imports, enums, records, view types and functions:
//
//     static void declare(kelvane::Module &m) {
//         m.import_from("typing", {"Optional"});
//         m.import("strawberry");
//         m.import_from("kelvane_analytics_utils.utils.base_model", {"BaseModel"});
//         m.record("AttributeTransformation", {"BaseModel"})
//             .field("attribute", "str")
//             .field("transformed_attribute_name", "Optional[str]", kelvane::none())
//             .create();
//     }
//     KELVANE_MODULE(reshaping, "kelvane_analytics_utils.predictive_models.preparation.reshaping", declare)
//
// Everything Python code calls is a `Function`: a callable type that binds as a
// method, carries a real signature with the annotation texts, tests its
// arguments and result against plain built-in annotations and can present
// itself as a coroutine function.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "core/annotations.hpp"

namespace kelvane {

namespace nb = nanobind;

// Thrown by C++ code when a Python exception is already set.
struct error_already_set {};
[[noreturn]] inline void throw_error() { throw error_already_set{}; }

// Steals a new reference, throwing when it is null (a Python error is set).
inline nb::object check(PyObject *o) {
    if (!o) throw_error();
    return nb::steal(o);
}
inline nb::object none() { return nb::none(); }

// Sets the Python exception for the C++ exception being handled; call it only
// inside a `catch` block. The frame's marker and nanobind's python_error
// leave (or restore) the pending Python error; std::bad_alloc becomes
// MemoryError and any other exception SystemError (an error already pending
// becomes its context). Every boundary where Python calls into C++ (function
// calls, awaitable steps, module exec) is `noexcept` and ends in
// `catch (...) { set_error_from_exception(); }`, so no C++ exception reaches
// the interpreter.
void set_error_from_exception() noexcept;

// Interned strings for attribute names used on hot paths.
PyObject *intern(const char *text);

// record.<name>, new reference (nullptr with an error set): attribute access,
// as the plain algorithm reads it, so that a property, a __getattribute__ or
// a subclass's own reading is honoured. Hot paths read fields through
// RecordFields (fields.hpp), which proves when the dict may be read instead.
inline PyObject *field_of(PyObject *record, PyObject *interned_name) { return PyObject_GetAttr(record, interned_name); }

// ---------------------------------------------------------------- checks

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
void raise_argument_type(const char *name, const char *expected, PyObject *actual);
// "Expected %s, got %.200s"
void raise_result_type(const char *expected, PyObject *actual);
bool passes(core::ExactType type, bool allows_none, PyObject *value);

// ---------------------------------------------------------------- functions

enum class ParamKind : unsigned char { PositionalOrKeyword, VarPositional, KeywordOnly, VarKeyword };

struct Param {
    std::string name;
    std::string annotation;          // empty: not annotated
    nb::object default_value;        // invalid handle: no default
    ParamKind kind = ParamKind::PositionalOrKeyword;
    core::TypeTest test;
    PyObject *interned = nullptr;
};

// The bound arguments of one call: one slot per parameter, in order. A
// *args slot holds a tuple and a **kwargs slot a dict owned by the call.
struct Args {
    PyObject *const *slot;
    nb::handle operator[](std::size_t i) const { return slot[i]; }
    PyObject *get(std::size_t i) const { return slot[i]; }
};

using Impl = nb::object (*)(Args);

struct FunctionSpec {
    std::string name, qualname, module, doc;
    std::vector<Param> params;
    std::string returns;             // empty: not annotated
    core::TypeTest result_test;
    Impl impl = nullptr;
    bool coroutine = false;
    bool has_doc = false;
    bool has_return = false;
    int n_positional = 0;            // positional-or-keyword parameters
    int var_positional = -1, var_keyword = -1;
};

// Builder of one function; see Function::create.
class Function {
public:
    Function(const char *name, Impl impl);
    // A positional-or-keyword parameter; the annotation text decides its test.
    Function &arg(const char *name, const char *annotation = nullptr);
    Function &arg(const char *name, const char *annotation, nb::handle default_value);
    Function &self() { return arg("self"); }
    Function &cls() { return arg("cls"); }
    Function &kwonly(const char *name, const char *annotation, nb::handle default_value = {});
    Function &varargs(const char *name, const char *annotation = nullptr);
    Function &kwargs(const char *name, const char *annotation = nullptr);
    // Drops the exact-type test that the annotation of the last parameter implies.
    Function &untested();
    Function &returns(const char *annotation);
    // Lets `None` through the result test although the annotation is plain.
    Function &result_may_be_none();
    Function &doc(const char *text);
    Function &coroutine();

    const FunctionSpec &spec() const { return spec_; }
    // Creates the function object with the given __module__ and __qualname__.
    nb::object create(const std::string &module, const std::string &qualname) const;

private:
    FunctionSpec spec_;
};

// The Python type of the function objects (one per process).
PyTypeObject *function_type();
bool is_function(PyObject *o);

// ---------------------------------------------------------------- declarations

class Module;

// Default of a record field (none given: the field is required).
struct FieldDefault {
    nb::object value;
    bool present = false;
};

class ClassBuilder {
public:
    enum class Kind { Plain, Record, View, StrawberryType };
    ClassBuilder(Module &m, Kind kind, const char *name, std::vector<nb::object> bases);

    ClassBuilder &doc(const char *text);
    // A record field (or a view field, annotated "strawberry.auto" or a view name).
    ClassBuilder &field(const char *name, const char *annotation);
    ClassBuilder &field(const char *name, const char *annotation, nb::handle default_value);
    // A class attribute (no annotation).
    ClassBuilder &attr(const char *name, nb::handle value);
    ClassBuilder &method(const Function &f);
    ClassBuilder &classmethod(const Function &f);
    ClassBuilder &staticmethod(const Function &f);
    ClassBuilder &abstractmethod(const Function &f);
    // pydantic's model_validator(mode="after") over a method, or
    // model_validator(mode="before") over classmethod(f).
    ClassBuilder &validator_after(const Function &f);
    ClassBuilder &validator_before(const Function &f);
    // strawberry.field over the function (a computed field of a view type).
    ClassBuilder &strawberry_field(const Function &f);
    // A keyword handed to the metaclass.
    ClassBuilder &keyword(const char *name, nb::handle value);

    // Creates the class, applies the view decorators, binds the name in the
    // module and returns the class.
    nb::object create();

private:
    nb::object function(const Function &f);
    Module &m_;
    Kind kind_;
    std::string name_;
    nb::tuple bases_;
    nb::object meta_;
    nb::object ns_;
    nb::dict annotations_;
    nb::dict kwargs_;
    nb::object model_;   // views: the record
};

class EnumBuilder {
public:
    EnumBuilder(Module &m, const char *name);
    EnumBuilder &member(const char *name);                      // value = name
    EnumBuilder &member(const char *name, const char *value);
    EnumBuilder &doc(const char *text);
    EnumBuilder &strawberry();                                  // strawberry.enum
    nb::object create();

private:
    Module &m_;
    std::string name_;
    std::vector<std::pair<std::string, std::string>> members_;
    std::string doc_;
    bool has_doc_ = false, strawberry_ = false;
};

class Module {
public:
    Module(PyObject *module, const char *dotted, const char *short_name);

    const char *dotted() const { return dotted_; }
    const char *short_name() const { return short_; }
    nb::handle object() const { return module_; }

    // A name of the module namespace; NameError when missing.
    nb::object get(const char *name) const;
    void set(const char *name, nb::handle value);

    // import <module>   (binds the top-level package name, or `as`)
    void import(const char *module, const char *as = nullptr);
    // from <module> import <name> [as <alias>], ...
    struct Name {
        const char *name;
        const char *as = nullptr;
        Name(const char *n) : name(n) {}
        Name(const char *n, const char *a) : name(n), as(a) {}
    };
    void import_from(const char *module, std::initializer_list<Name> names);

    // logger = structlog.get_logger(__name__)
    nb::object logger();

    EnumBuilder enumeration(const char *name) { return EnumBuilder(*this, name); }
    // Bases are names of the namespace or dotted paths from one ("json.JSONEncoder").
    ClassBuilder record(const char *name, std::initializer_list<const char *> bases);
    ClassBuilder cls(const char *name, std::initializer_list<const char *> bases);
    // strawberry.experimental.pydantic.type(model=<record>) over a new class.
    ClassBuilder view(const char *name, const char *model, std::initializer_list<const char *> bases = {});
    // strawberry.type over a new class.
    ClassBuilder strawberry_type(const char *name);
    nb::object function(const Function &f);

private:
    std::vector<nb::object> resolve(std::initializer_list<const char *> names) const;
    nb::handle module_;
    nb::handle dict_;
    const char *dotted_;
    const char *short_;
};

// ---------------------------------------------------------------- module init

struct ModuleDef {
    const char *short_name;
    const char *dotted;
    void (*declare)(Module &);
    PyObject *initialised = nullptr;   // the module object once set up
    PyModuleDef def{};
    PyModuleDef_Slot slots[4]{};
};

PyObject *module_init(ModuleDef &def, int (*exec)(PyObject *));
// The exec slot of every module: declares it once; never throws.
int module_exec(ModuleDef &def, PyObject *module) noexcept;

}  // namespace kelvane

#define KELVANE_MODULE(short_name, dotted_path, declare_fn)                          \
    static ::kelvane::ModuleDef kelvane_module_def{#short_name, dotted_path, declare_fn}; \
    static int kelvane_module_exec(PyObject *m) noexcept {                            \
        return ::kelvane::module_exec(kelvane_module_def, m);                         \
    }                                                                                 \
    PyMODINIT_FUNC PyInit_##short_name(void) { /* PyMODINIT_FUNC is extern "C" */    \
        return ::kelvane::module_init(kelvane_module_def, kelvane_module_exec);       \
    }
