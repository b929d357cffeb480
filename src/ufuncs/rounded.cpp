// Correctly rounded atanf, atan2f, asinf and sinhf, eight lanes at a time
// (see kernels.hpp): each is computed in double with a relative error below
// 2^-49 and rounded once to float. That float is the correctly rounded
// answer unless the double lies within the error of a rounding boundary (the
// midpoint between two floats), so a lane whose double lies within 2^12
// double units of one, about 2^-41 relative and 256 times the error bound,
// is left to the C runtime's own function: a few lanes in a million. So are
// lanes whose answer is a float subnormal, zero or past FLT_MAX, and the edge
// cases (NaN, infinities, zeros).
//
// The error bounds, in units u = 2^-53 of relative error:
// - atan_core(y, x), s = y / x in [0, 1]: c = k / 16 with k = round(16 s)
//   from s in float (so |s - c| <= 1/32 + 2^-20), u' = (y - c x) / (x + c y),
//   whose fused numerator and denominator and the division round once each:
//   1.5u on u'. atan(u') for |u'| < 0.0313 by its series to u'^9: truncation
//   below |u'|^11 / 11 < u |u'|. atan(c) from the table: 0.5u; the
//   polynomial's (Estrin's scheme) and the final sum's roundings: 2u. With
//   |u'| at most about the result, 5u; an error d on y or x adds at most d
//   (the condition number s / ((1 + s^2) atan s) is below 1).
// - atan2: of min and max of |y|, |x| (exact), pi/2 - a and pi - a
//   each add their rounding and the constant's (3u together, relative to a
//   result at least twice the part subtracted): 11u.
// - atan: of min and max of |x| and 1, pi/2 - a as above: 8u.
// - asin: w = sqrt((1 - x)(1 + x)), 2.5u, then as atan2 of x and w: 14u.
// - sinh: below 1 its odd series to x^17 (truncation below 1/19! < 0.1u,
//   roundings 3u in Estrin's scheme); from 1, e^|x| = 2^k e^r with
//   r = |x| - k ln 2 exact in its first part (Cody and Waite's split of
//   ln 2), e^r by its series to r^13 (truncation below 0.1u; Estrin's
//   scheme rounds each of its four levels, 4u relative to a result of at
//   least e^-0.35 where the terms' magnitudes sum to at most e^0.35: 8u),
//   then (E - 1/E) / 2, which amplifies by at most coth 1 < 1.32: 12u.
// All below 14u < 2^-49. tools/prove_kernels compares every float input
// with the running C runtime, on the runtimes whose functions are correctly
// rounded.
#include "avx2.hpp"
#include "kernels.hpp"

#include <cstdint>

namespace quorlin::kernels {

#if QUORLIN_KERNELS

namespace {

using avx2::absolute, avx2::fmadd, avx2::splat;

constexpr double HALF_PI = 0x1.921fb54442d18p0, PI = 0x1.921fb54442d18p1;
// atan(i / 16), i = 0 to 16, each the nearest double.
alignas(32) constexpr double ATAN_TABLE[17] = {
    0x0.0p+0,
    0x1.ff55bb72cfdeap-5,
    0x1.fd5ba9aac2f6ep-4,
    0x1.7b97b4bce5b02p-3,
    0x1.f5b75f92c80ddp-3,
    0x1.362773707ebccp-2,
    0x1.6f61941e4def1p-2,
    0x1.a64eec3cc23fdp-2,
    0x1.dac670561bb4fp-2,
    0x1.0657e94db30d0p-1,
    0x1.1e00babdefeb4p-1,
    0x1.345f01cce37bbp-1,
    0x1.4978fa3269ee1p-1,
    0x1.5d58987169b18p-1,
    0x1.700a7c5784634p-1,
    0x1.819d0b7158a4dp-1,
    0x1.921fb54442d18p-1,
};
// ln 2 in two parts, the first with 32 significant bits so that k times
// it is exact for the k of any float argument.
constexpr double LN2_HI = 0x1.62e42feep-1, LN2_LO = 0x1.a39ef35793c76p-33;
constexpr double LOG2_E = 0x1.71547652b82fep0;

// c[0] + c[1] u + ... + c[N-1] u^(N-1) by Estrin's scheme: pairs, then
// pairs of pairs, so that the chain of dependent operations is log2(N)
// multiply-adds long rather than N.
template <int N>
AVX2 inline __m256d estrin(__m256d u, const double (&c)[N])
{
    __m256d terms[N];
    for (int i = 0; i < N; ++i)
        terms[i] = splat(c[i]);
    __m256d power = u;
    for (int count = N; count > 1; count = (count + 1) / 2) {
        for (int i = 0; i < count / 2; ++i)
            terms[i] = fmadd(terms[2 * i + 1], power, terms[2 * i]);
        if (count % 2 != 0)
            terms[count / 2] = terms[count - 1];
        power = _mm256_mul_pd(power, power);
    }
    return terms[0];
}

// atan(y / x) for 0 <= y <= x, x > 0: with c = k / 16 nearest the ratio
// (k taken from the ratio in float, so c may be the next sixteenth),
// u' = (y - c x) / (x + c y) in one division, and atan(c) from the table.
AVX2 inline __m256d atan_core(__m256d y, __m256d x)
{
    const __m128 ratio = _mm_div_ps(_mm256_cvtpd_ps(y), _mm256_cvtpd_ps(x));
    __m256d k =
        _mm256_round_pd(_mm256_mul_pd(_mm256_cvtps_pd(ratio), splat(16.0)),
                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    // Lanes the caller will discard (NaN) must still index the table: min
    // and max give their second operand for NaN.
    k = _mm256_max_pd(_mm256_min_pd(k, splat(16.0)), splat(0.0));
    const __m256d c = _mm256_mul_pd(k, splat(0.0625));
    const __m256d u = _mm256_div_pd(_mm256_fnmadd_pd(c, x, y), fmadd(c, y, x));
    const __m256d u2 = _mm256_mul_pd(u, u);
    constexpr double SERIES[] = {-1.0 / 3, 1.0 / 5, -1.0 / 7, 1.0 / 9};
    const __m256d p = fmadd(_mm256_mul_pd(estrin(u2, SERIES), u2), u, u);
    // atan(c) by four loads: a gather would be slower on CPUs whose
    // microcode guards gathers.
    alignas(16) std::int32_t index[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(index), _mm256_cvtpd_epi32(k));
    const __m256d base =
        _mm256_set_pd(ATAN_TABLE[index[3]], ATAN_TABLE[index[2]],
                      ATAN_TABLE[index[1]], ATAN_TABLE[index[0]]);
    return _mm256_add_pd(base, p);
}

// atan2 of non-negative y and x, not both zero, in [0, pi/2].
AVX2 inline __m256d atan_quadrant(__m256d y, __m256d x)
{
    const __m256d swap = _mm256_cmp_pd(y, x, _CMP_GT_OQ);
    const __m256d a = atan_core(_mm256_min_pd(y, x), _mm256_max_pd(y, x));
    return _mm256_blendv_pd(a, _mm256_sub_pd(splat(HALF_PI), a), swap);
}

AVX2 inline __m256d sinh_core(__m256d x)
{
    const __m256d ax = absolute(x);
    // Below 1: the odd series, x + x^3 P(x^2).
    const __m256d x2 = _mm256_mul_pd(ax, ax);
    constexpr double ODD[] = {1.0 / 6.0,
                              1.0 / 120.0,
                              1.0 / 5040.0,
                              1.0 / 362880.0,
                              1.0 / 39916800.0,
                              1.0 / 6227020800.0,
                              1.0 / 1307674368000.0,
                              1.0 / 355687428096000.0};
    const __m256d small = fmadd(_mm256_mul_pd(estrin(x2, ODD), x2), ax, ax);
    // From 1: e^|x| = 2^k e^r.
    const __m256d k =
        _mm256_round_pd(_mm256_mul_pd(ax, splat(LOG2_E)),
                        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d r =
        _mm256_sub_pd(_mm256_sub_pd(ax, _mm256_mul_pd(k, splat(LN2_HI))),
                      _mm256_mul_pd(k, splat(LN2_LO)));
    constexpr double EXP[] = {1.0,
                              1.0,
                              0.5,
                              1.0 / 6.0,
                              1.0 / 24.0,
                              1.0 / 120.0,
                              1.0 / 720.0,
                              1.0 / 5040.0,
                              1.0 / 40320.0,
                              1.0 / 362880.0,
                              1.0 / 3628800.0,
                              1.0 / 39916800.0,
                              1.0 / 479001600.0,
                              1.0 / 6227020800.0};
    const __m256d e = estrin(r, EXP);
    // 2^k: k is at most 129 here, a normal double's exponent.
    const __m256i exponent = _mm256_slli_epi64(
        _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(k)),
                         _mm256_set1_epi64x(1023)),
        52);
    const __m256d big_e = _mm256_mul_pd(e, _mm256_castsi256_pd(exponent));
    const __m256d large = _mm256_mul_pd(
        _mm256_sub_pd(big_e, _mm256_div_pd(splat(1.0), big_e)), splat(0.5));
    const __m256d magnitude = _mm256_blendv_pd(
        small, large, _mm256_cmp_pd(ax, splat(1.0), _CMP_GT_OQ));
    return _mm256_or_pd(magnitude, _mm256_and_pd(x, splat(-0.0)));
}

// The lanes of r that round to float in doubt (within 2^12 units of a
// midpoint), or to a float subnormal, zero or past FLT_MAX: a 4-bit mask.
AVX2 inline unsigned in_doubt(__m256d r)
{
    const __m256i bits = _mm256_castpd_si256(r);
    const __m256i low = _mm256_and_si256(bits, _mm256_set1_epi64x(0x1fffffff));
    const __m256i from_midpoint =
        _mm256_sub_epi64(low, _mm256_set1_epi64x(0x10000000));
    const __m256i margin = _mm256_set1_epi64x(1 << 12);
    const __m256i near = _mm256_andnot_si256(
        _mm256_or_si256(_mm256_cmpgt_epi64(from_midpoint, margin),
                        _mm256_cmpgt_epi64(
                            _mm256_sub_epi64(_mm256_setzero_si256(), margin),
                            from_midpoint)),
        _mm256_set1_epi64x(-1));
    const __m256d a = absolute(r);
    const __m256d out_of_range =
        _mm256_or_pd(_mm256_cmp_pd(a, splat(0x1p-126), _CMP_LT_OQ),
                     _mm256_cmp_pd(a, splat(0x1.fffffep127), _CMP_GT_OQ));
    return static_cast<unsigned>(_mm256_movemask_pd(
        _mm256_or_pd(_mm256_castsi256_pd(near), out_of_range)));
}

// Rounds eight double results to float and stores them; returns the lanes
// in doubt together with `left`.
AVX2 inline unsigned finish(__m256d low, __m256d high, unsigned left,
                            float *out)
{
    _mm_storeu_ps(out, _mm256_cvtpd_ps(low));
    _mm_storeu_ps(out + 4, _mm256_cvtpd_ps(high));
    return left | in_doubt(low) | (in_doubt(high) << 4);
}

// Lanes of eight floats that are NaN, infinite or zero.
AVX2 inline unsigned special(const float *x)
{
    const __m256i magnitude =
        _mm256_and_si256(_mm256_castps_si256(_mm256_loadu_ps(x)),
                         _mm256_set1_epi32(0x7fffffff));
    const __m256i zero = _mm256_cmpeq_epi32(magnitude, _mm256_setzero_si256());
    const __m256i not_finite =
        _mm256_cmpgt_epi32(magnitude, _mm256_set1_epi32(0x7f7fffff));
    return static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_or_si256(zero, not_finite))));
}

AVX2 inline __m256d widen(const float *x)
{
    return _mm256_cvtps_pd(_mm_loadu_ps(x));
}

AVX2 inline __m256d atan4(__m256d x)
{
    const __m256d ax = absolute(x);
    const __m256d a = atan_quadrant(ax, splat(1.0));
    return _mm256_or_pd(a, _mm256_and_pd(x, splat(-0.0)));
}

AVX2 inline __m256d atan2_4(__m256d y, __m256d x)
{
    __m256d a = atan_quadrant(absolute(y), absolute(x));
    a = _mm256_blendv_pd(a, _mm256_sub_pd(splat(PI), a), x);
    return _mm256_or_pd(a, _mm256_and_pd(y, splat(-0.0)));
}

AVX2 inline __m256d asin4(__m256d x)
{
    const __m256d ax = absolute(x);
    const __m256d w = _mm256_sqrt_pd(_mm256_mul_pd(
        _mm256_sub_pd(splat(1.0), ax), _mm256_add_pd(splat(1.0), ax)));
    return _mm256_or_pd(atan_quadrant(ax, w), _mm256_and_pd(x, splat(-0.0)));
}

AVX2 unsigned atan8(const float *x, float *out)
{
    return finish(atan4(widen(x)), atan4(widen(x + 4)), special(x), out);
}

AVX2 unsigned atan2_8(const float *y, const float *x, float *out)
{
    return finish(atan2_4(widen(y), widen(x)),
                  atan2_4(widen(y + 4), widen(x + 4)), special(y) | special(x),
                  out);
}

// Lanes of eight floats whose magnitude is above the float with `bits`.
AVX2 inline unsigned above(const float *x, std::int32_t bits)
{
    const __m256i magnitude =
        _mm256_and_si256(_mm256_castps_si256(_mm256_loadu_ps(x)),
                         _mm256_set1_epi32(0x7fffffff));
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(
        _mm256_cmpgt_epi32(magnitude, _mm256_set1_epi32(bits)))));
}

AVX2 unsigned asin8(const float *x, float *out)
{
    return finish(asin4(widen(x)), asin4(widen(x + 4)),
                  special(x) | above(x, 0x3f800000), out);  // past 1
}

AVX2 unsigned sinh8(const float *x, float *out)
{
    // Past 89 the answer overflows a float, and 2^k would leave the
    // exponent range assumed above.
    return finish(sinh_core(widen(x)), sinh_core(widen(x + 4)),
                  special(x) | above(x, 0x42b20000), out);
}

}  // namespace

unsigned atan_rounded(const float *x, float *out) noexcept
{
    return atan8(x, out);
}

unsigned atan2_rounded(const float *y, const float *x, float *out) noexcept
{
    return atan2_8(y, x, out);
}

unsigned asin_rounded(const float *x, float *out) noexcept
{
    return asin8(x, out);
}

unsigned sinh_rounded(const float *x, float *out) noexcept
{
    return sinh8(x, out);
}

#else  // no kernels in this build

unsigned atan_rounded(const float *, float *) noexcept
{
    return 0xff;
}
unsigned atan2_rounded(const float *, const float *, float *) noexcept
{
    return 0xff;
}
unsigned asin_rounded(const float *, float *) noexcept
{
    return 0xff;
}
unsigned sinh_rounded(const float *, float *) noexcept
{
    return 0xff;
}

#endif

}  // namespace quorlin::kernels
