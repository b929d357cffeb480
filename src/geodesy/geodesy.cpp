#include "geodesy.hpp"

#include <cmath>

#include "../failure/contract.hpp"

namespace quorlin {

// Column and row numbers are 64-bit so that the successor of 2^32 - 1 is
// 2^32 (exact in float), not 0.
float edge_longitude(std::uint64_t column, TileScale scale) noexcept
{
    const float c = static_cast<float>(column);
    return ((c * scale.d) * 360.0f) - 180.0f;
}

float edge_latitude_degrees(std::uint64_t row, TileScale scale) noexcept
{
    const float r = static_cast<float>(row);
    const float t = (r + r) * scale.d;
    return atanf(sinhf((1.0f - t) * PI_F)) * RAD_TO_DEG;
}

namespace {

float clamp_degrees(float value, float limit) noexcept
{
    // Written so that NaN passes through unchanged.
    if (value < -limit)
        return -limit;
    if (limit < value)
        return limit;
    return value;
}

}  // namespace

float great_circle_distance_with_radius(float lon1, float lat1, float lon2,
                                        float lat2, float radius)
{
    QUORLIN_CHECK(valid_coordinates(lon1, lat1));
    QUORLIN_CHECK(valid_coordinates(lon2, lat2));
    return distance_unchecked(prepare_point(lon1, lat1),
                              prepare_point(lon2, lat2), radius);
}

float great_circle_distance(float lon1, float lat1, float lon2, float lat2)
{
    return great_circle_distance_with_radius(lon1, lat1, lon2, lat2,
                                             MEAN_EARTH_RADIUS_M);
}

TileScale zoom_scale(std::uint32_t z) noexcept
{
    // The zoom's bits read as a signed integer: 2^31 and above are negative
    // exponents.
    const float exponent = static_cast<float>(static_cast<std::int32_t>(z));
    const float p = powf(2.0f, exponent);
    return {1.0f / p};
}

LonLat wm_upper_left(std::uint32_t x, std::uint32_t y,
                     TileScale scale) noexcept
{
    return {edge_longitude(x, scale), edge_latitude_degrees(y, scale)};
}

LonLat wm_upper_left(std::uint32_t x, std::uint32_t y,
                     std::uint32_t z) noexcept
{
    return wm_upper_left(x, y, zoom_scale(z));
}

TileBounds wm_bounds(std::uint32_t x, std::uint32_t y,
                     TileScale scale) noexcept
{
    const std::uint64_t next_x = std::uint64_t{x} + 1;
    const std::uint64_t next_y = std::uint64_t{y} + 1;
    return {
        edge_longitude(x, scale),
        edge_latitude_degrees(next_y, scale) + EDGE_EPSILON,
        edge_longitude(next_x, scale) + -EDGE_EPSILON,
        edge_latitude_degrees(y, scale),
    };
}

TileBounds wm_bounds(std::uint32_t x, std::uint32_t y,
                     std::uint32_t z) noexcept
{
    return wm_bounds(x, y, zoom_scale(z));
}

TileBounds wm_tile_expanded_bbox_unchecked(std::uint32_t x, std::uint32_t y,
                                           TileScale scale,
                                           float expansion_meters) noexcept
{
    const TileBounds tile = wm_bounds(x, y, scale);

    // Only the diagonal's length is needed, so corners on the antimeridian
    // or at a pole are measured rather than refused.
    const float diag = distance_unchecked(prepare_point(tile.west, tile.north),
                                          prepare_point(tile.east, tile.south),
                                          MEAN_EARTH_RADIUS_M);
    const float delta =
        ((diag * 0.5f) + expansion_meters) / MEAN_EARTH_RADIUS_M;

    const float lambda_c = ((tile.west + tile.east) * 0.5f) * DEG_TO_RAD;
    const float phi_c = ((tile.north + tile.south) * 0.5f) * DEG_TO_RAD;
    // No guard: past |1| the arcsine is NaN and so are both longitudes.
    const float delta_lambda = asinf(sinf(delta) / cosf(phi_c));

    return {
        clamp_degrees((lambda_c - delta_lambda) * RAD_TO_DEG, 180.0f),
        clamp_degrees((phi_c - delta) * RAD_TO_DEG, 90.0f),
        clamp_degrees((delta_lambda + lambda_c) * RAD_TO_DEG, 180.0f),
        clamp_degrees((delta + phi_c) * RAD_TO_DEG, 90.0f),
    };
}

TileBounds wm_tile_expanded_bbox(std::uint32_t x, std::uint32_t y,
                                 std::uint32_t z, float expansion_meters)
{
    QUORLIN_CHECK_AS(valid_expansion(expansion_meters),
                     "expansion_meters >= 0.0");
    return wm_tile_expanded_bbox_unchecked(x, y, zoom_scale(z),
                                           expansion_meters);
}

}  // namespace quorlin
