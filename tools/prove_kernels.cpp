// The vector kernels against the C runtime's scalar functions, bit for bit:
//
//   prove_kernels sincos fused|plain   every one of the 2^32 floats, sinf and
//   cosf prove_kernels atan                 every one of the 2^32 floats
//   prove_kernels atan2 [PAIRS]        10^9 pairs (or PAIRS): those the
//   distance
//                                      formula makes from random coordinates,
//                                      random ones in its range, and
//                                      structured ones (axes, ties, tiny and
//                                      huge ratios)
//
// "fused" follows glibc's FMA variant of sinf and cosf, "plain" the other;
// run "plain" with
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA so that
// glibc loads that variant. Lanes a kernel leaves to the scalar function are
// counted apart. Prints the counts and the first differences; exits 1 if any.
// Built by .ci/run:
//   g++ -std=c++20 -O2 -ffp-contract=off -pthread tools/prove_kernels.cpp
//   src/ufuncs/kernels.cpp
#include <atomic>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "../src/ufuncs/kernels.hpp"

using quorlin::kernels::LANES;
using quorlin::kernels::Variant;

namespace {

struct Tally {
    std::atomic<std::uint64_t> compared{0}, left{0}, differing{0};
    std::mutex print;
};

// The C runtime's functions through pointers the compiler cannot see
// through, so that it neither folds sinf and cosf of one argument into
// sincosf nor evaluates anything itself.
float (*volatile c_sinf)(float) = sinf;
float (*volatile c_cosf)(float) = cosf;
void (*volatile c_sincosf)(float, float *, float *) = sincosf;

bool same(float a, float b)
{
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

void report(Tally &tally, const char *what, float in1, float in2, float got,
            float want)
{
    if (tally.differing.fetch_add(1) < 20) {
        std::lock_guard lock(tally.print);
        std::printf("  %s(%a, %a): kernel %a, C runtime %a\n", what,
                    static_cast<double>(in1), static_cast<double>(in2),
                    static_cast<double>(got), static_cast<double>(want));
    }
}

// Each of two threads takes every other block of 2^16 inputs.
template <class Body>
void over_all_floats(Body body)
{
    constexpr std::uint64_t BLOCK = 1u << 16;
    auto worker = [&](unsigned first) {
        for (std::uint64_t start = first * BLOCK; start < (1ull << 32);
             start += 2 * BLOCK)
            for (std::uint64_t i = start; i < start + BLOCK; i += LANES) {
                float x[LANES];
                for (int j = 0; j < LANES; ++j)
                    x[j] = std::bit_cast<float>(
                        static_cast<std::uint32_t>(i + j));
                body(x);
            }
    };
    std::thread other(worker, 1u);
    worker(0);
    other.join();
}

void prove_sincos(Variant variant, Tally &tally)
{
    over_all_floats([&](const float *x) {
        float s[LANES], c[LANES];
        const unsigned left = quorlin::kernels::sincos(variant, x, s, c);
        for (int j = 0; j < LANES; ++j) {
            if (left & (1u << j)) {
                tally.left += 1;
                continue;
            }
            tally.compared += 1;
            const float want_s = c_sinf(x[j]), want_c = c_cosf(x[j]);
            if (!same(s[j], want_s))
                report(tally, "sinf", x[j], 0.0f, s[j], want_s);
            if (!same(c[j], want_c))
                report(tally, "cosf", x[j], 0.0f, c[j], want_c);
            // The compiler turns sinf and cosf of one argument into one
            // sincosf call, in quorlin's scalar code too: it must agree.
            float both_s, both_c;
            c_sincosf(x[j], &both_s, &both_c);
            if (!same(both_s, want_s) || !same(both_c, want_c))
                report(tally, "sincosf", x[j], 0.0f, both_s, want_s);
        }
    });
}

// A one-argument kernel against its scalar function.
void prove_unary(const char *name,
                 unsigned (*kernel)(const float *, float *) noexcept,
                 float (*scalar)(float), Tally &tally)
{
    over_all_floats([&](const float *x) {
        float r[LANES];
        const unsigned left = kernel(x, r);
        for (int j = 0; j < LANES; ++j) {
            if (left & (1u << j)) {
                tally.left += 1;
                continue;
            }
            tally.compared += 1;
            const float want = scalar(x[j]);
            if (!same(r[j], want))
                report(tally, name, x[j], 0.0f, r[j], want);
        }
    });
}

// One pair in three comes from the distance formula on random valid
// coordinates, one is random in its range (y in [0, 1], x in [-1, 1], every
// float equally likely, so tiny values are common), one is structured
// around a random value: on an axis, on the diagonals, one unit off them,
// or with a ratio near 2^+-60 and past it.
void make_pair(std::mt19937_64 &random, std::uint64_t index, float &y,
               float &x)
{
    const std::uint64_t bits = random();
    const auto uniform = [&](std::uint64_t b) {
        return static_cast<float>(b >> 40) * 0x1p-24f;
    };
    switch (index % 3) {
    case 0: {
        const float to_radians = 0.017453292f;
        const float lat1 = (uniform(bits) * 180.0f - 90.0f) * to_radians;
        const float lat2 = (uniform(bits << 24) * 180.0f - 90.0f) * to_radians;
        const float delta =
            (uniform(random()) * 360.0f - 180.0f) * to_radians -
            (uniform(random()) * 360.0f - 180.0f) * to_radians;
        const float s1 = sinf(lat1), c1 = cosf(lat1), s2 = sinf(lat2),
                    c2 = cosf(lat2);
        const float sd = sinf(delta), cd = cosf(delta);
        const float a = sd * c2, b = (c1 * s2) - ((s1 * c2) * cd);
        y = sqrtf((b * b) + (a * a));
        x = ((c1 * c2) * cd) + (s1 * s2);
        break;
    }
    case 1:
        y = std::bit_cast<float>(
            static_cast<std::uint32_t>(bits % 0x3f800001u));
        x = std::bit_cast<float>(
            static_cast<std::uint32_t>((bits >> 32) % 0x3f800001u) |
            static_cast<std::uint32_t>(bits >> 63) << 31);
        break;
    default: {
        const float v = std::bit_cast<float>(
            static_cast<std::uint32_t>(bits % 0x3f800001u));
        const float sign = (bits >> 63) ? -1.0f : 1.0f;
        switch ((bits >> 40) % 8) {
        case 0:
            y = v;
            x = 0.0f * sign;
            break;
        case 1:
            y = 0.0f;
            x = v * sign;
            break;
        case 2:
            y = v;
            x = v * sign;
            break;
        case 3:
            y = v;
            x = std::nextafter(v, 2.0f) * sign;
            break;
        case 4:
            y = std::nextafter(v, 0.0f);
            x = v * sign;
            break;
        case 5:
            y = v;
            x = sign;
            break;
        case 6:
            y = std::ldexp(v, -61 + static_cast<int>((bits >> 44) % 4));
            x = sign;
            break;
        default:
            y = v;
            x = std::ldexp(sign, -61 + static_cast<int>((bits >> 44) % 4));
            break;
        }
    }
    }
}

void prove_atan2(std::uint64_t pairs, Tally &tally)
{
    auto worker = [&](unsigned seed) {
        std::mt19937_64 random(20261208u + seed);
        for (std::uint64_t i = seed * LANES; i < pairs; i += 2 * LANES) {
            float y[LANES], x[LANES], r[LANES];
            for (int j = 0; j < LANES; ++j)
                make_pair(random, i + j, y[j], x[j]);
            const unsigned left = quorlin::kernels::atan2(y, x, r);
            for (int j = 0; j < LANES; ++j) {
                if (left & (1u << j)) {
                    tally.left += 1;
                    continue;
                }
                tally.compared += 1;
                const float want = atan2f(y[j], x[j]);
                if (!same(r[j], want))
                    report(tally, "atan2f", y[j], x[j], r[j], want);
            }
        }
    };
    std::thread other(worker, 1u);
    worker(0);
    other.join();
}

}  // namespace

int main(int argc, char **argv)
{
    if (!quorlin::kernels::cpu_has_kernels()) {
        std::puts("prove_kernels: this CPU (or build) has no AVX2 and FMA "
                  "kernels; nothing to prove");
        return 0;
    }
    const char *what = argc > 1 ? argv[1] : "";
    Tally tally;
    const auto started = std::chrono::steady_clock::now();
    if (std::strcmp(what, "sincos") == 0 && argc > 2 &&
        (std::strcmp(argv[2], "fused") == 0 ||
         std::strcmp(argv[2], "plain") == 0)) {
        prove_sincos(std::strcmp(argv[2], "fused") == 0 ? Variant::fused
                                                        : Variant::plain,
                     tally);
    } else if (std::strcmp(what, "atan") == 0) {
        prove_unary("atanf", quorlin::kernels::atan, atanf, tally);
    } else if (std::strcmp(what, "sinh") == 0) {
        prove_unary("sinhf", quorlin::kernels::sinh, sinhf, tally);
    } else if (std::strcmp(what, "asin") == 0) {
        prove_unary("asinf", quorlin::kernels::asin, asinf, tally);
    } else if (std::strcmp(what, "atan2") == 0) {
        prove_atan2(argc > 2 ? std::strtoull(argv[2], nullptr, 10)
                             : 1000000000ull,
                    tally);
    } else {
        std::fputs("usage: prove_kernels sincos fused|plain | atan | sinh | "
                   "asin | atan2 [PAIRS]\n",
                   stderr);
        return 2;
    }
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    std::printf(
        "%s%s%s: %" PRIu64 " inputs compared, %" PRIu64
        " left to the scalar function, %" PRIu64 " differing (%.0f s)\n",
        what, argc > 2 && what[0] == 's' ? " " : "",
        argc > 2 && what[0] == 's' ? argv[2] : "", tally.compared.load(),
        tally.left.load(), tally.differing.load(), seconds);
    return tally.differing.load() == 0 ? 0 : 1;
}
