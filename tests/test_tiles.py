"""quorlin_tiles against an independent model of tile ownership.

The model reads quorlin's own float32 edges (wm_upper_left for every column
and row of a zoom) and finds the owner of a value with numpy.searchsorted:
a tile owns its west and north edges, the last column and row also the map's
east and south edges, and where float32 makes edges equal the last of those
tiles wins. Zooms 0 to 12 are checked tile by tile when
QUORLIN_EXHAUSTIVE_TILES is set (CI does it once); otherwise zooms 0 to 8
in full, and random tiles at every zoom up to 32.
"""

import os
import re

import pytest

import quorlin
import quorlin_tiles as tq

np = pytest.importorskip("numpy")
qn = pytest.importorskip("quorlin_numpy")

EXHAUSTIVE = bool(os.environ.get("QUORLIN_EXHAUSTIVE_TILES"))
FULL_ZOOMS = range(13) if EXHAUSTIVE else range(9)
SAMPLED = 2000
rng = np.random.default_rng(16)


class Edges:
    """The float32 west edges of columns 0..n and north edges of rows 0..n,
    and the owner of a longitude or latitude."""

    def __init__(self, z):
        self.z, self.n = z, 2**z
        if z <= 16:  # tables; above, edges are computed where needed
            self.west, _ = qn.wm_upper_left(np.arange(self.n + 1), 0, z, dtype=np.float32)
            _, self.north = qn.wm_upper_left(0, np.arange(self.n + 1), z, dtype=np.float32)

    def edges(self, indices, which):
        """Edge values at arbitrary indices (zoom 32 has 2**32 + 1 of them)."""
        indices = np.asarray(indices, dtype=np.int64)
        if self.z <= 16:
            return (self.west if which == "west" else self.north)[indices]
        if which == "west":
            return qn.wm_upper_left(indices, 0, self.z, dtype=np.float32)[0]
        return qn.wm_upper_left(0, indices, self.z, dtype=np.float32)[1]

    def column(self, lon, exclusive=False):
        """The last column whose west edge is <= lon (< for exclusive)."""
        lon = np.asarray(lon, dtype=np.float32)
        if self.z <= 16:
            side = "left" if exclusive else "right"
            return np.maximum(np.searchsorted(self.west[:self.n], lon, side) - 1, 0)
        return self._bisect(lon, "west", exclusive)

    def row(self, lat, exclusive=False):
        """The last row whose north edge is >= lat (> for exclusive)."""
        lat = np.asarray(lat, dtype=np.float32)
        if self.z <= 16:
            side = "left" if exclusive else "right"
            return np.maximum(np.searchsorted(-self.north[:self.n], -lat, side) - 1, 0)
        return self._bisect(lat, "north", exclusive)

    def _bisect(self, values, which, exclusive):
        # Vectorised bisection over all rows or columns, for zooms too large
        # for a table of edges.
        low = np.zeros(values.shape, np.int64)
        high = np.full(values.shape, self.n, np.int64)
        while (high - low > 1).any():
            middle = (low + high) // 2
            edge = self.edges(middle, which)
            if which == "west":
                reaches = edge < values if exclusive else edge <= values
            else:
                reaches = edge > values if exclusive else edge >= values
            low, high = np.where(reaches, middle, low), np.where(reaches, high, middle)
        return low

    def distinct(self, x, y):
        """Tiles whose four edges differ from their neighbours' edges."""
        x, y = np.asarray(x, np.int64), np.asarray(y, np.int64)
        w = [self.edges(np.clip(x + k, 0, self.n), "west") for k in (-1, 0, 1, 2)]
        nn = [self.edges(np.clip(y + k, 0, self.n), "north") for k in (-1, 0, 1, 2)]
        cols = ((x == 0) | (w[0] < w[1])) & (w[1] < w[2]) & ((x + 1 == self.n) | (w[2] < w[3]))
        rows = ((y == 0) | (nn[0] > nn[1])) & (nn[1] > nn[2]) & ((y + 1 == self.n) | (nn[2] > nn[3]))
        return cols & rows


def tiles_at(z):
    n = 2**z
    if z in FULL_ZOOMS:
        x, y = np.meshgrid(np.arange(n), np.arange(n))
        return x.ravel(), y.ravel()
    return rng.integers(0, n, SAMPLED), rng.integers(0, n, SAMPLED)


ZOOMS = list(range(33))


@pytest.mark.parametrize("z", ZOOMS)
def test_points_go_to_the_tile_that_owns_them(z):
    """Upper-left corners, every corner of wm_bounds, their float32
    neighbours across both edges, and a point inside, through the ufunc (all
    of them) and the scalar call (a sample)."""
    edges, (x, y) = Edges(z), tiles_at(z)
    west, south, east, north = qn.wm_bounds(x, y, z, dtype=np.float32)
    inside_lon = (west.astype(np.float64) + east) / 2
    inside_lat = (south.astype(np.float64) + north) / 2
    def beside(values, direction, low, high):
        return np.clip(np.nextafter(values, np.float32(direction)), low, high).astype(np.float32)
    south_edge = -qn.wm_upper_left(0, 0, 0, dtype=np.float32)[1]
    across = [(beside(west, d, -180, 180), beside(north, e, south_edge, -south_edge))
              for d in (-np.inf, np.inf) for e in (-np.inf, np.inf)]
    for lon, lat in [(west, north), (east, north), (west, south), (east, south), (inside_lon, inside_lat),
                     *across]:
        got_x, got_y = qn.tile(lon, lat, z)
        assert np.array_equal(got_x, edges.column(lon)) and np.array_equal(got_y, edges.row(lat))
    got_x, got_y = qn.tile(west, north, z)
    distinct = edges.distinct(x, y)
    assert np.array_equal(got_x[distinct], x[distinct]) and np.array_equal(got_y[distinct], y[distinct])
    if z <= 21:  # float32 tells every tile apart up to zoom 21
        assert distinct.all()
    for i in rng.choice(len(x), min(len(x), 300), replace=False):
        assert tq.tile(float(west[i]), float(north[i]), z) == (got_x[i], got_y[i], z)
        assert tq.tile(*quorlin.wm_upper_left(int(x[i]), int(y[i]), z), z) == (got_x[i], got_y[i], z)


@pytest.mark.parametrize("z", ZOOMS)
def test_edges_nest_to_the_bit(z):
    """A child's edge is its parent's: the edge of column x at zoom z is the
    edge of column x * 2**k at zoom z + k, for every k, bit for bit."""
    index = np.arange(2**z + 1) if z <= 16 else np.unique(np.append(rng.integers(0, 2**z, 4000), [0, 2**z]))
    index = index[index < 2**32]
    lon, _ = qn.wm_upper_left(index, 0, z, dtype=np.float32)
    _, lat = qn.wm_upper_left(0, index, z, dtype=np.float32)
    last = quorlin.wm_bounds(2**z - 1, 2**z - 1, z)
    for k in range(1, 33 - z):
        inside = (index << k) < 2**32  # the map's far edges are index 2**32 at zoom 32
        child_lon, _ = qn.wm_upper_left(index[inside] << k, 0, z + k, dtype=np.float32)
        _, child_lat = qn.wm_upper_left(0, index[inside] << k, z + k, dtype=np.float32)
        assert np.array_equal(child_lon.view(np.uint32), lon[inside].view(np.uint32))
        assert np.array_equal(child_lat.view(np.uint32), lat[inside].view(np.uint32))
        # The far edges, through the last tile's east and south edges.
        child_last = quorlin.wm_bounds(2**(z + k) - 1, 2**(z + k) - 1, z + k)
        assert (child_last[1], child_last[2]) == (last[1], last[2])


@pytest.mark.parametrize("z", ZOOMS)
def test_a_tiles_own_box_covers_it_its_children_and_its_parent(z):
    """tiles() over a tile's own box at zoom z + k: the tile itself (k = 0),
    exactly its descendants (k > 0), exactly its ancestor (k < 0), wherever
    float32 tells the tiles apart (to zoom 21), and what the model says
    everywhere."""
    x, y = tiles_at(z)
    if len(x) > 2 * SAMPLED and not EXHAUSTIVE:
        keep = rng.choice(len(x), 2 * SAMPLED, replace=False)
        x, y = x[keep], y[keep]
    west, south, east, north = qn.wm_bounds(x, y, z, dtype=np.float32)
    # From zoom 23 float32 boxes collapse: the nudge can put south above
    # north (no box: refused) or west east of east (a box round the world,
    # as any box across the antimeridian: counted, not listed).
    upside_down, round_the_world = south > north, west > east
    if upside_down.any():
        assert z >= 23
        with pytest.raises(ValueError, match="south must not be greater than north"):
            tq.tiles(*quorlin.wm_bounds(int(x[upside_down][0]), int(y[upside_down][0]), z), z)
    if (round_the_world & ~upside_down).any():
        assert z >= 23
        i = np.flatnonzero(round_the_world & ~upside_down)[0]
        assert tq.count_tiles(*quorlin.wm_bounds(int(x[i]), int(y[i]), z), z) > 2**(z - 1)
    keep = ~upside_down & ~round_the_world
    x, y, west, south, east, north = (v[keep] for v in (x, y, west, south, east, north))
    boxes = np.stack([west, south, east, north], axis=1).astype(np.float64).tolist()
    for k in (0, 1, -1) if EXHAUSTIVE else (0, 1, 2, -1, -3):
        if not 0 <= z + k <= 32:
            continue
        at = Edges(z + k)
        x0, x1 = at.column(west), np.where(east > west, at.column(east, True), at.column(east))
        y0, y1 = at.row(north), np.where(south < north, at.row(south, True), at.row(south))
        if z + max(k, 0) <= 21:
            down, up = max(k, 0), max(-k, 0)
            assert np.array_equal(x0, (x << down) >> up) and np.array_equal(y0, (y << down) >> up)
            assert np.array_equal(x1, (((x + 1) << down) - 1) >> up)
            assert np.array_equal(y1, (((y + 1) << down) - 1) >> up)
        sizes = (x1 - x0 + 1) * (y1 - y0 + 1)
        rows = zip(boxes, x0.tolist(), y0.tolist(), x1.tolist(), y1.tolist(), sizes.tolist())
        for box, first_x, first_y, last_x, last_y, size in rows:
            got = list(tq.tiles(*box, z + k))
            assert (got[0], got[-1], len(got)) == ((first_x, first_y, z + k), (last_x, last_y, z + k), size)
    for i in rng.choice(len(x), min(len(x), 100), replace=False):
        tile = (int(x[i]), int(y[i]), z)
        if z <= 19:
            assert list(tq.tiles(*quorlin.wm_bounds(*tile), z + 2)) == tq.children(*tile, zoom=z + 2)
        if 3 <= z <= 21:
            assert list(tq.tiles(*quorlin.wm_bounds(*tile), z - 3)) == [tq.parent(*tile, zoom=z - 3)]


@pytest.mark.parametrize("box", [
    (2.2, 48.8, 2.5, 48.9), (-180, -90, 180, 90), (-0.001, -0.001, 0.001, 0.001), (179.5, -1, -179.5, 1),
    (10, 20, 10, 20), (10, 20, 10, 21), (-180, 0, -180, 0), (180, 85.06, 180, 90), (170, 0, -180, 1),
    (180, 0, -170, 1), (179.999, 0, 179.99, 0.1),
])
@pytest.mark.parametrize("zooms", [0, 1, 5, 9, [3, 3, 7]])
def test_tiles_count_tiles_and_arrays_agree_with_the_model(box, zooms):
    listed = list(tq.tiles(*box, zooms))
    assert len(listed) == tq.count_tiles(*box, zooms)
    assert len(set(listed)) == len(listed)
    for z in sorted({zooms} if isinstance(zooms, int) else set(zooms)):
        at = [t for t in listed if t[2] == z]
        xs, ys = qn.tiles(*box, z)
        assert list(zip(xs.tolist(), ys.tolist(), [z] * len(xs))) == at
        model, west, south, east, north = Edges(z), *map(np.float32, box)
        south, north = (np.clip(v, model.north[-1], model.north[0]) for v in (south, north))
        rows = range(model.row(north), model.row(south, south < north) + 1)
        parts = [(west, east)] if west <= east else [(west, 180), (-180, east)]
        columns = set()
        for w, e in parts:
            if (w, e) != (180, 180) and (w, e) != (-180, -180) or len(parts) == 1:
                columns |= set(range(model.column(w), model.column(e, e > w) + 1))
        assert {(c, r) for c, r, _ in at} == {(c, r) for c in columns for r in rows}


def test_a_huge_cover_is_lazy_and_counted():
    world = (-180, -90, 180, 90)
    assert tq.count_tiles(*world, range(13)) == sum(4**z for z in range(13))
    cover = tq.tiles(*world, 32)
    assert cover.__length_hint__() == 2**63 - 1  # more than a list could take
    assert next(cover)[2] == 32
    assert tq.count_tiles(*world, 32) > 2**63
    with pytest.raises(ValueError, match="max_tiles"):
        qn.tiles(*world, 10, max_tiles=4**10 - 1)
    assert len(qn.tiles(*world, 10, max_tiles=4**10)[0]) == 4**10


@pytest.mark.parametrize("call, tile", [
    (lambda: tq.bounding_tile(*quorlin.wm_bounds(2074, 1409, 12)), (2074, 1409, 12)),
    (lambda: tq.bounding_tile(2.3, 48.85, 2.3, 48.85), tq.tile(2.3, 48.85, 32)),
    (lambda: tq.bounding_tile(-1, -1, 1, 1), (0, 0, 0)),
    (lambda: tq.bounding_tile(170, 0, -170, 1), (0, 0, 0)),
    (lambda: tq.bounding_tile(1, 1, 2, 2), (64, 63, 7)),
    (lambda: tq.parent(2074, 1409, 12), (1037, 704, 11)),
    (lambda: tq.parent(2074, 1409, 12, zoom=0), (0, 0, 0)),
    (lambda: tq.parent(2074, 1409, 12, zoom=12), (2074, 1409, 12)),
    (lambda: tq.children(0, 0, 0), [(0, 0, 1), (1, 0, 1), (0, 1, 1), (1, 1, 1)]),
    (lambda: tq.neighbors(0, 0, 0), []),
    (lambda: tq.neighbors(0, 0, 1), [(1, 0, 1), (1, 1, 1), (0, 1, 1)]),
    (lambda: tq.neighbors(0, 1, 2), [(3, 0, 2), (0, 0, 2), (1, 0, 2), (3, 1, 2), (1, 1, 2), (3, 2, 2),
                                    (0, 2, 2), (1, 2, 2)]),
    (lambda: tq.quadkey(2074, 1409, 12), "120220011012"),
    (lambda: tq.quadkey(0, 0, 0), ""),
    (lambda: tq.quadkey_to_tile("3"), (1, 1, 1)),
    (lambda: tq.tile(180, -85.05113220214844, 3), (7, 7, 3)),
    (lambda: tq.tile(-180, 85.05113220214844, 3), (0, 0, 3)),
    (lambda: tq.tile(0.0, 0.0, 1), (1, 1, 1)),
    (lambda: tq.tile(-1e-45, 1e-45, 1), (0, 0, 1)),
])
def test_answers(call, tile):
    assert call() == tile


def test_quadkeys_round_trip():
    for z in range(11 if EXHAUSTIVE else 7):
        for x in range(2**z):
            for y in range(2**z):
                assert tq.quadkey_to_tile(tq.quadkey(x, y, z)) == (x, y, z)
    for z in range(33):
        for x, y in zip(*(rng.integers(0, 2**z, 200) for _ in range(2))):
            key = tq.quadkey(x, y, z)
            assert len(key) == z and tq.quadkey_to_tile(key) == (x, y, z)


LIMIT = re.escape(repr(quorlin.wm_upper_left(0, 0, 0)[1]))


@pytest.mark.parametrize("call, error, message", [
    (lambda: tq.tile(0, 86, 3), ValueError, f"lat 86.0 is beyond the map's edge.*{LIMIT}"),
    (lambda: tq.tile(0, float("nan"), 3), ValueError, "lat nan is beyond the map's edge"),
    (lambda: tq.tile(180.5, 0, 3), ValueError, "lon must be a longitude from -180 to 180, not 180.5"),
    (lambda: tq.tile(0, 0, 33), ValueError, "z must be a zoom from 0 to 32, not 33"),
    (lambda: tq.tile(0, 0, -1), ValueError, "z must be a zoom from 0 to 32, not -1"),
    (lambda: tq.tile(0, 0, 2**80), ValueError, "past 2\\*\\*63"),
    (lambda: tq.tile(0, 0, 1.0), TypeError, "argument 'z': "),
    (lambda: tq.tile(None, 0, 1), TypeError, "argument 'lon': "),
    (lambda: tq.parent(4, 0, 2), ValueError, r"tile \(4, 0, 2\) is not on the map: .* 2\*\*2 - 1 = 3"),
    (lambda: tq.parent(0, -1, 2), ValueError, "not on the map"),
    (lambda: tq.parent(0, 0, 0), ValueError, "a tile at zoom 0 has no parent"),
    (lambda: tq.parent(0, 0, 5, zoom=6), ValueError, "zoom must be from 0 to 5"),
    (lambda: tq.children(0, 0, 32), ValueError, "a tile at zoom 32 has no children"),
    (lambda: tq.children(0, 0, 5, zoom=4), ValueError, "zoom must be from 5 to 32"),
    (lambda: tq.children(0, 0, 5, zoom=18), ValueError, "at most 4\\*\\*12 tiles"),
    (lambda: tq.children(0, 0, 5, zoom="6"), TypeError, "argument 'zoom': "),
    (lambda: tq.tiles(0, 10, 1, 5, 3), ValueError, "south must not be greater than north: 10.0 > 5.0"),
    (lambda: tq.tiles(0, -91, 1, 5, 3), ValueError, "south must be a latitude from -90 to 90, not -91.0"),
    (lambda: tq.count_tiles(float("nan"), 0, 1, 5, 3), ValueError, "west must be a longitude"),
    (lambda: tq.bounding_tile(0, 0, 181, 5), ValueError, "east must be a longitude"),
    (lambda: tq.tiles(0, 0, 1, 1, [3, 40]), ValueError, "each of zooms must be a zoom from 0 to 32, not 40"),
    (lambda: tq.tiles(0, 0, 1, 1, "12"), TypeError, "zooms must be an int or an iterable of ints, not 'str'"),
    (lambda: tq.tiles(0, 0, 1, 1, 1.5), TypeError, "not 'float'"),
    (lambda: tq.quadkey_to_tile("0124"), ValueError, "digits are 0, 1, 2 and 3; the one at position 3 is not"),
    (lambda: tq.quadkey_to_tile("0" * 33), ValueError, "at most 32 digits, not 33"),
    (lambda: tq.quadkey_to_tile(12), TypeError, "argument 'key': must be str, not int"),
    (lambda: qn.tiles(0, 0, 1, 1, 33), ValueError, "zoom must be a zoom from 0 to 32, not 33"),
    (lambda: qn.tiles(0, 10, 1, 5, 3), ValueError, "south must not be greater than north"),
])
def test_bad_input_gets_a_clear_error(call, error, message):
    with pytest.raises(error, match=message) as caught:
        call()
    assert type(caught.value) is error


def test_the_ufunc_is_the_scalar_call_element_for_element():
    n = 20000
    lon = np.concatenate([rng.uniform(-180, 180, n), [-180, 180, 180.5, np.nan, 0, -0.0]])
    lat = np.concatenate([rng.uniform(-86, 86, n), [85.05113220214844, -85.05113220214844, 0, 0, np.nan, 90]])
    z = rng.integers(-1, 34, len(lon))
    for dtype in (np.float64, np.float32):
        with np.errstate(invalid="ignore"):
            xs, ys = qn.tile(lon.astype(dtype), lat.astype(dtype), z)
        for i in range(len(lon)):
            try:
                expected = tq.tile(float(lon[i].astype(dtype)), float(lat[i].astype(dtype)), int(z[i]))[:2]
            except ValueError:
                expected = (-1, -1)
            assert (xs[i], ys[i]) == expected, (lon[i], lat[i], z[i])
    with pytest.warns(RuntimeWarning, match="invalid value encountered in tile"):
        qn.tile([0.0, 0.0], [0.0, 89.0], 3)


@pytest.mark.parametrize("layout", ["strided", "float32, strided", "zoom array is the x output",
                                    "zooms cast in small buffers"])
def test_the_ufunc_reads_every_layout(layout):
    """Strided and float32 inputs are read as the scalar path reads them,
    and an output that is also an input (NumPy then runs the loop in place)
    still gets every element, edge points included. With a cast, NumPy
    calls the loop once per buffer and copies the outputs out after each
    call: rows the kernel decides late must be written within the call."""
    n = 4000
    z = rng.integers(0, 33, 2 * n)
    lon, lat = qn.wm_upper_left(rng.integers(0, 2**z), rng.integers(0, 2**z), z, dtype=np.float32)
    lon = np.where(rng.random(2 * n) < 0.5, lon, rng.uniform(-180, 180, 2 * n)).astype(np.float32)
    lat = np.where(rng.random(2 * n) < 0.5, lat, rng.uniform(-85, 85, 2 * n)).astype(np.float32)
    expected = np.array([tq.tile(float(a), float(b), int(c))[:2] for a, b, c in zip(lon, lat, z)])
    dtype = np.float32 if layout.startswith("float32") else np.float64
    if layout == "zoom array is the x output":
        zoom, ys = z.copy(), np.empty(2 * n, np.int64)
        xs, ys = qn.tile(lon.astype(dtype), lat.astype(dtype), zoom, out=(zoom, ys))
        assert xs is zoom
    elif layout == "zooms cast in small buffers":
        previous = np.setbufsize(96)
        try:
            xs, ys = qn.tile(lon.astype(dtype), lat.astype(dtype), z.astype(np.int32))
        finally:
            np.setbufsize(previous)
    else:
        xs, ys = qn.tile(lon.astype(dtype)[::2], lat.astype(dtype)[::2], z[::2])
        expected = expected[::2]
    assert np.array_equal(np.stack([xs, ys], axis=1), expected)


def test_against_mercantile_differs_only_within_float32_of_an_edge():
    """mercantile computes in float64. Where it disagrees, the point must
    lie within a few float32 units of the edge between the two answers,
    and quorlin's answer is the one the float32 edges give."""
    mercantile = pytest.importorskip("mercantile")
    n, disagreements, near = 20000, 0, 0
    for z in (4, 10, 16, 22):
        # Points on quorlin's own edges and one float32 step to either side.
        x, y = rng.integers(0, 2**z, n), rng.integers(0, 2**z, n)
        lon, lat = qn.wm_upper_left(x, y, z, dtype=np.float32)
        lon, lat = (np.where(step == 0, v, np.nextafter(v, np.where(step > 0, np.inf, -np.inf).astype(np.float32)))
                    for v, step in ((lon, rng.integers(-1, 2, n)), (lat, rng.integers(-1, 2, n))))
        lon = np.clip(lon, -180, 180).astype(np.float32)
        lat = np.clip(lat, -85.0511, 85.0511).astype(np.float32)
        ours_x, ours_y = qn.tile(lon, lat, z)
        model = Edges(z)
        assert np.array_equal(ours_x, model.column(lon)) and np.array_equal(ours_y, model.row(lat))
        for i in range(n):
            theirs = mercantile.tile(float(lon[i]), float(lat[i]), z)
            if (theirs.x, theirs.y) == (ours_x[i], ours_y[i]):
                continue
            disagreements += 1
            # The edge between the two answers is within 4 float32 units.
            for ours, them, value, which in ((ours_x[i], theirs.x, lon[i], "west"),
                                             (ours_y[i], theirs.y, lat[i], "north")):
                if ours != them:
                    edge = float(model.edges([max(ours, them)], which)[0])
                    assert abs(edge - float(value)) <= 4 * float(np.spacing(np.abs(np.float32(edge)))), (z, i)
            near += 1
    assert disagreements == near
    print(f"\nmercantile disagrees on {disagreements} of {4 * n} points, each within float32 of an edge")
