"""Covers of geometries against an independent model: shapely's predicates,
exact on doubles, over quorlin's float32 edges, which are exact doubles. A
tile is in a polygon's cover when the polygon's interior meets the tile's
open box; in a line's or points' cover when they meet its owned area, the
open box with its west and north edges (and the map's east and south
edges, for the last column and row), the edge rows reaching to the poles."""

import json
import os
import random
import subprocess
import sys

import pytest

import quorlin
import quorlin_tiles as tq

np = pytest.importorskip("numpy")
try:
    import shapely
    from shapely.geometry import LineString, MultiPoint, Polygon, mapping
except ImportError:  # the model alone needs it
    shapely = None

NORTH, SOUTH = quorlin.wm_upper_left(0, 0, 0)[1], quorlin.wm_upper_left(1, 1, 0)[1]


def f32(value):
    return float(np.float32(value))


def owned_boxes(candidates, z):
    """Each tile's edges as (W, S, E, N) arrays: the next tile's west and
    north edges, not wm_bounds' east and south."""
    upper = np.array([quorlin.wm_upper_left(x, y, z) for x, y in candidates])
    lower = np.array([quorlin.wm_upper_left(x + 1, y + 1, z) for x, y in candidates])
    xs, ys = np.array(candidates).T
    west, north, east, south = upper[:, 0], upper[:, 1], lower[:, 0], lower[:, 1]
    last_column, last_row = xs == 2**z - 1, ys == 2**z - 1
    north = np.where((north == NORTH) & (south < NORTH), 90.0, north)
    south = np.where(last_row, -90.0, south)
    return west, south, east, north, last_column, last_row


def model(geometry, z, polygon):
    # Candidates: the box's tiles, widened (zero-size tiles at high zooms).
    west, south, east, north = geometry.bounds
    widen = 1 if z < 22 else 24
    near = {(x + dx, y + dy)
            for x, y, _ in tq.tiles(west, max(south, -90), east, min(north, 90), z)
            for dx in range(-widen, widen + 1) for dy in range(-widen, widen + 1)}
    candidates = sorted((x, y) for x, y in near if 0 <= x < 2**z and 0 <= y < 2**z)
    W, S, E, N, last_column, last_row = owned_boxes(candidates, z)
    boxes = shapely.box(W, S, E, N)
    meets = lambda other: (shapely.relate_pattern(geometry, other, "T********")  # noqa: E731
                           | shapely.relate_pattern(geometry, other, "***T*****"))
    if polygon:
        hit = shapely.relate_pattern(geometry, boxes, "T********")
    else:
        edge = lambda x0, y0, x1, y1: meets(shapely.linestrings(np.stack(  # noqa: E731
            [np.stack([x0, y0], -1), np.stack([x1, y1], -1)], 1)))
        corner = lambda x, y: shapely.intersects(geometry, shapely.points(x, y))  # noqa: E731
        hit = meets(boxes) | edge(W, S, W, N) | edge(W, N, E, N) | corner(W, N)
        hit |= last_column & (edge(E, S, E, N) | corner(E, N))
        hit |= last_row & (edge(W, S, E, S) | corner(W, S))
        hit |= last_column & last_row & corner(E, S)
    hit &= ((W < E) | last_column) & (S < N)  # tiles of no size own nothing
    return {(x, y, z) for (x, y), h in zip(candidates, hit) if h}


def random_geometry(rng, z, kind):
    """A star-shaped ring (or its line, or its points) a few tiles across,
    half its vertices moved onto float32 edges or their neighbours."""
    span = 360 / 2**z * rng.uniform(1, 12)
    cx = rng.uniform(-170, 170)
    cy = rng.choice([rng.uniform(-80, 80), rng.choice([-1, 1]) * rng.uniform(84.9, 85.1)])
    points = []
    for angle in sorted(rng.uniform(0, 2 * np.pi) for _ in range(rng.randint(3, 12))):
        r = span * rng.uniform(0.3, 1)
        x = min(180.0, max(-180.0, f32(cx + r * np.cos(angle))))
        y = min(89.5, max(-89.5, f32(cy + r * np.sin(angle))))
        if rng.random() < 0.5:
            west, north = quorlin.wm_upper_left(*tq.tile(x, min(NORTH, max(SOUTH, y)), z))
            if rng.random() < 0.5:
                x = float(rng.choice([west, *np.nextafter(np.float32(west), np.float32([-200, 200]))]))
            else:
                y = float(rng.choice([north, *np.nextafter(np.float32(north), np.float32([-100, 100]))]))
        points.append((min(180.0, max(-180.0, x)), y))
    if kind == "line":
        return LineString(points)
    if kind == "points":
        return MultiPoint(points)
    shell = Polygon(points + [points[0]])
    hole = [(f32(cx + (x - cx) * 0.3), f32(cy + (y - cy) * 0.3)) for x, y in points]
    if rng.random() < 0.5 and shell.is_valid and shell.contains(Polygon(hole)):
        return Polygon(points + [points[0]], [hole + [hole[0]]])
    return shell


@pytest.mark.parametrize("kind", ["polygon", "line", "points"])
# Deep zooms cost the model many candidates (tiles of no size), so fewer.
@pytest.mark.parametrize("zooms, count", [((0, 16), 100), ((17, 24), 30)], ids=["zoom 0-16", "zoom 17-24"])
@pytest.mark.skipif(shapely is None, reason="the model needs shapely")
def test_covers_agree_with_the_model(kind, zooms, count):
    rng = random.Random(f"{kind} {zooms}")
    compared = 0
    while compared < count:
        z = rng.randint(*zooms)
        geometry = random_geometry(rng, z, kind)
        if not geometry.is_valid:
            continue
        assert set(tq.cover(mapping(geometry), z)) == model(geometry, z, kind == "polygon"), mapping(geometry)
        compared += 1


def box_polygon(west, south, east, north):
    return {"type": "Polygon", "coordinates": [[[west, south], [east, south], [east, north], [west, north],
                                                [west, south]]]}


def edges(x, y, z):
    """The tile's own float32 edges, west, south, east, north."""
    (west, north), (east, south) = quorlin.wm_upper_left(x, y, z), quorlin.wm_upper_left(x + 1, y + 1, z)
    return west, south, east, north


TILE = (2074, 1409, 12)
LINE_ON_NORTH_EDGE = {"type": "LineString", "coordinates": [
    [edges(500, 300, 10)[0], edges(500, 300, 10)[3]], [edges(503, 300, 10)[2], edges(500, 300, 10)[3]]]}


@pytest.mark.parametrize("geometry, zooms, expected", [
    # A tile's own box (wm_bounds, as feature() gives it) covers the tile, its
    # descendants and its ancestors.
    (tq.feature(*TILE)["geometry"], 12, [TILE]),
    (tq.feature(*TILE)["geometry"], [11, 13], [(1037, 704, 11), *tq.children(*TILE)]),
    # The tile's owned edges as a polygon: the tile alone, nothing beyond.
    (box_polygon(*edges(*TILE)), 12, [TILE]),
    # A line along a tile row's north edge belongs to the row south of it;
    # its east end, on the west edge of tile 504, to that tile.
    (LINE_ON_NORTH_EDGE, 10, [(x, 300, 10) for x in range(500, 505)]),
    # A line ending on a tile's north-west corner takes that tile.
    ({"type": "LineString", "coordinates": [[(edges(2048, 2039, 12)[0] + edges(2048, 2039, 12)[2]) / 2,
                                             (edges(2048, 2039, 12)[1] + edges(2048, 2039, 12)[3]) / 2],
                                            list(quorlin.wm_upper_left(2049, 2040, 12))]}, 12,
     [(2048, 2039, 12), (2049, 2040, 12)]),
    # Past the map's edge: the edge rows.
    ({"type": "Point", "coordinates": [10, 89]}, 3, [(4, 0, 3)]),
    ({"type": "MultiPoint", "coordinates": [[-180, -90], [180, 90]]}, 2, [(0, 3, 2), (3, 0, 2)]),
    (box_polygon(-10, 86, 10, 89), 4, [(7, 0, 4), (8, 0, 4)]),
    # A hole takes out the tiles inside it.
    ({"type": "Polygon", "coordinates": [box_polygon(*edges(0, 0, 1))["coordinates"][0],
                                         box_polygon(*edges(1, 1, 3))["coordinates"][0]]}, 3,
     sorted(set(tq.tiles(*edges(0, 0, 1), 3)) - {(1, 1, 3)})),
    # Collections and features are the union of their parts, each tile once.
    ({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [1, 1]}},
        {"type": "Feature", "properties": {}, "geometry": None},
        {"type": "Feature", "properties": {}, "geometry": {"type": "GeometryCollection", "geometries": [
            {"type": "Point", "coordinates": [1.001, 1.001]}, {"type": "LineString", "coordinates": []}]}}]},
     [4, 4], [(8, 7, 4)]),
], ids=["feature box", "feature box, other zooms", "owned edges", "line on a north edge", "line to a corner",
        "point past the edge", "poles", "polygon past the edge", "hole", "collection"])
def test_covers_at_the_edges(geometry, zooms, expected):
    assert sorted(tq.cover(geometry, zooms)) == sorted(expected)


def test_a_box_polygon_covers_what_tiles_yields():
    rng = random.Random(7)
    for _ in range(200):
        z = rng.randint(0, 20)
        x, y = rng.randrange(2**z), rng.randrange(2**z)
        w, n = quorlin.wm_upper_left(x, y, z)
        e, s = quorlin.wm_upper_left(min(x + rng.randint(1, 5), 2**z), min(y + rng.randint(1, 5), 2**z), z)
        nudge = lambda v, to: float(rng.choice([v, np.nextafter(np.float32(v), np.float32(to))]))  # noqa: E731
        box = (nudge(w, -180), nudge(s, -90), nudge(e, 180), nudge(n, 90))
        if box[0] < box[2] and box[1] < box[3]:
            assert list(tq.cover(box_polygon(*box), z)) == list(tq.tiles(*box, z)), (box, z)


class GeoInterface:
    __geo_interface__ = {"type": "Point", "coordinates": (2.35, 48.85)}


def ring(count):
    return [[0, 0], [1, 0], [1, 1]][:count - 1] + [[0, 0]]


@pytest.mark.parametrize("geometry, error, message", [
    (42, TypeError, "a geometry is a GeoJSON mapping or has __geo_interface__, not 'int'"),
    ({"coordinates": [0, 0]}, ValueError, "needs a 'type'"),
    ({"type": "Circle", "coordinates": [0, 0]}, ValueError, "unknown GeoJSON type 'Circle'"),
    ({"type": "Point"}, ValueError, "a Point needs 'coordinates'"),
    ({"type": "Point", "coordinates": "0 0"}, TypeError, "coordinates are a list, not 'str'"),
    ({"type": "Point", "coordinates": [200, 0]}, ValueError, "the longitude must be from -180 to 180, not 200"),
    ({"type": "Point", "coordinates": [0, -91]}, ValueError, "the latitude must be from -90 to 90, not -91"),
    ({"type": "Point", "coordinates": [float("nan"), 0]}, ValueError, "must be a finite number, not nan"),
    ({"type": "Point", "coordinates": [0, float("inf")]}, ValueError, "must be a finite number, not inf"),
    ({"type": "Point", "coordinates": [0, 1e300]}, ValueError, "from -90 to 90, not 1e+300"),
    ({"type": "Point", "coordinates": [0, "1"]}, TypeError, "the latitude must be a number, not 'str'"),
    ({"type": "MultiPoint", "coordinates": [[0, 0], [1]]}, ValueError, "coordinates[1]: a position needs"),
    ({"type": "LineString", "coordinates": [[0, 0]]}, ValueError, "a line needs two positions or more"),
    ({"type": "Polygon", "coordinates": [ring(3)]}, ValueError, "a ring needs four positions or more, not 3"),
    ({"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, 1], [0, 1]]]}, ValueError, "must be closed"),
    ({"type": "FeatureCollection"}, ValueError, "a FeatureCollection needs a list of 'features'"),
    ({"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": {"type": "Point",
      "coordinates": [0, 95]}}]}, ValueError, "features[0].geometry.coordinates"),
    ({"type": "Feature"}, ValueError, "a Feature needs a 'geometry'"),
], ids=lambda v: v if isinstance(v, str) else None)
def test_bad_geojson_says_what_is_wrong(geometry, error, message):
    with pytest.raises(error) as raised:
        tq.cover(geometry, 3)
    assert message in str(raised.value)


def test_deep_nesting_and_many_vertices():
    nested = {"type": "Point", "coordinates": [1, 1]}
    for _ in range(100_000):
        nested = {"type": "GeometryCollection", "geometries": [nested]}
    assert list(tq.cover(nested, 1)) == [(1, 0, 1)]
    angles = np.linspace(0, 2 * np.pi, 10**6, endpoint=False)
    circle = np.stack([10 * np.cos(angles), 10 * np.sin(angles)], -1).tolist()
    polygon = {"type": "Polygon", "coordinates": [circle + circle[:1]]}
    assert tq.count_tiles(-10, -10, 10, 10, 6) >= sum(1 for _ in tq.cover(polygon, 6)) > 0
    assert list(tq.cover(GeoInterface(), 12)) == [tq.tile(2.35, 48.85, 12)]


def test_simplify_and_the_array_form():
    polygon = box_polygon(2.2, 48.8, 2.5, 48.9)
    for z in (10, 14):
        cover = list(tq.cover(polygon, z))
        simple = tq.simplify(cover)
        assert len(simple) < len(cover) or z == 10
        assert sorted(t for s in simple for t in tq.children(*s, zoom=z)) == sorted(cover)
        qn = pytest.importorskip("quorlin_numpy")
        xs, ys = qn.cover(polygon, z)
        assert list(zip(xs.tolist(), ys.tolist(), [z] * len(xs))) == cover
    assert tq.simplify(tq.children(*TILE, zoom=14) + [(2074, 1409, 12)]) == [TILE]
    assert tq.simplify([(0, 0, 0), (1, 1, 3)]) == [(0, 0, 0)]
    with pytest.raises(ValueError, match="more than max_tiles=10"):
        qn.cover(polygon, 14, max_tiles=10)
    with pytest.raises(ValueError):
        tq.simplify([(4, 0, 2)])


def run_cli(*args, stdin=""):
    return subprocess.run([sys.executable, "-m", "quorlin_tiles", *args], input=stdin, capture_output=True,
                          text=True, env={**os.environ, "PYTHONWARNINGS": "error"})


@pytest.mark.parametrize("args, stdin, status, out", [
    (["cover", "10"], json.dumps(LINE_ON_NORTH_EDGE), 0,
     "".join(f"[{x}, 300, 10]\n" for x in range(500, 505))),
    # One text per line and RFC 8142 sequences; the union, each tile once.
    (["cover", "4"], '{"type": "Point", "coordinates": [1, 1]}\n{"type": "Point", "coordinates": [1.1, 1]}\n',
     0, "[8, 7, 4]\n"),
    (["cover", "0", "1"], '\x1e{"type": "Point", "coordinates": [1, 1]}\n', 0, "[0, 0, 0]\n[1, 0, 1]\n"),
    (["tiles", "1"], "[-10, -10, 10, 10]\n", 0, "[0, 0, 1]\n[1, 0, 1]\n[0, 1, 1]\n[1, 1, 1]\n"),
    (["simplify"], "".join(f"[{x}, {y}, 1]\n" for x in (0, 1) for y in (0, 1)), 0, "[0, 0, 0]\n"),
    (["parent"], "[3, 3, 2]\n", 0, "[1, 1, 1]\n"),
    (["children", "--zoom", "2"], "[0, 0, 1]\n", 0, "[0, 0, 2]\n[1, 0, 2]\n[0, 1, 2]\n[1, 1, 2]\n"),
    (["quadkey"], "[3, 5, 3]\n213\n", 0, "213\n[3, 5, 3]\n"),
    (["cover", "3"], '{"type": "Point", "coordinates": [0, 95]}', 1,
     "quorlin-tiles cover: the input: coordinates[0]: the latitude must be from -90 to 90, not 95\n"),
    (["cover", "3"], "{nope", 1, None),
    (["shapes"], "[1, 2]\n", 1, "quorlin-tiles shapes: line 1: a tile is (x, y, z), not [1, 2]\n"),
    (["cover", "40"], "", 2, None),
    (["bogus"], "", 2, None),
], ids=["cover", "lines", "sequence", "tiles", "simplify", "parent", "children", "quadkey", "bad latitude",
        "not json", "not a tile", "bad zoom", "bad command"])
def test_the_command_line(args, stdin, status, out):
    result = run_cli(*args, stdin=stdin)
    assert result.returncode == status, result.stderr
    if status == 0:
        assert result.stdout == out and result.stderr == ""
    else:
        assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
        assert out is None or result.stderr == out


def test_shapes_writes_features_that_cover_their_tiles():
    result = run_cli("shapes", "--seq", stdin="[2074, 1409, 12]\n")
    feature = json.loads(result.stdout.lstrip("\x1e"))
    assert feature["id"] == "12/2074/1409" and feature["bbox"] == list(quorlin.wm_bounds(*TILE))
    assert list(tq.cover(feature, 12)) == [TILE]
