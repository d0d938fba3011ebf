// A module's state: the interned names it uses, from one name table, and the
// classes, enum members and constants it captures while it is declared.
//
//     #define SURVEILLANCE_NAMES(X) X(name) X(lower_bound) X(__init__)
//
//     struct State : kelvane::ModuleState {
//         KELVANE_NAMES(SURVEILLANCE_NAMES)   // PyObject *str_name, *str_lower_bound, *str___init__
//         nb::object numerical;               // captured in declare()
//     };
//     KELVANE_STATE(State, S);                // the module's `S`, never destroyed
//                                             // (several sources: KELVANE_STATE_EXTERN in
//                                             // a header, KELVANE_STATE_DEFINE in one source)
//
//     void declare(kelvane::Module &m) {
//         S.init(m);                          // interns the table, keeps the namespace
//         ...
//         S.numerical = m.get("AttributeBinNumerical");
//         S.log(S.str_warning, message);      // logger.warning(message), see host.hpp
//     }
//
// Contracts:
//   - `str_*` names are borrowed from the frame's intern table (frame.hpp:
//     `intern`), which keeps them for the life of the process; they are exact
//     str objects and safe to compare by identity against other interned keys.
//   - Captured objects are `nb::object`s. The state lives in storage that is
//     never destroyed, so its references stay valid to the end of the process
//     and nothing is released after the interpreter has gone.
//   - A module is declared once per process (re-initialisation is refused),
//     so `init` runs once.
#pragma once

#include "frame/frame.hpp"

#include <new>

namespace kelvane {

struct ModuleState {
    nb::object ns;                  // the module namespace (its dict)
    const char *dotted = nullptr;   // the module's dotted path

    // Keeps the namespace; KELVANE_NAMES adds the interning of the table.
    void init(Module &m) {
        ns = nb::borrow(PyModule_GetDict(m.object().ptr()));
        dotted = m.dotted();
    }

    // logger.<level>(message) through the module's current `logger` (host.hpp).
    void log(PyObject *level, nb::handle message) const;
};

// Storage whose object is built at load time and never destroyed.
template <class T>
union Forever {
    T value;
    Forever() : value() {}
    ~Forever() {}
};

}  // namespace kelvane

#define KELVANE_NAME_FIELD_(n) PyObject *str_##n = nullptr;
#define KELVANE_NAME_FILL_(n) str_##n = ::kelvane::intern(#n);

// Declares `PyObject *str_<n>` for every entry X(n) of the table, and an
// `init(Module &)` that keeps the namespace and interns every name.
#define KELVANE_NAMES(TABLE)                      \
    TABLE(KELVANE_NAME_FIELD_)                    \
    void init(::kelvane::Module &m) {             \
        ::kelvane::ModuleState::init(m);          \
        TABLE(KELVANE_NAME_FILL_)                 \
    }

// Defines the module's state object `var` of type `Type`, never destroyed.
#define KELVANE_STATE(Type, var)                   \
    ::kelvane::Forever<Type> var##_storage_;       \
    Type &var = var##_storage_.value

// The same for a module built from several sources: KELVANE_STATE_EXTERN in
// the module's state header, KELVANE_STATE_DEFINE in one of its sources.
#define KELVANE_STATE_EXTERN(Type, var)                   \
    extern ::kelvane::Forever<Type> var##_storage_;       \
    inline Type &var = var##_storage_.value
#define KELVANE_STATE_DEFINE(Type, var) ::kelvane::Forever<Type> var##_storage_
