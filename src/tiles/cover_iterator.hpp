// The lazy cover of geometries: quorlin_tiles' Python layer reads the
// GeoJSON and passes the shapes, as float32 arrays, to cover_iterator().
#pragma once

#include <array>
#include <cstdint>

#include "../binding/error_value.hpp"
#include "../binding/python.hpp"

namespace quorlin {

// Zooms as the module reads them: each once, in the order given.
struct Zooms {
    std::array<std::uint32_t, 33> zoom;
    int count;
};

// `shapes`: a sequence of (kind, positions, ring_ends): kind 0 points, 1 a
// line, 2 a polygon; positions a float32 buffer of lon, lat pairs;
// ring_ends a uint32 buffer (polygons) or None. Checked again here, so a
// malformed call is a ValueError, never undefined behaviour.
Result<PyObject *> cover_iterator(PyObject *shapes, const Zooms &zooms);

// Creates the iterator's class, once per process.
bool ready_cover_iterator();

// A tile index or zoom (below 2^32) as an int. PyLong_FromLong has a fast
// path for one-digit values that the unsigned forms lack before 3.12; it
// is a tenth of a tile() call.
inline PyObject *index_object(std::uint64_t value)
{
    if constexpr (sizeof(long) >= 8)
        return PyLong_FromLong(static_cast<long>(value));
    else
        return PyLong_FromLongLong(static_cast<long long>(value));
}

}  // namespace quorlin
