"""Calls the five functions with arbitrary argument vectors and keyword
dictionaries: numbers of every kind, strings, objects whose __float__,
__index__ or __str__ raise, return the wrong type, call the module again or
raise a caught PanicException, and keyword names that are str subclasses,
lone surrogates or not str at all.

Every outcome must be a result of the right shape or one of the specified
exceptions. Run by tests/test_fuzz.py (briefly) and tools/harden fuzz (for
as long as asked).
"""

import math
import struct

from hypothesis import strategies as st

import quorlin
from call_paths import PANIC_TYPE
from conftest import raw_fastcall

FUNCTIONS = {
    "great_circle_distance": ("lon1", "lat1", "lon2", "lat2"),
    "great_circle_distance_with_radius": ("lon1", "lat1", "lon2", "lat2", "radius"),
    "wm_upper_left": ("x", "y", "z"),
    "wm_bounds": ("x", "y", "z"),
    "wm_tile_expanded_bbox": ("x", "y", "z", "expansion_meters"),
}
SHAPES = {"great_circle_distance": float, "great_circle_distance_with_radius": float,
          "wm_upper_left": 2, "wm_bounds": 4, "wm_tile_expanded_bbox": 4}


class FuzzError(Exception):
    """Raised by hostile objects; must pass through unchanged."""


class FuzzTypeError(TypeError):
    """A TypeError subclass: must pass through without the argument prefix."""


class PanicSubclass(PANIC_TYPE):
    """Not the PanicException class itself: passes through unchanged."""


class NameSubclass(str):
    pass


class UnprintableName(str):
    def __str__(self):
        raise FuzzError("no text")


def _raise(kind):
    if kind == "error":
        raise FuzzError("hostile")
    if kind == "type error":
        raise TypeError("hostile")
    if kind == "type error subclass":
        raise FuzzTypeError("hostile")
    if kind == "panic":
        raise PANIC_TYPE("hostile panic")
    if kind == "panic subclass":
        raise PanicSubclass("hostile")
    raise OverflowError("hostile")


class Hostile:
    """One conversion behaviour for __float__, __index__ and __str__."""

    def __init__(self, behaviour, value):
        self.behaviour = behaviour
        self.value = value

    def _answer(self, wanted):
        kind = self.behaviour
        if kind.startswith("raise "):
            _raise(kind[len("raise "):])
        if kind == "wrong type":
            return "not a number"
        if kind == "reenter":
            quorlin.wm_bounds(1, 1, 1)
            try:
                quorlin.great_circle_distance(0, 100, 0, 0)
            except PANIC_TYPE:
                pass
        return wanted(self.value)

    def __float__(self):
        return self._answer(float)

    def __index__(self):
        return self._answer(lambda v: int(v) if math.isfinite(v) else 0)

    def __str__(self):
        return self._answer(str)

    __repr__ = __str__


BEHAVIOURS = ["value", "wrong type", "reenter", "raise error", "raise type error",
              "raise type error subclass", "raise panic", "raise panic subclass", "raise overflow"]
PASSING_THROUGH = (FuzzError, FuzzTypeError, PanicSubclass)

floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=-181, max_value=181),
    st.sampled_from([0.0, -0.0, 90.0, -90.0, 180.0, -180.0, 89.99999, 89.999997, 5e-324, 1e300, -1.0]),
    st.integers(0, 2**32 - 1).map(lambda b: struct.unpack("<f", b.to_bytes(4, "little"))[0]),
)
integers = st.one_of(st.integers(-(2**70), 2**70), st.integers(0, 40), st.sampled_from([2**32 - 1, 2**32, 2**64 - 1, 2**64, -1]))
hostile = st.builds(Hostile, st.sampled_from(BEHAVIOURS), st.floats(-200, 200))
values = st.one_of(floats, integers, st.booleans(), st.none(), st.text(max_size=4), st.binary(max_size=4), hostile,
                   st.lists(st.integers(), max_size=2))
names = st.one_of(
    st.sampled_from(sorted({n for params in FUNCTIONS.values() for n in params})),
    st.text(max_size=6),
    st.sampled_from(["a\udc80", "\ud800", "x\udfff"]),
    st.sampled_from(["x", "lat1", "zz"]).map(NameSubclass),
    st.sampled_from(["x", "w"]).map(UnprintableName),
)
plausible = st.one_of(st.floats(-179.9, 179.9), st.integers(0, 64), hostile)
# Strategies are made once: hypothesis caches every strategy built during a
# draw, which would read as growth in the leak checks.
argument = st.one_of(plausible, values)
cut_points = {n: st.integers(0, n) for n in range(6)}
extra_keyword = st.dictionaries(names, values, max_size=1)
odd_names = st.lists(st.one_of(st.integers(), st.binary(max_size=2), st.none()), min_size=1, max_size=2)
value_lists = {n: st.lists(values, max_size=n) for n in range(8)}
any_keywords = st.dictionaries(names, values, max_size=4)
function_names = st.sampled_from(sorted(FUNCTIONS))
call_shapes = st.sampled_from(["positional", "split", "anything", "odd names"])


@st.composite
def calls(draw):
    """(function name, positional args, keyword args, non-str keyword names)"""
    name = draw(function_names)
    parameters = FUNCTIONS[name]
    shape = draw(call_shapes)
    if shape in ("positional", "split"):
        # Mostly well-formed calls, so that conversion and arithmetic get
        # exercised, not only binding.
        given = [draw(argument) for _ in parameters]
        cut = len(parameters) if shape == "positional" else draw(cut_points[len(parameters)])
        keywords = dict(zip(parameters[cut:], given[cut:]))
        if draw(st.booleans()):
            keywords.update(draw(extra_keyword))
        return name, given[:cut], keywords, []
    if shape == "odd names":
        return name, draw(value_lists[len(parameters)]), {}, draw(odd_names)
    return name, draw(value_lists[7]), draw(any_keywords), []


calls = calls()


def check_call(name, args, kwargs, odd_names):
    """Make one call and check its outcome; returns a short outcome label."""
    function = getattr(quorlin, name)
    try:
        if odd_names:
            kwnames = tuple(odd_names)
            result = raw_fastcall(function, tuple(args) + tuple(range(len(kwnames))), kwnames)
        else:
            result = function(*args, **kwargs)
    except (TypeError, OverflowError) as error:
        if type(error) in (TypeError, OverflowError):
            assert len(error.args) == 1 and isinstance(error.args[0], str)
        return type(error).__name__
    except PASSING_THROUGH as error:
        return type(error).__name__
    except PANIC_TYPE as error:
        assert type(error) is PANIC_TYPE
        assert len(error.args) == 1 and isinstance(error.args[0], str)
        return "PanicException"
    shape = SHAPES[name]
    if shape is float:
        assert type(result) is float
        values_ = [result]
    else:
        assert type(result) is tuple and len(result) == shape
        values_ = list(result)
    for value in values_:
        assert type(value) is float
        # Every result is a float32 value.
        assert math.isnan(value) or struct.unpack("<f", struct.pack("<f", value))[0] == value
    return "result"
