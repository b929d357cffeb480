// Conversion of arguments and results around the arithmetic, and the five
// function bodies.
#pragma once

#include <cstdint>
#include <string_view>

#include "../geodesy/geodesy.hpp"
#include "arguments.hpp"
#include "error_value.hpp"
#include "python.hpp"

namespace quorlin {

// float(object) narrowed to single precision (round to nearest even;
// overflow gives infinities, NaN stays NaN). Never fails once the
// interpreter has a double.
Result<float> to_float32(PyObject *object);
// operator.index(object) as an unsigned 64-bit integer.
Result<std::uint64_t> to_uint64(PyObject *object);
// As to_uint64, then OverflowError past 2^32 - 1.
Result<std::uint32_t> to_uint32(PyObject *object);

// A conversion error that is exactly TypeError gains the parameter's name:
// "argument '<name>': <message>". Anything else passes unchanged.
ErrorValue annotate_argument_error(std::string_view parameter_name,
                                   ErrorValue error);

PyObject *float32_to_python(float value);
PyObject *lonlat_to_tuple(LonLat value);
PyObject *bounds_to_tuple(TileBounds value);

extern const ArgumentTable GREAT_CIRCLE_DISTANCE_WITH_RADIUS_ARGS;
extern const ArgumentTable GREAT_CIRCLE_DISTANCE_ARGS;
extern const ArgumentTable WM_UPPER_LEFT_ARGS;
extern const ArgumentTable WM_BOUNDS_ARGS;
extern const ArgumentTable WM_TILE_EXPANDED_BBOX_ARGS;

Result<PyObject *> great_circle_distance_with_radius_body(
    PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
Result<PyObject *> great_circle_distance_body(PyObject *const *args,
                                              Py_ssize_t nargs,
                                              PyObject *kwnames);
Result<PyObject *> wm_upper_left_body(PyObject *const *args, Py_ssize_t nargs,
                                      PyObject *kwnames);
Result<PyObject *> wm_bounds_body(PyObject *const *args, Py_ssize_t nargs,
                                  PyObject *kwnames);
Result<PyObject *> wm_tile_expanded_bbox_body(PyObject *const *args,
                                              Py_ssize_t nargs,
                                              PyObject *kwnames);

}  // namespace quorlin
