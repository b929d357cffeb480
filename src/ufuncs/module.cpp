// quorlin_numpy: the five computations, and the coordinate test, as NumPy
// ufuncs. Each element's answer is bit for bit the scalar call's; an
// element the scalar call would refuse gives NaN and raises the invalid-
// value floating-point signal, which NumPy reports as its errstate says.
//
// The tables below must live as long as the process: NumPy keeps pointers
// to them. Rows are listed narrow to wide, because NumPy takes the first
// row that every input casts to safely. Tile functions list their float64
// row first for each index type, so their results are float64 unless
// float32 is asked for (dtype=, or float32 out= arrays).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "../binding/exception_state.hpp"
#include "../binding/float_text.hpp"
#include "loops.hpp"

namespace quorlin::ufuncs {

namespace {

static_assert(std::is_same_v<Count, npy_intp>);

constexpr char F = NPY_FLOAT, D = NPY_DOUBLE, B = NPY_BOOL;
constexpr char U32 = NPY_UINT32, I64 = NPY_INT64, U64 = NPY_UINT64;

// ---- valid_coordinates -----------------------------------------------------

PyUFuncGenericFunction valid_coordinates_funcs[] = {
    valid_coordinates_loop<float>, valid_coordinates_loop<double>};
char valid_coordinates_types[] = {F, F, B, D, D, B};

// ---- the distances ---------------------------------------------------------

PyUFuncGenericFunction distance_funcs[] = {distance_loop<float, false>,
                                           distance_loop<double, false>};
char distance_types[] = {F, F, F, F, F, D, D, D, D, D};

PyUFuncGenericFunction distance_with_radius_funcs[] = {
    distance_loop<float, true>, distance_loop<double, true>};
char distance_with_radius_types[] = {F, F, F, F, F, F, D, D, D, D, D, D};

// ---- the tiles -------------------------------------------------------------

// For each index type (uint32, int64, uint64): the float64 row, then the
// float32 one.
template <class Computation>
PyUFuncGenericFunction tile_funcs[] = {
    tile_loop<std::uint32_t, double, Computation>,
    tile_loop<std::uint32_t, float, Computation>,
    tile_loop<std::int64_t, double, Computation>,
    tile_loop<std::int64_t, float, Computation>,
    tile_loop<std::uint64_t, double, Computation>,
    tile_loop<std::uint64_t, float, Computation>,
};

char upper_left_types[] = {
    U32, U32, U32, D, D,  //
    U32, U32, U32, F, F,  //
    I64, I64, I64, D, D,  //
    I64, I64, I64, F, F,  //
    U64, U64, U64, D, D,  //
    U64, U64, U64, F, F,
};

char bounds_types[] = {
    U32, U32, U32, D, D, D, D,  //
    U32, U32, U32, F, F, F, F,  //
    I64, I64, I64, D, D, D, D,  //
    I64, I64, I64, F, F, F, F,  //
    U64, U64, U64, D, D, D, D,  //
    U64, U64, U64, F, F, F, F,
};

// The expansion has the outputs' type.
char expanded_box_types[] = {
    U32, U32, U32, D, D, D, D, D,  //
    U32, U32, U32, F, F, F, F, F,  //
    I64, I64, I64, D, D, D, D, D,  //
    I64, I64, I64, F, F, F, F, F,  //
    U64, U64, U64, D, D, D, D, D,  //
    U64, U64, U64, F, F, F, F, F,
};

// ---- point to tile
// -----------------------------------------------------------

PyUFuncGenericFunction tile_of_funcs[] = {tile_of_loop<float>,
                                          tile_of_loop<double>};
char tile_of_types[] = {F, F, I64, I64, I64, D, D, I64, I64, I64};

void *no_data[6] = {};

// ---- the table -------------------------------------------------------------

#define REFUSAL_NOTE                                                          \
    "\n\nAn element the scalar function would refuse gives NaN in every "     \
    "output and\nraises the invalid-value floating-point signal (a "          \
    "RuntimeWarning by\ndefault; FloatingPointError under "                   \
    "numpy.errstate(invalid='raise'))."
#define COORDINATE_NOTE                                                       \
    " Coordinates are degrees,\nlongitude first, narrowed to float32 as "     \
    "the scalar call narrows them;\nfloat32 inputs give float32 results, "    \
    "other inputs float64."
#define TILE_NOTE                                                             \
    " Tile indices are any\nintegers; the results are float64, or float32 "   \
    "with dtype=numpy.float32."

struct UfuncRow {
    const char *name;
    PyUFuncGenericFunction *funcs;
    const char *types;
    int ntypes;
    int nin;
    int nout;
    const char *doc;
};

const UfuncRow UFUNCS[] = {
    {"great_circle_distance", distance_funcs, distance_types, 2, 4, 1,
     "Great-circle distance in metres between (lon1, lat1) and (lon2, lat2) "
     "on a\nsphere of radius 6371009 m, element by element." COORDINATE_NOTE
         REFUSAL_NOTE},
    {"great_circle_distance_with_radius", distance_with_radius_funcs,
     distance_with_radius_types, 2, 5, 1,
     "Great-circle distance between (lon1, lat1) and (lon2, lat2) on a "
     "sphere of\nthe given radius, in the radius's unit, element by "
     "element." COORDINATE_NOTE REFUSAL_NOTE},
    {"wm_upper_left", tile_funcs<UpperLeft>, upper_left_types, 6, 3, 2,
     "(lon, lat) of the north-west corner of Web Mercator tile (x, y, z), "
     "element\nby element." TILE_NOTE REFUSAL_NOTE},
    {"wm_bounds", tile_funcs<Bounds>, bounds_types, 6, 3, 4,
     "(west, south, east, north) of Web Mercator tile (x, y, z), element by "
     "element;\nthe south and east edges are nudged inwards by 1e-9." TILE_NOTE
         REFUSAL_NOTE},
    {"wm_tile_expanded_bbox", tile_funcs<ExpandedBox>, expanded_box_types, 6,
     4, 4,
     "(west, south, east, north) of the spherical cap about tile (x, y, z)'s "
     "centre\nthat reaches its corners and then expansion_meters further, "
     "element by\nelement; expansion_meters must be >= 0." TILE_NOTE
         REFUSAL_NOTE},
    {"valid_coordinates", valid_coordinates_funcs, valid_coordinates_types, 2,
     2, 1,
     "True where -180 < lon < 180 and -90 < lat < 90 after narrowing to "
     "float32: the\nscalar functions' acceptance test, for building a mask "
     "first. NaN is\ninvalid."},
    {"tile", tile_of_funcs, tile_of_types, 2, 3, 2,
     "(x, y) of the tile at zoom z that holds the point (lon, lat), element "
     "by\nelement, exact against the float32 edges of wm_bounds: a tile owns "
     "its west\nand north edges. Coordinates are narrowed to float32 first; "
     "x and y are\nint64. A longitude outside [-180, 180], a latitude past "
     "the map's edge\n(about 85.0511), NaN or a zoom outside 0..32 gives "
     "x = y = -1 and raises the\ninvalid-value floating-point signal (a "
     "RuntimeWarning by default)."},
};

constexpr const char NUMPY_MISSING[] =
    "quorlin_numpy needs NumPy 1.25 or newer: pip install 'quorlin[numpy]'";

// The pending ImportError becomes the cause of one that names the extra.
void explain_missing_numpy()
{
    PyObject *type, *cause, *traceback;
    fetch_exception(&type, &cause, &traceback);
    normalize_exception(&type, &cause, &traceback);
    if (traceback != nullptr)
        PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_ImportError, NUMPY_MISSING);
    PyObject *value;
    fetch_exception(&type, &value, &traceback);
    normalize_exception(&type, &value, &traceback);
    PyException_SetCause(value, cause);  // steals `cause`
    restore_exception(type, value, traceback);
}

int import_numpy()
{
    PyObject *numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ImportError))
            explain_missing_numpy();
        return -1;
    }
    Py_DECREF(numpy);
    if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0)
        return -1;
    return 0;
}

int add_ufunc(PyObject *module, PyObject *all, const UfuncRow &row)
{
    PyObject *ufunc = PyUFunc_FromFuncAndData(
        row.funcs, no_data, const_cast<char *>(row.types), row.ntypes, row.nin,
        row.nout, PyUFunc_None, row.name, row.doc, 0);
    if (ufunc == nullptr)
        return -1;
    // pickle finds a ufunc by __module__ and __name__. __module__ is
    // writable from NumPy 2.2 on; before that, pickle finds the name by
    // searching the imported modules, which works as well.
    PyObject *module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) {
        Py_DECREF(ufunc);
        return -1;
    }
    int set = PyObject_SetAttrString(ufunc, "__module__", module_name);
    Py_DECREF(module_name);
    if (set < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_DECREF(ufunc);
            return -1;
        }
        PyErr_Clear();
    }
    PyObject *name = PyUnicode_FromString(row.name);
    int failed = name == nullptr || PyList_Append(all, name) < 0 ||
                 PyModule_AddObjectRef(module, row.name, ufunc) < 0;
    Py_XDECREF(name);
    Py_DECREF(ufunc);
    return failed ? -1 : 0;
}

// ---- the cover of a box, as arrays
// ---------------------------------------------

PyObject *tiles(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"west", "south",     "east", "north",
                                     "zoom", "max_tiles", nullptr};
    double west, south, east, north;
    PyObject *zoom_argument;
    long long max_tiles = 100000000;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "ddddO|L:tiles", const_cast<char **>(keywords),
            &west, &south, &east, &north, &zoom_argument, &max_tiles))
        return nullptr;
    PyObject *index = PyNumber_Index(zoom_argument);
    if (index == nullptr)
        return nullptr;
    int overflow = 0;
    const long long zoom = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (zoom == -1 && overflow == 0 && PyErr_Occurred())
        return nullptr;
    if (overflow != 0 || zoom < 0 || zoom > MAX_ZOOM) {
        PyErr_Format(PyExc_ValueError,
                     "zoom must be a zoom from 0 to 32, not %S",
                     zoom_argument);
        return nullptr;
    }
    // Narrowed as the scalar calls narrow them.
    const BoxCheck check =
        split_box(static_cast<float>(west), static_cast<float>(south),
                  static_cast<float>(east), static_cast<float>(north));
    if (check.problem != BoxProblem::none) {
        PyErr_SetString(PyExc_ValueError,
                        box_problem_message(check, float_text).c_str());
        return nullptr;
    }
    Rectangle rectangles[2];
    const int count =
        cover(check.parts, static_cast<std::uint32_t>(zoom), rectangles);
    unsigned __int128 total = 0;
    for (int i = 0; i < count; ++i)
        total += rectangles[i].range.count();
    if (total >
        static_cast<unsigned __int128>(max_tiles < 0 ? 0 : max_tiles)) {
        // The whole map at zoom 32 is 2^64 tiles: said in words.
        const std::string tiles =
            total >> 64 ? std::string("2**64")
                        : std::to_string(static_cast<std::uint64_t>(total));
        PyErr_Format(PyExc_ValueError,
                     "the cover has %s tiles, more than max_tiles=%lld: count "
                     "them first with quorlin_tiles.count_tiles, or raise "
                     "max_tiles",
                     tiles.c_str(), max_tiles);
        return nullptr;
    }
    npy_intp size = static_cast<npy_intp>(total);
    PyObject *xs = PyArray_SimpleNew(1, &size, NPY_INT64);
    PyObject *ys =
        xs != nullptr ? PyArray_SimpleNew(1, &size, NPY_INT64) : nullptr;
    if (ys == nullptr) {
        Py_XDECREF(xs);
        return nullptr;
    }
    auto *x = static_cast<std::int64_t *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(xs)));
    auto *y = static_cast<std::int64_t *>(
        PyArray_DATA(reinterpret_cast<PyArrayObject *>(ys)));
    Py_BEGIN_ALLOW_THREADS for (int i = 0; i < count; ++i)
    {
        const TileRange &range = rectangles[i].range;
        for (std::int64_t row = range.y_min; row <= range.y_max; ++row)
            for (std::int64_t column = range.x_min; column <= range.x_max;
                 ++column) {
                *x++ = column;
                *y++ = row;
            }
    }
    Py_END_ALLOW_THREADS return Py_BuildValue("(NN)", xs, ys);
}

// Which inner loop each ufunc runs, and why: a dict of name to a sentence.
PyObject *loops(PyObject *, PyObject *)
{
    const kernels::Choice &choice = kernels::active();
    PyObject *result = PyDict_New();
    if (result == nullptr)
        return nullptr;
    for (const UfuncRow &row : UFUNCS) {
        const bool distance =
            std::strncmp(row.name, "great_circle_distance", 21) == 0;
        const bool point = std::strcmp(row.name, "tile") == 0;
        const bool has_kernel =
            std::strcmp(row.name, "valid_coordinates") != 0;
        PyObject *reason = PyUnicode_FromString(
            distance     ? choice.reason
            : point      ? choice.point_reason
            : has_kernel ? choice.tile_reason
                         : "scalar loop: no vector kernel for this function");
        if (reason == nullptr ||
            PyDict_SetItemString(result, row.name, reason) < 0) {
            Py_XDECREF(reason);
            Py_DECREF(result);
            return nullptr;
        }
        Py_DECREF(reason);
    }
    return result;
}

// The cover of a geometry, as arrays: the GeoJSON reading lives in
// quorlin_tiles, so this forwards there.
PyObject *cover(PyObject *, PyObject *args, PyObject *kwargs)
{
    PyObject *reader = PyImport_ImportModule("quorlin_tiles.geojson");
    if (reader == nullptr)
        return nullptr;
    PyObject *function = PyObject_GetAttrString(reader, "cover_arrays");
    Py_DECREF(reader);
    if (function == nullptr)
        return nullptr;
    PyObject *result = PyObject_Call(function, args, kwargs);
    Py_DECREF(function);
    return result;
}

PyMethodDef functions[] = {
    {"loops", loops, METH_NOARGS,
     "loops()\n--\n\n"
     "Which inner loop each ufunc runs, and why: a dict from the ufunc's "
     "name\n"
     "to \"AVX2 kernel: ...\" or \"scalar loop: ...\". A kernel is used only "
     "where\n"
     "the C runtime's functions are the algorithm it follows, on a CPU with "
     "AVX2\nand FMA, after a self-test at import; QUORLIN_SCALAR_LOOPS=1 "
     "forces the\nscalar loops. Both give the same bits."},
    {"tiles",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tiles)),
     METH_VARARGS | METH_KEYWORDS,
     "tiles(west, south, east, north, zoom, max_tiles=10**8)\n--\n\n"
     "The tiles at `zoom` that cover the box, as two int64 arrays (x, y), "
     "row by row\nfrom the north, west to east: the same tiles, in the same "
     "order, as\nquorlin_tiles.tiles. A box with west > east crosses the "
     "antimeridian.\nRaises ValueError rather than allocate more than "
     "max_tiles tiles."},
    {"cover",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cover)),
     METH_VARARGS | METH_KEYWORDS,
     "cover(geometry, zoom, max_tiles=10**8)\n--\n\n"
     "The tiles at `zoom` that a GeoJSON geometry touches, as two int64 "
     "arrays\n(x, y), row by row from the north, west to east: the same "
     "tiles, in the\nsame order, as quorlin_tiles.cover. Raises ValueError "
     "rather than allocate\nmore than max_tiles tiles."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module)
{
    if (import_numpy() < 0)
        return -1;
    kernels::active();  // the choice of loops, made once at import
    PyObject *all = PyList_New(0);
    if (all == nullptr)
        return -1;
    for (const UfuncRow &row : UFUNCS) {
        if (add_ufunc(module, all, row) < 0) {
            Py_DECREF(all);
            return -1;
        }
    }
    for (const char *function : {"tiles", "cover"}) {
        PyObject *name = PyUnicode_FromString(function);
        if (name == nullptr || PyList_Append(all, name) < 0) {
            Py_XDECREF(name);
            Py_DECREF(all);
            return -1;
        }
        Py_DECREF(name);
    }
    int added = PyModule_AddObjectRef(module, "__all__", all);
    Py_DECREF(all);
    return added;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // NumPy itself cannot be loaded into a second interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // The module keeps no state; the loops touch no Python object.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorlin_numpy",
    "quorlin's computations as NumPy ufuncs: great-circle distances and Web\n"
    "Mercator tile geometry over whole arrays, bit for bit the scalar "
    "answers.",
    0,
    functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorlin::ufuncs

PyMODINIT_FUNC PyInit_quorlin_numpy(void)
{
    return PyModuleDef_Init(&quorlin::ufuncs::module_definition);
}
