"""A short fuzz run on every test run; tools/harden fuzz runs it for longer.

QUORLIN_FUZZ_SECONDS sets the budget (default 10 s). The seed corpus is
every named call path, run first.
"""

import gc
import os
import sys
import time
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from call_paths import PATHS, outcome_of
from fuzz.harness import calls, check_call

# Not run by several threads at once: hypothesis runs one test at a time.
pytestmark = pytest.mark.thread_unsafe

SECONDS = float(os.environ.get("QUORLIN_FUZZ_SECONDS", "10"))


def test_fuzz_calls(capfd):
    for call, _ in PATHS.values():  # the seed corpus
        outcome_of(call)
    outcomes = Counter()

    @settings(max_examples=500, deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(calls)
    def one(call):
        outcomes[check_call(*call)] += 1

    one()  # hypothesis fills its caches on its first run
    gc.collect()
    objects_before = len(gc.get_objects())
    total_before = getattr(sys, "gettotalrefcount", lambda: 0)()
    start = time.monotonic()
    while time.monotonic() - start < SECONDS:
        one()
        capfd.readouterr()  # the failure reports of panicking calls
    gc.collect()
    elapsed = time.monotonic() - start
    executions = sum(outcomes.values())
    grown = len(gc.get_objects()) - objects_before
    with capfd.disabled():
        print(f"\nfuzz: {executions} executions in {elapsed:.0f} s; outcomes {dict(outcomes)}; "
              f"tracked objects {grown:+d}" +
              (f"; total refcount {sys.gettotalrefcount() - total_before:+d}" if hasattr(sys, "gettotalrefcount") else ""))
    assert executions > 0
    assert {"result", "TypeError", "PanicException"} <= set(outcomes)
    # Hypothesis keeps a little state of its own; a leak per call would show
    # as thousands.
    assert grown < 200


number = st.one_of(st.floats(-200, 200), st.integers(-200, 200), st.sampled_from(
    [float("nan"), float("inf"), 1e300, -90.0, 90.0, -180.0, 180.0, True, None, "1", b"1", [1.0]]))
position = st.one_of(st.lists(number, min_size=0, max_size=4), number, st.just({"0": 1}))
positions = st.lists(position, max_size=6)
coordinates = st.one_of(position, positions, st.lists(positions, max_size=3),
                        st.lists(st.lists(positions, max_size=2), max_size=2), number)
KINDS = ["Point", "MultiPoint", "LineString", "MultiLineString", "Polygon", "MultiPolygon", "Circle", None, 7]
geometry = st.builds(lambda kind, c: {"type": kind, "coordinates": c}, st.sampled_from(KINDS), coordinates)
geojson = st.recursive(geometry, lambda inner: st.one_of(
    st.builds(lambda parts: {"type": "GeometryCollection", "geometries": parts}, st.lists(inner, max_size=3)),
    st.builds(lambda g: {"type": "Feature", "properties": None, "geometry": g}, st.one_of(inner, st.none())),
    st.builds(lambda fs: {"type": "FeatureCollection", "features": fs}, st.one_of(st.lists(inner, max_size=3),
                                                                                 st.just("x"))),
    st.just({"type": "Feature"}), st.just(["Point"])), max_leaves=8)


def test_fuzz_geojson(capfd):
    """Malformed GeoJSON and zooms: a list of tiles on the map or a
    ValueError or TypeError, never anything else."""
    tq = pytest.importorskip("quorlin_tiles")
    import itertools
    outcomes = Counter()

    @settings(max_examples=300, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(geojson, st.one_of(st.integers(-1, 12), st.just(33), st.lists(st.integers(0, 8), max_size=3),
                              st.just("3")))
    def one(item, zooms):
        try:
            tiles = list(itertools.islice(tq.cover(item, zooms), 10**4))
        except (ValueError, TypeError) as error:
            assert str(error)
            outcomes[type(error).__name__] += 1
            return
        assert all(0 <= x < 2**z and 0 <= y < 2**z for x, y, z in tiles)
        assert len(set(tiles)) == len(tiles)
        outcomes["result"] += 1

    start = time.monotonic()
    while time.monotonic() - start < SECONDS / 2:
        one()
    with capfd.disabled():
        print(f"\nfuzz: GeoJSON outcomes {dict(outcomes)}")
    assert {"result", "TypeError", "ValueError"} <= set(outcomes)
