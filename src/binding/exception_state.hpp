// The interpreter's pending exception as a (type, value, traceback) triple,
// the form the module's error values keep.
//
// Before 3.12 these are PyErr_Fetch, PyErr_Restore and
// PyErr_NormalizeException. From 3.12 on those are deprecated and the
// pending exception is always one instance; the same behaviour is built
// from PyErr_GetRaisedException and PyErr_SetRaisedException.
#pragma once

#include "python.hpp"

namespace quorlin {

// Takes the pending exception into three new references (all null when
// none is pending).
inline void fetch_exception(PyObject **type, PyObject **value,
                            PyObject **traceback)
{
#if PY_VERSION_HEX < 0x030C0000
    PyErr_Fetch(type, value, traceback);
#else
    PyObject *raised = PyErr_GetRaisedException();
    *value = raised;
    *type = raised ? Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(raised)))
                   : nullptr;
    *traceback = raised ? PyException_GetTraceback(raised) : nullptr;
#endif
}

#if PY_VERSION_HEX >= 0x030C0000
namespace detail {

// What the interpreter does to a deferred exception: call the class with
// the value (none, one argument, or a tuple of arguments). New reference,
// or null with the interpreter's error pending.
inline PyObject *instantiate(PyObject *type, PyObject *value)
{
    PyObject *instance =
        value == nullptr || value == Py_None ? PyObject_CallNoArgs(type)
        : PyTuple_Check(value) ? PyObject_Call(type, value, nullptr)
                               : PyObject_CallOneArg(type, value);
    if (instance != nullptr && !PyExceptionInstance_Check(instance)) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of "
                     "BaseException, not %s",
                     type, Py_TYPE(instance)->tp_name);
        Py_CLEAR(instance);
    }
    return instance;
}

}  // namespace detail
#endif

// Makes the three references (stolen) the pending exception. From 3.12 the
// instance is made now, as the interpreter's own restore does; if that
// fails, the failure (a MemoryError) is what is pending.
inline void restore_exception(PyObject *type, PyObject *value,
                              PyObject *traceback)
{
#if PY_VERSION_HEX < 0x030C0000
    PyErr_Restore(type, value, traceback);
#else
    PyObject *instance = value;
    if (value == nullptr ||
        !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject *>(type))) {
        instance = detail::instantiate(type, value);
        Py_XDECREF(value);
    }
    if (instance != nullptr) {
        PyException_SetTraceback(instance, traceback ? traceback : Py_None);
        PyErr_SetRaisedException(instance);
    }
    Py_XDECREF(traceback);
    Py_DECREF(type);
#endif
}

// Turns the triple into (class, instance, traceback). If the instance
// cannot be made, the triple becomes the error that prevented it.
inline void normalize_exception(PyObject **type, PyObject **value,
                                PyObject **traceback)
{
#if PY_VERSION_HEX < 0x030C0000
    PyErr_NormalizeException(type, value, traceback);
#else
    if (*type == nullptr)
        return;
    // Raised and taken back, leaving whatever was pending as it was.
    PyObject *pending = PyErr_GetRaisedException();
    restore_exception(*type, *value, *traceback);
    fetch_exception(type, value, traceback);
    PyErr_SetRaisedException(pending);
#endif
}

}  // namespace quorlin
