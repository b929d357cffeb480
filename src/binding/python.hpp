// The one place that includes Python.h, so that PY_SSIZE_T_CLEAN is always
// defined first, and the accessors that differ under the stable ABI.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorlin {

// The interpreter's inline accessors where the full API has them, their
// function forms under the stable ABI. Callers have checked the types.
#ifndef Py_LIMITED_API
inline double float_value(PyObject *number)
{
    return PyFloat_AS_DOUBLE(number);
}
inline Py_ssize_t tuple_size(PyObject *tuple)
{
    return PyTuple_GET_SIZE(tuple);
}
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t i)
{
    return PyTuple_GET_ITEM(tuple, i);
}
// Fills a slot of a tuple that was just made; steals `item`.
inline void fill_tuple(PyObject *tuple, Py_ssize_t i, PyObject *item)
{
    PyTuple_SET_ITEM(tuple, i, item);
}
#else
inline double float_value(PyObject *number)
{
    return PyFloat_AsDouble(number);
}
inline Py_ssize_t tuple_size(PyObject *tuple)
{
    return PyTuple_Size(tuple);
}
inline PyObject *tuple_item(PyObject *tuple, Py_ssize_t i)
{
    return PyTuple_GetItem(tuple, i);
}
inline void fill_tuple(PyObject *tuple, Py_ssize_t i, PyObject *item)
{
    PyTuple_SetItem(tuple, i, item);
}
#endif

}  // namespace quorlin
