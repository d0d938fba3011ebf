// Python classes whose instances own a C++ object.
//
//     struct Counter { long total = 0; };
//
//     nb::object counter_new(Args a) {              // __new__(cls, start)
//         return make_native<Counter>(a[0], Counter{nb::cast<long>(a[1])});
//     }
//     nb::object counter_total(Args a) { return nb::int_(native<Counter>(a[0]).total); }
//
//     NativeClass<Counter>(m, "Counter")
//         .doc("Counts.")
//         .constructor(Function("__new__", counter_new).cls().arg("start", "int"))
//         .method(Function("add", counter_add).self().arg("n", "int").returns("None"))
//         .property(Function("total", counter_total).self().returns("int"))
//         .equality(Function("__eq__", counter_eq).self().arg("other", "object").returns("bool"))
//         .method(Function("__reduce__", counter_reduce).self().returns("tuple"))
//         .create();                                // binds `Counter` in the module
//
// Contracts:
//   - One Python class per C++ type `T` in the process (modules are declared
//     once); `create()` refuses a second one.
//   - The class is final (no subclasses) and immutable once created (its
//     attributes cannot be set), so the methods seen are the ones declared.
//   - Every instance owns exactly one `T`, built by `make_native` from the
//     constructor (or a method returning a new instance) and destroyed with
//     the instance. `T`'s destructor must not throw; it may release Python
//     objects (and so run Python code).
//   - Methods, the constructor and read-only properties are frame
//     `Function`s: they get signatures, argument tests and the noexcept
//     boundary from the frame. `native<T>(self)` is the checked way to reach
//     the object: TypeError for any other object, so `Counter.add(3, 1)` is
//     refused and never reads a wrong layout.
//   - A `T` that holds Python objects which may refer back to the instance
//     defines `int traverse(visitproc, void *)` and `void clear()`; the class
//     then takes part in garbage collection. Otherwise it does not.
//   - The reference `native<T>(self)` returns stays valid while `self` is
//     alive. A method that runs Python code (a value's __float__, a
//     comparison) may re-enter the same object through that code: build the
//     change aside and apply it when no more Python code runs.
//   - `equality` adds `__eq__` and makes instances unhashable unless a
//     `__hash__` method is declared too; `__reduce__` (for pickle and copy)
//     is an ordinary method returning (callable, args).
#pragma once

#include "frame/frame.hpp"

#include <concepts>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace kelvane {

namespace detail {

// The layout of every instance: the object header and the owned C++ object
// (nullptr only while an instance is being built or torn down).
struct NativeInstance {
    PyObject_HEAD
    void *object;
};

// The class object of `T`, set once by NativeClass<T>::create (borrowed from
// the module namespace, which keeps it for the life of the process).
template <class T>
inline PyTypeObject *native_type = nullptr;

template <class T>
concept NativeTraversable = requires(T &t, visitproc visit, void *arg) {
    { t.traverse(visit, arg) } -> std::same_as<int>;
    t.clear();
};

template <class T>
void native_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    if constexpr (NativeTraversable<T>) PyObject_GC_UnTrack(self);
    auto *instance = reinterpret_cast<NativeInstance *>(self);
    delete static_cast<T *>(instance->object);
    instance->object = nullptr;
    type->tp_free(self);
    Py_DECREF(type);   // instances of a heap type own a reference to it
}

template <class T>
int native_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    auto *object = static_cast<T *>(reinterpret_cast<NativeInstance *>(self)->object);
    return object ? object->traverse(visit, arg) : 0;
}

template <class T>
int native_clear(PyObject *self) noexcept {
    auto *object = static_cast<T *>(reinterpret_cast<NativeInstance *>(self)->object);
    if (object) object->clear();
    return 0;
}

// The hooks a class's layout needs, independent of `T`.
struct NativeHooks {
    destructor dealloc = nullptr;
    traverseproc traverse = nullptr;   // nullptr: not garbage collected
    inquiry clear = nullptr;
};

// "<what> must be a <class> instance, got <type>", or, for an instance made
// without its constructor (object.__new__), "<class> object is not initialised".
void raise_not_native(PyTypeObject *expected, PyObject *actual, const char *what);

}  // namespace detail

// Builder of one class; the non-template part of NativeClass.
class NativeClassBuilder {
public:
    NativeClassBuilder(Module &m, const char *name, detail::NativeHooks hooks);

    NativeClassBuilder &doc(const char *text);
    // __new__: a Function whose first parameter is `cls` and whose
    // implementation returns make_native<T>(cls, ...). A class without one
    // cannot be instantiated from Python (its instances come from methods).
    NativeClassBuilder &constructor(const Function &f);
    NativeClassBuilder &method(const Function &f);
    NativeClassBuilder &staticmethod(const Function &f);
    // A read-only property whose getter is `f` (one parameter, `self`).
    NativeClassBuilder &property(const Function &f);
    // __eq__ (`f`, parameters self and other); instances become unhashable
    // unless a `__hash__` method is declared.
    NativeClassBuilder &equality(const Function &f);
    // A class attribute.
    NativeClassBuilder &attr(const char *name, nb::handle value);

    // Creates the class, binds its name in the module and returns it.
    PyTypeObject *create_type();

private:
    nb::object function(const Function &f) const;
    Module &m_;
    std::string name_, qualified_;
    detail::NativeHooks hooks_;
    std::vector<std::pair<std::string, nb::object>> entries_;
    bool has_hash_ = false, has_eq_ = false, has_new_ = false;
};

template <class T>
class NativeClass {
public:
    NativeClass(Module &m, const char *name) : builder_(m, name, hooks()) {}

    NativeClass &doc(const char *text) { return builder_.doc(text), *this; }
    NativeClass &constructor(const Function &f) { return builder_.constructor(f), *this; }
    NativeClass &method(const Function &f) { return builder_.method(f), *this; }
    NativeClass &staticmethod(const Function &f) { return builder_.staticmethod(f), *this; }
    NativeClass &property(const Function &f) { return builder_.property(f), *this; }
    NativeClass &equality(const Function &f) { return builder_.equality(f), *this; }
    NativeClass &attr(const char *name, nb::handle value) { return builder_.attr(name, value), *this; }

    nb::object create() {
        if (detail::native_type<T>) {
            PyErr_SetString(PyExc_RuntimeError, "a native class of this C++ type already exists");
            throw_error();
        }
        PyTypeObject *type = builder_.create_type();
        detail::native_type<T> = type;
        return nb::borrow(reinterpret_cast<PyObject *>(type));
    }

private:
    static detail::NativeHooks hooks() {
        detail::NativeHooks h;
        h.dealloc = detail::native_dealloc<T>;
        if constexpr (detail::NativeTraversable<T>) {
            h.traverse = detail::native_traverse<T>;
            h.clear = detail::native_clear<T>;
        }
        return h;
    }
    NativeClassBuilder builder_;
};

// The class of T (created by NativeClass<T>::create).
template <class T>
nb::handle native_class() {
    return reinterpret_cast<PyObject *>(detail::native_type<T>);
}

// The T owned by `self`, or nullptr when `self` is not an instance of T's
// class. Runs no Python code.
template <class T>
T *native_or_null(nb::handle self) noexcept {
    PyTypeObject *type = detail::native_type<T>;
    if (!type || !self.is_valid() || Py_TYPE(self.ptr()) != type) return nullptr;
    return static_cast<T *>(reinterpret_cast<detail::NativeInstance *>(self.ptr())->object);
}

// The T owned by `self`; TypeError (the frame's marker thrown) for any other
// object. `what` names the argument in the message.
template <class T>
T &native(nb::handle self, const char *what = "self") {
    T *object = native_or_null<T>(self);
    if (!object) {
        detail::raise_not_native(detail::native_type<T>, self.ptr(), what);
        throw_error();
    }
    return *object;
}

// A new instance of T's class owning `value`. `cls` is the class a
// constructor was called on: TypeError unless it is T's class (the class is
// final, so `Counter.__new__(int)` is refused).
template <class T>
nb::object make_native(nb::handle cls, T value) {
    PyTypeObject *type = detail::native_type<T>;
    if (!type || cls.ptr() != reinterpret_cast<PyObject *>(type)) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(X): X must be %s",
                     type ? type->tp_name : "native class", type ? type->tp_name : "the class");
        throw_error();
    }
    nb::object self = check(type->tp_alloc(type, 0));   // holds a reference to the type
    // Built before it is attached: if T's move constructor throws, the
    // instance is released with no object.
    reinterpret_cast<detail::NativeInstance *>(self.ptr())->object = new T(std::move(value));
    return self;
}
template <class T>
nb::object make_native(T value) {
    return make_native<T>(native_class<T>(), std::move(value));
}

}  // namespace kelvane
