// Vector kernels for the array loops: eight elements at a time with AVX2,
// giving exactly the bits of the C runtime's scalar float functions.
//
// They follow the algorithms of glibc 2.36's sinf, cosf (computed in double,
// rounded once) and atanf, atan2f (computed in float), operation for
// operation, so that each lane rounds where the scalar function rounds.
// sinf and cosf come in two variants in glibc, chosen when it loads: one
// whose multiply-adds are fused (CPUs with FMA and AVX2) and one whose are
// not; `Variant` names the one a kernel follows, and the self-test picks the
// one the running C runtime uses, or none. tools/prove_kernels compares
// every kernel with the scalar function over all 2^32 inputs (atan2f:
// 10^9 pairs).
//
// Lanes a kernel does not compute (outside its fast path: huge arguments,
// NaN, infinities, the edge cases of atan2f) are reported in a bit mask
// for the caller to finish with the scalar function.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorlin::kernels {

enum class Variant { none, plain, fused };

inline constexpr int LANES = 8;

// True when this build has the kernels and the CPU can run them.
bool cpu_has_kernels() noexcept;

// sin and cos of eight floats; returns the lanes left to the caller.
unsigned sincos(Variant variant, const float *x, float *sin_out,
                float *cos_out) noexcept;
// atanf of eight floats; returns the lanes left to the caller (NaN).
unsigned atan(const float *x, float *out) noexcept;
// atan2f(y, x) of eight pairs; returns the lanes left to the caller.
unsigned atan2(const float *y, const float *x, float *out) noexcept;
// sinhf of eight floats; lanes from 22 on (glibc uses expf there), NaN
// and infinities are left to the caller.
unsigned sinh(const float *x, float *out) noexcept;
// asinf of eight floats; lanes past 1 (NaN) are left to the caller.
unsigned asin(const float *x, float *out) noexcept;

// The same four functions correctly rounded, for runtimes whose functions
// are (glibc 2.41 on): computed in double and rounded once; lanes whose
// double lies too near a rounding boundary, and the edge cases, are left
// to the caller (rounded.cpp says how near, and why that suffices).
unsigned atan_rounded(const float *x, float *out) noexcept;
unsigned atan2_rounded(const float *y, const float *x, float *out) noexcept;
unsigned asin_rounded(const float *x, float *out) noexcept;
unsigned sinh_rounded(const float *x, float *out) noexcept;

// Eight tile edges, as edge_longitude(column) and
// edge_latitude_degrees(row) compute them: columns and rows as floats,
// each lane's scale (zoom_scale(z).d). Every lane is written.
void corners(const float *column, const float *row, const float *scale,
             float *lon, float *lat) noexcept;
// The same for sixteen, as two groups side by side.
void corners16(const float *column, const float *row, const float *scale,
               float *lon, float *lat) noexcept;
// Eight expanded boxes from tiles' bounds and expansions, as
// wm_tile_expanded_bbox_unchecked computes one. Every lane is written.
void expanded_boxes(Variant variant, const float *west, const float *south,
                    const float *east, const float *north,
                    const float *expansion, float *out_west, float *out_south,
                    float *out_east, float *out_north) noexcept;

// One argument of a loop: where its first element is and the step in
// bytes to the next.
struct Column {
    const char *at;
    std::ptrdiff_t step;
};
struct Target {
    char *at;
    std::ptrdiff_t step;
};

// Sixteen points to the tiles that hold them, as tile_of finds each, each
// lane with its own zoom: longitudes and latitudes as float64 (`doubles`)
// or float32, narrowed as the scalar path narrows them, zooms as int64;
// the columns and rows written as int64 to `x` and `y`. Returns false,
// writing nothing, if any lane is one tile_accepts refuses.
//
// A row that one float32 edge decides waits in `pending` until sixteen such
// rows, from this block or later ones, fill the edge kernel's lanes; the
// loop calls finish_rows() before it returns (an output may be NumPy's
// buffer, valid only during the call).
inline constexpr int TILE_LANES = 16;
struct PendingRows {
    static constexpr int CAPACITY = 2 * TILE_LANES;
    int count = 0;
    char *out[CAPACITY];
    // The nearest edge, the latitude, the zoom's scale and the last row.
    float edge[CAPACITY], lat[CAPACITY], scale[CAPACITY], last[CAPACITY];
};
bool tiles(bool doubles, Column lon, Column lat, Column zoom, Target x,
           Target y, PendingRows &pending) noexcept;
void finish_rows(PendingRows &pending) noexcept;

// The arguments of eight elements of a distance loop: each point's
// longitudes and latitudes, or (`fixed`) the point prepared once for every
// lane (its lambda, sin phi and cos phi); the radii, or none (`at` null)
// for the mean radius.
struct DistanceArguments {
    Column lon[2], lat[2];
    const float *fixed[2];
    Column radius;
};
// Eight distances straight from a loop's float64 (`doubles`) or float32
// arguments to its output, as distance_unchecked() computes each. Returns
// false, writing nothing, if a lane is one valid_coordinates refuses.
// atan2f, and in the tile kernels atanf, asinf and sinhf, are computed by
// the kernel active() chose for each (the runtime's own function where
// none), and the lanes those leave by the runtime's function.
bool distances(Variant variant, bool doubles, const DistanceArguments &in,
               Target out) noexcept;

// The tile geometry ufuncs' computations, their index types, and the
// arguments of a block of elements: the indices and the expansions
// (float64 or float32 as the outputs, for `expanded` only). The kernel
// takes zoom_scale(z) to be 2^-z for zooms 0 to 63; the caller checks that
// the C runtime's powf makes it so.
enum class TileOutput { upper_left, bounds, expanded };
enum class IndexType { int64, uint32, uint64 };
struct TileArguments {
    Column x, y, z, expansion;
};
// Thirty-two elements of a tile geometry loop straight from its arguments
// to its outputs (2 or 4 of them), as wm_upper_left, wm_bounds and
// wm_tile_expanded_bbox_unchecked compute each; four groups of eight side
// by side, whose chains of dependent operations would leave the CPU
// waiting one at a time. Returns false, writing nothing, if a lane is one
// the scalar call refuses or has a zoom past 63.
inline constexpr int TILE_GEOMETRY_LANES = 32;
bool tile_geometry(Variant variant, TileOutput what, IndexType type,
                   bool doubles, const TileArguments &in,
                   const Target *out) noexcept;

// Which kernel computes one of atanf, atan2f, asinf and sinhf: one
// following fdlibm's algorithm (glibc before 2.41), a correctly rounded one
// (glibc 2.41 on), or none (the runtime's own function, lane by lane).
enum class Family { none, fdlibm, rounded };

// The kernels the running C runtime and CPU allow, after the self-tests
// (known hard inputs, among them those on which glibc's own variants
// differ and those on which fdlibm's functions and correctly rounded ones
// differ), with the reasons for the choice. `variant`: the sinf and cosf
// kernel, Variant::none for the scalar loops throughout; then each inverse
// function's kernel. `reason` is said of the distance ufuncs, `tile_reason`
// of the tile geometry ufuncs; `tiles` and `point_reason` of tile(), whose
// kernel needs no sinf and cosf.
struct Choice {
    Variant variant;
    Family atan, atan2, asin, sinh;
    bool tiles;
    char reason[240];
    char tile_reason[240];
    char point_reason[240];
};
Choice choose() noexcept;

// choose()'s answer for this process, made at the first call (the array
// module calls it when it is imported) and kept.
const Choice &active() noexcept;

}  // namespace quorlin::kernels
