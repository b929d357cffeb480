"""The module's surface and what a new initialisation builds."""

import ctypes
import importlib
import sys

import pytest

import quorlin

NAMES = [
    "great_circle_distance_with_radius",
    "great_circle_distance",
    "wm_bounds",
    "wm_upper_left",
    "wm_tile_expanded_bbox",
]


def test_all_lists_the_five_functions_in_order():
    assert quorlin.__all__ == NAMES
    assert all(type(name) is str for name in quorlin.__all__)
    namespace = {}
    exec("from quorlin import *", namespace)
    assert sorted(set(namespace) - {"__builtins__"}) == sorted(NAMES)


def test_module_attributes():
    assert quorlin.__name__ == "quorlin"
    assert quorlin.__doc__ == ""
    public = {name for name in vars(quorlin) if not name.startswith("__")}
    assert public == set(NAMES)


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(name):
    function = getattr(quorlin, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "quorlin"
    assert function.__self__ is quorlin
    assert function.__doc__ is None


def test_every_function_takes_keywords():
    assert quorlin.great_circle_distance(lon1=0, lat1=0, lon2=0, lat2=0) == 0.0
    assert quorlin.great_circle_distance_with_radius(
        lat2=0, lon2=1, lat1=0, lon1=0, radius=1
    ) == quorlin.great_circle_distance_with_radius(0, 0, 1, 0, 1)
    assert quorlin.wm_upper_left(z=1, y=1, x=1) == (0.0, 0.0)
    assert quorlin.wm_bounds(1, y=1, z=1) == quorlin.wm_bounds(1, 1, 1)
    assert quorlin.wm_tile_expanded_bbox(
        1, 1, 2, expansion_meters=0
    ) == quorlin.wm_tile_expanded_bbox(1, 1, 2, 0)


def _check_independent(first, second):
    assert first is not second
    assert first.__all__ == second.__all__ == NAMES
    assert first.__all__ is not second.__all__
    for name in NAMES:
        assert getattr(first, name) is not getattr(second, name)
        assert getattr(first, name).__self__ is first
        assert getattr(second, name).__self__ is second
    # Changing one module leaves the other as it was.
    second.__all__.append("extra")
    assert first.__all__ == NAMES


@pytest.mark.thread_unsafe  # swaps sys.modules["quorlin"]
def test_reimport_builds_a_new_module():
    original = sys.modules["quorlin"]
    try:
        del sys.modules["quorlin"]
        again = importlib.import_module("quorlin")
        _check_independent(original, again)
        assert again.wm_bounds(1, 1, 1) == original.wm_bounds(1, 1, 1)
    finally:
        sys.modules["quorlin"] = original


def test_calling_the_initialisation_twice():
    library = ctypes.PyDLL(quorlin.__file__)
    library.PyInit_quorlin.restype = ctypes.py_object
    library.PyInit_quorlin.argtypes = []
    first = library.PyInit_quorlin()
    second = library.PyInit_quorlin()
    _check_independent(first, second)
