// The vector kernels against the C runtime's scalar functions, bit for bit.
//
// prove_kernels active [PAIRS [POINTS [FUNCTIONS]]]: every kernel this
// process's choice runs (what quorlin_numpy.loops() names), each proof
// below once (PAIRS or POINTS 0 skips one; FUNCTIONS, as "atan,sinh" or
// "none", limits the one-argument functions).
// prove_kernels sincos fused|plain: sinf and cosf, every one of the 2^32
// floats. prove_kernels atan|sinh|asin [rounded]: every one of the 2^32
// floats. prove_kernels atan2 [PAIRS] [rounded]: 10^9 pairs (or PAIRS):
// those the distance formula makes from random coordinates, random ones in
// its range, and structured ones (axes, ties, tiny and huge ratios).
// prove_kernels tile [POINTS]: the tile kernel against tile_of, 2 * 10^6
// points (or POINTS) at each zoom from 0 to 32, half of them tiles' corners
// and their float32 neighbours.
//
// "fused" follows glibc's FMA variant of sinf and cosf, "plain" the other;
// run "plain" with GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,
// -AVX2,-FMA so that glibc loads that variant. "rounded" takes the
// correctly rounded kernels (for glibc 2.41 on) instead of the fdlibm ones.
// Lanes a kernel leaves to the scalar function are counted apart. Prints
// the counts and the first differences; exits 1 if any. Built by
// tools/harden kernels:
//   g++ -std=c++20 -O2 -ffp-contract=off -pthread -Isrc
//       tools/prove_kernels.cpp src/ufuncs/kernels.cpp src/ufuncs/rounded.cpp
//       src/ufuncs/tile_kernel.cpp src/geodesy/geodesy.cpp
//       src/geodesy/tiles.cpp src/failure/*.cpp
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
#include <utility>
#include <vector>

#include "../src/geodesy/tiles.hpp"
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

void prove_atan2(unsigned (*kernel)(const float *, const float *,
                                    float *) noexcept,
                 std::uint64_t pairs, Tally &tally)
{
    auto worker = [&](unsigned seed) {
        std::mt19937_64 random(20261208u + seed);
        for (std::uint64_t i = seed * LANES; i < pairs; i += 2 * LANES) {
            float y[LANES], x[LANES], r[LANES];
            for (int j = 0; j < LANES; ++j)
                make_pair(random, i + j, y[j], x[j]);
            const unsigned left = kernel(y, x, r);
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

// The tile kernel against tile_of: at every zoom, POINTS points (half of
// them tiles' corners and their float32 neighbours across both edges, half
// uniform over the map), sixteen at a time with zooms varying.
void prove_tiles(std::uint64_t points, Tally &tally)
{
    constexpr int L = quorlin::kernels::TILE_LANES;
    auto worker = [&](unsigned seed) {
        std::mt19937_64 random(20261210u + seed);
        const float north = quorlin::map_north_edge(),
                    south = quorlin::map_south_edge();
        for (std::uint64_t i = seed * L; i < points * 33; i += 2 * L) {
            double lon[L], lat[L];
            std::int64_t zoom[L], x[L], y[L];
            for (int j = 0; j < L; ++j) {
                const auto z = static_cast<std::uint32_t>((i + j) % 33);
                zoom[j] = z;
                const std::uint64_t bits = random();
                float a, b;
                if (bits & 1) {
                    const std::uint64_t n = std::uint64_t{1} << z;
                    const auto corner = quorlin::wm_upper_left(
                        static_cast<std::uint32_t>((bits >> 1) % n),
                        static_cast<std::uint32_t>((bits >> 33) % n),
                        quorlin::tile_scale(z));
                    const int step_a = static_cast<int>((bits >> 60) % 3) - 1,
                              step_b = static_cast<int>((bits >> 62) % 3) - 1;
                    a = step_a ? std::nextafter(corner.lon, step_a * 200.0f)
                               : corner.lon;
                    b = step_b ? std::nextafter(corner.lat, step_b * 100.0f)
                               : corner.lat;
                } else {
                    a = static_cast<float>(bits >> 40) * 0x1p-24f * 360.0f -
                        180.0f;
                    b = static_cast<float>((bits >> 16) & 0xffffff) *
                            0x1p-24f * 170.2f -
                        85.1f;
                }
                lon[j] = std::fmin(std::fmax(a, -180.0f), 180.0f);
                lat[j] = std::fmin(std::fmax(b, south), north);
            }
            using quorlin::kernels::Column, quorlin::kernels::Target;
            auto bytes = [](auto *p) { return reinterpret_cast<char *>(p); };
            quorlin::kernels::PendingRows pending;
            if (!quorlin::kernels::tiles(true, {bytes(lon), sizeof(double)},
                                         {bytes(lat), sizeof(double)},
                                         {bytes(zoom), sizeof(std::int64_t)},
                                         {bytes(x), sizeof(std::int64_t)},
                                         {bytes(y), sizeof(std::int64_t)},
                                         pending)) {
                tally.left += L;
                continue;
            }
            quorlin::kernels::finish_rows(pending);
            for (int j = 0; j < L; ++j) {
                tally.compared += 1;
                const auto want = quorlin::tile_of(
                    static_cast<float>(lon[j]), static_cast<float>(lat[j]),
                    static_cast<std::uint32_t>(zoom[j]));
                if ((x[j] != want.x || y[j] != want.y) &&
                    tally.differing.fetch_add(1) < 20) {
                    std::lock_guard lock(tally.print);
                    std::printf("  tile(%a, %a, %" PRId64 "): kernel %" PRId64
                                " %" PRId64 ", tile_of %u %u\n",
                                lat[j], lon[j], zoom[j], x[j], y[j], want.x,
                                want.y);
                }
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
    // "rounded" as the last argument: the correctly rounded kernels.
    const bool rounded =
        argc > 2 && std::strcmp(argv[argc - 1], "rounded") == 0;
    if (rounded)
        --argc;
    namespace k = quorlin::kernels;
    using Unary = unsigned (*)(const float *, float *) noexcept;
    int failed = 0;
    // One proof: its name, the body, then its line of counts.
    auto prove = [&](const char *name, auto body) {
        Tally tally;
        const auto started = std::chrono::steady_clock::now();
        body(tally);
        const double seconds = std::chrono::duration<double>(
                                   std::chrono::steady_clock::now() - started)
                                   .count();
        std::printf("%s: %" PRIu64 " inputs compared, %" PRIu64
                    " left to the scalar function, %" PRIu64
                    " differing (%.0f s)\n",
                    name, tally.compared.load(), tally.left.load(),
                    tally.differing.load(), seconds);
        std::fflush(stdout);
        failed |= tally.differing.load() != 0;
    };
    auto unary = [&](const char *name, bool correctly_rounded) {
        static const struct {
            const char *name;
            Unary fdlibm, rounded;
            float (*scalar)(float);
            const char *runtime;
        } table[] = {{"atan", k::atan, k::atan_rounded, atanf, "atanf"},
                     {"sinh", k::sinh, k::sinh_rounded, sinhf, "sinhf"},
                     {"asin", k::asin, k::asin_rounded, asinf, "asinf"}};
        for (const auto &row : table)
            if (std::strcmp(row.name, name) == 0) {
                char label[32];
                std::snprintf(label, sizeof label, "%s%s", name,
                              correctly_rounded ? " rounded" : "");
                prove(label, [&](Tally &t) {
                    prove_unary(row.runtime,
                                correctly_rounded ? row.rounded : row.fdlibm,
                                row.scalar, t);
                });
            }
    };
    auto atan2_pairs = [&](std::uint64_t pairs, bool correctly_rounded) {
        prove(correctly_rounded ? "atan2 rounded" : "atan2", [&](Tally &t) {
            prove_atan2(correctly_rounded ? k::atan2_rounded : k::atan2, pairs,
                        t);
        });
    };
    auto tiles = [&](std::uint64_t points) {
        prove("tile", [&](Tally &t) { prove_tiles(points, t); });
    };
    const auto count = [&](int at, std::uint64_t fallback) {
        return argc > at ? std::strtoull(argv[at], nullptr, 10) : fallback;
    };
    if (std::strcmp(what, "active") == 0) {
        // What this process's choice runs, each proof once.
        const k::Choice &choice = k::active();
        std::printf("%s\n%s\n%s\n", choice.reason, choice.tile_reason,
                    choice.point_reason);
        if (choice.variant != Variant::none) {
            const bool fused = choice.variant == Variant::fused;
            prove(fused ? "sincos fused" : "sincos plain",
                  [&](Tally &t) { prove_sincos(choice.variant, t); });
        }
        const std::pair<const char *, k::Family> unaries[] = {
            {"atan", choice.atan},
            {"sinh", choice.sinh},
            {"asin", choice.asin}};
        // A fourth argument names the one-argument functions to prove
        // ("atan,sinh" or "none"); by default, all that run.
        const char *only = argc > 4 ? argv[4] : nullptr;
        for (const auto &[name, family] : unaries)
            if (family != k::Family::none &&
                (only == nullptr || std::strstr(only, name) != nullptr))
                unary(name, family == k::Family::rounded);
        const std::uint64_t pairs = count(2, 1000000000ull);
        if (choice.atan2 != k::Family::none && pairs > 0)
            atan2_pairs(pairs, choice.atan2 == k::Family::rounded);
        const std::uint64_t points = count(3, 2000000ull);
        if (choice.tiles && points > 0)
            tiles(points);
    } else if (std::strcmp(what, "sincos") == 0 && argc > 2 &&
               (std::strcmp(argv[2], "fused") == 0 ||
                std::strcmp(argv[2], "plain") == 0)) {
        const bool fused = std::strcmp(argv[2], "fused") == 0;
        prove(fused ? "sincos fused" : "sincos plain", [&](Tally &t) {
            prove_sincos(fused ? Variant::fused : Variant::plain, t);
        });
    } else if (std::strcmp(what, "atan") == 0 ||
               std::strcmp(what, "sinh") == 0 ||
               std::strcmp(what, "asin") == 0) {
        unary(what, rounded);
    } else if (std::strcmp(what, "atan2") == 0) {
        atan2_pairs(count(2, 1000000000ull), rounded);
    } else if (std::strcmp(what, "tile") == 0) {
        tiles(count(2, 2000000ull));
    } else {
        std::fputs("usage: prove_kernels active [PAIRS [POINTS [FUNCTIONS]]] "
                   "| sincos "
                   "fused|plain | atan|sinh|asin [rounded] | atan2 [PAIRS] "
                   "[rounded] | tile [POINTS]\n",
                   stderr);
        return 2;
    }
    return failed;
}
