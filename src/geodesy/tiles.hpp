// From points and boxes to tiles: the inverse of the tile edges, exact
// against the float32 edges that wm_upper_left and wm_bounds give.
//
// Ownership: column c holds the longitudes from its west edge up to, not
// including, the next column's west edge; row r the latitudes from its north
// edge down to, not including, the next row's north edge. The last column
// also holds the map's east edge (180) and the last row its south edge.
// Where float32 makes several edges equal (zoom 23 and up), a point goes to
// the last tile whose edge it reaches, so the answer is still unique.
//
// Nothing here checks its arguments: the callers test ranges first.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "geodesy.hpp"

namespace quorlin {

inline constexpr std::uint32_t MAX_ZOOM = 32;

// The map's north and south edges in degrees (about +-85.05113), as float32:
// the north edge of row 0 and the south edge of the last row, at any zoom.
float map_north_edge() noexcept;
float map_south_edge() noexcept;
// The same values, read directly where a loop tests every element.
extern const float MAP_NORTH_EDGE;
extern const float MAP_SOUTH_EDGE;

// sin(x) = x + x^3 (C[0] + C[1] x^2 + ...), to x^17: the series of the
// row estimates (tile_of's and the tile kernel's), for |x| < 1.49.
inline constexpr double SINE_SERIES[8] = {-1.0 / 6.0,
                                          1.0 / 120.0,
                                          -1.0 / 5040.0,
                                          1.0 / 362880.0,
                                          -1.0 / 39916800.0,
                                          1.0 / 6227020800.0,
                                          -1.0 / 1307674368000.0,
                                          1.0 / 355687428096000.0};

// True where tile_of takes the point: a zoom from 0 to MAX_ZOOM, a
// longitude in [-180, 180] and a latitude within the map's edges (NaN is
// neither). The scalar call and the ufunc refuse the same points.
inline bool tile_accepts(float lon, float lat, std::int64_t z) noexcept
{
    return z >= 0 && z <= MAX_ZOOM && lon >= -180.0f && lon <= 180.0f &&
           lat >= MAP_SOUTH_EDGE && lat <= MAP_NORTH_EDGE;
}

// The last index in [0, last] for which `reaches` holds, given that it holds
// at 0 and, once false, stays false; searched outwards from `guess`, so an
// exact guess costs two tests.
template <class Reaches>
inline std::uint64_t last_reaching(std::uint64_t guess, std::uint64_t last,
                                   Reaches reaches) noexcept
{
    std::uint64_t low,
        high;  // reaches(low); !reaches(high) or high == last + 1
    if (guess > last)
        guess = last;
    if (reaches(guess)) {
        low = guess;
        std::uint64_t step = 1;
        for (;;) {
            if (low == last)
                return last;
            high = low + step > last ? last + 1 : low + step;
            if (high <= last && reaches(high)) {
                low = high;
                step *= 2;
                continue;
            }
            break;
        }
    } else {
        high = guess;
        std::uint64_t step = 1;
        for (;;) {
            low = high > step ? high - step : 0;
            if (low == 0 || reaches(low))
                break;
            high = low;
            step *= 2;
        }
    }
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (reaches(middle))
            low = middle;
        else
            high = middle;
    }
    return low;
}

// 1 / 2^z for z from 0 to MAX_ZOOM, from zoom_scale, computed once.
TileScale tile_scale(std::uint32_t z) noexcept;

// The last column whose west edge is <= lon (or < lon when `exclusive`, for
// the east edge of a box). -180 <= lon <= 180.
std::uint32_t column_of(float lon, std::uint32_t z,
                        bool exclusive = false) noexcept;
// The last row whose north edge is >= lat (or > lat when `exclusive`, for
// the south edge of a box). map_south_edge() <= lat <= map_north_edge().
std::uint32_t row_of(float lat, std::uint32_t z,
                     bool exclusive = false) noexcept;

struct TileIndex {
    std::uint32_t x;
    std::uint32_t y;
};

// The tile that holds the point.
TileIndex tile_of(float lon, float lat, std::uint32_t z) noexcept;

// The columns and rows, inclusive, of the tiles whose owned area meets the
// box west <= lon, south <= lat <= north, lon < east (or lon <= east where
// west == east; likewise south is inclusive only where south == north).
// west <= east, south <= north, all within the map.
struct TileRange {
    std::uint32_t x_min, x_max, y_min, y_max;
    std::uint64_t count() const noexcept
    {
        return (std::uint64_t{x_max} - x_min + 1) *
               (std::uint64_t{y_max} - y_min + 1);
    }
};
TileRange tile_range(float west, float south, float east, float north,
                     std::uint32_t z) noexcept;

// ---- boxes
// -------------------------------------------------------------------

// A box in the map, west <= east. A box given with west east of east
// crosses the antimeridian (both -180 and 180) and is two parts.
struct Box {
    float west, south, east, north;
};
struct Parts {
    std::array<Box, 2> box;
    int count;
};

enum class BoxProblem { none, west, south, east, north, south_above_north };
struct BoxCheck {
    BoxProblem problem;
    Parts parts;                     // when there is no problem
    float west, south, east, north;  // as given, for the message
};

// Longitudes must lie in [-180, 180] and latitudes in [-90, 90] (NaN in
// neither), south <= north. Latitudes past the map's edges are moved to the
// edges: such a box covers the edge rows.
BoxCheck split_box(float west, float south, float east, float north) noexcept;

// The message for a problem of split_box, with numbers written by `repr`.
std::string box_problem_message(const BoxCheck &check,
                                std::string (*repr)(float));

// The cover of a box at one zoom, as at most two rectangles of tiles: the
// parts of a box across the antimeridian share their rows, and if their
// columns meet they are one rectangle the width of the map. Returns how
// many rectangles it wrote.
struct Rectangle {
    std::uint32_t z;
    TileRange range;
};
int cover(const Parts &parts, std::uint32_t z, Rectangle *out) noexcept;

}  // namespace quorlin
