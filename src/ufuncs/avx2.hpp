// What the vector kernels' sources share: whether this build has them, the
// attribute that compiles a function for AVX2 and FMA, and the double
// helpers the double-precision kernels use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORLIN_KERNELS 1
#include <immintrin.h>
#endif

#if QUORLIN_KERNELS

// Each function that uses AVX2 says so rather than its file being compiled
// for AVX2: inline functions from shared headers must stay plain x86-64.
#define AVX2 __attribute__((target("avx2,fma")))
// The vector types pass between functions of the kernels' files only, all
// inlined or compiled for AVX2; GCC's note about their ABI does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quorlin::kernels::avx2 {

AVX2 inline __m256d splat(double v)
{
    return _mm256_set1_pd(v);
}

AVX2 inline __m256d fmadd(__m256d a, __m256d b, __m256d c)
{
    return _mm256_fmadd_pd(a, b, c);
}

AVX2 inline __m256d absolute(__m256d v)
{
    return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v);
}

template <class T>
inline T element(const char *at) noexcept
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Four coordinates of a loop's argument, narrowed to float as the scalar
// path narrows them. Read straight from the array into registers: through
// a buffer of scalar stores, the wide loads would wait on every store.
AVX2 inline __m128 load4(bool doubles, const char *at, std::ptrdiff_t step)
{
    if (doubles)
        return _mm256_cvtpd_ps(
            step == sizeof(double)
                ? _mm256_loadu_pd(reinterpret_cast<const double *>(at))
                : _mm256_set_pd(element<double>(at + 3 * step),
                                element<double>(at + 2 * step),
                                element<double>(at + step),
                                element<double>(at)));
    return step == sizeof(float)
               ? _mm_loadu_ps(reinterpret_cast<const float *>(at))
               : _mm_set_ps(element<float>(at + 3 * step),
                            element<float>(at + 2 * step),
                            element<float>(at + step), element<float>(at));
}

// Four int64 elements of a loop's argument.
AVX2 inline __m256i load_zooms(const char *at, std::ptrdiff_t step)
{
    return step == sizeof(std::int64_t)
               ? _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at))
               : _mm256_set_epi64x(element<std::int64_t>(at + 3 * step),
                                   element<std::int64_t>(at + 2 * step),
                                   element<std::int64_t>(at + step),
                                   element<std::int64_t>(at));
}

}  // namespace quorlin::kernels::avx2

#endif
