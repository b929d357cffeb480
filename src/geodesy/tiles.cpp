#include "tiles.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

namespace quorlin {

namespace {

const std::array<TileScale, MAX_ZOOM + 1> SCALES = [] {
    std::array<TileScale, MAX_ZOOM + 1> scales{};
    for (std::uint32_t z = 0; z <= MAX_ZOOM; ++z)
        scales[z] = zoom_scale(z);
    return scales;
}();

std::uint64_t clamp_index(double position, std::uint64_t last) noexcept
{
    if (!(position > 0.0))
        return 0;
    const double floor = std::floor(position);
    return floor >= static_cast<double>(last)
               ? last
               : static_cast<std::uint64_t>(floor);
}

double tiles_across(std::uint32_t z) noexcept
{
    return static_cast<double>(std::uint64_t{1} << z);
}

// Where the exact formula, in double, puts latitude `lat`: the row number
// with its fraction. The Mercator ordinate asinh(tan(phi)) is atanh(sin(phi)),
// here 0.5 log1p(2 s / (1 - s)), which stays accurate near the equator.
double row_position(double sine, double n) noexcept
{
    const double ordinate = 0.5 * std::log1p(2.0 * sine / (1.0 - sine));
    return n * 0.5 - ordinate * (n / (2.0 * std::numbers::pi));
}

// The row from the exact formula, where the answer is clear of every
// float32 edge. A float32 north edge is atanf(sinhf(u)) * RAD_TO_DEG with u
// rounded once: with sinhf and atanf within 2 ulp, that is within 13 units
// of 2^-24 (relative) of the exact edge, and measured on glibc 2.36 within
// 5 (every row to zoom 20, 2 * 10^6 rows a zoom to 24). So a point farther
// than 2^-20 (16 units) of its latitude from the exact edge is on the same
// side of the float32 one. Up to zoom 24 the row number is exact in
// float32; above, float(row) rounds and the edges no longer follow the
// exact formula. Returns false where it cannot say.
bool row_clear_of_edges(float lat, double sine, double position,
                        std::uint32_t z, std::uint64_t &row) noexcept
{
    if (z > 24)
        return false;
    const double n = tiles_across(z);
    if (!(position >= 0.0 && position < n))
        return false;
    // Truncation is the floor here, and cheaper than std::floor without
    // SSE4.1.
    const auto whole = static_cast<std::uint64_t>(position);
    const double fraction = position - static_cast<double>(whole);
    const double distance_in_rows = fraction < 0.5 ? fraction : 1.0 - fraction;
    // Degrees per row at this latitude: 360 cos(phi) / n (n a power of 2).
    const double cosine = std::sqrt((1.0 - sine) * (1.0 + sine));
    const double distance = distance_in_rows * 360.0 * cosine * (1.0 / n);
    if (!(distance > std::fabs(static_cast<double>(lat)) * 0x1p-20 + 1e-30))
        return false;
    row = whole;
    return true;
}

}  // namespace

// The map's edges, once: every check of a latitude needs them. (After
// SCALES in this file, so initialised after it.)
const float MAP_NORTH_EDGE = edge_latitude_degrees(0, SCALES[0]);
const float MAP_SOUTH_EDGE = edge_latitude_degrees(1, SCALES[0]);

float map_north_edge() noexcept
{
    return MAP_NORTH_EDGE;
}

float map_south_edge() noexcept
{
    return MAP_SOUTH_EDGE;
}

TileScale tile_scale(std::uint32_t z) noexcept
{
    return SCALES[z];
}

std::uint32_t column_of(float lon, std::uint32_t z, bool exclusive) noexcept
{
    const TileScale scale = SCALES[z];
    const std::uint64_t last = (std::uint64_t{1} << z) - 1;
    const double n = tiles_across(z);
    const double guess =
        (static_cast<double>(lon) + 180.0) * (1.0 / 360.0) * n;
    // Clear of the edges: up to zoom 24, c * d is exact, the product with
    // 360 is off by at most 2^-24 of 360 and the difference with 180 by half
    // a unit of 180, together under 2^-15 degrees; a point farther than
    // 2^-14 degrees from the exact edge is on its side of the float32 one.
    if (z <= 24 && guess >= 0.0 && guess < n) {
        const auto whole = static_cast<std::uint64_t>(guess);
        const double fraction = guess - static_cast<double>(whole);
        const double distance =
            (fraction < 0.5 ? fraction : 1.0 - fraction) * (360.0 / n);
        if (distance > 0x1p-14)
            return static_cast<std::uint32_t>(whole);
    }
    return static_cast<std::uint32_t>(
        last_reaching(clamp_index(guess, last), last, [&](std::uint64_t c) {
            const float west = edge_longitude(c, scale);
            return exclusive ? west < lon : west <= lon;
        }));
}

std::uint32_t row_of(float lat, std::uint32_t z, bool exclusive) noexcept
{
    const double sine =
        std::sin(static_cast<double>(lat) * (std::numbers::pi / 180.0));
    const double position = row_position(sine, tiles_across(z));
    std::uint64_t row;
    if (row_clear_of_edges(lat, sine, position, z, row))
        return static_cast<std::uint32_t>(row);
    const TileScale scale = SCALES[z];
    const std::uint64_t last = (std::uint64_t{1} << z) - 1;
    return static_cast<std::uint32_t>(
        last_reaching(clamp_index(position, last), last, [&](std::uint64_t r) {
            const float north = edge_latitude_degrees(r, scale);
            return exclusive ? north > lat : north >= lat;
        }));
}

TileIndex tile_of(float lon, float lat, std::uint32_t z) noexcept
{
    return {column_of(lon, z), row_of(lat, z)};
}

TileRange tile_range(float west, float south, float east, float north,
                     std::uint32_t z) noexcept
{
    // East and south are exclusive, unless the box has no width or height.
    return {column_of(west, z), column_of(east, z, east > west),
            row_of(north, z), row_of(south, z, south < north)};
}

BoxCheck split_box(float west, float south, float east, float north) noexcept
{
    BoxCheck check{BoxProblem::none, {}, west, south, east, north};
    const auto longitude = [](float lon) {
        return lon >= -180.0f && lon <= 180.0f;
    };
    const auto latitude = [](float lat) {
        return lat >= -90.0f && lat <= 90.0f;
    };
    if (!longitude(west))
        check.problem = BoxProblem::west;
    else if (!latitude(south))
        check.problem = BoxProblem::south;
    else if (!longitude(east))
        check.problem = BoxProblem::east;
    else if (!latitude(north))
        check.problem = BoxProblem::north;
    else if (south > north)
        check.problem = BoxProblem::south_above_north;
    if (check.problem != BoxProblem::none)
        return check;
    south = std::clamp(south, map_south_edge(), map_north_edge());
    north = std::clamp(north, map_south_edge(), map_north_edge());
    if (west <= east)
        check.parts = {{Box{west, south, east, north}}, 1};
    else if (west == 180.0f)  // 180 is -180: no crossing
        check.parts = {{Box{-180.0f, south, east, north}}, 1};
    else if (east == -180.0f)
        check.parts = {{Box{west, south, 180.0f, north}}, 1};
    else
        check.parts = {{Box{west, south, 180.0f, north},
                        Box{-180.0f, south, east, north}},
                       2};
    return check;
}

std::string box_problem_message(const BoxCheck &check,
                                std::string (*repr)(float))
{
    switch (check.problem) {
    case BoxProblem::west:
        return "west must be a longitude from -180 to 180, not " +
               repr(check.west);
    case BoxProblem::south:
        return "south must be a latitude from -90 to 90, not " +
               repr(check.south);
    case BoxProblem::east:
        return "east must be a longitude from -180 to 180, not " +
               repr(check.east);
    case BoxProblem::north:
        return "north must be a latitude from -90 to 90, not " +
               repr(check.north);
    case BoxProblem::south_above_north:
        return "south must not be greater than north: " + repr(check.south) +
               " > " + repr(check.north);
    case BoxProblem::none:
        break;
    }
    return {};
}

int cover(const Parts &parts, std::uint32_t z, Rectangle *out) noexcept
{
    const Box &first = parts.box[0];
    TileRange range =
        tile_range(first.west, first.south, first.east, first.north, z);
    if (parts.count == 2) {
        const Box &second = parts.box[1];
        const TileRange other = tile_range(second.west, second.south,
                                           second.east, second.north, z);
        if (std::uint64_t{other.x_max} + 1 < range.x_min) {
            out[0] = {z, range};
            out[1] = {z, other};
            return 2;
        }
        range.x_min = 0;
    }
    out[0] = {z, range};
    return 1;
}

}  // namespace quorlin
