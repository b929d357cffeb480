"""The arithmetic seen from Python, bit for bit against an independent
float32 model (tests/float32_model.py)."""

import math
import random

import pytest

import float32_model as model
import quorlin
from float32_model import bits

NUDGE = 9.999999717180685e-10
WEB_MERCATOR_LIMIT = 85.05113220214844


def same(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b))
    return bits(a) == bits(b)


def test_known_distances():
    assert quorlin.great_circle_distance(12, 34, 12, 34) == 0.0
    assert quorlin.great_circle_distance(0, 0, 1, 0) == pytest.approx(111195.09, abs=0.02)
    unit = quorlin.great_circle_distance_with_radius(0, 0, 1, 0, 1.0)
    assert abs(unit - model.DEG) <= math.ulp(model.DEG) * 2**29  # one float32 ulp
    assert quorlin.great_circle_distance(179, 0, -179, 0) == pytest.approx(2 * 111195.09, abs=5)
    assert quorlin.great_circle_distance_with_radius(0, 0, 0, 0, 0.0) == 0.0
    assert quorlin.great_circle_distance_with_radius(0, 0, 1, 0, -1.0) < 0
    assert math.isnan(quorlin.great_circle_distance_with_radius(0, 0, 1, 0, math.nan))
    assert math.isnan(quorlin.great_circle_distance_with_radius(3, 3, 3, 3, math.inf))


def test_results_are_float32_values_not_float64_ones():
    result = quorlin.great_circle_distance(10.1, 20.2, 30.3, 40.4)
    assert result == model.f32(result)
    assert same(result, model.distance(10.1, 20.2, 30.3, 40.4))


@pytest.mark.parametrize(
    "lat, accepted",
    [(89.99999, True), (89.99999237060547, True), (89.999997, False),
     (89.99999618530273, False), (-89.99999237060547, True), (-89.999997, False)],
)
def test_latitude_narrowing(lat, accepted, panic_exception):
    if accepted:
        assert quorlin.great_circle_distance(0, lat, 0, 0) > 0
    else:
        with pytest.raises(panic_exception):
            quorlin.great_circle_distance(0, lat, 0, 0)


@pytest.mark.parametrize(
    "lon, accepted",
    [(179.99998474121094, True), (179.99999237060547, False), (-179.99998474121094, True),
     (-179.99999237060547, False)],
)
def test_longitude_narrowing(lon, accepted, panic_exception):
    if accepted:
        assert quorlin.great_circle_distance(0, 0, lon, 0) > 0
    else:
        with pytest.raises(panic_exception):
            quorlin.great_circle_distance(0, 0, lon, 0)


def test_generated_distances_match_the_model():
    rng = random.Random(1208)
    for _ in range(2000):
        points = [rng.uniform(-180, 180), rng.uniform(-90, 90), rng.uniform(-180, 180), rng.uniform(-90, 90)]
        radius = rng.choice([model.RADIUS, rng.uniform(-1e7, 1e7), 1.0])
        expected = model.distance(*points, radius)
        if expected is None:
            continue
        assert same(quorlin.great_circle_distance_with_radius(*points, radius), expected), points
        if radius == model.RADIUS:
            assert same(quorlin.great_circle_distance(*points), expected), points


def test_known_tiles():
    assert quorlin.wm_upper_left(0, 0, 0) == (-180.0, WEB_MERCATOR_LIMIT)
    assert quorlin.wm_bounds(0, 0, 0) == (-180.0, -WEB_MERCATOR_LIMIT, 180.0, WEB_MERCATOR_LIMIT)
    assert quorlin.wm_bounds(0, 0, 1) == (-180.0, NUDGE, -NUDGE, WEB_MERCATOR_LIMIT)
    assert quorlin.wm_bounds(1, 1, 1) == (0.0, -WEB_MERCATOR_LIMIT, 180.0, 0.0)
    assert quorlin.wm_upper_left(1, 1, 1) == (0.0, 0.0)
    # Zooms of 128 and more scale by zero; 2^32 - 1 acts as -1.
    assert quorlin.wm_upper_left(77, 99, 200) == (-180.0, WEB_MERCATOR_LIMIT)
    assert quorlin.wm_upper_left(1, 0, 2**32 - 1)[0] == 540.0


ZOOMS = list(range(41)) + [127, 128, 2**31 - 1, 2**31, 2**32 - 1]
EDGE_INDICES = [0, 1, 2**31, 2**32 - 1]


@pytest.mark.parametrize("z", ZOOMS)
def test_tiles_match_the_model(z):
    indices = set(EDGE_INDICES)
    if z < 32:
        indices |= {2**z - 1, 2**z // 2}
    for x in indices:
        for y in indices:
            assert same(quorlin.wm_upper_left(x, y, z), model.upper_left(x, y, z)), (x, y, z)
            assert same(quorlin.wm_bounds(x, y, z), model.bounds(x, y, z)), (x, y, z)
            for expansion in (0.0, 1000.0):
                assert same(
                    quorlin.wm_tile_expanded_bbox(x, y, z, expansion),
                    model.expanded_bbox(x, y, z, expansion),
                ), (x, y, z, expansion)


def test_generated_expanded_boxes_match_the_model():
    rng = random.Random(42)
    for _ in range(1500):
        z = rng.randrange(33)
        x, y = rng.randrange(2**z), rng.randrange(2**z)
        expansion = rng.choice([0.0, rng.uniform(0, 3e6), rng.uniform(0, 100)])
        assert same(quorlin.wm_tile_expanded_bbox(x, y, z, expansion),
                    model.expanded_bbox(x, y, z, expansion)), (x, y, z, expansion)


def test_expanded_box_of_a_tile():
    west, south, east, north = quorlin.wm_tile_expanded_bbox(1, 1, 2, 0.0)
    assert (west, south, east, north) == pytest.approx((-102.736, -11.743, 12.736, 78.257), abs=1e-3)
    grown = quorlin.wm_tile_expanded_bbox(1, 1, 2, 1000.0)
    moves = [west - grown[0], south - grown[1], grown[2] - east, grown[3] - north]
    assert all(0.008 < move < 0.016 for move in moves), moves


def test_cap_past_the_arcsine_domain_has_nan_longitudes():
    west, south, east, north = quorlin.wm_tile_expanded_bbox(1, 0, 2, 5000000)
    assert math.isnan(west) and math.isnan(east)
    assert south == pytest.approx(18.83, abs=0.01)
    assert north == 90.0


@pytest.mark.parametrize(
    "tile",
    [(0, 0, 0), (0, 0, 1), (1, 0, 1), (0, 1, 1), (1, 1, 1), (0, 7, 3), (7, 0, 3), (1, 0, 26),
     (2**26 - 1, 5, 26), (91, 3, 32), (2**32 - 1, 0, 32), (5, 5, 128), (0, 2**32 - 1, 2)],
)
def test_tiles_touching_the_antimeridian_or_a_pole_get_a_box(tile):
    box = quorlin.wm_tile_expanded_bbox(*tile, 100.0)
    assert same(box, model.expanded_bbox(*tile, 100.0))
    assert len(box) == 4
