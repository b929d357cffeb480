// quorlin_tiles: from points and boxes to tiles, and around the pyramid.
// Every edge comes from the same compiled formulas as quorlin.wm_bounds
// (geodesy/tiles.hpp says which tile owns which edge); this file holds the
// argument checks, the result objects and the lazy cover iterator. Bad
// input is a ValueError or TypeError naming the argument, never a
// PanicException.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "../binding/call_entry.hpp"
#include "../binding/float_text.hpp"
#include "../binding/functions.hpp"
#include "../binding/module_init.hpp"
#include "../binding/python.hpp"
#include "../geodesy/tiles.hpp"
#include "cover_iterator.hpp"

namespace quorlin {

namespace {

// ---- messages
// ----------------------------------------------------------------

std::string repr(float value)
{
    return float_text(value);
}

// Saturated conversions (to_int64) say so rather than show the bound.
std::string repr(std::int64_t value)
{
    if (value == INT64_MAX)
        return "a number past 2**63";
    if (value == INT64_MIN)
        return "a number below -2**63";
    return std::to_string(value);
}

// ---- argument checks
// -----------------------------------------------------------

ErrorValue check_zoom(std::string_view name, std::int64_t z)
{
    if (z >= 0 && z <= MAX_ZOOM)
        return ErrorValue();
    return value_error(std::string(name) +
                       " must be a zoom from 0 to 32, not " + repr(z));
}

ErrorValue check_tile(std::int64_t x, std::int64_t y, std::int64_t z)
{
    if (ErrorValue error = check_zoom("z", z))
        return error;
    const std::int64_t last = (std::int64_t{1} << z) - 1;
    if (x >= 0 && x <= last && y >= 0 && y <= last)
        return ErrorValue();
    return value_error("tile (" + repr(x) + ", " + repr(y) + ", " + repr(z) +
                       ") is not on the map: at zoom " + repr(z) +
                       ", x and y run from 0 to 2**" + repr(z) +
                       " - 1 = " + repr(last));
}

ErrorValue check_longitude(std::string_view name, float lon)
{
    if (lon >= -180.0f && lon <= 180.0f)
        return ErrorValue();
    return value_error(std::string(name) +
                       " must be a longitude from -180 to 180, not " +
                       repr(lon));
}

// The box's parts, or the ValueError that says what is wrong with it.
Result<Parts> check_box(float west, float south, float east, float north)
{
    const BoxCheck check = split_box(west, south, east, north);
    if (check.problem != BoxProblem::none)
        return value_error(box_problem_message(check, repr));
    return check.parts;
}

// The zooms argument: an int, or an iterable of ints. Each zoom is kept
// once, in the order given.

ErrorValue not_zooms(PyObject *object)
{
    return type_error(
        std::string("zooms must be an int or an iterable of ints, not '") +
        Py_TYPE(object)->tp_name + "'");
}

ErrorValue add_zoom(Zooms &zooms, PyObject *item)
{
    if (!PyIndex_Check(item))
        return not_zooms(item);
    Result<std::int64_t> z = to_int64(item);
    if (!z.ok())
        return z.take_error();
    if (ErrorValue error = check_zoom("each of zooms", z.value()))
        return error;
    const auto zoom = static_cast<std::uint32_t>(z.value());
    auto *end = zooms.zoom.begin() + zooms.count;
    if (std::find(zooms.zoom.begin(), end, zoom) == end)
        zooms.zoom[zooms.count++] = zoom;
    return ErrorValue();
}

Result<Zooms> read_zooms(PyObject *argument)
{
    Zooms zooms{{}, 0};
    // An int; else anything iterable (a NumPy array has __index__ too, but
    // is meant as its elements); else anything with __index__.
    PyObject *iterator =
        PyLong_Check(argument) ? nullptr : PyObject_GetIter(argument);
    if (iterator == nullptr) {
        // Not iterable is a TypeError; anything else (MemoryError) is raised.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError))
            return fetch_pending();
        discard_pending();
        if (ErrorValue error = add_zoom(zooms, argument))
            return error;
        return zooms;
    }
    while (PyObject *item = PyIter_Next(iterator)) {
        ErrorValue error = add_zoom(zooms, item);
        Py_DECREF(item);
        if (error) {
            Py_DECREF(iterator);
            return error;
        }
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred())
        return fetch_pending();
    return zooms;
}

// ---- results
// --------------------------------------------------------------------

// A new (x, y, z) tuple, or null with the interpreter's error pending.
PyObject *tile_tuple(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    PyObject *tuple = PyTuple_New(3);
    if (tuple == nullptr)
        return nullptr;
    const std::uint32_t items[3] = {x, y, z};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject *item = index_object(items[i]);
        if (item == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, i, item);
    }
    return tuple;
}

Result<PyObject *> tile_result(std::uint32_t x, std::uint32_t y,
                               std::uint32_t z)
{
    PyObject *tuple = tile_tuple(x, y, z);
    if (tuple == nullptr)
        return fetch_pending();
    return tuple;
}

// A new list to be filled with `count` tiles by `fill(index, x, y)`.
template <class Each>
Result<PyObject *> tile_list(std::size_t count, Each each)
{
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr)
        return fetch_pending();
    Py_ssize_t index = 0;
    bool failed = false;
    each([&](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
        if (failed)
            return;
        PyObject *tuple = tile_tuple(x, y, z);
        if (tuple == nullptr) {
            failed = true;
            return;
        }
        PyList_SET_ITEM(list, index++, tuple);
    });
    if (failed) {
        Py_DECREF(list);
        return fetch_pending();
    }
    // Fewer than reserved (neighbors drops repeats): trim the unset tail.
    if (index < static_cast<Py_ssize_t>(count) &&
        PyList_SetSlice(list, index, static_cast<Py_ssize_t>(count), nullptr) <
            0) {
        Py_DECREF(list);
        return fetch_pending();
    }
    return list;
}

// unsigned __int128 as a Python int: the whole map at zoom 32 is 2^64 tiles.
Result<PyObject *> count_result(unsigned __int128 count)
{
    const auto low = static_cast<std::uint64_t>(count);
    const auto high = static_cast<std::uint64_t>(count >> 64);
    PyObject *result = PyLong_FromUnsignedLongLong(low);
    if (result == nullptr)
        return fetch_pending();
    if (high == 0)
        return result;
    PyObject *upper = PyLong_FromUnsignedLongLong(high);
    PyObject *shift = PyLong_FromLong(64);
    PyObject *shifted =
        upper && shift ? PyNumber_Lshift(upper, shift) : nullptr;
    PyObject *sum = shifted ? PyNumber_Add(shifted, result) : nullptr;
    Py_XDECREF(upper);
    Py_XDECREF(shift);
    Py_XDECREF(shifted);
    Py_DECREF(result);
    if (sum == nullptr)
        return fetch_pending();
    return sum;
}

// ---- the lazy cover
// ---------------------------------------------------------------

// The tiles of a cover, rectangle by rectangle, each row by row from the
// north, west to east. Holds no Python objects but ints.
struct TileIterator {
    PyObject_HEAD unsigned __int128 remaining;
    int rectangle_count;
    int rectangle;
    std::uint32_t x, y;
    // The current row's int, shared by the tiles of the row.
    PyObject *row;
    std::array<Rectangle, 2 * (MAX_ZOOM + 1)> rectangles;
};

PyObject *tile_iterator_type = nullptr;

PyObject *next_tile_locked(TileIterator *self)
{
    if (self->rectangle >= self->rectangle_count)
        return nullptr;  // exhausted: StopIteration, nothing pending
    const Rectangle &current = self->rectangles[self->rectangle];
    if (self->row == nullptr) {
        self->row = index_object(self->y);
        if (self->row == nullptr)
            return nullptr;
    }
    // On failure, the same tile again on the next call.
    PyObject *tuple = PyTuple_New(3);
    if (tuple == nullptr)
        return nullptr;
    PyObject *column = index_object(self->x);
    PyObject *zoom = index_object(current.z);  // a small int: cached
    if (column == nullptr || zoom == nullptr) {
        Py_XDECREF(column);
        Py_XDECREF(zoom);
        Py_DECREF(tuple);
        return nullptr;
    }
    Py_INCREF(self->row);
    PyTuple_SET_ITEM(tuple, 0, column);
    PyTuple_SET_ITEM(tuple, 1, self->row);
    PyTuple_SET_ITEM(tuple, 2, zoom);
    --self->remaining;
    if (self->x < current.range.x_max) {
        ++self->x;
        return tuple;
    }
    if (self->y < current.range.y_max) {
        self->x = current.range.x_min;
        ++self->y;
    } else if (++self->rectangle < self->rectangle_count) {
        self->x = self->rectangles[self->rectangle].range.x_min;
        self->y = self->rectangles[self->rectangle].range.y_min;
    }
    Py_CLEAR(self->row);
    return tuple;
}

PyObject *next_tile(PyObject *object)
{
    auto *self = reinterpret_cast<TileIterator *>(object);
    PyObject *tuple;
#ifdef Py_GIL_DISABLED
    // Several threads may share one iterator: each tile goes to one of them.
    Py_BEGIN_CRITICAL_SECTION(object);
    tuple = next_tile_locked(self);
    Py_END_CRITICAL_SECTION();
#else
    tuple = next_tile_locked(self);
#endif
    return tuple;
}

PyObject *length_hint(PyObject *object, PyObject *)
{
    const unsigned __int128 remaining =
        reinterpret_cast<TileIterator *>(object)->remaining;
    return PyLong_FromSsize_t(
        remaining > static_cast<unsigned __int128>(PY_SSIZE_T_MAX)
            ? PY_SSIZE_T_MAX
            : static_cast<Py_ssize_t>(remaining));
}

void deallocate(PyObject *object)
{
    Py_CLEAR(reinterpret_cast<TileIterator *>(object)->row);
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef iterator_methods[] = {
    {"__length_hint__", length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(next_tile)},
    {Py_tp_dealloc, reinterpret_cast<void *>(deallocate)},
    {Py_tp_methods, iterator_methods},
    {0, nullptr},
};

PyType_Spec iterator_spec = {
    "quorlin_tiles.TileIterator",
    sizeof(TileIterator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    iterator_slots,
};

Result<PyObject *> new_tile_iterator(const Parts &parts, const Zooms &zooms)
{
    auto *self = PyObject_New(
        TileIterator, reinterpret_cast<PyTypeObject *>(tile_iterator_type));
    if (self == nullptr)
        return fetch_pending();
    self->remaining = 0;
    self->row = nullptr;
    self->rectangle_count = 0;
    self->rectangle = 0;
    for (int i = 0; i < zooms.count; ++i)
        self->rectangle_count += cover(
            parts, zooms.zoom[i], &self->rectangles[self->rectangle_count]);
    for (int i = 0; i < self->rectangle_count; ++i)
        self->remaining += self->rectangles[i].range.count();
    if (self->rectangle_count > 0) {
        self->x = self->rectangles[0].range.x_min;
        self->y = self->rectangles[0].range.y_min;
    }
    return reinterpret_cast<PyObject *>(self);
}

// ---- the functions
// ----------------------------------------------------------------

// children() lists at most this many tiles; tiles() over the tile's bounds
// gives any number, lazily.
constexpr std::int64_t MAX_CHILD_LEVELS = 12;

constexpr FunctionDescription TILE{
    "tile",
    {"lon", "lat", "z"},
    +[](float lon, float lat, std::int64_t z) -> Result<PyObject *> {
        // The common case tested inline; the checks build the messages.
        const bool valid = tile_accepts(lon, lat, z);
        if (valid) [[likely]] {
            const TileIndex tile =
                tile_of(lon, lat, static_cast<std::uint32_t>(z));
            return tile_result(tile.x, tile.y, static_cast<std::uint32_t>(z));
        }
        if (ErrorValue error = check_zoom("z", z))
            return error;
        if (ErrorValue error = check_longitude("lon", lon))
            return error;
        // What is left: the latitude.
        return value_error(
            "lat " + repr(lat) +
            " is beyond the map's edge: Web Mercator tiles reach from " +
            repr(map_south_edge()) + " to " + repr(map_north_edge()));
    }};

constexpr FunctionDescription BOUNDING_TILE{
    "bounding_tile",
    {"west", "south", "east", "north"},
    +[](float west, float south, float east,
        float north) -> Result<PyObject *> {
        Result<Parts> parts = check_box(west, south, east, north);
        if (!parts.ok())
            return parts.take_error();
        // One tile at zoom z means one at every zoom below: edges nest.
        std::uint32_t low = 0, high = MAX_ZOOM + 1;
        Rectangle found[2] = {{0, {0, 0, 0, 0}}, {}};
        while (high - low > 1) {
            const std::uint32_t middle = (low + high) / 2;
            Rectangle rectangles[2];
            if (cover(parts.value(), middle, rectangles) == 1 &&
                rectangles[0].range.count() == 1) {
                low = middle;
                found[0] = rectangles[0];
            } else {
                high = middle;
            }
        }
        return tile_result(found[0].range.x_min, found[0].range.y_min, low);
    }};

// The box and the zooms of tiles() and count_tiles(), filled in place:
// they are two hundred bytes, not worth copying through a Result.
struct CoverRequest {
    Parts parts;
    Zooms zooms;
};
ErrorValue read_cover(float west, float south, float east, float north,
                      PyObject *zooms, CoverRequest &request)
{
    Result<Parts> parts = check_box(west, south, east, north);
    if (!parts.ok())
        return parts.take_error();
    request.parts = parts.value();
    Result<Zooms> levels = read_zooms(zooms);
    if (!levels.ok())
        return levels.take_error();
    request.zooms = levels.value();
    return ErrorValue();
}

constexpr FunctionDescription TILES{
    "tiles",
    {"west", "south", "east", "north", "zooms"},
    +[](float west, float south, float east, float north,
        PyObject *zooms) -> Result<PyObject *> {
        CoverRequest request;
        if (ErrorValue error =
                read_cover(west, south, east, north, zooms, request))
            return error;
        return new_tile_iterator(request.parts, request.zooms);
    }};

constexpr FunctionDescription COUNT_TILES{
    "count_tiles",
    {"west", "south", "east", "north", "zooms"},
    +[](float west, float south, float east, float north,
        PyObject *zooms) -> Result<PyObject *> {
        CoverRequest asked;
        if (ErrorValue error =
                read_cover(west, south, east, north, zooms, asked))
            return error;
        unsigned __int128 total = 0;
        for (int i = 0; i < asked.zooms.count; ++i) {
            Rectangle rectangles[2];
            const int count =
                cover(asked.parts, asked.zooms.zoom[i], rectangles);
            for (int j = 0; j < count; ++j)
                total += rectangles[j].range.count();
        }
        return count_result(total);
    }};

// The optional zoom of parent() and children(): None or absent is `fallback`.
Result<std::int64_t> optional_zoom(PyObject *zoom, std::int64_t fallback)
{
    if (zoom == nullptr || zoom == Py_None)
        return fallback;
    Result<std::int64_t> value = to_int64(zoom);
    if (!value.ok())
        return annotate_argument_error("zoom", value.take_error());
    return value.value();
}

constexpr FunctionDescription PARENT{
    "parent",
    {"x", "y", "z", "zoom"},
    +[](std::int64_t x, std::int64_t y, std::int64_t z,
        PyObject *zoom_argument) -> Result<PyObject *> {
        if (ErrorValue error = check_tile(x, y, z))
            return error;
        Result<std::int64_t> zoom = optional_zoom(zoom_argument, z - 1);
        if (!zoom.ok())
            return zoom.take_error();
        if (zoom.value() < 0 || zoom.value() > z)
            return value_error(
                z == 0 ? std::string("a tile at zoom 0 has no parent")
                       : "zoom must be from 0 to " + repr(z) +
                             " for an ancestor of a tile at zoom " + repr(z) +
                             ", not " + repr(zoom.value()));
        const auto shift = static_cast<unsigned>(z - zoom.value());
        return tile_result(static_cast<std::uint32_t>(x >> shift),
                           static_cast<std::uint32_t>(y >> shift),
                           static_cast<std::uint32_t>(zoom.value()));
    },
    3};

constexpr FunctionDescription CHILDREN{
    "children",
    {"x", "y", "z", "zoom"},
    +[](std::int64_t x, std::int64_t y, std::int64_t z,
        PyObject *zoom_argument) -> Result<PyObject *> {
        if (ErrorValue error = check_tile(x, y, z))
            return error;
        Result<std::int64_t> zoom = optional_zoom(zoom_argument, z + 1);
        if (!zoom.ok())
            return zoom.take_error();
        if (zoom.value() < z || zoom.value() > MAX_ZOOM)
            return value_error(
                z == MAX_ZOOM
                    ? std::string("a tile at zoom 32 has no children")
                    : "zoom must be from " + repr(z) +
                          " to 32 for descendants of a tile at zoom " +
                          repr(z) + ", not " + repr(zoom.value()));
        if (zoom.value() - z > MAX_CHILD_LEVELS)
            return value_error(
                "children() lists at most 4**12 tiles, 12 zooms down; for "
                "more, iterate tiles(*quorlin.wm_bounds(x, y, z), zoom)");
        const auto shift = static_cast<unsigned>(zoom.value() - z);
        const std::uint64_t side = std::uint64_t{1} << shift;
        const std::uint64_t x0 = static_cast<std::uint64_t>(x) << shift;
        const std::uint64_t y0 = static_cast<std::uint64_t>(y) << shift;
        const auto level = static_cast<std::uint32_t>(zoom.value());
        return tile_list(side * side, [&](auto &&add) {
            for (std::uint64_t row = y0; row < y0 + side; ++row)
                for (std::uint64_t column = x0; column < x0 + side; ++column)
                    add(static_cast<std::uint32_t>(column),
                        static_cast<std::uint32_t>(row), level);
        });
    },
    3};

constexpr FunctionDescription NEIGHBORS{
    "neighbors",
    {"x", "y", "z"},
    +[](std::int64_t x, std::int64_t y, std::int64_t z) -> Result<PyObject *> {
        if (ErrorValue error = check_tile(x, y, z))
            return error;
        const std::int64_t n = std::int64_t{1} << z;
        // Row-major from the north-west; rows past the map are left out,
        // columns wrap round the antimeridian, and a tile is listed once
        // (at zooms 0 and 1 the wrapped columns repeat).
        std::array<std::pair<std::int64_t, std::int64_t>, 8> around{};
        std::size_t count = 0;
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                const std::int64_t row = y + dy;
                const std::int64_t column = ((x + dx) % n + n) % n;
                if (row < 0 || row >= n || (column == x && row == y))
                    continue;
                const std::pair<std::int64_t, std::int64_t> tile{column, row};
                if (std::find(around.begin(), around.begin() + count, tile) ==
                    around.begin() + count)
                    around[count++] = tile;
            }
        }
        return tile_list(count, [&](auto &&add) {
            for (std::size_t i = 0; i < count; ++i)
                add(static_cast<std::uint32_t>(around[i].first),
                    static_cast<std::uint32_t>(around[i].second),
                    static_cast<std::uint32_t>(z));
        });
    }};

constexpr FunctionDescription QUADKEY{
    "quadkey",
    {"x", "y", "z"},
    +[](std::int64_t x, std::int64_t y, std::int64_t z) -> Result<PyObject *> {
        if (ErrorValue error = check_tile(x, y, z))
            return error;
        char digits[MAX_ZOOM];
        for (std::int64_t level = z; level > 0; --level) {
            const std::int64_t bit = level - 1;
            digits[z - level] = static_cast<char>(
                '0' + (((x >> bit) & 1) | (((y >> bit) & 1) << 1)));
        }
        PyObject *key =
            PyUnicode_FromStringAndSize(digits, static_cast<Py_ssize_t>(z));
        if (key == nullptr)
            return fetch_pending();
        return key;
    }};

constexpr FunctionDescription QUADKEY_TO_TILE{
    "quadkey_to_tile", {"key"}, +[](PyObject *key) -> Result<PyObject *> {
        if (!PyUnicode_Check(key))
            return type_error(
                std::string("argument 'key': must be str, not ") +
                Py_TYPE(key)->tp_name);
        const Py_ssize_t length = PyUnicode_GetLength(key);
        if (length < 0)
            return fetch_pending();
        if (length > static_cast<Py_ssize_t>(MAX_ZOOM))
            return value_error("a quadkey has at most 32 digits, not " +
                               std::to_string(length));
        std::uint32_t x = 0, y = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 digit = PyUnicode_ReadChar(key, i);
            if (digit < '0' || digit > '3')
                return value_error(
                    "a quadkey's digits are 0, 1, 2 and 3; the one at "
                    "position " +
                    std::to_string(i) + " is not");
            x = (x << 1) | ((digit - '0') & 1u);
            y = (y << 1) | ((digit - '0') >> 1);
        }
        return tile_result(x, y, static_cast<std::uint32_t>(length));
    }};

// The geometries' cover, behind quorlin_tiles.cover: the package reads the
// GeoJSON and passes float32 shapes.
constexpr FunctionDescription COVER{
    "_cover",
    {"shapes", "zooms"},
    +[](PyObject *shapes, PyObject *zooms) -> Result<PyObject *> {
        Result<Zooms> levels = read_zooms(zooms);
        if (!levels.ok())
            return levels.take_error();
        return cover_iterator(shapes, levels.value());
    }};

// Created and listed in __all__ in this order.
std::array<FunctionRecord, 10> function_table = {
    function_record<TILE>(),
    function_record<BOUNDING_TILE>(),
    function_record<TILES>(),
    function_record<COUNT_TILES>(),
    function_record<PARENT>(),
    function_record<CHILDREN>(),
    function_record<NEIGHBORS>(),
    function_record<QUADKEY>(),
    function_record<QUADKEY_TO_TILE>(),
    function_record<COVER>(),
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorlin_tiles._tiles",
    "From points and boxes to Web Mercator tiles, exact against quorlin's "
    "float32 tile edges.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

std::span<FunctionRecord> MODULE_FUNCTIONS = function_table;

}  // namespace quorlin

PyMODINIT_FUNC PyInit__tiles(void)
{
    return quorlin::run_call([]() -> quorlin::Result<PyObject *> {
        // The iterator's class lives as long as the process, as the
        // interpreter keeps the module's functions.
        if (quorlin::tile_iterator_type == nullptr) {
            quorlin::tile_iterator_type =
                PyType_FromSpec(&quorlin::iterator_spec);
            if (quorlin::tile_iterator_type == nullptr)
                return quorlin::fetch_pending();
        }
        if (!quorlin::ready_cover_iterator())
            return quorlin::fetch_pending();
        return quorlin::build_module(&quorlin::module_definition);
    });
}
