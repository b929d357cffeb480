"""Converting arguments to float32 and uint32, and what fails how."""

import array
import math
import operator
import signal
import time

import pytest

import quorlin
from float32_model import bits, f32

gcd = quorlin.great_circle_distance
gcdr = quorlin.great_circle_distance_with_radius
bounds = quorlin.wm_bounds
bbox = quorlin.wm_tile_expanded_bbox


def interpreter_message(call, *args):
    """The message the interpreter itself gives for this conversion."""
    try:
        call(*args)
    except Exception as error:
        return str(error)
    raise AssertionError("no error")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __float__


@pytest.mark.parametrize(
    "call, name, bad",
    [
        (lambda v: gcd(0, 0, 0, v), "lat2", None),
        (lambda v: gcd(v, 0, 0, 0), "lon1", "1.0"),
        (lambda v: gcdr(0, 0, 0, 0, v), "radius", [1.0]),
        (lambda v: bbox(0, 0, 0, v), "expansion_meters", None),
    ],
)
def test_float_type_error_names_the_parameter(call, name, bad):
    with pytest.raises(TypeError) as raised:
        call(bad)
    assert type(raised.value) is TypeError
    expected = f"argument '{name}': " + interpreter_message(math.sqrt, bad)
    assert raised.value.args == (expected,)
    assert raised.value.__cause__ is None


def test_only_the_first_bad_argument_is_named():
    with pytest.raises(TypeError, match=r"^argument 'lon1': "):
        gcd(None, None, 0, 0)
    with pytest.raises(TypeError, match=r"^argument 'y': "):
        bounds(0, 1.5, None)


@pytest.mark.parametrize("name, position", [("x", 0), ("y", 1), ("z", 2)])
@pytest.mark.parametrize("bad", [1.5, "1", None])
def test_index_type_error_names_the_parameter(name, position, bad):
    args = [0, 0, 0]
    args[position] = bad
    with pytest.raises(TypeError) as raised:
        bounds(*args)
    expected = f"argument '{name}': " + interpreter_message(operator.index, bad)
    assert raised.value.args == (expected,)


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100])
def test_interpreter_overflow_passes_unchanged(value):
    # array's 'Q' items convert with the same interpreter call.
    expected = interpreter_message(array.array, "Q", [value])
    with pytest.raises(OverflowError) as raised:
        bounds(value, 0, 0)
    assert type(raised.value) is OverflowError
    assert raised.value.args == (expected,)


@pytest.mark.parametrize("value", [2**32, 2**32 + 1, 2**63, 2**64 - 1])
def test_beyond_32_bits(value):
    for position in range(3):
        args = [0, 0, 0]
        args[position] = value
        with pytest.raises(OverflowError) as raised:
            bounds(*args)
        assert raised.value.args == ("out of range integral type conversion attempted",)


def test_index_values_accepted():
    assert len(bounds(4294967295, 4294967295, 32)) == 4
    assert bounds(True, False, 1) == bounds(1, 0, 1)
    assert bounds(Index(1), Index(0), Index(1)) == bounds(1, 0, 1)
    assert bbox(Index(1), 1, 2, Index(0)) == bbox(1, 1, 2, 0.0)


@pytest.mark.parametrize(
    "error",
    [ValueError("bad"), ZeroDivisionError(), type("Sub", (TypeError,), {})("sub")],
    ids=["ValueError", "ZeroDivisionError", "TypeError subclass"],
)
def test_other_conversion_errors_pass_unchanged(error):
    for call in (lambda: gcd(0, 0, Raises(error), 0), lambda: bounds(0, Raises(error), 0)):
        with pytest.raises(type(error)) as raised:
            call()
        assert raised.value is error


def test_exact_type_error_from_float_is_renamed_and_keeps_its_cause():
    root = KeyError("root")
    error = TypeError("custom")
    error.__cause__ = root
    with pytest.raises(TypeError) as raised:
        gcd(0, Raises(error), 0, 0)
    assert raised.value is not error
    assert raised.value.args == ("argument 'lat1': custom",)
    assert raised.value.__cause__ is root


def test_integer_too_large_for_a_double():
    with pytest.raises(OverflowError) as raised:
        gcd(0, 0, 0, 10**400)
    assert raised.value.args == (interpreter_message(float, 10**400),)


@pytest.mark.parametrize("value", [-1.0, -1, Float(-1.0)])
def test_minus_one_is_a_value(value):
    assert gcdr(0, 0, 1, 0, value) == -gcdr(0, 0, 1, 0, 1.0)


def test_float_arguments_are_narrowed_to_float32():
    # 1e300 becomes inf: a radius gives an infinite distance, a coordinate is
    # refused by the validity check.
    assert gcdr(0, 0, 1, 0, 1e300) == math.inf
    assert math.isnan(gcdr(0, 0, 0, 0, 1e300))
    # A value between two floats rounds to the nearest.
    near = 0.1
    assert gcdr(0, 0, near, 0, 1.0) == gcdr(0, 0, f32(near), 0, 1.0)
    assert bits(gcdr(0, 0, 0, 0, -0.0)) == bits(0.0 * -0.0)


def test_result_types():
    assert type(gcd(0, 0, 0, 0)) is float and gcd(0, 0, 0, 0) == 0.0
    corner = quorlin.wm_upper_left(0, 0, 0)
    assert type(corner) is tuple and len(corner) == 2
    for box in (bounds(0, 0, 0), bbox(0, 0, 0, 0)):
        assert type(box) is tuple and len(box) == 4
        assert all(type(v) is float and v == f32(v) for v in box)


@pytest.mark.thread_unsafe  # a process-wide timer and signal handler
@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs signal.setitimer")
def test_keyboard_interrupt_during_a_conversion_passes_through():
    class Slow:
        def __float__(self):
            time.sleep(10)
            return 0.0

    def interrupt(signum, frame):
        raise KeyboardInterrupt("from the signal handler")

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt) as raised:
            quorlin.great_circle_distance(0, Slow(), 0, 0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert raised.value.args == ("from the signal handler",) and raised.value.__cause__ is None
    assert quorlin.great_circle_distance(0, 0, 1, 0) == quorlin.great_circle_distance(0.0, 0.0, 1.0, 0.0)
