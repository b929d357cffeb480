"""Points, boxes and polygons to tiles: quorlin_tiles against mercantile,
utiles, supermercado and a vectorised shapely cover.

    python bench/tiles.py [--repeats 7]

Per call for a point to its tile; per tile for a cover, consumed as an
iterator (and, for quorlin, as arrays); per tile for a polygon's cover;
per element for the tile ufunc
against quorlin_numpy.wm_upper_left. Median of interleaved repeats, so a
busy machine slows every contender alike. Peers that are not installed are
left out.
"""

import argparse
import importlib
import statistics
import time

import numpy as np

import quorlin_numpy as qn
import quorlin_tiles as tq

# A box over Paris; at zoom 16 it is 1,568 tiles.
PARIS = (2.25, 48.815, 2.42, 48.902)
ZOOM = 16


def peers():
    found = {}
    for name in ("mercantile", "utiles", "shapely", "supermercado.burntiles"):
        try:
            found[name] = importlib.import_module(name)
        except ImportError:
            pass
    return found


def per_call(function, arguments):
    start = time.perf_counter_ns()
    for args in arguments:
        function(*args)
    return (time.perf_counter_ns() - start) / len(arguments)


def per_tile(make_iterator):
    start = time.perf_counter_ns()
    count = 0
    for _ in make_iterator():
        count += 1
    return (time.perf_counter_ns() - start) / count


def per_array_tile(make):
    start = time.perf_counter_ns()
    count = len(make())
    return (time.perf_counter_ns() - start) / count


def star_polygon(rng, vertices=64):
    """A star-shaped polygon about 0.3 degrees across, over Paris."""
    angles = np.sort(rng.uniform(0, 2 * np.pi, vertices))
    radii = rng.uniform(0.08, 0.16, vertices)
    ring = np.stack([2.35 + radii * np.cos(angles), 48.85 + radii * np.sin(angles)], -1).tolist()
    return {"type": "Polygon", "coordinates": [ring + ring[:1]]}


def shapely_cover(shapely, polygon, zoom):
    """The way to do it with shapely alone: the candidate tiles of the box,
    their boxes from quorlin_numpy.wm_bounds, one vectorised intersects."""
    from shapely.geometry import shape

    geometry = shape(polygon)
    shapely.prepare(geometry)
    xs, ys = qn.tiles(*geometry.bounds, zoom)
    west, south, east, north = qn.wm_bounds(xs, ys, zoom)
    hit = shapely.intersects(geometry, shapely.box(west, south, east, north))
    return xs[hit]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    options = parser.parse_args()
    others = peers()
    rng = np.random.default_rng(7)
    points = list(zip(rng.uniform(-180, 180, 20000).tolist(), rng.uniform(-85, 85, 20000).tolist(),
                      [ZOOM] * 20000))

    cases = {"tile, per call": {"quorlin_tiles.tile": lambda: per_call(tq.tile, points)}}
    cover = {"quorlin_tiles.tiles": lambda: per_tile(lambda: tq.tiles(*PARIS, ZOOM))}
    for name, module in others.items():
        if name in ("shapely", "supermercado.burntiles"):
            continue
        cases["tile, per call"][f"{name}.tile"] = lambda m=module: per_call(m.tile, points)
        cover[f"{name}.tiles"] = lambda m=module: per_tile(lambda: m.tiles(*PARIS, ZOOM))
    cases[f"tiles over Paris at zoom {ZOOM}, per tile"] = cover

    polygon, zoom = star_polygon(rng), 16
    count = sum(1 for _ in tq.cover(polygon, zoom))
    shapes = {"quorlin_tiles.cover": lambda: per_tile(lambda: tq.cover(polygon, zoom)),
              "quorlin_numpy.cover": lambda: per_array_tile(lambda: qn.cover(polygon, zoom)[0])}
    if "shapely" in others:
        shapes["shapely.intersects (vectorised)"] = lambda: per_array_tile(
            lambda: shapely_cover(others["shapely"], polygon, zoom))
    if "supermercado.burntiles" in others:
        feature = [{"type": "Feature", "properties": {}, "geometry": polygon}]
        shapes["supermercado burn"] = lambda: per_array_tile(
            lambda: others["supermercado.burntiles"].burn(feature, zoom))
    cases[f"cover of a polygon ({len(polygon['coordinates'][0])} vertices) at zoom {zoom}, "
          f"{count:,} tiles, per tile"] = shapes

    # Arrays: a cover of about 10^6 tiles, and the ufunc over 10^6 points.
    big = (2.0, 48.0, 3.0, 49.0)
    count = tq.count_tiles(*big, 18)

    def arrays():
        start = time.perf_counter_ns()
        qn.tiles(*big, 18)
        return (time.perf_counter_ns() - start) / count

    cases[f"quorlin_numpy.tiles, {count:,} tiles, per tile"] = {"quorlin_numpy.tiles": arrays}
    lon, lat = rng.uniform(-180, 180, 10**6), rng.uniform(-85, 85, 10**6)
    x, y = rng.integers(0, 2**ZOOM, 10**6), rng.integers(0, 2**ZOOM, 10**6)

    def elementwise(call):
        start = time.perf_counter_ns()
        call()
        return (time.perf_counter_ns() - start) / 10**6

    cases["ufunc, per element (10^6 float64)"] = {
        "quorlin_numpy.tile": lambda: elementwise(lambda: qn.tile(lon, lat, ZOOM)),
        "quorlin_numpy.wm_upper_left": lambda: elementwise(lambda: qn.wm_upper_left(x, y, ZOOM)),
    }

    for title, contenders in cases.items():
        times = {name: [] for name in contenders}
        for _ in range(options.repeats):
            for name, measure in contenders.items():
                times[name].append(measure())
        print(f"\n{title}")
        first = None
        for name, samples in times.items():
            median = statistics.median(samples)
            first = first or median
            print(f"  {name:<30} {median:8.1f} ns   {median / first:5.2f}x")


if __name__ == "__main__":
    main()
