// What the vector kernels' sources share: whether this build has them, the
// attribute that compiles a function for AVX2 and FMA, and the double
// helpers the double-precision kernels use.
#pragma once

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

}  // namespace quorlin::kernels::avx2

#endif
