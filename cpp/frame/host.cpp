// The out-of-line parts of the host-semantics helpers (host.hpp) and of the
// module state (state.hpp).
#include "frame/host.hpp"
#include "frame/state.hpp"

namespace kelvane {

nb::object class_function(nb::handle cls, PyObject *name) {
    // Borrowed from the class dict; nothing runs before it is taken.
    PyObject *f = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), name);
    if (!f) {
        PyErr_Format(PyExc_AttributeError, "type object '%s' has no attribute '%U'",
                     reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_name, name);
        throw_error();
    }
    return nb::borrow(f);
}

void log_event(nb::handle ns, PyObject *level, nb::handle message) {
    static PyObject *const logger_name = intern("logger");
    PyObject *found;
    if (PyDict_GetItemRef(ns.ptr(), logger_name, &found) < 0) throw_error();
    nb::object logger = nb::steal(found);
    if (!logger.is_valid()) {
        PyErr_SetString(PyExc_NameError, "name 'logger' is not defined");
        throw_error();
    }
    call_method(level, logger, message);
}

void ModuleState::log(PyObject *level, nb::handle message) const { log_event(ns, level, message); }

void chain_pending(nb::handle context) {
    nb::object now = nb::steal(PyErr_GetRaisedException());
    if (!now.is_valid()) return;
    if (now.ptr() != context.ptr()) PyException_SetContext(now.ptr(), Py_NewRef(context.ptr()));
    PyErr_SetRaisedException(now.release().ptr());
}

void reraise_with_prefix(nb::handle prefix) {
    nb::object ex = nb::steal(PyErr_GetRaisedException());
    if (!ex.is_valid()) {
        PyErr_SetString(PyExc_SystemError, "re-raise without a pending exception");
        throw_error();
    }
    if (!PyErr_GivenExceptionMatches(ex.ptr(), PyExc_Exception)) {
        PyErr_SetRaisedException(ex.release().ptr());
        throw_error();
    }
    // Anything below may fail (str() of the exception runs its code): the
    // failure is raised with the original as its context.
    nb::object text = nb::steal(PyObject_Str(ex.ptr()));
    nb::object message = text.is_valid() ? nb::steal(PyUnicode_Concat(prefix.ptr(), text.ptr())) : nb::object();
    nb::object wrapped = message.is_valid()
                             ? nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(Py_TYPE(ex.ptr())),
                                                             message.ptr()))
                             : nb::object();
    if (wrapped.is_valid() && !PyExceptionInstance_Check(wrapped.ptr())) {
        wrapped.reset();
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    if (!wrapped.is_valid()) {
        chain_pending(ex);
        throw_error();
    }
    PyException_SetCause(wrapped.ptr(), Py_NewRef(ex.ptr()));
    PyException_SetContext(wrapped.ptr(), ex.release().ptr());
    PyErr_SetRaisedException(wrapped.release().ptr());
    throw_error();
}

}  // namespace kelvane
