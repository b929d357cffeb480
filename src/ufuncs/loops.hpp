// The inner loops of the array functions: one template per computation,
// instantiated for each row of the functions' type tables.
//
// A loop reads each element's inputs, narrows them exactly as the scalar
// call does (double to float rounds to nearest even, out of range to
// infinity), and either computes the element or, where the scalar call
// would refuse it, writes NaN to every output and notes a refusal. Loops
// touch no Python object, so NumPy runs them without the interpreter lock.
#pragma once

#include <bit>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "../geodesy/geodesy.hpp"
#include "../geodesy/tiles.hpp"
#include "kernels.hpp"

namespace quorlin::ufuncs {

// NumPy's loop signature, spelled without its headers so that this file
// needs none: char **args, npy_intp const *dimensions, npy_intp const
// *steps, void *data (npy_intp is Py_ssize_t).
using Count = std::intptr_t;

// The floating-point status around one loop call. NumPy clears the status
// before a ufunc call and reads it once after the whole call, which may be
// many loop calls (one per buffer or row). So a loop leaves behind exactly
// what it found, minus what its own arithmetic raised (narrowing overflow,
// an arcsine past 1, 0 x inf: answers, not errors), plus FE_INVALID when it
// refused an element. Testing is cheap; clearing is done only when needed.
class FloatStatus {
  public:
    static constexpr int WATCHED =
        FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

    FloatStatus() noexcept : before_(std::fetestexcept(WATCHED)) {}
    ~FloatStatus()
    {
        const int raised = std::fetestexcept(WATCHED) & ~before_;
        if (raised != 0)
            std::feclearexcept(raised);
        if (refused_)
            std::feraiseexcept(FE_INVALID);
    }
    FloatStatus(const FloatStatus &) = delete;
    FloatStatus &operator=(const FloatStatus &) = delete;

    void refuse() noexcept { refused_ = true; }

  private:
    int before_;
    bool refused_ = false;
};

template <class T>
T load(const char *at) noexcept
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(char *at, T value) noexcept
{
    std::memcpy(at, &value, sizeof value);
}

// A coordinate, radius or expansion, narrowed as the scalar call narrows it.
template <class T>
float narrow(const char *at) noexcept
{
    return static_cast<float>(load<T>(at));
}

// A tile index: false for what the scalar call refuses (below 0, or from
// 2^32 up).
template <class T>
bool tile_index(const char *at, std::uint32_t &index) noexcept
{
    const T value = load<T>(at);
    if constexpr (std::numeric_limits<T>::is_signed) {
        if (value < 0)
            return false;
    }
    if constexpr (sizeof(T) > sizeof(std::uint32_t)) {
        if (static_cast<std::uint64_t>(value) > UINT32_MAX)
            return false;
    }
    index = static_cast<std::uint32_t>(value);
    return true;
}

template <class Out>
void store_result(char *at, float value) noexcept
{
    // Widening is exact: a float64 output holds the float32 answer itself.
    store<Out>(at, static_cast<Out>(value));
}

template <class Out>
constexpr Out REFUSED = std::numeric_limits<Out>::quiet_NaN();

// valid_coordinates(lon, lat) -> bool. Never refuses.
template <class In>
void valid_coordinates_loop(char **args, Count const *dimensions,
                            Count const *steps, void *) noexcept
{
    FloatStatus status;  // NaN comparisons raise FE_INVALID: not an answer
    char *lon = args[0], *lat = args[1], *out = args[2];
    for (Count i = 0; i < dimensions[0]; ++i) {
        const bool valid =
            quorlin::valid_coordinates(narrow<In>(lon), narrow<In>(lat));
        store<unsigned char>(out, valid ? 1 : 0);
        lon += steps[0];
        lat += steps[1];
        out += steps[2];
    }
}

// great_circle_distance(lon1, lat1, lon2, lat2[, radius]) -> distance.
// A point that is the same for the whole loop (both its strides 0, as in a
// one-to-many call) is checked and prepared once.
template <class Real, bool WithRadius>
void distance_loop(char **args, Count const *dimensions, Count const *steps,
                   void *) noexcept
{
    FloatStatus status;
    constexpr int NIN = WithRadius ? 5 : 4;
    char *in[NIN];
    for (int k = 0; k < NIN; ++k)
        in[k] = args[k];
    char *out = args[NIN];
    const Count n = dimensions[0];
    const bool fixed_first = steps[0] == 0 && steps[1] == 0;
    const bool fixed_second = steps[2] == 0 && steps[3] == 0;

    PreparedPoint first{}, second{};
    bool first_valid = false, second_valid = false;
    if (n > 0 && fixed_first) {
        const float lon = narrow<Real>(in[0]), lat = narrow<Real>(in[1]);
        first_valid = valid_coordinates(lon, lat);
        if (first_valid)
            first = prepare_point(lon, lat);
    }
    if (n > 0 && fixed_second) {
        const float lon = narrow<Real>(in[2]), lat = narrow<Real>(in[3]);
        second_valid = valid_coordinates(lon, lat);
        if (second_valid)
            second = prepare_point(lon, lat);
    }
    // The element under the pointers by the scalar functions, refused or
    // not; then the pointers move on to the next.
    auto element = [&]() __attribute__((always_inline))
    {
        // Every input of the element is read before its output is written:
        // `out=` may be one of the inputs.
        const float lon1 = narrow<Real>(in[0]), lat1 = narrow<Real>(in[1]);
        const float lon2 = narrow<Real>(in[2]), lat2 = narrow<Real>(in[3]);
        float radius = MEAN_EARTH_RADIUS_M;
        if constexpr (WithRadius)
            radius = narrow<Real>(in[4]);
        if (!fixed_first)
            first_valid = valid_coordinates(lon1, lat1);
        if (!fixed_second)
            second_valid = valid_coordinates(lon2, lat2);
        if (first_valid && second_valid) [[likely]] {
            if (!fixed_first)
                first = prepare_point(lon1, lat1);
            if (!fixed_second)
                second = prepare_point(lon2, lat2);
            store_result<Real>(out, distance_unchecked(first, second, radius));
        } else {
            store<Real>(out, REFUSED<Real>);
            status.refuse();
        }
        for (int k = 0; k < NIN; ++k)
            in[k] += steps[k];
        out += steps[NIN];
    };

    Count i = 0;
    const kernels::Variant variant = kernels::active().variant;
    // Eight elements at a time through the vector kernel, when there is one
    // and no element of the eight is refused (those go one by one).
    if (variant != kernels::Variant::none && (!fixed_first || first_valid) &&
        (!fixed_second || second_valid)) {
        constexpr int L = kernels::LANES;
        const float prepared[2][3] = {
            {first.lambda, first.sin_phi, first.cos_phi},
            {second.lambda, second.sin_phi, second.cos_phi}};
        kernels::DistanceArguments block{};
        block.fixed[0] = fixed_first ? prepared[0] : nullptr;
        block.fixed[1] = fixed_second ? prepared[1] : nullptr;
        for (; i + L <= n; i += L) {
            for (int p = 0; p < 2; ++p) {
                block.lon[p] = {in[2 * p], steps[2 * p]};
                block.lat[p] = {in[2 * p + 1], steps[2 * p + 1]};
            }
            if constexpr (WithRadius)
                block.radius = {in[4], steps[4]};
            if (kernels::distances(variant, std::is_same_v<Real, double>,
                                   block, {out, steps[NIN]})) [[likely]] {
                for (int k = 0; k < NIN; ++k)
                    in[k] += L * steps[k];
                out += L * steps[NIN];
            } else {
                for (int j = 0; j < L; ++j)
                    element();
            }
        }
    }
    for (; i < n; ++i)
        element();
}

// The tile computations, each with the number of outputs it writes.
struct UpperLeft {
    static constexpr int NOUT = 2;
    static constexpr bool EXPANDS = false;
    static void compute(std::uint32_t x, std::uint32_t y, TileScale scale,
                        float, float *result) noexcept
    {
        const LonLat corner = wm_upper_left(x, y, scale);
        result[0] = corner.lon;
        result[1] = corner.lat;
    }
    static constexpr kernels::TileOutput KERNEL =
        kernels::TileOutput::upper_left;
};

inline void unpack(const TileBounds &box, float *result) noexcept
{
    result[0] = box.west;
    result[1] = box.south;
    result[2] = box.east;
    result[3] = box.north;
}

struct Bounds {
    static constexpr int NOUT = 4;
    static constexpr bool EXPANDS = false;
    static void compute(std::uint32_t x, std::uint32_t y, TileScale scale,
                        float, float *result) noexcept
    {
        unpack(wm_bounds(x, y, scale), result);
    }
    static constexpr kernels::TileOutput KERNEL = kernels::TileOutput::bounds;
};

struct ExpandedBox {
    static constexpr int NOUT = 4;
    static constexpr bool EXPANDS = true;
    static void compute(std::uint32_t x, std::uint32_t y, TileScale scale,
                        float expansion_meters, float *result) noexcept
    {
        unpack(wm_tile_expanded_bbox_unchecked(x, y, scale, expansion_meters),
               result);
    }
    static constexpr kernels::TileOutput KERNEL =
        kernels::TileOutput::expanded;
};

// zoom_scale(z), from a table of the C runtime's own answers for the zooms
// that occur (made once, on first use), so that a loop over varying zooms
// need not call powf for each element.
inline constexpr std::uint32_t KEPT_SCALES = 64;
inline const float *scale_table() noexcept
{
    static const auto table = [] {
        struct Table {
            float d[KEPT_SCALES];
        } t{};
        for (std::uint32_t k = 0; k < KEPT_SCALES; ++k)
            t.d[k] = zoom_scale(k).d;
        return t;
    }();
    return table.d;
}
// Whether the kept scales are the powers 2^-z themselves, as the vector
// kernels take them to be.
inline bool scales_are_powers() noexcept
{
    static const bool powers = [] {
        for (std::uint32_t k = 0; k < KEPT_SCALES; ++k)
            if (std::bit_cast<std::uint32_t>(scale_table()[k]) != (127 - k)
                                                                      << 23)
                return false;
        return true;
    }();
    return powers;
}
inline TileScale scale_of(std::uint32_t z) noexcept
{
    return z < KEPT_SCALES ? TileScale{scale_table()[z]} : zoom_scale(z);
}

// (x, y, z[, expansion_meters]) -> the computation's outputs, as Real. A
// zoom that is the same for the whole loop has its scale computed once.
template <class Index, class Real, class Computation>
void tile_loop(char **args, Count const *dimensions, Count const *steps,
               void *) noexcept
{
    FloatStatus status;
    constexpr int NIN = Computation::EXPANDS ? 4 : 3;
    constexpr int NOUT = Computation::NOUT;
    char *in[NIN];
    char *out[NOUT];
    for (int k = 0; k < NIN; ++k)
        in[k] = args[k];
    for (int k = 0; k < NOUT; ++k)
        out[k] = args[NIN + k];
    const Count n = dimensions[0];
    const bool fixed_zoom = steps[2] == 0;

    TileScale scale{};
    std::uint32_t z = 0;
    bool zoom_valid = false;
    if (n > 0 && fixed_zoom) {
        zoom_valid = tile_index<Index>(in[2], z);
        if (zoom_valid)
            scale = zoom_scale(z);
    }
    // The element under the pointers by the scalar functions, refused or
    // not; then the pointers move on to the next.
    auto element = [&]() __attribute__((always_inline))
    {
        std::uint32_t x = 0, y = 0;
        bool valid = tile_index<Index>(in[0], x);
        valid &= tile_index<Index>(in[1], y);
        if (!fixed_zoom)
            zoom_valid = tile_index<Index>(in[2], z);
        valid &= zoom_valid;
        float expansion_meters = 0.0f;
        if constexpr (Computation::EXPANDS) {
            expansion_meters = narrow<Real>(in[3]);
            valid &= valid_expansion(expansion_meters);
        }
        if (valid) [[likely]] {
            if (!fixed_zoom)
                scale = scale_of(z);
            float result[NOUT];
            Computation::compute(x, y, scale, expansion_meters, result);
            for (int k = 0; k < NOUT; ++k)
                store_result<Real>(out[k], result[k]);
        } else {
            for (int k = 0; k < NOUT; ++k)
                store<Real>(out[k], REFUSED<Real>);
            status.refuse();
        }
        for (int k = 0; k < NIN; ++k)
            in[k] += steps[k];
        for (int k = 0; k < NOUT; ++k)
            out[k] += steps[NIN + k];
    };

    Count i = 0;
    const kernels::Variant variant = kernels::active().variant;
    // Thirty-two elements at a time through the vector kernels, when there
    // are some and no element of the block is refused (those go one by one).
    if (variant != kernels::Variant::none && (!fixed_zoom || zoom_valid) &&
        scales_are_powers()) {
        constexpr int L = kernels::TILE_GEOMETRY_LANES;
        constexpr kernels::IndexType TYPE =
            std::is_same_v<Index, std::uint32_t>   ? kernels::IndexType::uint32
            : std::is_same_v<Index, std::uint64_t> ? kernels::IndexType::uint64
                                                   : kernels::IndexType::int64;
        static_assert(TYPE != kernels::IndexType::int64 ||
                      std::is_same_v<Index, std::int64_t>);
        kernels::TileArguments block{};
        kernels::Target targets[NOUT];
        for (; i + L <= n; i += L) {
            block.x = {in[0], steps[0]};
            block.y = {in[1], steps[1]};
            block.z = {in[2], steps[2]};
            if constexpr (Computation::EXPANDS)
                block.expansion = {in[3], steps[3]};
            for (int k = 0; k < NOUT; ++k)
                targets[k] = {out[k], steps[NIN + k]};
            if (kernels::tile_geometry(variant, Computation::KERNEL, TYPE,
                                       std::is_same_v<Real, double>, block,
                                       targets)) [[likely]] {
                for (int k = 0; k < NIN; ++k)
                    in[k] += L * steps[k];
                for (int k = 0; k < NOUT; ++k)
                    out[k] += L * steps[NIN + k];
            } else {
                for (int j = 0; j < L; ++j)
                    element();
            }
        }
    }
    for (; i < n; ++i)
        element();
}

// tile(lon, lat, z) -> (x, y), the tile that holds the point. What the
// scalar call refuses (a longitude outside [-180, 180], a latitude past the
// map's edge, NaN, a zoom outside 0..32) gives x = y = -1.
template <class Real>
void tile_of_loop(char **args, Count const *dimensions, Count const *steps,
                  void *) noexcept
{
    FloatStatus status;
    char *lon = args[0], *lat = args[1], *zoom = args[2];
    char *x = args[3], *y = args[4];
    auto advance = [&](Count k) __attribute__((always_inline))
    {
        lon += k * steps[0];
        lat += k * steps[1];
        zoom += k * steps[2];
        x += k * steps[3];
        y += k * steps[4];
    };
    auto element = [&]() __attribute__((always_inline))
    {
        const float point_lon = narrow<Real>(lon),
                    point_lat = narrow<Real>(lat);
        const std::int64_t z = load<std::int64_t>(zoom);
        if (tile_accepts(point_lon, point_lat, z)) [[likely]] {
            const TileIndex tile =
                tile_of(point_lon, point_lat, static_cast<std::uint32_t>(z));
            store<std::int64_t>(x, tile.x);
            store<std::int64_t>(y, tile.y);
        } else {
            store<std::int64_t>(x, -1);
            store<std::int64_t>(y, -1);
            status.refuse();
        }
        advance(1);
    };

    const Count n = dimensions[0];
    Count i = 0;
    // Sixteen points at a time through the kernel, when there is one and no
    // point of the sixteen is refused (those go one by one).
    if (kernels::active().tiles) {
        constexpr int L = kernels::TILE_LANES;
        kernels::PendingRows pending;
        for (; i + L <= n; i += L) {
            if (kernels::tiles(std::is_same_v<Real, double>, {lon, steps[0]},
                               {lat, steps[1]}, {zoom, steps[2]},
                               {x, steps[3]}, {y, steps[4]}, pending))
                [[likely]] {
                advance(L);
            } else {
                for (int j = 0; j < L; ++j)
                    element();
            }
        }
        kernels::finish_rows(pending);
    }
    for (; i < n; ++i)
        element();
}

}  // namespace quorlin::ufuncs
