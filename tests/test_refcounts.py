"""References: results are new and singly held, temporaries do not outlive
the call, and calls nest."""

import sys

import pytest

import quorlin

CALLS = [
    (quorlin.great_circle_distance, ("lon1", "lat1", "lon2", "lat2"), (0.5, 1.5, 2.5, 3.5)),
    (quorlin.great_circle_distance_with_radius, ("lon1", "lat1", "lon2", "lat2", "radius"),
     (0.5, 1.5, 2.5, 3.5, 10.0)),
    (quorlin.wm_upper_left, ("x", "y", "z"), (300, 500, 300)),
    (quorlin.wm_bounds, ("x", "y", "z"), (300, 500, 300)),
    (quorlin.wm_tile_expanded_bbox, ("x", "y", "z", "expansion_meters"), (300, 500, 300, 25.0)),
]
IDS = [function.__name__ for function, _, _ in CALLS]


# What sys.getrefcount() reports for an object held by one local depends on
# the interpreter (from 3.14 a local loaded for a call is not counted), so
# each count is compared with a control object that is new, held the same
# way and measured by the same expression in the same frame.


@pytest.mark.parametrize("function, names, args", CALLS, ids=IDS)
def test_result_is_the_only_reference(function, names, args):
    for keywords in (False, True):
        result = function(**dict(zip(names, args))) if keywords else function(*args)
        control = float("0.25")
        assert sys.getrefcount(result) == sys.getrefcount(control)
        if isinstance(result, tuple):
            control = tuple(float(str(value)) for value in result)
            for index in range(len(result)):
                assert sys.getrefcount(result[index]) == sys.getrefcount(control[index])
        del result, control


@pytest.mark.parametrize("function, names, args", CALLS, ids=IDS)
def test_arguments_are_not_retained(function, names, args):
    # Fresh objects, so that their counts are ours alone.
    objects = [type(a)(str(a)) for a in args]
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        function(*objects)
        function(**dict(zip(names, objects)))
    assert [sys.getrefcount(o) for o in objects] == before


class NestedFloat:
    """Calls the module again while its own conversion is running."""

    def __init__(self, depth):
        self.depth = depth

    def __float__(self):
        if self.depth == 0:
            return 1.0
        inner = quorlin.great_circle_distance_with_radius(0, 0, NestedFloat(self.depth - 1), 0, 1.0)
        box = quorlin.wm_bounds(1, 1, 1)
        assert box[2] == 180.0
        return inner / quorlin.great_circle_distance_with_radius(0, 0, 1.0, 0, 1.0)


def test_nested_calls_from_float():
    plain = quorlin.great_circle_distance_with_radius(0, 0, 1.0, 0, 2.0)
    for depth in (1, 2, 10):
        result = quorlin.great_circle_distance_with_radius(0, 0, NestedFloat(depth), 0, 2.0)
        assert result == plain
        control = float("0.25")
        assert sys.getrefcount(result) == sys.getrefcount(control)


def test_nested_call_that_panics_inside_a_conversion(panic_exception):
    class Inner:
        def __float__(self):
            try:
                quorlin.great_circle_distance(0, 0, 0, 90)
            except BaseException as error:  # noqa: B036
                assert type(error) is panic_exception
            return 2.0

    assert quorlin.great_circle_distance_with_radius(0, 0, Inner(), 0, 1.0) == \
        quorlin.great_circle_distance_with_radius(0, 0, 2.0, 0, 1.0)
