// Spherical distance and Web Mercator tile geometry, in single precision.
//
// Every product, sum and function value is rounded to float as it is formed,
// in the order written in geodesy.cpp: the rounding of each step is part of
// the result, so the expressions there must not be reassociated (build with
// -ffp-contract=off, never -ffast-math). Nothing here knows the interpreter.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace quorlin {

// Degrees to radians: 0.017453292f, bits 0x3C8EFA35.
inline constexpr float DEG_TO_RAD = 0.017453292f;
// Radians to degrees: 57.29578f, bits 0x42652EE1.
inline constexpr float RAD_TO_DEG = 57.29578f;
// Default sphere radius, metres: 6371009 exactly, bits 0x4AC26D82.
inline constexpr float MEAN_EARTH_RADIUS_M = 6371009.0f;
// Pi rounded to float: 3.1415927f, bits 0x40490FDB.
inline constexpr float PI_F = 3.1415927f;
// Inward nudge of a tile's south and east edges: 1e-9 rounds to
// 9.9999997e-10f, bits 0x3089705F. It only shows on edges of magnitude
// below 2^-5, such as the equator and the prime meridian.
inline constexpr float EDGE_EPSILON = 1e-9f;

static_assert(std::bit_cast<std::uint32_t>(DEG_TO_RAD) == 0x3C8EFA35u);
static_assert(std::bit_cast<std::uint32_t>(RAD_TO_DEG) == 0x42652EE1u);
static_assert(std::bit_cast<std::uint32_t>(MEAN_EARTH_RADIUS_M) ==
              0x4AC26D82u);
static_assert(std::bit_cast<std::uint32_t>(PI_F) == 0x40490FDBu);
static_assert(std::bit_cast<std::uint32_t>(EDGE_EPSILON) == 0x3089705Fu);

// A point, longitude first, in degrees.
struct LonLat {
    float lon;
    float lat;
};

// A box in degrees, always west, south, east, north.
struct TileBounds {
    float west;
    float south;
    float east;
    float north;
};

// True exactly when -90 < lat < 90 and -180 < lon < 180. The bounds are
// open, so the poles and the antimeridian are invalid; NaN fails every
// comparison and so is invalid too.
inline bool valid_coordinates(float lon, float lat) noexcept
{
    return lat > -90.0f && lat < 90.0f && lon > -180.0f && lon < 180.0f;
}

// Great-circle distance in the units of `radius` (normally metres) between
// two points on a sphere, from the arctangent form of the central angle.
// Each point must pass valid_coordinates (first point first), otherwise a
// contract failure "assertion failed: valid_coordinates(lon1, lat1)" (or
// lon2, lat2). The radius is not checked: 0, negative, inf and NaN radii are
// used as they are. The longitude difference is not wrapped.
float great_circle_distance_with_radius(float lon1, float lat1, float lon2,
                                        float lat2, float radius);

// The same on the sphere of MEAN_EARTH_RADIUS_M.
float great_circle_distance(float lon1, float lat1, float lon2, float lat2);

// Upper-left (north-west) corner of tile x, y at zoom z. Never fails: zooms
// of 128 and more make the scale 0; zooms of 2^31 and more act as negative
// exponents; columns and rows past 2^z - 1 are extrapolated.
LonLat wm_upper_left(std::uint32_t x, std::uint32_t y,
                     std::uint32_t z) noexcept;

// Bounds of tile x, y at zoom z, with the south and east edges nudged
// inwards by EDGE_EPSILON. Never fails.
TileBounds wm_bounds(std::uint32_t x, std::uint32_t y,
                     std::uint32_t z) noexcept;

// Bounding box of the spherical cap about the tile's centre that reaches its
// corners and then `expansion_meters` further, clamped to [-180, 180] and
// [-90, 90] (NaN passes). `expansion_meters` must be >= 0 (NaN is not),
// otherwise a contract failure "assertion failed: expansion_meters >= 0.0".
// Any tile address is accepted, including tiles whose corners lie on the
// antimeridian or at a pole; where the cap's half-width has no arcsine the
// longitudes are NaN.
TileBounds wm_tile_expanded_bbox(std::uint32_t x, std::uint32_t y,
                                 std::uint32_t z, float expansion_meters);

// ---- the same arithmetic in pieces, for callers that check first ----------
//
// The array loops answer a refused element with NaN rather than a failure,
// and do work that is constant over a loop (a fixed point, a fixed zoom)
// once. They test valid_coordinates / valid_expansion themselves and then
// call these, which never check and never fail. The functions above are
// built from the same pieces, so both give the same bits.

// A point converted for the distance formula: its longitude in radians and
// the sine and cosine of its latitude.
struct PreparedPoint {
    float lambda;
    float sin_phi;
    float cos_phi;
};
inline PreparedPoint prepare_point(float lon, float lat) noexcept
{
    const float phi = lat * DEG_TO_RAD;
    return {lon * DEG_TO_RAD, sinf(phi), cosf(phi)};
}

// Distance between two prepared points, in the units of `radius`: the
// central angle from its arctangent form (radians, in [0, pi]), times the
// radius. The points' validity is the caller's to test. Inline, with
// prepare_point, so that loops over many points compile it in place.
inline float distance_unchecked(const PreparedPoint &first,
                                const PreparedPoint &second,
                                float radius) noexcept
{
    // Difference of the converted longitudes, not conversion of the
    // difference; the trigonometric functions absorb any wrap-around.
    const float delta_lambda = second.lambda - first.lambda;
    const float s1 = first.sin_phi;
    const float c1 = first.cos_phi;
    const float s2 = second.sin_phi;
    const float c2 = second.cos_phi;
    const float c_delta = cosf(delta_lambda);
    const float s_delta = sinf(delta_lambda);

    const float a = s_delta * c2;
    const float b = (c1 * s2) - ((s1 * c2) * c_delta);
    const float y = sqrtf((b * b) + (a * a));
    const float x = ((c1 * c2) * c_delta) + (s1 * s2);
    return atan2f(y, x) * radius;
}

// The zoom's share of every tile formula: 1 / 2^z.
struct TileScale {
    float d;
};
TileScale zoom_scale(std::uint32_t z) noexcept;

// The one formula for each tile edge: the west edge of `column` and the
// north edge of `row`, in degrees, unnudged. 64-bit, so that 2^32 (the
// successor of the last 32-bit index) is a column or row too.
float edge_longitude(std::uint64_t column, TileScale scale) noexcept;
float edge_latitude_degrees(std::uint64_t row, TileScale scale) noexcept;

LonLat wm_upper_left(std::uint32_t x, std::uint32_t y,
                     TileScale scale) noexcept;
TileBounds wm_bounds(std::uint32_t x, std::uint32_t y,
                     TileScale scale) noexcept;

// True exactly when wm_tile_expanded_bbox accepts the expansion: >= 0, so
// -0.0 passes and NaN does not.
inline bool valid_expansion(float expansion_meters) noexcept
{
    return expansion_meters >= 0.0f;
}
// wm_tile_expanded_bbox without its check of `expansion_meters`.
TileBounds wm_tile_expanded_bbox_unchecked(std::uint32_t x, std::uint32_t y,
                                           TileScale scale,
                                           float expansion_meters) noexcept;

}  // namespace quorlin
