/* The interpreter's floor: no-op functions with the same calling convention
 * (METH_FASTCALL | METH_KEYWORDS) and the same number of arguments as
 * quorlin's. They look at nothing and return None, so timing them measures
 * what any extension call costs before it does any work. Built only for the
 * benchmarks. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *noop(PyObject *module, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames)
{
    (void)module;
    (void)args;
    (void)nargs;
    (void)kwnames;
    Py_RETURN_NONE;
}

#define NOOP(name)                                                            \
    {                                                                         \
        name, (PyCFunction)(void (*)(void))noop,                              \
            METH_FASTCALL | METH_KEYWORDS, NULL                               \
    }

static PyMethodDef floor_methods[] = {
    NOOP("great_circle_distance"), NOOP("great_circle_distance_with_radius"),
    NOOP("wm_upper_left"),         NOOP("wm_bounds"),
    NOOP("wm_tile_expanded_bbox"), {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "quorlin_floor",
    NULL,
    -1,
    floor_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC PyInit_quorlin_floor(void)
{
    return PyModule_Create(&floor_module);
}
