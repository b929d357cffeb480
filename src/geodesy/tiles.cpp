#include "tiles.hpp"

#include <algorithm>
#include <array>
#include <bit>
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

// The row estimate, computed without the C runtime and without branches
// on the latitude: the runtime's sin and log1p branch on their argument's
// range, which random latitudes make the processor mispredict (it doubled
// the cost of tile() on random points). sin is the tile kernel's series
// to x^17 for |x| < 1.49 (the next term is below 2^-46; see
// ufuncs/tile_kernel.cpp); atanh is its series in s below 0.17 and two
// table logarithms above. The ordinate's relative error is below 2^-36,
// as the kernel's is (measured: below 2^-39 over 2 * 10^7 latitudes
// against long double), which is what the margin below allows for.
double series_sine(double x) noexcept
{
    constexpr const double(&C)[8] = SINE_SERIES;
    // Estrin's scheme: a shorter chain of dependent operations than Horner.
    const double u = x * x, u2 = u * u, u4 = u2 * u2;
    const double low = (C[0] + C[1] * u) + (C[2] + C[3] * u) * u2;
    const double high = (C[4] + C[5] * u) + (C[6] + C[7] * u) * u2;
    return x + (low + high * u4) * u * x;
}

double atanh_series(double w) noexcept
{
    const double u = w * w, u2 = u * u, u4 = u2 * u2;
    const double p = ((1.0 / 3 + 1.0 / 5 * u) + (1.0 / 7 + 1.0 / 9 * u) * u2) +
                     (1.0 / 11 + 1.0 / 13 * u) * u4;
    return w + p * u * w;
}

// log(x) for x in [0.003, 2): x = 2^e m, m in [1, 2); m = c (1 + r) with c
// the centre of m's 1/128 of [1, 2), so |r| < 2^-8 and log1p(r) is its
// series to r^7 (the next term is below 2^-67). The table holds 1/c and
// -log(1/c); the result is within a few units of 2^-53 of log(x). No
// division, and the two logarithms of the ordinate run side by side.
struct LogEntry {
    double inverse, log;
};

const std::array<LogEntry, 128> LOG_TABLE = [] {
    std::array<LogEntry, 128> table{};
    for (int i = 0; i < 128; ++i) {
        const double inverse = 1.0 / (1.0 + (i + 0.5) / 128.0);
        table[i] = {inverse, -std::log(inverse)};
    }
    return table;
}();

double table_log(double x) noexcept
{
    const auto bits = std::bit_cast<std::uint64_t>(x);
    const auto e =
        static_cast<double>(static_cast<std::int64_t>(bits >> 52) - 0x3ff);
    const double m = std::bit_cast<double>((bits & 0x000fffffffffffffULL) |
                                           0x3ff0000000000000ULL);
    const LogEntry &entry = LOG_TABLE[(bits >> 45) & 127];
    // m / c - 1 is below 2^-8: the product rounds, the difference is exact.
    const double r = m * entry.inverse - 1.0;
    const double r2 = r * r, r4 = r2 * r2;
    const double series =
        r - r2 * (((1.0 / 2 - 1.0 / 3 * r) + (1.0 / 4 - 1.0 / 5 * r) * r2) +
                  (1.0 / 6 - 1.0 / 7 * r) * r4);
    return e * 0x1.62e42fefa39efp-1 + entry.log + series;
}

// The Mercator ordinate atanh(s) of the sine of a latitude inside the map:
// (log(1 + a) - log(1 - a)) / 2 for a = |s|, the sign restored; below
// 0.17, where the logarithms would cancel, the series in a itself. Both
// are computed and one is chosen by mask, not by branch.
double mercator_ordinate(double s) noexcept
{
    const double a = std::fabs(s);
    const double logs = 0.5 * (table_log(1.0 + a) - table_log(1.0 - a));
    const double series = atanh_series(a);
    const std::uint64_t small = std::uint64_t{0} - (a < 0.17 ? 1u : 0u);
    const double y =
        std::bit_cast<double>((std::bit_cast<std::uint64_t>(series) & small) |
                              (std::bit_cast<std::uint64_t>(logs) & ~small));
    return std::copysign(y, s);
}

// The row from the exact formula, where the answer is clear of every
// float32 edge. A float32 north edge is atanf(sinhf(u)) * RAD_TO_DEG with u
// rounded once: with sinhf and atanf within 2 ulp, that is within 13 units
// of 2^-24 (relative) of the exact edge, and measured on glibc 2.36 within
// 5 (every row to zoom 20, 2 * 10^6 rows a zoom to 24). So a point farther
// than 2^-20 (16 units) of its latitude from the exact edge is on the same
// side of the float32 one; the margin is widened by 2^-8 of itself for
// the estimate's own error (atanh(sin phi) cos phi <= phi, so an ordinate
// within 2^-36 moves the distance by less). Up to zoom 24 the row number
// is exact in float32; above, float(row) rounds and the edges no longer
// follow the exact formula. Returns false where it cannot say.
bool row_clear_of_edges(float lat, std::uint32_t z, std::uint64_t &row,
                        double &position) noexcept
{
    const double n = tiles_across(z);
    // The series hold inside the map (|phi| < 1.49); beyond, the search
    // starts from the edge row.
    if (!(std::fabs(lat) < 85.1f)) {
        position = lat > 0.0f ? 0.0 : n;
        return false;
    }
    const double sine =
        series_sine(static_cast<double>(lat) * (std::numbers::pi / 180.0));
    position =
        n * 0.5 - mercator_ordinate(sine) * (n * (0.5 / std::numbers::pi));
    if (z > 24 || !(position >= 0.0 && position < n))
        return false;
    // Truncation is the floor here, and cheaper than std::floor without
    // SSE4.1.
    const auto whole = static_cast<std::uint64_t>(position);
    const double fraction = position - static_cast<double>(whole);
    const double rows_away = std::min(fraction, 1.0 - fraction);
    // A row is 360 cos(phi) / n degrees high (n a power of 2); compared
    // squared, so cos(phi)^2 = (1 - s)(1 + s) needs no root.
    const double degrees = rows_away * (360.0 / n);
    const double margin =
        std::fabs(static_cast<double>(lat)) * 0x1.01p-20 + 1e-30;
    if (!(degrees * degrees * ((1.0 - sine) * (1.0 + sine)) > margin * margin))
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
            std::min(fraction, 1.0 - fraction) * (360.0 / n);
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
    std::uint64_t row;
    double position;
    if (row_clear_of_edges(lat, z, row, position))
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
