// The arithmetic against an independent model: every step computed in
// double and rounded to float, which for + - * / and sqrt gives the same
// correctly rounded result as float arithmetic (double has more than twice
// float's precision), and the C runtime's float functions for the rest.
// Results are compared bit for bit; NaN equals NaN, and the sign of zero
// counts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "failure/contract.hpp"
#include "failure_of.hpp"
#include "geodesy/geodesy.hpp"

namespace {

using quorlin::ContractFailure;
using quorlin::LonLat;
using quorlin::TileBounds;

// ---- the model -------------------------------------------------------------

float r(double x)
{
    return static_cast<float>(x);
}
double w(float x)
{
    return static_cast<double>(x);
}
float from_bits(std::uint32_t bits)
{
    return std::bit_cast<float>(bits);
}
std::uint32_t bits_of(float x)
{
    return std::bit_cast<std::uint32_t>(x);
}

const double DEG = w(from_bits(0x3C8EFA35));
const double RAD = w(from_bits(0x42652EE1));
const double RADIUS = w(from_bits(0x4AC26D82));
const double PI_BITS = w(from_bits(0x40490FDB));
const double NUDGE = w(from_bits(0x3089705F));

bool model_valid(float lon, float lat)
{
    double x = w(lon), y = w(lat);
    return -90.0 < y && y < 90.0 && -180.0 < x && x < 180.0;
}

float model_angle(float lon1, float lat1, float lon2, float lat2)
{
    float phi1 = r(w(lat1) * DEG);
    float lam1 = r(w(lon1) * DEG);
    float phi2 = r(w(lat2) * DEG);
    float dlam = r(w(r(w(lon2) * DEG)) - w(lam1));
    double s1 = w(sinf(phi1)), c1 = w(cosf(phi1));
    double s2 = w(sinf(phi2)), c2 = w(cosf(phi2));
    double cd = w(cosf(dlam)), sd = w(sinf(dlam));
    double a = w(r(sd * c2));
    double b = w(r(w(r(c1 * s2)) - w(r(w(r(s1 * c2)) * cd))));
    float y = r(std::sqrt(w(r(w(r(b * b)) + w(r(a * a))))));
    float x = r(w(r(w(r(c1 * c2)) * cd)) + w(r(s1 * s2)));
    return atan2f(y, x);
}

float model_distance(float lon1, float lat1, float lon2, float lat2,
                     float radius)
{
    return r(w(model_angle(lon1, lat1, lon2, lat2)) * w(radius));
}

float model_scale(std::uint32_t z)
{
    float p = powf(2.0f, r(static_cast<double>(static_cast<std::int32_t>(z))));
    return r(1.0 / w(p));
}

float model_lon(double column, float d)
{
    return r(w(r(w(r(w(r(column)) * w(d))) * 360.0)) - 180.0);
}

float model_lat(double row, float d)
{
    double rf = w(r(row));
    float t = r(w(r(rf + rf)) * w(d));
    float inner = r(w(r(1.0 - w(t))) * PI_BITS);
    return r(w(atanf(sinhf(inner))) * RAD);
}

TileBounds model_bounds(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    float d = model_scale(z);
    double x1 = static_cast<double>(x) + 1.0,
           y1 = static_cast<double>(y) + 1.0;
    return {model_lon(x, d), r(w(model_lat(y1, d)) + NUDGE),
            r(w(model_lon(x1, d)) - NUDGE), model_lat(y, d)};
}

float model_clamp(float v, double limit)
{
    if (std::isnan(v))
        return v;
    return r(std::min(std::max(w(v), -limit), limit));
}

TileBounds model_expanded(std::uint32_t x, std::uint32_t y, std::uint32_t z,
                          float expansion)
{
    TileBounds t = model_bounds(x, y, z);
    float diag = r(w(model_angle(t.west, t.north, t.east, t.south)) * RADIUS);
    float delta = r(w(r(w(r(w(diag) * 0.5)) + w(expansion))) / RADIUS);
    float lc = r(w(r(w(r(w(t.west) + w(t.east))) * 0.5)) * DEG);
    float pc = r(w(r(w(r(w(t.north) + w(t.south))) * 0.5)) * DEG);
    float dl = asinf(r(w(sinf(delta)) / w(cosf(pc))));
    return {model_clamp(r(w(r(w(lc) - w(dl))) * RAD), 180.0),
            model_clamp(r(w(r(w(pc) - w(delta))) * RAD), 90.0),
            model_clamp(r(w(r(w(dl) + w(lc))) * RAD), 180.0),
            model_clamp(r(w(r(w(delta) + w(pc))) * RAD), 90.0)};
}

// ---- comparison helpers ----------------------------------------------------

::testing::AssertionResult same_float(float expected, float actual)
{
    if (std::isnan(expected) && std::isnan(actual))
        return ::testing::AssertionSuccess();
    if (bits_of(expected) == bits_of(actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "expected " << expected << " (0x" << std::hex
           << bits_of(expected) << "), got " << actual << " (0x"
           << bits_of(actual) << ")";
}

void expect_same(const TileBounds &e, const TileBounds &a)
{
    EXPECT_TRUE(same_float(e.west, a.west)) << "west";
    EXPECT_TRUE(same_float(e.south, a.south)) << "south";
    EXPECT_TRUE(same_float(e.east, a.east)) << "east";
    EXPECT_TRUE(same_float(e.north, a.north)) << "north";
}

const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();
const float DENORM = std::numeric_limits<float>::denorm_min();

const char *FIRST = "assertion failed: valid_coordinates(lon1, lat1)";
const char *SECOND = "assertion failed: valid_coordinates(lon2, lat2)";
const char *EXPANSION = "assertion failed: expansion_meters >= 0.0";

// ---- validity --------------------------------------------------------------

TEST(ValidCoordinates, BoundsAreOpenAndNaNFails)
{
    struct Case {
        float lon, lat;
    };
    const Case cases[] = {
        {0, 0},
        {-0.0f, -0.0f},
        {DENORM, -DENORM},
        {179.99998474121094f, 89.99999237060547f},
        {-179.99998474121094f, -89.99999237060547f},
        {180, 0},
        {-180, 0},
        {0, 90},
        {0, -90},
        {std::nextafter(180.0f, 0.0f), std::nextafter(90.0f, 0.0f)},
        {INF, 0},
        {-INF, 0},
        {0, INF},
        {0, -INF},
        {NaN, 0},
        {0, NaN},
        {1e30f, 0},
        {0, -1e30f},
    };
    for (const Case &c : cases)
        EXPECT_EQ(quorlin::valid_coordinates(c.lon, c.lat),
                  model_valid(c.lon, c.lat))
            << c.lon << ", " << c.lat;
}

TEST(ValidCoordinates, NarrowingFromDoubleDecidesTheBoundary)
{
    // What Python passes in is a double, narrowed to nearest float first.
    EXPECT_TRUE(quorlin::valid_coordinates(0, r(89.99999)));
    EXPECT_FALSE(quorlin::valid_coordinates(0, r(89.999997)));
    EXPECT_FALSE(quorlin::valid_coordinates(0, r(89.99999618530273)));
    EXPECT_TRUE(quorlin::valid_coordinates(0, r(89.99999237060547)));
    EXPECT_TRUE(quorlin::valid_coordinates(r(179.99998474121094), 0));
    EXPECT_FALSE(quorlin::valid_coordinates(r(179.99999237060547), 0));
    EXPECT_FALSE(quorlin::valid_coordinates(r(-179.99999237060547), 0));
    EXPECT_EQ(r(89.99999237060547), std::nextafter(90.0f, 0.0f));
    EXPECT_EQ(r(179.99998474121094), std::nextafter(180.0f, 0.0f));
}

// ---- distance --------------------------------------------------------------

TEST(Distance, KnownValues)
{
    EXPECT_TRUE(
        same_float(0.0f, quorlin::great_circle_distance(12, 34, 12, 34)));
    float one_degree = quorlin::great_circle_distance(0, 0, 1, 0);
    EXPECT_NEAR(one_degree, 111195.09, 0.02);
    EXPECT_TRUE(same_float(model_distance(0, 0, 1, 0, r(RADIUS)), one_degree));
    float unit = quorlin::great_circle_distance_with_radius(0, 0, 1, 0, 1.0f);
    EXPECT_LE(
        std::abs(bits_of(unit) - static_cast<std::int64_t>(bits_of(r(DEG)))),
        1);
    // Across the antimeridian: the short way round, about 2 degrees.
    float across = quorlin::great_circle_distance(179, 0, -179, 0);
    EXPECT_NEAR(across, 2 * 111195.09, 5.0);
    // Antipodes stay finite, close to pi radians.
    float antipodal =
        quorlin::great_circle_distance_with_radius(0, 0, 179.99998f, 0, 1.0f);
    EXPECT_NEAR(antipodal, 3.14159265, 1e-5);
}

TEST(Distance, RadiusIsUsedAsItIs)
{
    struct Case {
        float radius;
        float lon2;
    };
    const Case cases[] = {
        {INF, 0},   {INF, 1},   {-INF, 1},         {NaN, 1},    {0.0f, 1},
        {-0.0f, 1}, {-1.0f, 1}, {-6371009.0f, 45}, {DENORM, 1}, {1e38f, 90},
    };
    for (const Case &c : cases) {
        float got = quorlin::great_circle_distance_with_radius(0, 0, c.lon2, 0,
                                                               c.radius);
        EXPECT_TRUE(same_float(model_distance(0, 0, c.lon2, 0, c.radius), got))
            << "radius " << c.radius << " lon2 " << c.lon2;
    }
    EXPECT_TRUE(std::isnan(
        quorlin::great_circle_distance_with_radius(5, 5, 5, 5, INF)));
    EXPECT_LT(quorlin::great_circle_distance_with_radius(0, 0, 1, 0, -1.0f),
              0);
}

TEST(Distance, InvalidPointsNameTheFirstInvalidOne)
{
    struct Case {
        float lon1, lat1, lon2, lat2;
        const char *message;
    };
    const Case cases[] = {
        {180, 0, 0, 0, FIRST},   {-180, 0, 0, 0, FIRST},
        {0, 90, 0, 0, FIRST},    {0, -90, 0, 0, FIRST},
        {NaN, 0, 0, 0, FIRST},   {0, NaN, 0, 0, FIRST},
        {0, 0, 180, 0, SECOND},  {0, 0, 0, -90, SECOND},
        {0, 0, NaN, 0, SECOND},  {0, 0, 0, INF, SECOND},
        {200, 0, 200, 0, FIRST}, {0, 0, 0, 0, ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(failure_of([&] {
                      quorlin::great_circle_distance(c.lon1, c.lat1, c.lon2,
                                                     c.lat2);
                  }),
                  c.message);
        // The radius plays no part in the checks.
        EXPECT_EQ(failure_of([&] {
                      quorlin::great_circle_distance_with_radius(
                          c.lon1, c.lat1, c.lon2, c.lat2, NaN);
                  }),
                  c.message);
    }
}

TEST(Distance, GeneratedInputsMatchTheModel)
{
    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> lon(-179.99998f, 179.99998f);
    std::uniform_real_distribution<float> lat(-89.99999f, 89.99999f);
    std::uniform_real_distribution<float> radius(-1e7f, 1e7f);
    int checked = 0;
    for (int i = 0; i < 4000; ++i) {
        float a = lon(random), b = lat(random), c = lon(random),
              d = lat(random), rad = radius(random);
        // Every fourth pair is close together, where rounding bites most.
        if (i % 4 == 0) {
            c = a + std::ldexp(lon(random), -20);
            d = b + std::ldexp(lat(random), -20);
            if (!model_valid(c, d))
                continue;
        }
        ASSERT_TRUE(same_float(model_distance(a, b, c, d, r(RADIUS)),
                               quorlin::great_circle_distance(a, b, c, d)))
            << a << " " << b << " " << c << " " << d;
        ASSERT_TRUE(same_float(
            model_distance(a, b, c, d, rad),
            quorlin::great_circle_distance_with_radius(a, b, c, d, rad)));
        ++checked;
    }
    EXPECT_GT(checked, 3900);
}

TEST(Distance, ArbitraryBitPatternsFailOrMatch)
{
    std::mt19937 random(7);
    for (int i = 0; i < 4000; ++i) {
        float v[5];
        for (float &x : v)
            x = from_bits(static_cast<std::uint32_t>(random()));
        const char *expected = !model_valid(v[0], v[1])   ? FIRST
                               : !model_valid(v[2], v[3]) ? SECOND
                                                          : "";
        float got = 0;
        ASSERT_EQ(failure_of([&] {
                      got = quorlin::great_circle_distance_with_radius(
                          v[0], v[1], v[2], v[3], v[4]);
                  }),
                  expected);
        if (*expected == '\0') {
            ASSERT_TRUE(
                same_float(model_distance(v[0], v[1], v[2], v[3], v[4]), got));
        }
    }
}

// ---- tiles -----------------------------------------------------------------

const std::uint32_t EXTREME_ZOOMS[] = {
    127u, 128u, 129u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
const std::uint32_t EXTREME_INDICES[] = {
    0u, 1u, 2u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};

std::vector<std::uint32_t> all_test_zooms()
{
    std::vector<std::uint32_t> zooms;
    for (std::uint32_t z = 0; z <= 40; ++z)
        zooms.push_back(z);
    zooms.insert(zooms.end(), std::begin(EXTREME_ZOOMS),
                 std::end(EXTREME_ZOOMS));
    return zooms;
}

TEST(Tiles, KnownCorners)
{
    LonLat world = quorlin::wm_upper_left(0, 0, 0);
    EXPECT_EQ(world.lon, -180.0f);
    EXPECT_NEAR(world.lat, 85.051132, 1e-5);
    LonLat centre = quorlin::wm_upper_left(1, 1, 1);
    EXPECT_TRUE(same_float(0.0f, centre.lon));
    EXPECT_TRUE(same_float(0.0f, centre.lat));

    TileBounds whole = quorlin::wm_bounds(0, 0, 0);
    EXPECT_EQ(whole.west, -180.0f);
    EXPECT_EQ(whole.east, 180.0f);
    EXPECT_EQ(whole.south, -whole.north);

    // On the equator and the prime meridian the nudges show.
    TileBounds north_west = quorlin::wm_bounds(0, 0, 1);
    EXPECT_EQ(north_west.south, from_bits(0x3089705F));
    EXPECT_EQ(north_west.east, -from_bits(0x3089705F));
    TileBounds south_east = quorlin::wm_bounds(1, 1, 1);
    EXPECT_TRUE(same_float(0.0f, south_east.west));
    EXPECT_TRUE(same_float(0.0f, south_east.north));
    EXPECT_EQ(south_east.east, 180.0f);
}

TEST(Tiles, EveryZoomAndEdgeIndexMatchesTheModel)
{
    std::vector<std::uint32_t> indices(std::begin(EXTREME_INDICES),
                                       std::end(EXTREME_INDICES));
    for (std::uint32_t z : all_test_zooms()) {
        std::vector<std::uint32_t> at_zoom = indices;
        if (z < 32) {
            std::uint32_t last = (1u << z) - 1;
            at_zoom.insert(at_zoom.end(), {last, last + 1, last / 2});
        }
        for (std::uint32_t x : at_zoom) {
            for (std::uint32_t y : at_zoom) {
                SCOPED_TRACE(testing::Message() << x << "/" << y << "/" << z);
                LonLat ul = quorlin::wm_upper_left(x, y, z);
                float d = model_scale(z);
                EXPECT_TRUE(same_float(model_lon(x, d), ul.lon));
                EXPECT_TRUE(same_float(model_lat(y, d), ul.lat));
                expect_same(model_bounds(x, y, z),
                            quorlin::wm_bounds(x, y, z));
                expect_same(model_expanded(x, y, z, 0.0f),
                            quorlin::wm_tile_expanded_bbox(x, y, z, 0.0f));
                expect_same(model_expanded(x, y, z, 1500.0f),
                            quorlin::wm_tile_expanded_bbox(x, y, z, 1500.0f));
            }
        }
    }
}

TEST(Tiles, ExtremeZooms)
{
    // From 128 to 2^31 - 1 the scale is 0: every corner is the world's.
    for (std::uint32_t z : {128u, 1000u, 0x7FFFFFFFu}) {
        LonLat ul = quorlin::wm_upper_left(12345, 678, z);
        EXPECT_EQ(ul.lon, -180.0f);
        EXPECT_EQ(ul.lat, quorlin::wm_upper_left(0, 0, 0).lat);
    }
    // 2^32 - 1 reads as -1: d = 2, so column 1 starts at 540.
    EXPECT_EQ(quorlin::wm_upper_left(1, 0, 0xFFFFFFFFu).lon, 540.0f);
    // The successor of the last index does not wrap.
    TileBounds last = quorlin::wm_bounds(0xFFFFFFFFu, 0, 32);
    EXPECT_EQ(last.east, 180.0f);
}

TEST(Tiles, GeneratedTilesMatchTheModel)
{
    std::mt19937 random(42);
    std::uniform_real_distribution<float> expansion(0.0f, 3e6f);
    for (int i = 0; i < 3000; ++i) {
        std::uint32_t z = random() % 33;
        std::uint64_t span = std::uint64_t{1} << z;
        auto x = static_cast<std::uint32_t>(random() % span);
        auto y = static_cast<std::uint32_t>(random() % span);
        float e = i % 3 == 0 ? 0.0f : expansion(random);
        SCOPED_TRACE(testing::Message()
                     << x << "/" << y << "/" << z << " +" << e);
        expect_same(model_bounds(x, y, z), quorlin::wm_bounds(x, y, z));
        expect_same(model_expanded(x, y, z, e),
                    quorlin::wm_tile_expanded_bbox(x, y, z, e));
    }
}

TEST(ExpandedBox, KnownValues)
{
    TileBounds box = quorlin::wm_tile_expanded_bbox(1, 1, 2, 0.0f);
    EXPECT_NEAR(box.west, -102.736, 1e-3);
    EXPECT_NEAR(box.south, -11.743, 1e-3);
    EXPECT_NEAR(box.east, 12.736, 1e-3);
    EXPECT_NEAR(box.north, 78.257, 1e-3);

    TileBounds grown = quorlin::wm_tile_expanded_bbox(1, 1, 2, 1000.0f);
    for (float move : {box.west - grown.west, box.south - grown.south,
                       grown.east - box.east, grown.north - box.north}) {
        EXPECT_GT(move, 0.008f);
        EXPECT_LT(move, 0.016f);
    }

    // Past the arcsine's domain both longitudes are NaN; north clamps.
    TileBounds polar = quorlin::wm_tile_expanded_bbox(1, 0, 2, 5000000.0f);
    EXPECT_TRUE(std::isnan(polar.west));
    EXPECT_TRUE(std::isnan(polar.east));
    EXPECT_NEAR(polar.south, 18.83, 0.01);
    EXPECT_EQ(polar.north, 90.0f);
    EXPECT_FALSE(
        std::isnan(quorlin::wm_tile_expanded_bbox(1, 0, 2, 240000.0f).west));
    EXPECT_TRUE(
        std::isnan(quorlin::wm_tile_expanded_bbox(1, 0, 2, 260000.0f).west));
}

TEST(ExpandedBox, ExpansionMustBeNonNegative)
{
    struct Case {
        float expansion;
        const char *message;
    };
    const Case cases[] = {{-1.0f, EXPANSION}, {NaN, EXPANSION},
                          {-INF, EXPANSION},  {-DENORM, EXPANSION},
                          {-0.0f, ""},        {0.0f, ""},
                          {DENORM, ""},       {INF, ""}};
    for (const Case &c : cases)
        EXPECT_EQ(failure_of([&] {
                      quorlin::wm_tile_expanded_bbox(1, 1, 2, c.expansion);
                  }),
                  c.message)
            << c.expansion;
    // Checked before anything else, even for a tile far off the map.
    EXPECT_EQ(failure_of([] {
                  quorlin::wm_tile_expanded_bbox(0xFFFFFFFFu, 0xFFFFFFFFu, 1,
                                                 NaN);
              }),
              EXPANSION);
}

TEST(ExpandedBox, TilesOnTheAntimeridianOrPoleGetABox)
{
    // Corners exactly at +-180 (or -90) are measured, not refused: zooms
    // 0 and 1 whole, the outer columns at every zoom, and beyond.
    struct Tile {
        std::uint32_t x, y, z;
    };
    std::vector<Tile> tiles = {{0, 0, 0},  {0, 0, 1},          {1, 0, 1},
                               {0, 1, 1},  {1, 1, 1},          {1, 0, 26},
                               {0, 5, 32}, {91, 0, 32},        {0, 0, 200},
                               {8, 8, 3},  {0, 0xFFFFFFFFu, 2}};
    for (std::uint32_t z = 2; z <= 32; ++z) {
        std::uint32_t last =
            static_cast<std::uint32_t>((std::uint64_t{1} << z) - 1);
        tiles.push_back({0, 0, z});
        tiles.push_back({last, last, z});
        tiles.push_back({last - 2, 1, z});
    }
    for (const Tile &t : tiles) {
        SCOPED_TRACE(testing::Message() << t.x << "/" << t.y << "/" << t.z);
        TileBounds box{};
        EXPECT_EQ(failure_of([&] {
                      box =
                          quorlin::wm_tile_expanded_bbox(t.x, t.y, t.z, 10.0f);
                  }),
                  "");
        expect_same(model_expanded(t.x, t.y, t.z, 10.0f), box);
    }
    TileBounds world = quorlin::wm_tile_expanded_bbox(0, 0, 0, 0.0f);
    EXPECT_EQ(world.south, -world.north);
}

// ---- the failure report ----------------------------------------------------

TEST(FailureReport, NamesThreadMessageAndLocation)
{
    // A first failure, so that the hint (first failure only) is out of the
    // way.
    (void)failure_of([] { quorlin::great_circle_distance(0, 100, 0, 0); });
    testing::internal::CaptureStderr();
    std::string message =
        failure_of([] { quorlin::great_circle_distance(0, 0, 0, -100); });
    std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(message, SECOND);
    const std::string expected_start =
        std::string("thread '<unnamed>' panicked at '") + SECOND +
        "', src/geodesy/geodesy.cpp:";
    EXPECT_EQ(report.rfind(expected_start, 0), 0u) << report;
    EXPECT_EQ(report.find("QUORLIN_BACKTRACE"), std::string::npos) << report;
    EXPECT_EQ(report.back(), '\n');
}

TEST(FailureReport, CarriesTheSourceLocation)
{
    try {
        quorlin::wm_tile_expanded_bbox(0, 0, 0, -1.0f);
        FAIL() << "no failure";
    } catch (const ContractFailure &failure) {
        EXPECT_TRUE(failure.is_static());
        EXPECT_STREQ(failure.where().file_name(), "src/geodesy/geodesy.cpp");
        EXPECT_GT(failure.where().line(), 0u);
        EXPECT_GT(failure.where().column(), 0u);
    }
}

}  // namespace
