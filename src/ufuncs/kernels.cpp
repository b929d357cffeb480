// The vector kernels (see kernels.hpp).
#include "kernels.hpp"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "../geodesy/geodesy.hpp"
#include "avx2.hpp"

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

namespace quorlin::kernels {

#if QUORLIN_KERNELS

namespace {

// glibc's sinf/cosf constants: 2/pi scaled by 2^24 (its integer rounding
// takes the quadrant from bits 24 up), pi/2, and the polynomials.
constexpr double HPI_INV = 0x1.45F306DC9C883p+23;
constexpr double HPI = 0x1.921FB54442D18p0;
constexpr double C0 = 0x1p0, C1 = -0x1.ffffffd0c621cp-2,
                 C2 = 0x1.55553e1068f19p-5, C3 = -0x1.6c087e89a359dp-10,
                 C4 = 0x1.99343027bf8c3p-16;
constexpr double S1 = -0x1.555545995a603p-3, S2 = 0x1.1107605230bc4p-7,
                 S3 = -0x1.994eb3774cf24p-13;
// Thresholds on the magnitude's bits, as glibc compares only their top
// 12: below 0.75 no reduction, below 2^-12 the answer is x (or 1), from
// 120 the reduction needs more bits than a double (left to the caller).
constexpr std::int32_t SMALL = 0x3f400000, TINY = 0x39800000,
                       LARGE = 0x42f00000;

template <bool Fused>
AVX2 inline __m256d mul_add(__m256d a, __m256d b, __m256d c)
{
    if constexpr (Fused)
        return _mm256_fmadd_pd(a, b, c);
    else
        return _mm256_add_pd(_mm256_mul_pd(a, b), c);
}

AVX2 inline __m256d splat(double v)
{
    return _mm256_set1_pd(v);
}
AVX2 inline __m256 splat(float v)
{
    return _mm256_set1_ps(v);
}
AVX2 inline __m256i splat(std::int32_t v)
{
    return _mm256_set1_epi32(v);
}

// Four lanes of sinf and cosf, computed in double as glibc does.
template <bool Fused>
AVX2 inline void sincos4(__m128 xf, __m128 &sin_out, __m128 &cos_out)
{
    const __m128i bits =
        _mm_and_si128(_mm_castps_si128(xf), _mm_set1_epi32(0x7fffffff));
    const __m128i small = _mm_cmplt_epi32(bits, _mm_set1_epi32(SMALL));
    const __m256d x = _mm256_cvtps_pd(xf);

    // The quadrant: truncate x * 2/pi * 2^24, add half a quadrant, shift.
    const __m128i scaled =
        _mm256_cvttpd_epi32(_mm256_mul_pd(x, splat(HPI_INV)));
    __m128i n =
        _mm_srai_epi32(_mm_add_epi32(scaled, _mm_set1_epi32(0x800000)), 24);
    n = _mm_andnot_si128(small, n);  // no reduction: quadrant 0, x as it is
    const __m256d nd = _mm256_cvtepi32_pd(n);
    __m256d r;
    if constexpr (Fused)
        r = _mm256_fnmadd_pd(nd, splat(HPI), x);
    else
        r = _mm256_sub_pd(x, _mm256_mul_pd(nd, splat(HPI)));

    // Quadrants 1 and 2 negate the sine's argument; 2 and 3 the cosine
    // polynomial; odd quadrants swap the two.
    const __m256i n64 = _mm256_cvtepi32_epi64(n);
    const __m256i one = _mm256_set1_epi64x(1), two = _mm256_set1_epi64x(2);
    const __m256d negate_x = _mm256_castsi256_pd(_mm256_slli_epi64(
        _mm256_and_si256(_mm256_add_epi64(n64, one), two), 62));
    const __m256d negate_cos =
        _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_and_si256(n64, two), 62));
    const __m256d odd = _mm256_castsi256_pd(
        _mm256_cmpeq_epi64(_mm256_and_si256(n64, one), one));

    const __m256d xs = _mm256_xor_pd(r, negate_x);
    const __m256d x2 = _mm256_mul_pd(r, r);

    const __m256d x3 = _mm256_mul_pd(xs, x2);
    const __m256d s1 = mul_add<Fused>(x2, splat(S3), splat(S2));
    const __m256d x7 = _mm256_mul_pd(x3, x2);
    const __m256d s = mul_add<Fused>(x3, splat(S1), xs);
    const __m256d sine = mul_add<Fused>(x7, s1, s);

    const __m256d x4 = _mm256_mul_pd(x2, x2);
    const __m256d c2 = mul_add<Fused>(x2, splat(C4), splat(C3));
    const __m256d c1 = mul_add<Fused>(x2, splat(C1), splat(C0));
    const __m256d x6 = _mm256_mul_pd(x4, x2);
    const __m256d c = mul_add<Fused>(x4, splat(C2), c1);
    const __m256d cosine =
        _mm256_xor_pd(mul_add<Fused>(x6, c2, c), negate_cos);

    __m128 sin_f = _mm256_cvtpd_ps(_mm256_blendv_pd(sine, cosine, odd));
    __m128 cos_f = _mm256_cvtpd_ps(_mm256_blendv_pd(cosine, sine, odd));
    const __m128 tiny =
        _mm_castsi128_ps(_mm_cmplt_epi32(bits, _mm_set1_epi32(TINY)));
    sin_out = _mm_blendv_ps(sin_f, xf, tiny);
    cos_out = _mm_blendv_ps(cos_f, _mm_set1_ps(1.0f), tiny);
}

template <bool Fused>
AVX2 unsigned sincos8(const float *x, float *sin_out, float *cos_out)
{
    const __m256 v = _mm256_loadu_ps(x);
    __m128 s_lo, c_lo, s_hi, c_hi;
    sincos4<Fused>(_mm256_castps256_ps128(v), s_lo, c_lo);
    sincos4<Fused>(_mm256_extractf128_ps(v, 1), s_hi, c_hi);
    _mm256_storeu_ps(sin_out, _mm256_set_m128(s_hi, s_lo));
    _mm256_storeu_ps(cos_out, _mm256_set_m128(c_hi, c_lo));
    const __m256i bits =
        _mm256_and_si256(_mm256_castps_si256(v), splat(0x7fffffff));
    const __m256i left = _mm256_cmpgt_epi32(bits, splat(LARGE - 1));
    return static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(left)));
}

// Lanes whose magnitude bits are below `limit`, as a float mask.
AVX2 inline __m256 below(__m256i ix, std::int32_t limit)
{
    return _mm256_castsi256_ps(_mm256_cmpgt_epi32(splat(limit), ix));
}

// coefficient + w * acc, rounded twice as glibc's float code rounds.
AVX2 inline __m256 step(__m256 w, __m256 acc, float coefficient)
{
    return _mm256_add_ps(splat(coefficient), _mm256_mul_ps(w, acc));
}

AVX2 inline __m256 flip(__m256 mask)
{
    return _mm256_xor_ps(mask, _mm256_castsi256_ps(splat(-1)));
}

// atanf in float, as glibc 2.36 computes it (the fdlibm algorithm: four
// reduction intervals around 0.5, 1, 1.5 and infinity, then one polynomial
// split into odd and even halves). `ix` is the magnitude's bits.
AVX2 inline __m256 atan8(__m256 x, __m256i ix)
{
    const __m256 ONE = splat(1.0f);
    const __m256 a = _mm256_andnot_ps(splat(-0.0f), x);
    const __m256 reduced = flip(below(ix, 0x3ee00000));
    const __m256 id_le0 = below(ix, 0x3f300000),
                 id_le1 = below(ix, 0x3f980000),
                 id_le2 = below(ix, 0x401c0000);
    // id 0: (2a - 1) / (2 + a); 1: (a - 1) / (a + 1); 2: (a - 1.5) / (1
    // + 1.5a); 3: -1 / a.
    __m256 num = _mm256_blendv_ps(_mm256_sub_ps(a, splat(1.5f)), splat(-1.0f),
                                  flip(id_le2));
    __m256 den = _mm256_blendv_ps(
        _mm256_add_ps(ONE, _mm256_mul_ps(splat(1.5f), a)), a, flip(id_le2));
    num = _mm256_blendv_ps(num, _mm256_sub_ps(a, ONE), id_le1);
    den = _mm256_blendv_ps(den, _mm256_add_ps(a, ONE), id_le1);
    num = _mm256_blendv_ps(
        num, _mm256_sub_ps(_mm256_mul_ps(splat(2.0f), a), ONE), id_le0);
    den = _mm256_blendv_ps(den, _mm256_add_ps(splat(2.0f), a), id_le0);
    // Unreduced lanes keep x (and divide 1 by 1, harmlessly).
    num = _mm256_blendv_ps(x, num, reduced);
    den = _mm256_blendv_ps(ONE, den, reduced);
    const __m256 t = _mm256_div_ps(num, den);

    const __m256 z = _mm256_mul_ps(t, t);
    const __m256 w = _mm256_mul_ps(z, z);
    __m256 odd = step(w, splat(1.6285819933e-02f), 4.9768779427e-02f);
    odd = step(w, odd, 6.6610731184e-02f);
    odd = step(w, odd, 9.0908870101e-02f);
    odd = step(w, odd, 1.4285714924e-01f);
    odd = step(w, odd, 3.3333334327e-01f);
    const __m256 s1 = _mm256_mul_ps(z, odd);
    __m256 even = step(w, splat(-3.6531571299e-02f), -5.8335702866e-02f);
    even = step(w, even, -7.6918758452e-02f);
    even = step(w, even, -1.1111110449e-01f);
    even = step(w, even, -2.0000000298e-01f);
    const __m256 s2 = _mm256_mul_ps(w, even);
    const __m256 sum = _mm256_add_ps(s1, s2);
    const __m256 t_sum = _mm256_mul_ps(t, sum);

    const __m256 unreduced_result = _mm256_sub_ps(t, t_sum);
    // id: 0 to 3 from the three comparisons (each true lane is -1).
    const __m256i id = _mm256_add_epi32(
        splat(3),
        _mm256_add_epi32(_mm256_castps_si256(id_le0),
                         _mm256_add_epi32(_mm256_castps_si256(id_le1),
                                          _mm256_castps_si256(id_le2))));
    const __m256 hi = _mm256_permutevar8x32_ps(
        _mm256_setr_ps(4.6364760399e-01f, 7.8539812565e-01f, 9.8279368877e-01f,
                       1.5707962513e+00f, 0, 0, 0, 0),
        id);
    const __m256 lo = _mm256_permutevar8x32_ps(
        _mm256_setr_ps(5.0121582440e-09f, 3.7748947079e-08f, 3.4473217170e-08f,
                       7.5497894159e-08f, 0, 0, 0, 0),
        id);
    const __m256 sign = _mm256_and_ps(x, splat(-0.0f));
    const __m256 reduced_result = _mm256_xor_ps(
        _mm256_sub_ps(hi, _mm256_sub_ps(_mm256_sub_ps(t_sum, lo), t)), sign);

    __m256 result =
        _mm256_blendv_ps(unreduced_result, reduced_result, reduced);
    // From 2^25 the answer is pi/2 (its two parts added in float), and
    // below 2^-29 it is x.
    const __m256 right_angle =
        _mm256_add_ps(splat(1.5707962513e+00f), splat(7.5497894159e-08f));
    const __m256 huge = flip(below(ix, 0x4c000000));
    result = _mm256_blendv_ps(result, _mm256_xor_ps(right_angle, sign), huge);
    return _mm256_blendv_ps(result, x, below(ix, 0x31000000));
}

AVX2 unsigned atan8_lanes(const float *x, float *out)
{
    const __m256 v = _mm256_loadu_ps(x);
    const __m256i ix =
        _mm256_and_si256(_mm256_castps_si256(v), splat(0x7fffffff));
    _mm256_storeu_ps(out, atan8(v, ix));
    const __m256i nan = _mm256_cmpgt_epi32(ix, splat(0x7f800000));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(nan)));
}

// atan2f in float, as glibc 2.36 computes it: the arctangent of |y/x|,
// placed in its quadrant with pi split in two. The edge cases (NaN,
// zeros, infinities, x = 1, ratios past 2^60) are left to the caller.
AVX2 inline unsigned atan2_8(__m256 y, __m256 x, __m256 &out)
{
    const __m256i hx = _mm256_castps_si256(x), hy = _mm256_castps_si256(y);
    const __m256i ix = _mm256_and_si256(hx, splat(0x7fffffff));
    const __m256i iy = _mm256_and_si256(hy, splat(0x7fffffff));
    const __m256i k = _mm256_srai_epi32(_mm256_sub_epi32(iy, ix), 23);
    __m256i left = _mm256_or_si256(_mm256_cmpgt_epi32(ix, splat(0x7f7fffff)),
                                   _mm256_cmpgt_epi32(iy, splat(0x7f7fffff)));
    left = _mm256_or_si256(left, _mm256_cmpeq_epi32(hx, splat(0x3f800000)));
    left =
        _mm256_or_si256(left, _mm256_cmpeq_epi32(iy, _mm256_setzero_si256()));
    left =
        _mm256_or_si256(left, _mm256_cmpeq_epi32(ix, _mm256_setzero_si256()));
    left = _mm256_or_si256(left, _mm256_cmpgt_epi32(k, splat(60)));
    left = _mm256_or_si256(
        left, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), hx),
                               _mm256_cmpgt_epi32(splat(-60), k)));

    const __m256 q = _mm256_andnot_ps(splat(-0.0f), _mm256_div_ps(y, x));
    const __m256 z =
        atan8(q, _mm256_and_si256(_mm256_castps_si256(q), splat(0x7fffffff)));
    const __m256 PI = splat(3.1415927410e+00f),
                 PI_LO = splat(-8.7422776573e-08f);
    const __m256 negative_y = _mm256_castsi256_ps(_mm256_srai_epi32(hy, 31));
    const __m256 negative_x = _mm256_castsi256_ps(_mm256_srai_epi32(hx, 31));
    const __m256 right =
        _mm256_xor_ps(z, _mm256_and_ps(negative_y, splat(-0.0f)));
    const __m256 z_lo = _mm256_sub_ps(z, PI_LO);
    const __m256 left_half = _mm256_blendv_ps(
        _mm256_sub_ps(PI, z_lo), _mm256_sub_ps(z_lo, PI), negative_y);
    out = _mm256_blendv_ps(right, left_half, negative_x);
    return static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_castsi256_ps(left)));
}

AVX2 unsigned atan2_8(const float *y, const float *x, float *out)
{
    __m256 angle;
    const unsigned left =
        atan2_8(_mm256_loadu_ps(y), _mm256_loadu_ps(x), angle);
    _mm256_storeu_ps(out, angle);
    return left;
}

template <bool Fused>
AVX2 void prepare8(const float *lon, const float *lat, float *lambda,
                   float *sin_phi, float *cos_phi)
{
    const __m256 to_radians = splat(DEG_TO_RAD);
    _mm256_storeu_ps(lambda, _mm256_mul_ps(_mm256_loadu_ps(lon), to_radians));
    alignas(32) float phi[LANES];
    _mm256_store_ps(phi, _mm256_mul_ps(_mm256_loadu_ps(lat), to_radians));
    const unsigned left = sincos8<Fused>(phi, sin_phi, cos_phi);
    for (int i = 0; i < LANES; ++i)
        if (left & (1u << i)) {
            sin_phi[i] = sinf(phi[i]);
            cos_phi[i] = cosf(phi[i]);
        }
}

AVX2 inline unsigned atan2_of(const float *y, const float *x, float *out);

template <bool Fused>
AVX2 void distance8(const float *lambda1, const float *sin1, const float *cos1,
                    const float *lambda2, const float *sin2, const float *cos2,
                    const float *radius, float *out)
{
    alignas(32) float delta[LANES], s_delta[LANES], c_delta[LANES];
    _mm256_store_ps(delta, _mm256_sub_ps(_mm256_loadu_ps(lambda2),
                                         _mm256_loadu_ps(lambda1)));
    const unsigned left_trig = sincos8<Fused>(delta, s_delta, c_delta);
    for (int i = 0; i < LANES; ++i)
        if (left_trig & (1u << i)) {
            c_delta[i] = cosf(delta[i]);
            s_delta[i] = sinf(delta[i]);
        }
    const __m256 s1 = _mm256_loadu_ps(sin1), c1 = _mm256_loadu_ps(cos1);
    const __m256 s2 = _mm256_loadu_ps(sin2), c2 = _mm256_loadu_ps(cos2);
    const __m256 cd = _mm256_load_ps(c_delta), sd = _mm256_load_ps(s_delta);
    const __m256 a = _mm256_mul_ps(sd, c2);
    const __m256 b = _mm256_sub_ps(_mm256_mul_ps(c1, s2),
                                   _mm256_mul_ps(_mm256_mul_ps(s1, c2), cd));
    alignas(32) float y[LANES], x[LANES], angle[LANES];
    _mm256_store_ps(y, _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(b, b),
                                                    _mm256_mul_ps(a, a))));
    _mm256_store_ps(x, _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(c1, c2), cd),
                                     _mm256_mul_ps(s1, s2)));
    const unsigned left = atan2_of(y, x, angle);
    for (int i = 0; i < LANES; ++i)
        if (left & (1u << i))
            angle[i] = atan2f(y[i], x[i]);
    _mm256_storeu_ps(
        out, _mm256_mul_ps(_mm256_load_ps(angle), _mm256_loadu_ps(radius)));
}

// expm1f of y in [2^-28, 22) and from it sinhf, in float, as glibc 2.36
// computes them (fdlibm: reduce by multiples of ln 2 split in two parts,
// a rational approximation, then put the multiple back in the exponent).
AVX2 inline __m256 expm1_positive(__m256 y, __m256i hy)
{
    const __m256 ONE = splat(1.0f), HALF = splat(0.5f);
    const __m256 LN2_HI = splat(6.9313812256e-01f),
                 LN2_LO = splat(9.0580006145e-06f);
    const __m256 reduce =
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(hy, splat(0x3eb17218)));
    const __m256 one_step = below(hy, 0x3F851592);
    const __m256i k_far = _mm256_cvttps_epi32(
        _mm256_add_ps(_mm256_mul_ps(splat(1.4426950216e+00f), y), HALF));
    const __m256 t_far = _mm256_cvtepi32_ps(k_far);
    const __m256 hi =
        _mm256_blendv_ps(_mm256_sub_ps(y, _mm256_mul_ps(t_far, LN2_HI)),
                         _mm256_sub_ps(y, LN2_HI), one_step);
    const __m256 lo =
        _mm256_blendv_ps(_mm256_mul_ps(t_far, LN2_LO), LN2_LO, one_step);
    __m256i k =
        _mm256_blendv_epi8(k_far, splat(1), _mm256_castps_si256(one_step));
    k = _mm256_and_si256(k, _mm256_castps_si256(reduce));
    const __m256 reduced = _mm256_sub_ps(hi, lo);
    const __m256 x = _mm256_blendv_ps(y, reduced, reduce);
    const __m256 c = _mm256_sub_ps(_mm256_sub_ps(hi, reduced), lo);

    const __m256 hfx = _mm256_mul_ps(HALF, x);
    const __m256 hxs = _mm256_mul_ps(x, hfx);
    __m256 r1 = step(hxs, splat(-2.0109921195e-07f), 4.0082177293e-06f);
    r1 = step(hxs, r1, -7.9365076090e-05f);
    r1 = step(hxs, r1, 1.5873016091e-03f);
    r1 = step(hxs, r1, -3.3333335072e-02f);
    r1 = step(hxs, r1, 1.0f);
    const __m256 t = _mm256_sub_ps(splat(3.0f), _mm256_mul_ps(r1, hfx));
    __m256 e = _mm256_mul_ps(
        hxs, _mm256_div_ps(_mm256_sub_ps(r1, t),
                           _mm256_sub_ps(splat(6.0f), _mm256_mul_ps(x, t))));
    const __m256 k0 =
        _mm256_sub_ps(x, _mm256_sub_ps(_mm256_mul_ps(x, e), hxs));
    // Below 2^-25 the answer is x itself.
    const __m256 result_k0 = _mm256_blendv_ps(k0, y, below(hy, 0x33000000));

    e = _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(x, _mm256_sub_ps(e, c)), c),
                      hxs);
    const __m256 k1 = _mm256_blendv_ps(
        _mm256_add_ps(ONE, _mm256_mul_ps(splat(2.0f), _mm256_sub_ps(x, e))),
        _mm256_mul_ps(splat(-2.0f), _mm256_sub_ps(e, _mm256_add_ps(x, HALF))),
        _mm256_cmp_ps(x, splat(-0.25f), _CMP_LT_OQ));
    // k from 2 to 22: (1 - 2^-k) - (e - x); from 23: x - (e + 2^-k) + 1; then
    // k is added to the exponent.
    const __m256 t_small = _mm256_castsi256_ps(_mm256_sub_epi32(
        splat(0x3f800000), _mm256_srlv_epi32(splat(0x1000000), k)));
    const __m256 y_small = _mm256_sub_ps(t_small, _mm256_sub_ps(e, x));
    const __m256 t_large = _mm256_castsi256_ps(
        _mm256_slli_epi32(_mm256_sub_epi32(splat(0x7f), k), 23));
    const __m256 y_large =
        _mm256_add_ps(_mm256_sub_ps(x, _mm256_add_ps(e, t_large)), ONE);
    const __m256 large = _mm256_castsi256_ps(_mm256_cmpgt_epi32(k, splat(22)));
    const __m256 scaled = _mm256_castsi256_ps(_mm256_add_epi32(
        _mm256_castps_si256(_mm256_blendv_ps(y_small, y_large, large)),
        _mm256_slli_epi32(k, 23)));

    const __m256 is_k0 =
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(k, _mm256_setzero_si256()));
    const __m256 is_k1 = _mm256_castsi256_ps(_mm256_cmpeq_epi32(k, splat(1)));
    return _mm256_blendv_ps(_mm256_blendv_ps(scaled, k1, is_k1), result_k0,
                            is_k0);
}

AVX2 unsigned sinh8(const float *in, float *out)
{
    const __m256 x = _mm256_loadu_ps(in);
    const __m256i ix =
        _mm256_and_si256(_mm256_castps_si256(x), splat(0x7fffffff));
    const __m256 y = _mm256_andnot_ps(splat(-0.0f), x);
    const __m256 t = expm1_positive(y, ix);
    const __m256 ONE = splat(1.0f);
    const __m256 below_one = _mm256_sub_ps(
        _mm256_mul_ps(splat(2.0f), t),
        _mm256_div_ps(_mm256_mul_ps(t, t), _mm256_add_ps(t, ONE)));
    const __m256 from_one =
        _mm256_add_ps(t, _mm256_div_ps(t, _mm256_add_ps(t, ONE)));
    const __m256 h = _mm256_or_ps(splat(0.5f), _mm256_and_ps(x, splat(-0.0f)));
    __m256 result = _mm256_mul_ps(
        h, _mm256_blendv_ps(from_one, below_one, below(ix, 0x3f800000)));
    result = _mm256_blendv_ps(result, x, below(ix, 0x31800000));
    _mm256_storeu_ps(out, result);
    // From 22 on (and NaN, infinities) glibc uses expf: left to the caller.
    const __m256 left = flip(below(ix, 0x41b00000));
    return static_cast<unsigned>(_mm256_movemask_ps(left));
}

// t * (p0 + t * (p1 + t * (p2 + t * (p3 + t * p4)))), asinf's polynomial.
AVX2 inline __m256 asin_polynomial(__m256 t)
{
    __m256 p = step(t, splat(4.216630880e-2f), 2.417951451e-2f);
    p = step(t, p, 4.547037598e-2f);
    p = step(t, p, 7.495297643e-2f);
    p = step(t, p, 1.666675248e-1f);
    return _mm256_mul_ps(t, p);
}

// asinf in float, as glibc 2.36 computes it (fdlibm with a single-precision
// polynomial): a polynomial below 0.5, above it one in (1 - |x|) / 2 with a
// square root split in a high and a low part.
AVX2 unsigned asin8(const float *in, float *out)
{
    const __m256 x = _mm256_loadu_ps(in);
    const __m256i ix =
        _mm256_and_si256(_mm256_castps_si256(x), splat(0x7fffffff));
    const __m256 PIO2_HI = splat(1.57079637050628662109375f);
    const __m256 PIO2_LO = splat(-4.37113900018624283e-8f);
    const __m256 PIO4_HI = splat(0.785398185253143310546875f);
    const __m256 TWO = splat(2.0f);
    // Below 0.5.
    __m256 small = _mm256_add_ps(
        x, _mm256_mul_ps(x, asin_polynomial(_mm256_mul_ps(x, x))));
    small = _mm256_blendv_ps(small, x, below(ix, 0x32000000));
    // From 0.5 to 1.
    const __m256 a = _mm256_andnot_ps(splat(-0.0f), x);
    const __m256 t = _mm256_mul_ps(_mm256_sub_ps(splat(1.0f), a), splat(0.5f));
    const __m256 p = asin_polynomial(t);
    const __m256 s = _mm256_sqrt_ps(t);
    const __m256 near_one = _mm256_sub_ps(
        PIO2_HI, _mm256_sub_ps(
                     _mm256_mul_ps(TWO, _mm256_add_ps(s, _mm256_mul_ps(s, p))),
                     PIO2_LO));
    const __m256 w = _mm256_castsi256_ps(
        _mm256_and_si256(_mm256_castps_si256(s),
                         splat(static_cast<std::int32_t>(0xfffff000u))));
    const __m256 c = _mm256_div_ps(_mm256_sub_ps(t, _mm256_mul_ps(w, w)),
                                   _mm256_add_ps(s, w));
    const __m256 p2 =
        _mm256_sub_ps(_mm256_mul_ps(_mm256_mul_ps(TWO, s), p),
                      _mm256_sub_ps(PIO2_LO, _mm256_mul_ps(TWO, c)));
    const __m256 q = _mm256_sub_ps(PIO4_HI, _mm256_mul_ps(TWO, w));
    const __m256 middle = _mm256_sub_ps(PIO4_HI, _mm256_sub_ps(p2, q));
    __m256 large =
        _mm256_blendv_ps(middle, near_one, flip(below(ix, 0x3F79999A)));
    large = _mm256_xor_ps(large, _mm256_and_ps(x, splat(-0.0f)));
    __m256 result = _mm256_blendv_ps(large, small, below(ix, 0x3f000000));
    // At +-1: x * pi/2 in two parts.
    const __m256 unit =
        _mm256_add_ps(_mm256_mul_ps(x, PIO2_HI), _mm256_mul_ps(x, PIO2_LO));
    result = _mm256_blendv_ps(
        result, unit,
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(ix, splat(0x3f800000))));
    _mm256_storeu_ps(out, result);
    // Past 1 (NaN) is left to the caller.
    return static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_cmpgt_epi32(ix, splat(0x3f800000)))));
}

// atanf, atan2f, asinf and sinhf of eight lanes by the kernel chosen for
// each; lanes left are the caller's.
AVX2 inline unsigned atan_of(const float *x, float *out)
{
    switch (active().atan) {
    case Family::fdlibm:
        return atan8_lanes(x, out);
    case Family::rounded:
        return atan_rounded(x, out);
    default:
        return 0xffu;
    }
}
AVX2 inline unsigned atan2_of(const float *y, const float *x, float *out)
{
    switch (active().atan2) {
    case Family::fdlibm:
        return atan2_8(y, x, out);
    case Family::rounded:
        return atan2_rounded(y, x, out);
    default:
        return 0xffu;
    }
}
AVX2 inline unsigned asin_of(const float *x, float *out)
{
    switch (active().asin) {
    case Family::fdlibm:
        return asin8(x, out);
    case Family::rounded:
        return asin_rounded(x, out);
    default:
        return 0xffu;
    }
}
AVX2 inline unsigned sinh_of(const float *x, float *out)
{
    switch (active().sinh) {
    case Family::fdlibm:
        return sinh8(x, out);
    case Family::rounded:
        return sinh_rounded(x, out);
    default:
        return 0xffu;
    }
}

// Eight tile edges: edge_longitude(column) and edge_latitude_degrees(row),
// each lane with its own scale.
AVX2 void corners8(const float *column, const float *row, const float *scale,
                   float *lon, float *lat)
{
    const __m256 d = _mm256_loadu_ps(scale);
    _mm256_storeu_ps(
        lon,
        _mm256_sub_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(column), d),
                                    splat(360.0f)),
                      splat(180.0f)));
    const __m256 r = _mm256_loadu_ps(row);
    const __m256 t = _mm256_mul_ps(_mm256_add_ps(r, r), d);
    alignas(32) float argument[LANES], sinh_value[LANES], angle[LANES];
    _mm256_store_ps(argument,
                    _mm256_mul_ps(_mm256_sub_ps(splat(1.0f), t), splat(PI_F)));
    const unsigned left = sinh_of(argument, sinh_value);
    for (int i = 0; i < LANES; ++i)
        if (left & (1u << i))
            sinh_value[i] = sinhf(argument[i]);
    const unsigned left_atan = atan_of(sinh_value, angle);
    for (int i = 0; i < LANES; ++i)
        if (left_atan & (1u << i))
            angle[i] = atanf(sinh_value[i]);
    _mm256_storeu_ps(lat,
                     _mm256_mul_ps(_mm256_load_ps(angle), splat(RAD_TO_DEG)));
}

AVX2 inline __m256 clamp(__m256 value, float limit)
{
    // As clamp_degrees: NaN passes through.
    value = _mm256_blendv_ps(value, splat(-limit),
                             _mm256_cmp_ps(value, splat(-limit), _CMP_LT_OQ));
    return _mm256_blendv_ps(value, splat(limit),
                            _mm256_cmp_ps(splat(limit), value, _CMP_LT_OQ));
}

// radians * RAD_TO_DEG, clamped to +-limit, stored.
AVX2 inline void store_degrees(float *out, __m256 radians, float limit)
{
    _mm256_storeu_ps(out,
                     clamp(_mm256_mul_ps(radians, splat(RAD_TO_DEG)), limit));
}

// Eight expanded boxes from the tiles' bounds, as
// wm_tile_expanded_bbox_unchecked computes one.
template <bool Fused>
AVX2 void expanded8(const float *west, const float *south, const float *east,
                    const float *north, const float *expansion,
                    float *out_west, float *out_south, float *out_east,
                    float *out_north)
{
    alignas(32) float lambda1[LANES], sin1[LANES], cos1[LANES], lambda2[LANES],
        sin2[LANES], cos2[LANES], radius[LANES], diag[LANES];
    prepare8<Fused>(west, north, lambda1, sin1, cos1);
    prepare8<Fused>(east, south, lambda2, sin2, cos2);
    _mm256_store_ps(radius, splat(MEAN_EARTH_RADIUS_M));
    distance8<Fused>(lambda1, sin1, cos1, lambda2, sin2, cos2, radius, diag);
    const __m256 R = splat(MEAN_EARTH_RADIUS_M), HALF = splat(0.5f);
    const __m256 W = _mm256_loadu_ps(west), S = _mm256_loadu_ps(south);
    const __m256 E = _mm256_loadu_ps(east), N = _mm256_loadu_ps(north);
    const __m256 delta =
        _mm256_div_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_load_ps(diag), HALF),
                                    _mm256_loadu_ps(expansion)),
                      R);
    const __m256 lambda_c = _mm256_mul_ps(
        _mm256_mul_ps(_mm256_add_ps(W, E), HALF), splat(DEG_TO_RAD));
    const __m256 phi_c = _mm256_mul_ps(
        _mm256_mul_ps(_mm256_add_ps(N, S), HALF), splat(DEG_TO_RAD));
    alignas(32) float d[LANES], p[LANES], sin_d[LANES], cos_d[LANES],
        sin_p[LANES], cos_p[LANES], ratio[LANES], dl[LANES];
    _mm256_store_ps(d, delta);
    _mm256_store_ps(p, phi_c);
    const unsigned left_d = sincos8<Fused>(d, sin_d, cos_d);
    const unsigned left_p = sincos8<Fused>(p, sin_p, cos_p);
    for (int i = 0; i < LANES; ++i) {
        if (left_d & (1u << i))
            sin_d[i] = sinf(d[i]);
        if (left_p & (1u << i))
            cos_p[i] = cosf(p[i]);
    }
    _mm256_store_ps(
        ratio, _mm256_div_ps(_mm256_load_ps(sin_d), _mm256_load_ps(cos_p)));
    const unsigned left_asin = asin_of(ratio, dl);
    for (int i = 0; i < LANES; ++i)
        if (left_asin & (1u << i))
            dl[i] = asinf(ratio[i]);
    const __m256 delta_lambda = _mm256_load_ps(dl);
    store_degrees(out_west, _mm256_sub_ps(lambda_c, delta_lambda), 180.0f);
    store_degrees(out_south, _mm256_sub_ps(phi_c, delta), 90.0f);
    store_degrees(out_east, _mm256_add_ps(delta_lambda, lambda_c), 180.0f);
    store_degrees(out_north, _mm256_add_ps(delta, phi_c), 90.0f);
}

// Eight lanes of a loop's argument as floats.
AVX2 inline __m256 load8(bool doubles, Column in)
{
    const std::ptrdiff_t half = 4 * in.step;
    return _mm256_set_m128(avx2::load4(doubles, in.at + half, in.step),
                           avx2::load4(doubles, in.at, in.step));
}

// Eight results into a loop's output, widened where it holds doubles.
AVX2 inline void store8(bool doubles, Target out, __m256 value)
{
    if (doubles && out.step == sizeof(double)) {
        double *at = reinterpret_cast<double *>(out.at);
        _mm256_storeu_pd(at, _mm256_cvtps_pd(_mm256_castps256_ps128(value)));
        _mm256_storeu_pd(at + 4,
                         _mm256_cvtps_pd(_mm256_extractf128_ps(value, 1)));
        return;
    }
    if (!doubles && out.step == sizeof(float)) {
        _mm256_storeu_ps(reinterpret_cast<float *>(out.at), value);
        return;
    }
    alignas(32) float lanes[LANES];
    _mm256_store_ps(lanes, value);
    for (int j = 0; j < LANES; ++j) {
        if (doubles) {
            const double wide = static_cast<double>(lanes[j]);
            std::memcpy(out.at + j * out.step, &wide, sizeof wide);
        } else {
            std::memcpy(out.at + j * out.step, &lanes[j], sizeof lanes[j]);
        }
    }
}

// The lanes where valid_coordinates(lon, lat) holds, as a float mask.
AVX2 inline __m256 valid(__m256 lon, __m256 lat)
{
    return _mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(lat, splat(-90.0f), _CMP_GT_OQ),
                      _mm256_cmp_ps(lat, splat(90.0f), _CMP_LT_OQ)),
        _mm256_and_ps(_mm256_cmp_ps(lon, splat(-180.0f), _CMP_GT_OQ),
                      _mm256_cmp_ps(lon, splat(180.0f), _CMP_LT_OQ)));
}

AVX2 inline __m128 low(__m256 v)
{
    return _mm256_castps256_ps128(v);
}
AVX2 inline __m128 high(__m256 v)
{
    return _mm256_extractf128_ps(v, 1);
}

// The distance loop's eight elements from its arguments to its output,
// all in registers. MOVING is the number of points not fixed for the loop:
// the sines and cosines of their latitudes and of the longitude difference
// are up to six independent chains, computed side by side. Returns false,
// writing nothing, if a lane is one the scalar call refuses.
template <bool Fused, int MOVING>
AVX2 bool distance_columns(bool doubles, const DistanceArguments &in,
                           Target out)
{
    __m256 lambda[2], sin_phi[2], cos_phi[2], radians[2];
    __m256 accepted = _mm256_castsi256_ps(splat(-1));
    for (int p = 0; p < 2; ++p) {
        if (const float *fixed = in.fixed[p]) {
            lambda[p] = splat(fixed[0]);
            sin_phi[p] = splat(fixed[1]);
            cos_phi[p] = splat(fixed[2]);
            continue;
        }
        const __m256 lon = load8(doubles, in.lon[p]);
        const __m256 lat = load8(doubles, in.lat[p]);
        accepted = _mm256_and_ps(accepted, valid(lon, lat));
        lambda[p] = _mm256_mul_ps(lon, splat(DEG_TO_RAD));
        radians[p] = _mm256_mul_ps(lat, splat(DEG_TO_RAD));
    }
    if (_mm256_movemask_ps(accepted) != 0xff) [[unlikely]]
        return false;
    const __m256 delta = _mm256_sub_ps(lambda[1], lambda[0]);

    // Valid coordinates keep every argument below 2 pi: no lane is left.
    constexpr int N = 2 * MOVING + 2;
    const int first = in.fixed[0] != nullptr ? 1 : 0;
    __m128 angle[N], sine[N], cosine[N];
    for (int m = 0; m < MOVING; ++m) {
        angle[2 * m] = low(radians[first + m]);
        angle[2 * m + 1] = high(radians[first + m]);
    }
    angle[N - 2] = low(delta);
    angle[N - 1] = high(delta);
    for (int k = 0; k < N; ++k)
        sincos4<Fused>(angle[k], sine[k], cosine[k]);
    for (int m = 0; m < MOVING; ++m) {
        sin_phi[first + m] = _mm256_set_m128(sine[2 * m + 1], sine[2 * m]);
        cos_phi[first + m] = _mm256_set_m128(cosine[2 * m + 1], cosine[2 * m]);
    }
    const __m256 sd = _mm256_set_m128(sine[N - 1], sine[N - 2]);
    const __m256 cd = _mm256_set_m128(cosine[N - 1], cosine[N - 2]);

    const __m256 s1 = sin_phi[0], c1 = cos_phi[0];
    const __m256 s2 = sin_phi[1], c2 = cos_phi[1];
    const __m256 a = _mm256_mul_ps(sd, c2);
    const __m256 b = _mm256_sub_ps(_mm256_mul_ps(c1, s2),
                                   _mm256_mul_ps(_mm256_mul_ps(s1, c2), cd));
    const __m256 y = _mm256_sqrt_ps(
        _mm256_add_ps(_mm256_mul_ps(b, b), _mm256_mul_ps(a, a)));
    const __m256 x = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(c1, c2), cd),
                                   _mm256_mul_ps(s1, s2));
    __m256 result = _mm256_setzero_ps();
    unsigned left = 0xff;
    if (active().atan2 == Family::fdlibm)
        left = atan2_8(y, x, result);
    if (left != 0) [[unlikely]] {
        alignas(32) float ys[LANES], xs[LANES], angles[LANES];
        _mm256_store_ps(ys, y);
        _mm256_store_ps(xs, x);
        _mm256_store_ps(angles, result);
        if (active().atan2 == Family::rounded)
            left = atan2_rounded(ys, xs, angles);
        for (unsigned o = left; o != 0; o &= o - 1) {
            const int j = std::countr_zero(o);
            angles[j] = atan2f(ys[j], xs[j]);
        }
        result = _mm256_load_ps(angles);
    }
    const __m256 r = in.radius.at != nullptr ? load8(doubles, in.radius)
                                             : splat(MEAN_EARTH_RADIUS_M);
    store8(doubles, out, _mm256_mul_ps(result, r));
    return true;
}

template <bool Fused>
AVX2 bool distance_columns(bool doubles, const DistanceArguments &in,
                           Target out)
{
    switch ((in.fixed[0] == nullptr) + (in.fixed[1] == nullptr)) {
    case 2:
        return distance_columns<Fused, 2>(doubles, in, out);
    case 1:
        return distance_columns<Fused, 1>(doubles, in, out);
    default:
        return distance_columns<Fused, 0>(doubles, in, out);
    }
}

// Eight tile indices of a loop's argument (int64, uint32 or uint64) as
// 64-bit lanes, with the lanes the scalar call refuses (below 0, or from
// 2^32 up) marked in `refused`.
AVX2 inline void load_indices(IndexType type, Column in, __m256i &low,
                              __m256i &high, __m256i &refused)
{
    if (type == IndexType::uint32) {
        const __m128i lo =
            _mm_set_epi32(avx2::element<std::int32_t>(in.at + 3 * in.step),
                          avx2::element<std::int32_t>(in.at + 2 * in.step),
                          avx2::element<std::int32_t>(in.at + in.step),
                          avx2::element<std::int32_t>(in.at));
        const char *at = in.at + 4 * in.step;
        const __m128i hi =
            _mm_set_epi32(avx2::element<std::int32_t>(at + 3 * in.step),
                          avx2::element<std::int32_t>(at + 2 * in.step),
                          avx2::element<std::int32_t>(at + in.step),
                          avx2::element<std::int32_t>(at));
        low = _mm256_cvtepu32_epi64(lo);
        high = _mm256_cvtepu32_epi64(hi);
        return;
    }

    low = avx2::load_zooms(in.at, in.step);
    high = avx2::load_zooms(in.at + 4 * in.step, in.step);
    // Signed or not, a value is refused when its high 32 bits are not 0.
    refused =
        _mm256_or_si256(refused, _mm256_or_si256(_mm256_srli_epi64(low, 32),
                                                 _mm256_srli_epi64(high, 32)));
}

// Whole numbers below 2^33 in 64-bit lanes, rounded to float as a cast
// from uint64 rounds them (through double, which holds them exactly).
AVX2 inline __m128 to_float(__m256i v)
{
    const __m256i magic = _mm256_set1_epi64x(0x4330000000000000LL);
    return _mm256_cvtpd_ps(_mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(v, magic)), splat(0x1p52)));
}
AVX2 inline __m256 to_float(__m256i low, __m256i high)
{
    return _mm256_set_m128(to_float(high), to_float(low));
}

// Edges of N times eight tiles, as corners8 computes them, each step for
// all groups before the next: the groups' chains of dependent operations
// (sinhf, then atanf) then run side by side.
constexpr int GROUPS = TILE_GEOMETRY_LANES / LANES;
static_assert(GROUPS * LANES == TILE_GEOMETRY_LANES);

template <int N>
AVX2 void corners_side_by_side(const __m256 *column, const __m256 *row,
                               const __m256 *scale, __m256 *lon, __m256 *lat)
{
    alignas(32) float argument[N][LANES], sinh_value[N][LANES],
        angle[N][LANES];
    for (int g = 0; g < N; ++g) {
        lon[g] = _mm256_sub_ps(
            _mm256_mul_ps(_mm256_mul_ps(column[g], scale[g]), splat(360.0f)),
            splat(180.0f));
        const __m256 t =
            _mm256_mul_ps(_mm256_add_ps(row[g], row[g]), scale[g]);
        _mm256_store_ps(
            argument[g],
            _mm256_mul_ps(_mm256_sub_ps(splat(1.0f), t), splat(PI_F)));
    }
    unsigned left[N];
    for (int g = 0; g < N; ++g)
        left[g] = sinh_of(argument[g], sinh_value[g]);
    for (int g = 0; g < N; ++g)
        for (unsigned o = left[g]; o != 0; o &= o - 1) {
            const int i = std::countr_zero(o);
            sinh_value[g][i] = sinhf(argument[g][i]);
        }
    for (int g = 0; g < N; ++g)
        left[g] = atan_of(sinh_value[g], angle[g]);
    for (int g = 0; g < N; ++g) {
        for (unsigned o = left[g]; o != 0; o &= o - 1) {
            const int i = std::countr_zero(o);
            angle[g][i] = atanf(sinh_value[g][i]);
        }
        lat[g] = _mm256_mul_ps(_mm256_load_ps(angle[g]), splat(RAD_TO_DEG));
    }
}

AVX2 void corners16_of(const float *column, const float *row,
                       const float *scale, float *lon, float *lat)
{
    __m256 c[2], r[2], d[2], west[2], north[2];
    for (int g = 0; g < 2; ++g) {
        c[g] = _mm256_loadu_ps(column + g * LANES);
        r[g] = _mm256_loadu_ps(row + g * LANES);
        d[g] = _mm256_loadu_ps(scale + g * LANES);
    }
    corners_side_by_side<2>(c, r, d, west, north);
    for (int g = 0; g < 2; ++g) {
        _mm256_storeu_ps(lon + g * LANES, west[g]);
        _mm256_storeu_ps(lat + g * LANES, north[g]);
    }
}

// A block of a tile geometry loop (see tile_geometry).
template <bool Fused>
AVX2 bool tile_columns(TileOutput what, IndexType type, bool doubles,
                       const TileArguments &in, const Target *out)
{
    __m256i x[GROUPS][2], y[GROUPS][2], refused = _mm256_setzero_si256();
    __m256 scale[GROUPS], expansion[GROUPS];
    __m256 accepted = _mm256_castsi256_ps(splat(-1));
    auto group = [](Column c, int g) {
        return Column{c.at + g * LANES * c.step, c.step};
    };
    for (int g = 0; g < GROUPS; ++g) {
        __m256i z[2];
        load_indices(type, group(in.x, g), x[g][0], x[g][1], refused);
        load_indices(type, group(in.y, g), y[g][0], y[g][1], refused);
        load_indices(type, group(in.z, g), z[0], z[1], refused);
        // Zooms past the table's go one by one (zoom_scale has their
        // answers).
        const __m256i beyond = _mm256_set1_epi64x(63);
        refused = _mm256_or_si256(
            refused, _mm256_or_si256(_mm256_cmpgt_epi64(z[0], beyond),
                                     _mm256_cmpgt_epi64(z[1], beyond)));
        // The zooms' scales, 2^-z: the caller has checked that the C
        // runtime's answers are these (and a gather from their table would
        // be slow on CPUs whose microcode guards gathers).
        const __m256i low_words = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
        const __m128i z_lo = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(z[0], low_words));
        const __m128i z_hi = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(z[1], low_words));
        const __m256i exponent = _mm256_sub_epi32(
            splat(127),
            _mm256_and_si256(_mm256_set_m128i(z_hi, z_lo), splat(63)));
        scale[g] = _mm256_castsi256_ps(_mm256_slli_epi32(exponent, 23));
        expansion[g] = splat(0.0f);
        if (what == TileOutput::expanded) {
            expansion[g] = load8(doubles, group(in.expansion, g));
            accepted = _mm256_and_ps(
                accepted,
                _mm256_cmp_ps(expansion[g], splat(0.0f), _CMP_GE_OQ));
        }
    }
    if (!_mm256_testz_si256(refused, refused) ||
        _mm256_movemask_ps(accepted) != 0xff) [[unlikely]]
        return false;

    __m256 column[GROUPS], row[GROUPS], west[GROUPS], north[GROUPS];
    for (int g = 0; g < GROUPS; ++g) {
        column[g] = to_float(x[g][0], x[g][1]);
        row[g] = to_float(y[g][0], y[g][1]);
    }
    corners_side_by_side<GROUPS>(column, row, scale, west, north);
    auto target = [&](int k, int g) {
        return Target{out[k].at + g * LANES * out[k].step, out[k].step};
    };
    if (what == TileOutput::upper_left) {
        for (int g = 0; g < GROUPS; ++g) {
            store8(doubles, target(0, g), west[g]);
            store8(doubles, target(1, g), north[g]);
        }
        return true;
    }
    const __m256i one = _mm256_set1_epi64x(1);
    __m256 east[GROUPS], south[GROUPS];
    for (int g = 0; g < GROUPS; ++g) {
        column[g] = to_float(_mm256_add_epi64(x[g][0], one),
                             _mm256_add_epi64(x[g][1], one));
        row[g] = to_float(_mm256_add_epi64(y[g][0], one),
                          _mm256_add_epi64(y[g][1], one));
    }
    corners_side_by_side<GROUPS>(column, row, scale, east, south);
    for (int g = 0; g < GROUPS; ++g) {
        // The same nudges as wm_bounds.
        south[g] = _mm256_add_ps(south[g], splat(EDGE_EPSILON));
        east[g] = _mm256_add_ps(east[g], splat(-EDGE_EPSILON));
    }
    if (what == TileOutput::bounds) {
        for (int g = 0; g < GROUPS; ++g) {
            store8(doubles, target(0, g), west[g]);
            store8(doubles, target(1, g), south[g]);
            store8(doubles, target(2, g), east[g]);
            store8(doubles, target(3, g), north[g]);
        }
        return true;
    }
    for (int g = 0; g < GROUPS; ++g) {
        alignas(32) float bounds[4][LANES], meters[LANES], box[4][LANES];
        _mm256_store_ps(bounds[0], west[g]);
        _mm256_store_ps(bounds[1], south[g]);
        _mm256_store_ps(bounds[2], east[g]);
        _mm256_store_ps(bounds[3], north[g]);
        _mm256_store_ps(meters, expansion[g]);
        expanded8<Fused>(bounds[0], bounds[1], bounds[2], bounds[3], meters,
                         box[0], box[1], box[2], box[3]);
        for (int k = 0; k < 4; ++k)
            store8(doubles, target(k, g), _mm256_load_ps(box[k]));
    }
    return true;
}

}  // namespace

bool cpu_has_kernels() noexcept
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

unsigned sincos(Variant variant, const float *x, float *s, float *c) noexcept
{
    return variant == Variant::fused ? sincos8<true>(x, s, c)
                                     : sincos8<false>(x, s, c);
}

unsigned atan(const float *x, float *out) noexcept
{
    return atan8_lanes(x, out);
}

unsigned atan2(const float *y, const float *x, float *out) noexcept
{
    return atan2_8(y, x, out);
}

bool tile_geometry(Variant variant, TileOutput what, IndexType type,
                   bool doubles, const TileArguments &in,
                   const Target *out) noexcept
{
    return variant == Variant::fused
               ? tile_columns<true>(what, type, doubles, in, out)
               : tile_columns<false>(what, type, doubles, in, out);
}

bool distances(Variant variant, bool doubles, const DistanceArguments &in,
               Target out) noexcept
{
    return variant == Variant::fused
               ? distance_columns<true>(doubles, in, out)
               : distance_columns<false>(doubles, in, out);
}

unsigned sinh(const float *x, float *out) noexcept
{
    return sinh8(x, out);
}

unsigned asin(const float *x, float *out) noexcept
{
    return asin8(x, out);
}

void corners(const float *column, const float *row, const float *scale,
             float *lon, float *lat) noexcept
{
    corners8(column, row, scale, lon, lat);
}

void corners16(const float *column, const float *row, const float *scale,
               float *lon, float *lat) noexcept
{
    corners16_of(column, row, scale, lon, lat);
}

void expanded_boxes(Variant variant, const float *west, const float *south,
                    const float *east, const float *north,
                    const float *expansion, float *out_west, float *out_south,
                    float *out_east, float *out_north) noexcept
{
    if (variant == Variant::fused)
        expanded8<true>(west, south, east, north, expansion, out_west,
                        out_south, out_east, out_north);
    else
        expanded8<false>(west, south, east, north, expansion, out_west,
                         out_south, out_east, out_north);
}

#else  // no kernels in this build

unsigned sinh(const float *, float *) noexcept
{
    return 0xff;
}
unsigned asin(const float *, float *) noexcept
{
    return 0xff;
}
void corners(const float *, const float *, const float *, float *,
             float *) noexcept
{
}
void corners16(const float *, const float *, const float *, float *,
               float *) noexcept
{
}
void expanded_boxes(Variant, const float *, const float *, const float *,
                    const float *, const float *, float *, float *, float *,
                    float *) noexcept
{
}

bool cpu_has_kernels() noexcept
{
    return false;
}
unsigned sincos(Variant, const float *, float *, float *) noexcept
{
    return 0xff;
}
unsigned atan(const float *, float *) noexcept
{
    return 0xff;
}
unsigned atan2(const float *, const float *, float *) noexcept
{
    return 0xff;
}
bool distances(Variant, bool, const DistanceArguments &, Target) noexcept
{
    return false;
}
bool tile_geometry(Variant, TileOutput, IndexType, bool, const TileArguments &,
                   const Target *) noexcept
{
    return false;
}

#endif

namespace {

// Inputs on which a kernel is most likely to go wrong: those where glibc
// 2.36's FMA and plain sinf/cosf differ (all 34, found over the 2^32 floats),
// the thresholds of each path, and arguments next to multiples of pi/2,
// where the reduction cancels most.
// clang-format off
constexpr std::uint32_t HARD_TRIG[] = {
    // sinf
    0x4255b0a9u, 0x42a35c07u, 0x42a35d44u, 0x42a97360u, 0x42cf5854u, 0x42e87a55u,
    0xc255b0a9u, 0xc2a35c07u, 0xc2a35d44u, 0xc2a97360u, 0xc2cf5854u, 0xc2e87a55u,
    // cosf
    0x418a3adbu, 0x418a3adcu, 0x418a3addu, 0x418a3adeu, 0x41bc76d9u, 0x4202eb4bu,
    0x42687a55u, 0x4280ce28u, 0x42870e40u, 0x42c55faau, 0x42d8d23eu, 0xc18a3adbu,
    0xc18a3adcu, 0xc18a3addu, 0xc18a3adeu, 0xc1bc76d9u, 0xc202eb4bu, 0xc2687a55u,
    0xc280ce28u, 0xc2870e40u, 0xc2c55faau, 0xc2d8d23eu,
    // thresholds and near multiples of pi/2
    0x3f400000u, 0x3f3fffffu, 0x39800000u, 0x397fffffu, 0x42efffffu, 0x3fc90fdbu,
    0x3fc90fdau, 0x40490fdbu, 0x40490fdau, 0x4096cbe4u, 0x40c90fdbu, 0x40c90fdau,
    0x3f490fdbu, 0x3f490fdau, 0x00000001u, 0x80000001u, 0x00800000u, 0x3f800000u,
    0xbfc90fdbu, 0xc0c90fdbu,
};
// clang-format on

// The C runtime's functions through pointers the compiler cannot see
// through: given the constant inputs above, it would otherwise evaluate
// them itself, correctly rounded, and test the kernels against its own
// answers instead of the runtime's.
float (*volatile runtime_sinf)(float) = sinf;
float (*volatile runtime_cosf)(float) = cosf;
float (*volatile runtime_atanf)(float) = atanf;
float (*volatile runtime_sinhf)(float) = sinhf;
float (*volatile runtime_asinf)(float) = asinf;
float (*volatile runtime_atan2f)(float, float) = atan2f;

bool same_bits(float a, float b) noexcept
{
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// Inputs on which glibc 2.41's correctly rounded atanf, atan2f, asinf and
// sinhf differ from fdlibm's, which the kernels follow (found by
// tools/prove_kernels in a Debian 13 root): a runtime that answers these as
// fdlibm does is not the correctly rounded one, whatever its version says.
// clang-format off
constexpr std::uint32_t WITNESS_ATAN[] = {
    0x3a27ba3bu, 0x3a46dce7u, 0x3b03400eu, 0x3b0dcb2du,
    0x3b2d5c3cu, 0x3b319dc1u, 0x3b399095u, 0x3b495190u};
constexpr std::uint32_t WITNESS_SINH[] = {
    0x345db3d7u, 0x347fffffu, 0x34ef7750u, 0x34fffffdu,
    0x34ffffffu, 0x352953fcu, 0x353fffffu, 0x3577def4u};
constexpr std::uint32_t WITNESS_ASIN[] = {
    0x3a5352aeu, 0x3a5352b0u, 0x3a5352b2u, 0x3a5352b4u,
    0x3a5352b6u, 0x3a5352b8u, 0x3a5352bau, 0x3a5352bcu};
constexpr std::uint32_t WITNESS_ATAN2[][2] = {  // y, x
    {0x3e77b6dcu, 0x3f786584u},
    {0x3f6d2b8du, 0xbec0bb34u},
    {0x3f3cc543u, 0x3f2cebc6u},
    {0x3f013b8fu, 0x3f5cfc7bu},
    {0x3f763a3fu, 0xbe8c1d3eu},
    {0x3f340c21u, 0x3f35fc73u},
    {0x3f7ee5bdu, 0xbdbddf5au},
    {0x3f3e54deu, 0xbf2b338du}};
// clang-format on

// A fixed sequence through [0, 1), for the self-tests.
struct Sequence {
    std::uint32_t state = 0x9e3779b9u;
    float next() noexcept
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) * 0x1p-24f;
    }
};

// The sinf/cosf kernel of one variant against the C runtime on the hard
// inputs and through [-2pi, 2pi], where the distance takes them.
bool self_test_trig(Variant variant) noexcept
{
    float x[LANES], s[LANES], c[LANES];
    auto check = [&]() {
        const unsigned left = sincos(variant, x, s, c);
        for (int i = 0; i < LANES; ++i)
            if (!(left & (1u << i)) && (!same_bits(s[i], runtime_sinf(x[i])) ||
                                        !same_bits(c[i], runtime_cosf(x[i]))))
                return false;
        return true;
    };
    constexpr std::size_t hard = sizeof HARD_TRIG / sizeof HARD_TRIG[0];
    for (std::size_t i = 0; i < hard; i += LANES) {
        for (int j = 0; j < LANES; ++j)
            x[j] = std::bit_cast<float>(
                HARD_TRIG[(i + static_cast<std::size_t>(j)) % hard]);
        if (!check())
            return false;
    }
    Sequence sequence;
    for (int round = 0; round < 128; ++round) {
        for (int j = 0; j < LANES; ++j)
            x[j] = (sequence.next() - 0.5f) * 12.566371f;
        if (!check())
            return false;
    }
    return true;
}

using Unary = unsigned (*)(const float *, float *) noexcept;
using Runtime = float (*)(float);

// A one-argument kernel against the C runtime: on its witnesses, then on
// 1024 inputs of [-span/2, span/2], the range the ufuncs give it.
bool agrees(Unary kernel, Runtime runtime, const std::uint32_t *witness,
            std::size_t witnesses, float span) noexcept
{
    float x[LANES], r[LANES];
    auto check = [&]() {
        const unsigned left = kernel(x, r);
        for (int i = 0; i < LANES; ++i)
            if (!(left & (1u << i)) && !same_bits(r[i], runtime(x[i])))
                return false;
        return true;
    };
    for (std::size_t i = 0; i < witnesses; i += LANES) {
        for (int j = 0; j < LANES; ++j)
            x[j] = std::bit_cast<float>(
                witness[(i + static_cast<std::size_t>(j)) % witnesses]);
        if (!check())
            return false;
    }
    Sequence sequence;
    for (int round = 0; round < 128; ++round) {
        for (int j = 0; j < LANES; ++j)
            x[j] = (sequence.next() - 0.5f) * span;
        if (!check())
            return false;
    }
    return true;
}

// atan2f's kernel against the C runtime: the witnesses, then 1024 pairs of
// [0, 1] by [-1, 1], as the distance gives them.
bool agrees_atan2(unsigned (*kernel)(const float *, const float *,
                                     float *) noexcept) noexcept
{
    float y[LANES], x[LANES], r[LANES];
    auto check = [&]() {
        const unsigned left = kernel(y, x, r);
        for (int i = 0; i < LANES; ++i)
            if (!(left & (1u << i)) &&
                !same_bits(r[i], runtime_atan2f(y[i], x[i])))
                return false;
        return true;
    };
    constexpr std::size_t pairs = std::size(WITNESS_ATAN2);
    for (std::size_t i = 0; i < pairs; i += LANES) {
        for (int j = 0; j < LANES; ++j) {
            const auto &pair =
                WITNESS_ATAN2[(i + static_cast<std::size_t>(j)) % pairs];
            y[j] = std::bit_cast<float>(pair[0]);
            x[j] = std::bit_cast<float>(pair[1]);
        }
        if (!check())
            return false;
    }
    Sequence sequence;
    for (int round = 0; round < 128; ++round) {
        for (int j = 0; j < LANES; ++j)
            y[j] = sequence.next();
        for (int j = 0; j < LANES; ++j)
            x[j] = 1.0f - 2.0f * y[(j + 3) % LANES];
        if (!check())
            return false;
    }
    return true;
}

// The first family whose kernel agrees with the runtime, or none.
template <class Agrees>
Family family(Agrees agrees_with) noexcept
{
    if (agrees_with(Family::fdlibm))
        return Family::fdlibm;
    if (agrees_with(Family::rounded))
        return Family::rounded;
    return Family::none;
}

// "fdlibm's atanf", "correctly rounded atanf" or "atanf per element".
void describe(char *&at, const char *end, Family f, const char *name,
              bool last) noexcept
{
    const char *separator = last ? "" : ", ";
    int written = 0;
    switch (f) {
    case Family::fdlibm:
        written = std::snprintf(at, static_cast<std::size_t>(end - at),
                                "fdlibm's %s%s", name, separator);
        break;
    case Family::rounded:
        written = std::snprintf(at, static_cast<std::size_t>(end - at),
                                "correctly rounded %s%s", name, separator);
        break;
    case Family::none:
        written =
            std::snprintf(at, static_cast<std::size_t>(end - at),
                          "the runtime's %s per element%s", name, separator);
        break;
    }
    if (written > 0)
        at += written < end - at ? written : end - at - 1;
}

}  // namespace

Choice choose() noexcept
{
    Choice choice{Variant::none,
                  Family::none,
                  Family::none,
                  Family::none,
                  Family::none,
                  false,
                  "",
                  "",
                  ""};
    auto say = [&choice](const char *text) {
        std::snprintf(choice.reason, sizeof choice.reason, "%s", text);
        std::snprintf(choice.tile_reason, sizeof choice.tile_reason, "%s",
                      text);
        std::snprintf(choice.point_reason, sizeof choice.point_reason, "%s",
                      text);
        return choice;
    };
    const char *forced = std::getenv("QUORLIN_SCALAR_LOOPS");
    if (forced != nullptr && forced[0] != '\0' &&
        std::strcmp(forced, "0") != 0)
        return say("scalar loop: QUORLIN_SCALAR_LOOPS is set");
#if QUORLIN_KERNELS
    if (!cpu_has_kernels())
        return say("scalar loop: this CPU has no AVX2 and FMA");
#else
    return say("scalar loop: no vector kernels for this architecture");
#endif
#if defined(__GLIBC__)
    const char *version = gnu_get_libc_version();
#else
    return say("scalar loop: the kernels follow glibc's functions, and this "
               "C runtime is not glibc");
#endif
    // Each kernel runs where the runtime's function is the algorithm it
    // follows, as the self-tests find it, not where a version string says.
    choice.atan = family([](Family f) {
        return agrees(f == Family::fdlibm ? atan : atan_rounded, runtime_atanf,
                      WITNESS_ATAN, std::size(WITNESS_ATAN), 24.0f);
    });
    choice.asin = family([](Family f) {
        return agrees(f == Family::fdlibm ? asin : asin_rounded, runtime_asinf,
                      WITNESS_ASIN, std::size(WITNESS_ASIN), 2.0f);
    });
    choice.sinh = family([](Family f) {
        return agrees(f == Family::fdlibm ? sinh : sinh_rounded, runtime_sinhf,
                      WITNESS_SINH, std::size(WITNESS_SINH), 8.0f);
    });
    choice.atan2 = family([](Family f) {
        return agrees_atan2(f == Family::fdlibm ? atan2 : atan2_rounded);
    });
    // The tile kernel estimates without the runtime's functions and decides
    // near edges on the edges themselves, with whichever atanf and sinhf
    // kernels run: it needs no sinf and cosf.
    choice.tiles = true;
    char *at = choice.point_reason;
    const char *end = choice.point_reason + sizeof choice.point_reason;
    at += std::snprintf(at, sizeof choice.point_reason,
                        "AVX2 kernel: glibc %s; estimated in double, and near "
                        "an edge the float32 edges by ",
                        version);
    describe(at, end, choice.atan, "atanf", false);
    describe(at, end, choice.sinh, "sinhf", true);
    for (const Variant variant : {Variant::fused, Variant::plain})
        if (self_test_trig(variant)) {
            choice.variant = variant;
            break;
        }
    if (choice.variant == Variant::none) {
        std::snprintf(choice.reason, sizeof choice.reason,
                      "scalar loop: glibc %s's sinf and cosf are not the "
                      "algorithm of the kernels (the self-test found answers "
                      "that differ)",
                      version);
        std::snprintf(choice.tile_reason, sizeof choice.tile_reason, "%s",
                      choice.reason);
        return choice;
    }
    const char *trig = choice.variant == Variant::fused ? "FMA" : "plain";
    at = choice.reason;
    end = choice.reason + sizeof choice.reason;
    at += std::snprintf(at, sizeof choice.reason,
                        "AVX2 kernel: glibc %s with its %s sinf and cosf and ",
                        version, trig);
    describe(at, end, choice.atan2, "atan2f", true);
    at = choice.tile_reason;
    end = choice.tile_reason + sizeof choice.tile_reason;
    at += std::snprintf(at, sizeof choice.tile_reason,
                        "AVX2 kernel: glibc %s with its %s sinf and cosf, ",
                        version, trig);
    describe(at, end, choice.atan, "atanf", false);
    describe(at, end, choice.asin, "asinf", false);
    describe(at, end, choice.sinh, "sinhf", true);
    return choice;
}

const Choice &active() noexcept
{
    static const Choice choice = choose();
    return choice;
}

}  // namespace quorlin::kernels
