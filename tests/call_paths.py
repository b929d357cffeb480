"""Every kind of call the module can be given, each as a named zero-argument
callable with the outcome it must have. Shared by the reference-count,
thread, soak and shutdown checks.

An outcome is a result type (float or tuple) or an exception type; the
PanicException class is written as PANIC, since it is reached only through
a caught instance.
"""

import quorlin
import quorlin_tiles as tq
from conftest import raw_fastcall

PANIC = "PanicException"

gcd = quorlin.great_circle_distance
gcdr = quorlin.great_circle_distance_with_radius
ul = quorlin.wm_upper_left
bounds = quorlin.wm_bounds
bbox = quorlin.wm_tile_expanded_bbox


class FloatRaises:
    """Raises a new exception from make_error() on each conversion (reusing
    one instance would grow its traceback with every raise)."""

    def __init__(self, make_error):
        self.make_error = make_error

    def __float__(self):
        raise self.make_error()

    __index__ = __float__


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return self.value


class StrRaises(str):
    def __str__(self):
        raise RuntimeError("no text")


# Made once: a str subclass made while allocations fail trips the
# interpreter's own checks (3.11), which is not what the path is about.
UNPRINTABLE_KEYWORD = {StrRaises("w"): 0}


class Nested:
    """Calls the module again while being converted."""

    def __float__(self):
        return gcdr(0, 0, 1, 0, 1.0) + bounds(1, 1, 1)[2] - 180.0

    def __index__(self):
        return len(ul(1, 1, 1))


def _caught_panic():
    try:
        gcd(0, 95, 0, 0)
    except BaseException as error:  # noqa: B036
        return error


_PANIC_INSTANCE = _caught_panic()
PANIC_TYPE = type(_PANIC_INSTANCE)


class FloatRaisesPanic:
    def __float__(self):
        raise PANIC_TYPE("raised by Python code")


class TypeErrorSub(TypeError):
    pass


def _with_cause():
    error = TypeError("custom")
    error.__cause__ = KeyError("root")
    return error


def _value_error():
    return ValueError("v")


def _type_error_sub():
    return TypeErrorSub("s")


def _key_error():
    return KeyError("k")


def _key_error_of(_):
    raise KeyError("k")


# name -> (callable, expected outcome)
PATHS = {
    # Successes, positional and keyword.
    "distance": (lambda: gcd(2.35, 48.85, 139.69, 35.68), float),
    "distance keywords": (lambda: gcd(lat2=1, lon2=2, lat1=3, lon1=4), float),
    "distance radius": (lambda: gcdr(2.35, 48.85, 139.69, 35.68, 6371000.0), float),
    "upper left": (lambda: ul(2074, 1409, 12), tuple),
    "bounds keywords": (lambda: bounds(x=2074, y=1409, z=12), tuple),
    "expanded box": (lambda: bbox(2074, 1409, 12, 500.0), tuple),
    "expanded box edge tile": (lambda: bbox(0, 0, 0, 0.0), tuple),
    "index objects": (lambda: bounds(FloatReturns(1), True, 2), tuple),
    "nested float": (lambda: gcdr(0, 0, Nested(), 0, 1.0), float),
    "nested index": (lambda: ul(Nested(), 0, 3), tuple),
    "minus one": (lambda: gcdr(0, 0, 1, 0, FloatReturns(-1.0)), float),
    # Binding errors.
    "too many": (lambda: gcd(1, 2, 3, 4, 5), TypeError),
    "missing": (lambda: gcdr(), TypeError),
    "multiple values": (lambda: ul(1, 2, 3, x=4), TypeError),
    "unexpected keyword": (lambda: bounds(1, 2, 3, w=0), TypeError),
    "surrogate keyword": (lambda: bounds(1, 2, 3, **{"a\udc80": 0}), TypeError),
    "non-str keyword": (lambda: raw_fastcall(bounds, (1, 2, 3, 0), (5,)), TypeError),
    "unprintable keyword": (lambda: bounds(1, 2, 3, **UNPRINTABLE_KEYWORD), PANIC),
    # Conversion errors.
    "float None": (lambda: gcd(0, 0, 0, None), TypeError),
    "float str": (lambda: gcdr(0, 0, 0, 0, "1"), TypeError),
    "index float": (lambda: bounds(1.5, 0, 0), TypeError),
    "negative index": (lambda: bounds(-1, 0, 0), OverflowError),
    "index 2**64": (lambda: bounds(2**64, 0, 0), OverflowError),
    "index 2**32": (lambda: bounds(0, 2**32, 0), OverflowError),
    "huge int as float": (lambda: gcd(0, 0, 0, 10**400), OverflowError),
    "__float__ ValueError": (lambda: gcd(FloatRaises(_value_error), 0, 0, 0), ValueError),
    "__float__ TypeError subclass": (lambda: gcd(FloatRaises(_type_error_sub), 0, 0, 0), TypeErrorSub),
    "__float__ TypeError with cause": (lambda: gcd(0, FloatRaises(_with_cause), 0, 0), TypeError),
    "__float__ returns str": (lambda: gcd(FloatReturns("x"), 0, 0, 0), TypeError),
    "__index__ raises": (lambda: ul(FloatRaises(_key_error), 0, 0), KeyError),
    "__index__ returns float": (lambda: ul(FloatReturns(1.5), 0, 0), TypeError),
    # Broken preconditions.
    "invalid first point": (lambda: gcd(200.0, 0, 0, 0), PANIC),
    "invalid second point": (lambda: gcdr(0, 0, 0, float("nan"), 1.0), PANIC),
    "negative expansion": (lambda: bbox(1, 1, 2, -1.0), PANIC),
    "panic from __float__": (lambda: gcd(FloatRaisesPanic(), 0, 0, 0), PANIC),
    # quorlin_tiles: results, and its ordinary exceptions.
    "tile": (lambda: tq.tile(2.35, 48.85, 12), tuple),
    "tile keywords": (lambda: tq.tile(z=12, lat=48.85, lon=2.35), tuple),
    "bounding tile": (lambda: tq.bounding_tile(2.2, 48.8, 2.5, 48.9), tuple),
    "tiles listed": (lambda: list(tq.tiles(2.2, 48.8, 2.5, 48.9, [11, 12])), list),
    "tiles across the antimeridian": (lambda: list(tq.tiles(179.9, -0.1, -179.9, 0.1, 10)), list),
    "count tiles of the world": (lambda: tq.count_tiles(-180, -90, 180, 90, range(33)), int),
    "children": (lambda: tq.children(2074, 1409, 12, zoom=14), list),
    "parent": (lambda: tq.parent(2074, 1409, 12, 3), tuple),
    "neighbors": (lambda: tq.neighbors(0, 0, 1), list),
    "quadkey": (lambda: tq.quadkey_to_tile(tq.quadkey(2074, 1409, 12)), tuple),
    "tile past the map": (lambda: tq.tile(0, 86, 3), ValueError),
    "tile zoom 33": (lambda: tq.tile(0, 0, 33), ValueError),
    "tiles south above north": (lambda: tq.tiles(0, 10, 1, 5, 3), ValueError),
    "tiles zooms of floats": (lambda: tq.tiles(0, 0, 1, 1, [3, 4.5]), TypeError),
    "tiles zooms raising": (lambda: tq.tiles(0, 0, 1, 1, map(_key_error_of, [1])), KeyError),
    "off-map tile": (lambda: tq.children(4, 0, 2), ValueError),
    "bad quadkey": (lambda: tq.quadkey_to_tile("0124"), ValueError),
    "quadkey not str": (lambda: tq.quadkey_to_tile(b"01"), TypeError),
    # quorlin_tiles' covers of geometries: the compiled cover over shapes
    # read beforehand, and the GeoJSON reader (pure Python) on its own.
    "cover of a polygon with a hole": (lambda: list(tq._tiles._cover(_HOLED_SHAPES, [3, 9])), list),
    "cover of a collection": (lambda: list(tq._tiles._cover(_COLLECTION_SHAPES, 12)), list),
    "cover taken as runs": (lambda: tq._tiles._cover(_HOLED_SHAPES, 9)._runs(10**6), tuple),
    "cover zoom 33": (lambda: tq._tiles._cover(_COLLECTION_SHAPES, 33), ValueError),
    "malformed shapes": (lambda: tq._tiles._cover([(2, b"\0" * 8, None)], 3), ValueError),
    "reading a polygon with a hole": (lambda: tq.geojson.shapes(_HOLED), list),
    "reading an open ring": (lambda: tq.cover(_OPEN_RING, 3), ValueError),
    "reading a NaN latitude": (lambda: tq.cover({"type": "Point", "coordinates": [1, float("nan")]}, 3),
                               ValueError),
    "reading a string": (lambda: tq.cover("POINT (1 2)", 3), TypeError),
    "simplify": (lambda: tq.simplify(tq.children(0, 0, 0)), list),
    "feature": (lambda: tq.feature(1, 1, 1), dict),
}


_HOLED = {"type": "Polygon", "coordinates": [[[0, 0], [10, 0], [10, 10], [0, 10], [0, 0]],
                                            [[2, 2], [2, 8], [8, 8], [8, 2], [2, 2]]]}
_COLLECTION = {"type": "FeatureCollection", "features": [
    {"type": "Feature", "properties": {}, "geometry": {"type": "LineString", "coordinates": [[0, 0], [0.1, 0.2]]}},
    {"type": "Feature", "properties": {}, "geometry": {"type": "MultiPoint", "coordinates": [[1, 1], [2, 2]]}}]}
_OPEN_RING = {"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, 1], [0, 1]]]}
_HOLED_SHAPES, _COLLECTION_SHAPES = tq.geojson.shapes(_HOLED), tq.geojson.shapes(_COLLECTION)
# Paths that run the interpreter's own code for most of their length: on
# 3.11's debug build, failing allocations there meet its own assertions.
PURE_PYTHON = {name for name in PATHS if name.startswith("reading ")} | {"simplify", "feature"}


def outcome_of(call):
    """The result's type, or the raised exception's type (PANIC for a
    PanicException)."""
    try:
        result = call()
    except BaseException as error:  # noqa: B036
        return PANIC if type(error) is PANIC_TYPE else type(error)
    return type(result)
