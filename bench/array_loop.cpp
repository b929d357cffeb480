// The arithmetic over whole arrays in a plain C++ loop: what the array
// functions are measured against. Loaded with ctypes by bench/arrays.py and
// handed the very arrays the ufuncs get: contiguous float64 coordinates and
// int64 tile indices, narrowed and widened as the ufuncs do. Inputs are
// valid, so the checked functions never fail here.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "geodesy/geodesy.hpp"
#include "geodesy/tiles.hpp"

using namespace quorlin;

namespace {

float f(double value)
{
    return static_cast<float>(value);
}
std::uint32_t u(std::int64_t value)
{
    return static_cast<std::uint32_t>(value);
}

void store(const TileBounds &box, double *west, double *south, double *east,
           double *north, std::size_t i)
{
    west[i] = box.west;
    south[i] = box.south;
    east[i] = box.east;
    north[i] = box.north;
}

}  // namespace

extern "C" {

// The distance written out inline: the same checks, float functions and
// order of operations as the module's, with nothing between them; what the
// ufunc's scalar loop should come close to.
void inline_great_circle_distance(const double *lon1, const double *lat1,
                                  const double *lon2, const double *lat2,
                                  double *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const float a = f(lon1[i]), b = f(lat1[i]), c = f(lon2[i]),
                    d = f(lat2[i]);
        if (!(b > -90.0f && b < 90.0f && a > -180.0f && a < 180.0f &&
              d > -90.0f && d < 90.0f && c > -180.0f && c < 180.0f)) {
            out[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const float phi1 = b * DEG_TO_RAD, phi2 = d * DEG_TO_RAD;
        const float s1 = sinf(phi1), c1 = cosf(phi1);
        const float s2 = sinf(phi2), c2 = cosf(phi2);
        const float delta = (c * DEG_TO_RAD) - (a * DEG_TO_RAD);
        const float c_delta = cosf(delta), s_delta = sinf(delta);
        const float p = s_delta * c2;
        const float q = (c1 * s2) - ((s1 * c2) * c_delta);
        const float y = sqrtf((q * q) + (p * p));
        const float x = ((c1 * c2) * c_delta) + (s1 * s2);
        out[i] = atan2f(y, x) * MEAN_EARTH_RADIUS_M;
    }
}

void loop_great_circle_distance(const double *lon1, const double *lat1,
                                const double *lon2, const double *lat2,
                                double *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i] = great_circle_distance(f(lon1[i]), f(lat1[i]), f(lon2[i]),
                                       f(lat2[i]));
}

void loop_great_circle_distance_with_radius(
    const double *lon1, const double *lat1, const double *lon2,
    const double *lat2, const double *radius, double *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i] = great_circle_distance_with_radius(
            f(lon1[i]), f(lat1[i]), f(lon2[i]), f(lat2[i]), f(radius[i]));
}

void loop_wm_upper_left(const std::int64_t *x, const std::int64_t *y,
                        const std::int64_t *z, double *lon, double *lat,
                        std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const LonLat corner = wm_upper_left(u(x[i]), u(y[i]), u(z[i]));
        lon[i] = corner.lon;
        lat[i] = corner.lat;
    }
}

void loop_wm_bounds(const std::int64_t *x, const std::int64_t *y,
                    const std::int64_t *z, double *west, double *south,
                    double *east, double *north, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        store(wm_bounds(u(x[i]), u(y[i]), u(z[i])), west, south, east, north,
              i);
}

void loop_wm_tile_expanded_bbox(const std::int64_t *x, const std::int64_t *y,
                                const std::int64_t *z, const double *expansion,
                                double *west, double *south, double *east,
                                double *north, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        store(
            wm_tile_expanded_bbox(u(x[i]), u(y[i]), u(z[i]), f(expansion[i])),
            west, south, east, north, i);
}

void loop_tile(const double *lon, const double *lat, const std::int64_t *z,
               std::int64_t *x, std::int64_t *y, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const TileIndex tile = tile_of(f(lon[i]), f(lat[i]), u(z[i]));
        x[i] = tile.x;
        y[i] = tile.y;
    }
}

}  // extern "C"
