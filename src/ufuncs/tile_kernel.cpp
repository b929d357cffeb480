// Points to tiles, sixteen at a time (see kernels.hpp), deciding as tile_of
// decides and with the same answer.
//
// Each lane's column and row are first estimated in double, as column_of
// and row_of estimate them: the column from the longitude, the row from
// the Mercator ordinate atanh(sin phi). Where the estimate lies farther
// from every edge than the float32 edges can stray from the exact ones
// (the margins of column_of and row_of, up to zoom 24), it is the answer.
// The estimate here is computed without the C runtime: sin by its series
// (|phi| < 1.49), atanh by its series in s or, past 0.17, in
// f = (m - 1) / (m + 1) with (1 + s) / (1 - s) = 2^e m. Together their
// relative error on the ordinate is below 2^-36, where 2^-28 would do:
// the row's margin is widened by 2^-8 of itself, 2^-28 of the latitude,
// and since atanh(sin phi) cos phi <= phi, an ordinate that close moves
// the distance to an edge by less than that. (The margin itself, 2^-20 of
// the latitude, is what the float32 edges need: 13 units of 2^-24.)
//
// Where some lane is in doubt, it is decided on the float32 edges
// themselves: column c when west(c) <= lon < west(c + 1), row r when
// north(r) >= lat > north(r + 1) (the last column and row need only the
// first test). Up to zoom 22 a column's margin is under half a column, so
// only its nearest edge can be in doubt, and every column is decided on
// that edge in vector code. A row near one edge only waits, with those of
// later blocks, until sixteen fill the edge kernels (sinhf and atanf).
// Elsewhere the tests move to the neighbour they point to until both
// hold. Where float32 makes edges equal (zoom 23 and up), that finds the
// last tile whose edge the point reaches, as tile_of does. Lanes not
// settled in a few rounds go to tile_of.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "../geodesy/tiles.hpp"
#include "avx2.hpp"
#include "kernels.hpp"

namespace quorlin::kernels {

#if QUORLIN_KERNELS

namespace {

using avx2::absolute, avx2::element, avx2::fmadd, avx2::load4,
    avx2::load_zooms, avx2::splat;

constexpr double PI = 0x1.921fb54442d18p1, LN2 = 0x1.62e42fefa39efp-1;

// c[0] + c[1] u + ... + c[N-1] u^(N-1) by Estrin's scheme, whose shorter
// chain of dependent operations suits the long polynomials here.
template <std::size_t N>
AVX2 inline __m256d polynomial(__m256d u, const double (&c)[N])
{
    static_assert(N == 6 || N == 8);
    const __m256d u2 = _mm256_mul_pd(u, u), u4 = _mm256_mul_pd(u2, u2);
    const __m256d p01 = fmadd(splat(c[1]), u, splat(c[0]));
    const __m256d p23 = fmadd(splat(c[3]), u, splat(c[2]));
    const __m256d p45 = fmadd(splat(c[5]), u, splat(c[4]));
    const __m256d low = fmadd(p23, u2, p01);
    if constexpr (N == 6)
        return fmadd(p45, u4, low);
    const __m256d p67 = fmadd(splat(c[7]), u, splat(c[6]));
    return fmadd(fmadd(p67, u2, p45), u4, low);
}

// sin(x) for |x| < 1.49, by its series to x^17 (the next term is below
// 2^-46).
AVX2 inline __m256d sine(__m256d x)
{
    constexpr const double(&C)[8] = SINE_SERIES;
    const __m256d x2 = _mm256_mul_pd(x, x);
    return fmadd(_mm256_mul_pd(polynomial(x2, C), x2), x, x);
}

// atanh(w) = w + w^3 / 3 + ... for |w| <= 0.1716, to w^13 (the next term
// is below 2^-39 of the result).
AVX2 inline __m256d atanh_series(__m256d w)
{
    constexpr double C[] = {1.0 / 3, 1.0 / 5,  1.0 / 7,
                            1.0 / 9, 1.0 / 11, 1.0 / 13};
    const __m256d w2 = _mm256_mul_pd(w, w);
    return fmadd(_mm256_mul_pd(polynomial(w2, C), w2), w, w);
}

// The Mercator ordinate atanh(s) of sines s, |s| < 1.
AVX2 inline __m256d ordinate(__m256d s)
{
    const __m256d a = absolute(s);
    const __m256d t = _mm256_div_pd(_mm256_add_pd(splat(1.0), a),
                                    _mm256_sub_pd(splat(1.0), a));
    // t = 2^e m with m in [sqrt(1/2), sqrt(2)); t >= 1, so e >= 0.
    const __m256i offset = _mm256_sub_epi64(
        _mm256_castpd_si256(t), _mm256_set1_epi64x(0x3fe6a09e667f3bcdLL));
    const __m256i e = _mm256_srli_epi64(offset, 52);
    const __m256d m = _mm256_castsi256_pd(
        _mm256_sub_epi64(_mm256_castpd_si256(t), _mm256_slli_epi64(e, 52)));
    // e as a double: small integers added to 2^52 fill its low bits.
    const __m256d e_double =
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(
                          e, _mm256_set1_epi64x(0x4330000000000000LL))),
                      splat(0x1p52));
    const __m256d f = _mm256_div_pd(_mm256_sub_pd(m, splat(1.0)),
                                    _mm256_add_pd(m, splat(1.0)));
    // Below 0.17, e is 0 and f would carry t's rounding: the series in s.
    const __m256d w =
        _mm256_blendv_pd(f, a, _mm256_cmp_pd(a, splat(0.17), _CMP_LT_OQ));
    const __m256d y = fmadd(e_double, splat(0.5 * LN2), atanh_series(w));
    return _mm256_or_pd(y, _mm256_and_pd(s, splat(-0.0)));
}

// The distance from a position (in tiles) to the nearer edge, in tiles,
// and the position's whole part.
AVX2 inline __m256d to_nearer_edge(__m256d position, __m256d &whole)
{
    whole =
        _mm256_round_pd(position, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d fraction = _mm256_sub_pd(position, whole);
    return _mm256_min_pd(fraction, _mm256_sub_pd(splat(1.0), fraction));
}

AVX2 inline __m256d within(__m256d value, __m256d low, __m256d high)
{
    return _mm256_and_pd(_mm256_cmp_pd(value, low, _CMP_GE_OQ),
                         _mm256_cmp_pd(value, high, _CMP_LT_OQ));
}

// Whole numbers clamped to [0, last].
AVX2 inline __m256d at_most(__m256d whole, __m256d last)
{
    return _mm256_max_pd(_mm256_min_pd(whole, last), splat(0.0));
}

// The edge nearest to a position in tiles, 0 to n.
AVX2 inline __m256d nearest_edge(__m256d position, __m256d n)
{
    const __m256d e =
        _mm256_round_pd(_mm256_add_pd(position, splat(0.5)),
                        _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    return _mm256_min_pd(_mm256_max_pd(e, splat(0.0)), n);
}

// Four lanes' estimates: the positions in tiles (the column's and the
// row's), their whole parts clamped to [0, n - 1] (columns near one edge
// already decided on it), and 4-bit masks of the lanes whose column and
// row are settled or clear of every edge, and of the rows whose margin is
// under half a row, so that only the nearest edge can be in doubt.
struct Estimate {
    __m256d guess, position, column, row;
    unsigned column_clear, row_clear, row_single;
};

AVX2 inline unsigned mask(__m256d m)
{
    return static_cast<unsigned>(_mm256_movemask_pd(m));
}

AVX2 inline __m256d latitude_sine(__m128 lat_f)
{
    return sine(_mm256_mul_pd(_mm256_cvtps_pd(lat_f), splat(PI / 180.0)));
}

// Columns decided on their float32 edges, where the margin is under half
// a column (zoom 22 and below), so that only the nearest edge e can be in
// doubt: e if the point reaches its edge (one product and a difference, as
// edge_longitude computes it), else e - 1.
AVX2 inline __m256d decided_column(__m256d guess, __m128 lon_f, __m256d n,
                                   __m256d inverse_n, __m256d last)
{
    const __m256d edge = nearest_edge(guess, n);
    const __m128 west =
        _mm_sub_ps(_mm_mul_ps(_mm_mul_ps(_mm256_cvtpd_ps(edge),
                                         _mm256_cvtpd_ps(inverse_n)),
                              _mm_set1_ps(360.0f)),
                   _mm_set1_ps(180.0f));
    const __m256d reached = _mm256_castsi256_pd(
        _mm256_cvtepi32_epi64(_mm_castps_si128(_mm_cmple_ps(west, lon_f))));
    return at_most(
        _mm256_blendv_pd(_mm256_sub_pd(edge, splat(1.0)), edge, reached),
        last);
}

// Columns estimated, with the lanes whose estimate is clear of every edge,
// for groups with zooms above 22.
AVX2 inline void estimate_columns(Estimate &e, __m128 lon_f, __m256i z,
                                  __m256d n, __m256d inverse_n, __m256d last)
{
    const __m256d degrees_per_tile = _mm256_mul_pd(inverse_n, splat(360.0));
    // Up to zoom 24 only: above, float32 no longer holds every index.
    const __m256d to_24 =
        _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(25), z));
    __m256d whole_column;
    const __m256d column_distance =
        _mm256_mul_pd(to_nearer_edge(e.guess, whole_column), degrees_per_tile);
    constexpr double COLUMN_MARGIN = 0x1p-15;
    const __m256d column_clear = _mm256_and_pd(
        _mm256_and_pd(
            _mm256_cmp_pd(column_distance, splat(COLUMN_MARGIN), _CMP_GT_OQ),
            within(e.guess, splat(0.0), n)),
        to_24);
    const __m256d column_single =
        _mm256_and_pd(_mm256_cmp_pd(splat(2.0 * COLUMN_MARGIN),
                                    degrees_per_tile, _CMP_LT_OQ),
                      to_24);

    e.column = at_most(whole_column, last);
    e.column_clear = mask(column_clear);
    const unsigned single = mask(column_single);
    if ((single & ~e.column_clear) != 0) {
        e.column = _mm256_blendv_pd(
            e.column, decided_column(e.guess, lon_f, n, inverse_n, last),
            column_single);
        e.column_clear |= single;
    }
}

// The estimates, given the latitudes' sines s and their ordinates y.
AVX2 inline Estimate estimate4(__m128 lon_f, __m128 lat_f, __m256i z,
                               __m256d s, __m256d y, bool near_edges_only)
{
    Estimate e;
    const __m256d n = _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_add_epi64(z, _mm256_set1_epi64x(1023)), 52));
    const __m256d inverse_n = _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_sub_epi64(_mm256_set1_epi64x(1023), z), 52));
    const __m256d degrees_per_tile = _mm256_mul_pd(inverse_n, splat(360.0));
    // Up to zoom 24 only: above, float32 no longer holds every index.
    const __m256d to_24 =
        _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(25), z));

    const __m256d lon = _mm256_cvtps_pd(lon_f);
    e.guess = _mm256_mul_pd(
        _mm256_mul_pd(_mm256_add_pd(lon, splat(180.0)), splat(1.0 / 360.0)),
        n);
    const __m256d last = _mm256_sub_pd(n, splat(1.0));
    if (near_edges_only) {
        e.column = decided_column(e.guess, lon_f, n, inverse_n, last);
        e.column_clear = 0xfu;
    } else
        estimate_columns(e, lon_f, z, n, inverse_n, last);

    const __m256d lat = _mm256_cvtps_pd(lat_f);
    e.position =
        _mm256_sub_pd(_mm256_mul_pd(n, splat(0.5)),
                      _mm256_mul_pd(y, _mm256_mul_pd(n, splat(0.5 / PI))));
    __m256d whole_row;
    // A row is 360 cos(phi) / n degrees high; distances are compared
    // squared, so cos(phi)^2 = (1 - s)(1 + s) needs no root.
    const __m256d row_degrees =
        _mm256_mul_pd(degrees_per_tile, degrees_per_tile);
    const __m256d cos2 = _mm256_mul_pd(_mm256_sub_pd(splat(1.0), s),
                                       _mm256_add_pd(splat(1.0), s));
    const __m256d rows_away = to_nearer_edge(e.position, whole_row);
    const __m256d margin =
        fmadd(absolute(lat), splat(0x1.01p-20), splat(1e-30));
    const __m256d margin2 = _mm256_mul_pd(margin, margin);
    const __m256d row_size2 = _mm256_mul_pd(row_degrees, cos2);
    e.row_clear = mask(_mm256_and_pd(
        _mm256_and_pd(
            _mm256_cmp_pd(
                _mm256_mul_pd(_mm256_mul_pd(rows_away, rows_away), row_size2),
                margin2, _CMP_GT_OQ),
            within(e.position, splat(0.0), n)),
        to_24));
    // margin < row / 2
    e.row_single =
        mask(_mm256_and_pd(_mm256_cmp_pd(_mm256_mul_pd(margin2, splat(4.0)),
                                         row_size2, _CMP_LT_OQ),
                           to_24));
    e.row = at_most(whole_row, last);
    return e;
}

// Four whole numbers below 2^32 as int64, into the output from lane
// `first` on.
AVX2 inline void store_indices(Target out, int first, __m256d whole)
{
    // Their low 32 bits after adding 2^52.
    const __m256i bits = _mm256_sub_epi64(
        _mm256_castpd_si256(_mm256_add_pd(whole, splat(0x1p52))),
        _mm256_set1_epi64x(0x4330000000000000LL));
    char *at = out.at + first * out.step;
    if (out.step == sizeof(std::int64_t)) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(at), bits);
        return;
    }
    alignas(32) std::int64_t value[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(value), bits);
    for (int k = 0; k < 4; ++k)
        std::memcpy(at + k * out.step, &value[k], sizeof value[k]);
}

// The lanes of four that tile_accepts takes: longitudes in [-180, 180],
// latitudes within the map's edges (NaN neither), zooms 0 to MAX_ZOOM.
AVX2 inline unsigned accepted(__m128 lon, __m128 lat, __m256i zoom)
{
    const __m128 coordinates = _mm_and_ps(
        _mm_and_ps(_mm_cmp_ps(lon, _mm_set1_ps(-180.0f), _CMP_GE_OQ),
                   _mm_cmp_ps(lon, _mm_set1_ps(180.0f), _CMP_LE_OQ)),
        _mm_and_ps(_mm_cmp_ps(lat, _mm_set1_ps(MAP_SOUTH_EDGE), _CMP_GE_OQ),
                   _mm_cmp_ps(lat, _mm_set1_ps(MAP_NORTH_EDGE), _CMP_LE_OQ)));
    const __m256i bad_zoom = _mm256_or_si256(
        _mm256_cmpgt_epi64(_mm256_setzero_si256(), zoom),
        _mm256_cmpgt_epi64(zoom, _mm256_set1_epi64x(MAX_ZOOM)));
    return static_cast<unsigned>(_mm_movemask_ps(coordinates)) &
           ~static_cast<unsigned>(
               _mm256_movemask_pd(_mm256_castsi256_pd(bad_zoom)));
}

// The lanes in `open` moved towards the float32 edges: each column or row
// c is kept when edge(c) and edge(c + 1) hold the point between them (the
// last needs only the first), or else moved one towards the point and
// tried again, up to ROUNDS times (from zoom 20 the float32 edges stray a
// tenth of a tile and more from the exact ones, so the estimate is often
// one off). `edges(count, index, lanes, out)` gives the edges of the
// indices. Returns the lanes still open.
constexpr int ROUNDS = 4;

template <class Edges>
AVX2 inline unsigned settle(unsigned open, double *index, const double *last,
                            const float *point, bool north_down, Edges edges)
{
    for (int round = 0; round < ROUNDS && open != 0; ++round) {
        double at[2 * TILE_LANES];
        int lanes[TILE_LANES], count = 0;
        for (unsigned o = open; o != 0; o &= o - 1) {
            const int j = std::countr_zero(o);
            lanes[count] = j;
            at[2 * count] = index[j];
            at[2 * count + 1] = index[j] + 1.0;
            ++count;
        }
        float edge[2 * TILE_LANES];
        edges(2 * count, at, lanes, edge);
        for (int k = 0; k < count; ++k) {
            const int j = lanes[k];
            const float here = edge[2 * k], next = edge[2 * k + 1];
            // Columns grow eastward, rows southward (latitudes fall).
            const bool before = north_down ? here < point[j] : here > point[j];
            const bool after =
                index[j] != last[j] &&
                (north_down ? point[j] <= next : point[j] >= next);
            if (before)
                index[j] -= 1.0;
            else if (after)
                index[j] += 1.0;
            else
                open &= ~(1u << j);
        }
    }
    return open;
}

// What the estimates left in doubt, for sixteen lanes.
struct Doubt {
    float lon[TILE_LANES], lat[TILE_LANES];
    std::int64_t zoom[TILE_LANES];
    double guess[TILE_LANES], position[TILE_LANES], column[TILE_LANES],
        row[TILE_LANES];
    unsigned column_clear, row_clear, row_single;
};

// Row edges need sinhf and atanf: eight at a time by the edge kernel.
AVX2 void north_edges(int count, const double *at, const TileScale *scale,
                      float *out)
{
    for (int k = 0; k < count; k += LANES) {
        alignas(32) float rows[LANES] = {}, scales[LANES] = {}, lons[LANES],
                          lats[LANES];
        for (int i = 0; i < LANES && k + i < count; ++i) {
            rows[i] = static_cast<float>(at[k + i]);
            scales[i] = scale[k + i].d;
        }
        corners(rows, rows, scales, lons, lats);
        for (int i = 0; i < LANES && k + i < count; ++i)
            out[k + i] = lats[i];
    }
}

// The first sixteen pending rows (or all, if fewer): row e where the point
// reaches e's north edge, else e - 1, within 0 to the last row.
AVX2 void decide_rows(PendingRows &pending)
{
    alignas(32) float edge[TILE_LANES] = {}, scale[TILE_LANES] = {},
                      lons[TILE_LANES], north[TILE_LANES];
    const int count = pending.count < TILE_LANES ? pending.count : TILE_LANES;
    std::memcpy(edge, pending.edge, count * sizeof(float));
    std::memcpy(scale, pending.scale, count * sizeof(float));
    if (count > LANES)
        corners16(edge, edge, scale, lons, north);
    else
        corners(edge, edge, scale, lons, north);
    for (int k = 0; k < count; ++k) {
        float row = north[k] >= pending.lat[k] ? pending.edge[k]
                                               : pending.edge[k] - 1.0f;
        row = row < 0.0f              ? 0.0f
              : row > pending.last[k] ? pending.last[k]
                                      : row;
        const std::int64_t index = static_cast<std::int64_t>(row);
        std::memcpy(pending.out[k], &index, sizeof index);
    }
    const int rest = pending.count - count;
    std::memmove(pending.out, pending.out + count, rest * sizeof(char *));
    for (float *field :
         {pending.edge, pending.lat, pending.scale, pending.last})
        std::memmove(field, field + count, rest * sizeof(float));
    pending.count = rest;
}

// Lanes of a group whose row one edge decides, to the queue.
AVX2 void queue_rows(unsigned lanes, __m256d position, __m256i z, __m128 lat,
                     Target y, int first, PendingRows &pending)
{
    const __m256d n = _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_add_epi64(z, _mm256_set1_epi64x(1023)), 52));
    alignas(32) double edge[4], scale[4], last[4];
    alignas(16) float latitude[4];
    _mm256_store_pd(edge, nearest_edge(position, n));
    _mm256_store_pd(scale, _mm256_div_pd(splat(1.0), n));
    _mm256_store_pd(last, _mm256_sub_pd(n, splat(1.0)));
    _mm_store_ps(latitude, lat);
    for (; lanes != 0; lanes &= lanes - 1) {
        const int j = std::countr_zero(lanes);
        const int k = pending.count++;
        pending.out[k] = y.at + (first + j) * y.step;
        pending.edge[k] = static_cast<float>(edge[j]);
        pending.lat[k] = latitude[j];
        pending.scale[k] = static_cast<float>(scale[j]);
        pending.last[k] = static_cast<float>(last[j]);
    }
}

// The lanes in doubt decided on the float32 edges: written to `x` and `y`,
// or returned for tile_of. A row near one edge only goes to the queue;
// elsewhere `settle` walks from the estimate.
AVX2 unsigned on_the_edges(Doubt &d, Target x, Target y, PendingRows &pending)
{
    constexpr unsigned ALL = (1u << TILE_LANES) - 1;
    const unsigned doubt = ~(d.column_clear & d.row_clear) & ALL;
    TileScale scale[TILE_LANES];
    double last[TILE_LANES];
    for (unsigned o = doubt; o != 0; o &= o - 1) {
        const int j = std::countr_zero(o);
        scale[j] = tile_scale(static_cast<std::uint32_t>(d.zoom[j]));
        last[j] = static_cast<double>((std::int64_t{1} << d.zoom[j]) - 1);
    }
    // The nearest edge to a position, 0 to n. (Truncation is the floor of
    // what is not negative.)
    auto nearest = [&](double position, int j) {
        if (!(position > 0.0))
            return 0.0;
        const double e =
            static_cast<double>(static_cast<std::int64_t>(position + 0.5));
        return e > last[j] + 1.0 ? last[j] + 1.0 : e;
    };

    // Columns: edges are one product and a difference, the scalar formula.
    const unsigned column_doubt = ~d.column_clear & ALL;
    unsigned left =
        settle(column_doubt, d.column, last, d.lon, false,
               [&](int count, const double *at, const int *lanes, float *out) {
                   for (int k = 0; k < count; ++k)
                       out[k] =
                           edge_longitude(static_cast<std::uint64_t>(at[k]),
                                          scale[lanes[k / 2]]);
               });

    const unsigned row_doubt = ~d.row_clear & ALL;
    // Rows that one edge decides wait for the edge kernel's lanes to fill
    // (tile_of will write the lanes in `left` whole).
    for (unsigned o = row_doubt & d.row_single & ~left; o != 0; o &= o - 1) {
        const int j = std::countr_zero(o);
        const int k = pending.count++;
        pending.out[k] = y.at + j * y.step;
        pending.edge[k] = static_cast<float>(nearest(d.position[j], j));
        pending.lat[k] = d.lat[j];
        pending.scale[k] = scale[j].d;
        pending.last[k] = static_cast<float>(last[j]);
    }
    left |=
        settle(row_doubt & ~d.row_single & ~left, d.row, last, d.lat, true,
               [&](int count, const double *at, const int *lanes, float *out) {
                   TileScale scales[2 * TILE_LANES];
                   for (int k = 0; k < count; ++k)
                       scales[k] = scale[lanes[k / 2]];
                   north_edges(count, at, scales, out);
               });
    for (unsigned decided = doubt & ~left; decided != 0;
         decided &= decided - 1) {
        const int j = std::countr_zero(decided);
        const std::int64_t column_index =
                               static_cast<std::int64_t>(d.column[j]),
                           row_index = static_cast<std::int64_t>(d.row[j]);
        std::memcpy(x.at + j * x.step, &column_index, sizeof column_index);
        std::memcpy(y.at + j * y.step, &row_index, sizeof row_index);
    }
    return left;
}

// Sixteen lanes as four independent groups of four: each group's estimate
// is a long chain of dependent operations, and four in flight keep the
// CPU busy where one would leave it waiting.
AVX2 bool tiles16(bool doubles, Column lon_in, Column lat_in, Column zoom_in,
                  Target x, Target y, PendingRows &pending)
{
    constexpr int GROUPS = TILE_LANES / 4;
    __m128 lon[GROUPS], lat[GROUPS];
    __m256i zoom[GROUPS];
    unsigned accepted_lanes = 0;
    for (int g = 0; g < GROUPS; ++g) {
        lon[g] = load4(doubles, lon_in.at + 4 * g * lon_in.step, lon_in.step);
        lat[g] = load4(doubles, lat_in.at + 4 * g * lat_in.step, lat_in.step);
        zoom[g] = load_zooms(zoom_in.at + 4 * g * zoom_in.step, zoom_in.step);
        accepted_lanes |= accepted(lon[g], lat[g], zoom[g]) << (4 * g);
    }
    constexpr unsigned ALL = (1u << TILE_LANES) - 1;
    if (accepted_lanes != ALL) [[unlikely]]
        return false;
    // Step by step across the groups, so that the processor has the four
    // chains side by side: one group's estimate whole, then the next's,
    // is longer than it looks ahead.
    __m256d sines[GROUPS], ordinates[GROUPS];
    for (int g = 0; g < GROUPS; ++g)
        sines[g] = latitude_sine(lat[g]);
    for (int g = 0; g < GROUPS; ++g)
        ordinates[g] = ordinate(sines[g]);
    Estimate e[GROUPS];
    unsigned clear = 0;
    for (int g = 0; g < GROUPS; ++g) {
        const bool near_edges_only =
            _mm256_movemask_pd(_mm256_castsi256_pd(
                _mm256_cmpgt_epi64(zoom[g], _mm256_set1_epi64x(22)))) == 0;
        e[g] = estimate4(lon[g], lat[g], zoom[g], sines[g], ordinates[g],
                         near_edges_only);
        clear |= (e[g].column_clear & e[g].row_clear) << (4 * g);
    }
    for (int g = 0; g < GROUPS; ++g) {
        store_indices(x, 4 * g, e[g].column);
        store_indices(y, 4 * g, e[g].row);
    }
    if (clear == ALL) [[likely]]
        return true;

    // Most often only rows near one edge are in doubt: they go to the
    // queue straight from the registers.
    unsigned open = 0, queued = 0;
    for (int g = 0; g < GROUPS; ++g) {
        const unsigned row_doubt = ~e[g].row_clear & 0xfu;
        open |= ((~e[g].column_clear & 0xfu) | (row_doubt & ~e[g].row_single))
                << (4 * g);
        queued |= (row_doubt & e[g].row_single) << (4 * g);
    }
    if (open == 0) {
        for (int g = 0; g < GROUPS; ++g) {
            const unsigned lanes = (queued >> (4 * g)) & 0xfu;
            if (lanes != 0)
                queue_rows(lanes, e[g].position, zoom[g], lat[g], y, 4 * g,
                           pending);
        }
        while (pending.count >= TILE_LANES)
            decide_rows(pending);
        return true;
    }

    Doubt d;
    d.column_clear = d.row_clear = d.row_single = 0;
    for (int g = 0; g < GROUPS; ++g) {
        _mm_storeu_ps(d.lon + 4 * g, lon[g]);
        _mm_storeu_ps(d.lat + 4 * g, lat[g]);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d.zoom + 4 * g),
                            zoom[g]);
        _mm256_storeu_pd(d.guess + 4 * g, e[g].guess);
        _mm256_storeu_pd(d.position + 4 * g, e[g].position);
        _mm256_storeu_pd(d.column + 4 * g, e[g].column);
        _mm256_storeu_pd(d.row + 4 * g, e[g].row);
        d.column_clear |= e[g].column_clear << (4 * g);
        d.row_clear |= e[g].row_clear << (4 * g);
        d.row_single |= e[g].row_single << (4 * g);
    }
    unsigned left = on_the_edges(d, x, y, pending);
    // Written here rather than by the caller, which may find its inputs
    // overwritten: NumPy runs a ufunc in place when an output is an input.
    for (; left != 0; left &= left - 1) {
        const int j = std::countr_zero(left);
        const TileIndex tile =
            tile_of(d.lon[j], d.lat[j], static_cast<std::uint32_t>(d.zoom[j]));
        const std::int64_t column = tile.x, row = tile.y;
        std::memcpy(x.at + j * x.step, &column, sizeof column);
        std::memcpy(y.at + j * y.step, &row, sizeof row);
    }
    while (pending.count >= TILE_LANES)
        decide_rows(pending);
    return true;
}

}  // namespace

bool tiles(bool doubles, Column lon, Column lat, Column zoom, Target x,
           Target y, PendingRows &pending) noexcept
{
    return tiles16(doubles, lon, lat, zoom, x, y, pending);
}

void finish_rows(PendingRows &pending) noexcept
{
    while (pending.count > 0)
        decide_rows(pending);
}

#else  // no kernels in this build

bool tiles(bool, Column, Column, Column, Target, Target,
           PendingRows &) noexcept
{
    return false;
}

void finish_rows(PendingRows &) noexcept {}

#endif

}  // namespace quorlin::kernels
