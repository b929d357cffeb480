// The arithmetic alone: ns per call of each computation over varied inputs,
// with no interpreter in the way. Prints one "name ns" line per function.
// With the argument "fixed", every call gets the Python benchmark's inputs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

#include "geodesy/geodesy.hpp"

namespace {

constexpr std::size_t INPUTS = 4096;
constexpr int ROUNDS = 200;
constexpr int REPEATS = 9;

struct Point {
    float lon1, lat1, lon2, lat2, radius;
};
struct Tile {
    std::uint32_t x, y, z;
    float expansion;
};

// Each call's first input is made to depend on the previous call's result
// (an empty asm, so no arithmetic is added): calls then run one after the
// other, as they do when Python makes them, instead of overlapping in the
// processor's out-of-order window, which would understate the cost.
float chain = 0.0f;

template <class T>
T after_previous(T input)
{
    asm volatile("" : "+r"(input) : "x"(chain));
    return input;
}
float after_previous(float input)
{
    asm volatile("" : "+x"(input) : "x"(chain));
    return input;
}

void keep(float value)
{
    asm volatile("" : "+x"(value));
    chain = value;
}
void keep(const quorlin::LonLat &value)
{
    keep(value.lat);
}
void keep(const quorlin::TileBounds &value)
{
    keep(value.north);
}

template <class Body>
double ns_per_call(Body body)
{
    std::vector<double> samples;
    for (int repeat = 0; repeat < REPEATS; ++repeat) {
        auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < ROUNDS; ++round)
            for (std::size_t i = 0; i < INPUTS; ++i)
                body(i);
        auto stop = std::chrono::steady_clock::now();
        samples.push_back(
            std::chrono::duration<double, std::nano>(stop - start).count() /
            (double(ROUNDS) * INPUTS));
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    std::mt19937 random(1);
    std::uniform_real_distribution<float> lon(-179.0f, 179.0f),
        lat(-85.0f, 85.0f);
    std::uniform_real_distribution<float> metres(0.0f, 5000.0f);
    std::vector<Point> points(INPUTS);
    std::vector<Tile> tiles(INPUTS);
    for (std::size_t i = 0; i < INPUTS; ++i) {
        points[i] = {lon(random), lat(random), lon(random), lat(random),
                     6371000.0f};
        std::uint32_t z = 1 + random() % 20;
        tiles[i] = {static_cast<std::uint32_t>(random() % (1u << z)),
                    static_cast<std::uint32_t>(random() % (1u << z)), z,
                    metres(random)};
        tiles[i].x = std::max(tiles[i].x, 1u);  // off the antimeridian
    }
    using namespace quorlin;
    const char *mode = argc > 1 ? argv[1] : "varied";
    if (std::string_view(mode) == "fixed") {
        // The Python benchmark's own arguments, for the boundary estimate.
        for (auto &p : points)
            p = {2.3522f, 48.8566f, 139.6917f, 35.6895f, 6371000.0f};
        for (auto &t : tiles)
            t = {2074, 1409, 12, 500.0f};
    }
    std::printf("great_circle_distance %.2f\n",
                ns_per_call([&](std::size_t i) {
                    const Point &p = points[i];
                    keep(great_circle_distance(after_previous(p.lon1), p.lat1,
                                               p.lon2, p.lat2));
                }));
    std::printf(
        "great_circle_distance_with_radius %.2f\n",
        ns_per_call([&](std::size_t i) {
            const Point &p = points[i];
            keep(great_circle_distance_with_radius(
                after_previous(p.lon1), p.lat1, p.lon2, p.lat2, p.radius));
        }));
    std::printf("wm_upper_left %.2f\n", ns_per_call([&](std::size_t i) {
                    const Tile &t = tiles[i];
                    keep(wm_upper_left(after_previous(t.x), t.y, t.z));
                }));
    std::printf("wm_bounds %.2f\n", ns_per_call([&](std::size_t i) {
                    const Tile &t = tiles[i];
                    keep(wm_bounds(after_previous(t.x), t.y, t.z));
                }));
    std::printf("wm_tile_expanded_bbox %.2f\n",
                ns_per_call([&](std::size_t i) {
                    const Tile &t = tiles[i];
                    keep(wm_tile_expanded_bbox(after_previous(t.x), t.y, t.z,
                                               t.expansion));
                }));
}
