#include "cover_iterator.hpp"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../geodesy/cover.hpp"

namespace quorlin {

namespace {

struct CoverState {
    GeometryCover cover;
    Zooms zooms;
    int zoom = -1;  // index into zooms; -1 before the first
    bool have_row = false;
    std::uint32_t row = 0;
    std::size_t run = 0;
    std::uint64_t x = 0;
    std::vector<ColumnRun> runs;

    CoverState(const std::vector<Shape> &shapes, const Zooms &levels)
        : cover(shapes), zooms(levels)
    {
    }

    // Moves to the next row with tiles; false when every zoom is done.
    bool next_row()
    {
        for (;;) {
            if (zoom >= 0 && zoom < zooms.count && cover.next_row(row, runs)) {
                have_row = true;
                run = 0;
                x = runs[0].first;
                return true;
            }
            if (zoom >= zooms.count)
                return false;
            if (++zoom == zooms.count)
                return false;
            cover.begin(zooms.zoom[zoom]);
        }
    }

    // The next column of the row that owns something; false at its end.
    bool next_column()
    {
        for (; run < runs.size();) {
            if (x > runs[run].last) {
                if (++run < runs.size())
                    x = runs[run].first;
                continue;
            }
            if (cover.may_have_empty_columns() &&
                cover.empty_column(static_cast<std::uint32_t>(x))) {
                ++x;
                continue;
            }
            return true;
        }
        return false;
    }
};

struct CoverIterator {
    PyObject_HEAD CoverState *state;
    PyObject *row;  // the current row's int, shared by its tiles
};

PyObject *cover_iterator_type = nullptr;

PyObject *next_locked(CoverIterator *self)
{
    CoverState &state = *self->state;
    for (;;) {
        if (state.have_row && state.next_column())
            break;
        state.have_row = false;
        Py_CLEAR(self->row);
        if (!state.next_row())
            return nullptr;  // exhausted: StopIteration, nothing pending
    }
    if (self->row == nullptr) {
        self->row = index_object(state.row);
        if (self->row == nullptr)
            return nullptr;
    }
    // On failure, the same tile again on the next call.
    PyObject *tuple = PyTuple_New(3);
    if (tuple == nullptr)
        return nullptr;
    PyObject *column = index_object(state.x);
    PyObject *zoom = index_object(state.zooms.zoom[state.zoom]);
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
    ++state.x;
    return tuple;
}

PyObject *next_tile(PyObject *object)
{
    auto *self = reinterpret_cast<CoverIterator *>(object);
    PyObject *tuple = nullptr;
#ifdef Py_GIL_DISABLED
    // Several threads may share one iterator: each tile goes to one of them.
    Py_BEGIN_CRITICAL_SECTION(object);
#endif
    try {
        tuple = next_locked(self);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return tuple;
}

// The rest of the cover as runs, for the array form, which builds its
// columns from them: (tile count, bytes of int64 triples first, last, row),
// split where a column owns nothing. Past `limit` tiles nothing more is
// kept; the count goes on where runs hold no empty columns (it is then
// exact and cheap), else it is None.
PyObject *take_runs(PyObject *object, PyObject *limit_argument)
{
    auto *self = reinterpret_cast<CoverIterator *>(object);
    const long long limit = PyLong_AsLongLong(limit_argument);
    if (limit == -1 && PyErr_Occurred())
        return nullptr;
    PyObject *result = nullptr;
#ifdef Py_GIL_DISABLED
    Py_BEGIN_CRITICAL_SECTION(object);
#endif
    try {
        CoverState &state = *self->state;
        std::vector<std::int64_t> triples;
        std::uint64_t count = 0;
        bool counted = true;
        const auto most = static_cast<std::uint64_t>(limit < 0 ? 0 : limit);
        for (;;) {
            if (!(state.have_row && state.next_column())) {
                state.have_row = false;
                if (!state.next_row())
                    break;
                continue;
            }
            if (count > most) {
                if (state.cover.may_have_empty_columns()) {
                    counted = false;
                    break;
                }
                // Whole runs from here: no column is empty at this zoom.
                for (std::size_t r = state.run; r < state.runs.size(); ++r) {
                    const std::uint64_t first =
                        r == state.run ? state.x : state.runs[r].first;
                    count += state.runs[r].last - first + 1;
                }
                state.have_row = false;
                continue;
            }
            // From x to the end of its run, or to the next empty column.
            std::uint64_t end = state.x;
            const std::uint64_t last = state.runs[state.run].last;
            if (!state.cover.may_have_empty_columns())
                end = last;
            while (end < last && !state.cover.empty_column(
                                     static_cast<std::uint32_t>(end + 1)))
                ++end;
            triples.insert(triples.end(),
                           {static_cast<std::int64_t>(state.x),
                            static_cast<std::int64_t>(end),
                            static_cast<std::int64_t>(state.row)});
            count += end - state.x + 1;
            state.x = end + 1;
        }
        state.have_row = false;
        state.zoom = state.zooms.count;  // taken: the iterator is done
        Py_CLEAR(self->row);
        if (!counted) {
            result = Py_BuildValue("(Oy#)", Py_None, "", Py_ssize_t{0});
        } else {
            if (count > most)
                triples.clear();
            PyObject *data = PyBytes_FromStringAndSize(
                reinterpret_cast<const char *>(triples.data()),
                static_cast<Py_ssize_t>(triples.size() *
                                        sizeof(std::int64_t)));
            if (data != nullptr)
                result = Py_BuildValue(
                    "(KN)", static_cast<unsigned long long>(count), data);
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
#ifdef Py_GIL_DISABLED
    Py_END_CRITICAL_SECTION();
#endif
    return result;
}

void deallocate(PyObject *object)
{
    auto *self = reinterpret_cast<CoverIterator *>(object);
    Py_CLEAR(self->row);
    delete self->state;
    PyTypeObject *type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    {"_runs", take_runs, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(next_tile)},
    {Py_tp_dealloc, reinterpret_cast<void *>(deallocate)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec iterator_type = {
    "quorlin_tiles.CoverIterator",
    sizeof(CoverIterator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

ErrorValue malformed(const std::string &what)
{
    return value_error("malformed shape for the cover: " + what);
}

// A buffer of `format` items, released on leaving.
struct View {
    Py_buffer buffer{};
    bool held = false;
    ~View()
    {
        if (held)
            PyBuffer_Release(&buffer);
    }
};

ErrorValue read_buffer(PyObject *object, const char *format, std::size_t item,
                       View &view)
{
    if (PyObject_GetBuffer(object, &view.buffer,
                           PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
        return fetch_pending();
    view.held = true;
    if (view.buffer.itemsize != static_cast<Py_ssize_t>(item) ||
        view.buffer.format == nullptr ||
        std::strcmp(view.buffer.format, format) != 0)
        return malformed(std::string("a buffer of '") + format +
                         "' items was expected");
    return ErrorValue();
}

ErrorValue read_shape(PyObject *item, std::vector<Shape> &shapes)
{
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3)
        return malformed("each is a tuple (kind, positions, ring_ends)");
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(item, 0));
    if (kind == -1 && PyErr_Occurred())
        return fetch_pending();
    if (kind < 0 || kind > 2)
        return malformed("kind " + std::to_string(kind));
    View positions;
    if (ErrorValue error =
            read_buffer(PyTuple_GET_ITEM(item, 1), "f", 4, positions))
        return error;
    const auto *values = static_cast<const float *>(positions.buffer.buf);
    const std::size_t count =
        static_cast<std::size_t>(positions.buffer.len) / sizeof(float);
    if (count % 2 != 0)
        return malformed("an odd number of coordinates");
    Shape shape{static_cast<ShapeKind>(kind), {}, {}};
    shape.positions.resize(count / 2);
    for (std::size_t i = 0; i < count / 2; ++i) {
        const float lon = values[2 * i], lat = values[2 * i + 1];
        if (!(lon >= -180.0f && lon <= 180.0f && lat >= -90.0f &&
              lat <= 90.0f))
            return malformed("a position off the globe");
        shape.positions[i] = {lon, lat};
    }
    const std::size_t n = shape.positions.size();
    if (shape.kind == ShapeKind::line && n < 2)
        return malformed("a line of fewer than two positions");
    if (shape.kind == ShapeKind::polygon) {
        View ends;
        if (ErrorValue error =
                read_buffer(PyTuple_GET_ITEM(item, 2), "I", 4, ends))
            return error;
        const auto *end = static_cast<const std::uint32_t *>(ends.buffer.buf);
        const std::size_t rings =
            static_cast<std::size_t>(ends.buffer.len) / sizeof(std::uint32_t);
        std::uint32_t start = 0;
        for (std::size_t r = 0; r < rings; ++r) {
            if (end[r] > n || end[r] < start + 4)
                return malformed("a ring of fewer than four positions");
            const Position &a = shape.positions[start],
                           &b = shape.positions[end[r] - 1];
            if (a.lon != b.lon || a.lat != b.lat)
                return malformed("a ring that is not closed");
            start = end[r];
        }
        if (start != n)
            return malformed("positions outside the rings");
        shape.ring_ends.assign(end, end + rings);
    }
    shapes.push_back(std::move(shape));
    return ErrorValue();
}

}  // namespace

Result<PyObject *> cover_iterator(PyObject *shape_list, const Zooms &zooms)
{
    PyObject *sequence =
        PySequence_Fast(shape_list, "the shapes must be a sequence");
    if (sequence == nullptr)
        return fetch_pending();
    std::vector<Shape> shapes;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (ErrorValue error =
                read_shape(PySequence_Fast_GET_ITEM(sequence, i), shapes)) {
            Py_DECREF(sequence);
            return error;
        }
    }
    Py_DECREF(sequence);
    // Made before the object, so that a failure leaves nothing half built
    // (bad_alloc reaches the call's catch ladder: MemoryError).
    auto state = std::make_unique<CoverState>(shapes, zooms);
    auto *self = PyObject_New(
        CoverIterator, reinterpret_cast<PyTypeObject *>(cover_iterator_type));
    if (self == nullptr)
        return fetch_pending();
    self->row = nullptr;
    self->state = state.release();
    return reinterpret_cast<PyObject *>(self);
}

bool ready_cover_iterator()
{
    if (cover_iterator_type == nullptr)
        cover_iterator_type = PyType_FromSpec(&iterator_type);
    return cover_iterator_type != nullptr;
}

}  // namespace quorlin
