"""Broken preconditions: PanicException, its report lines, and recovery."""

import re

import pytest

import quorlin
from conftest import run_python

FIRST = "assertion failed: valid_coordinates(lon1, lat1)"
SECOND = "assertion failed: valid_coordinates(lon2, lat2)"
EXPANSION = "assertion failed: expansion_meters >= 0.0"
REPORT = re.compile(r"^thread '<unnamed>' panicked at '(.*)', (src/[\w/]+\.cpp):(\d+):(\d+)$")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: quorlin.great_circle_distance(200.0, 0.0, 0.0, 0.0), FIRST),
        (lambda: quorlin.great_circle_distance(0, 90, 0, 0), FIRST),
        (lambda: quorlin.great_circle_distance(-180, 0, 0, 0), FIRST),
        (lambda: quorlin.great_circle_distance(float("nan"), 0, 0, 0), FIRST),
        (lambda: quorlin.great_circle_distance(0, 89.999997, 0, 0), FIRST),
        (lambda: quorlin.great_circle_distance(0, 0, 180, 0), SECOND),
        (lambda: quorlin.great_circle_distance(0, 0, 0, -90), SECOND),
        (lambda: quorlin.great_circle_distance(0, 0, 0, 1e300), SECOND),
        (lambda: quorlin.great_circle_distance(0, 100, 0, 100), FIRST),
        (lambda: quorlin.great_circle_distance_with_radius(0, 0, 0, float("inf"), 1), SECOND),
        (lambda: quorlin.wm_tile_expanded_bbox(1, 1, 2, -1.0), EXPANSION),
        (lambda: quorlin.wm_tile_expanded_bbox(1, 1, 2, float("nan")), EXPANSION),
        (lambda: quorlin.wm_tile_expanded_bbox(1, 1, 2, -1e-45), EXPANSION),
    ],
)
def test_failed_checks_raise_panic(panic_exception, call, message):
    with pytest.raises(BaseException) as raised:
        call()
    assert type(raised.value) is panic_exception
    assert raised.value.args == (message,)


def test_panic_exception_class(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__module__ == "pyo3_runtime"
    assert panic_exception.__bases__ == (BaseException,)
    assert not issubclass(panic_exception, Exception)
    doc = panic_exception.__doc__
    assert len(doc) == 235 and doc.startswith("\n") and doc.endswith("\n")
    assert "BaseException" in doc and "SystemExit" in doc
    assert not hasattr(quorlin, "PanicException")


def test_panic_is_not_an_exception(panic_exception):
    with pytest.raises(panic_exception):
        try:
            quorlin.great_circle_distance(0, 0, 0, 95)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")


def test_every_panic_is_the_same_class(panic_exception):
    caught = []
    for _ in range(2):
        try:
            quorlin.wm_tile_expanded_bbox(0, 0, 0, -5)
        except BaseException as error:  # noqa: B036
            caught.append(type(error))
    assert caught == [panic_exception, panic_exception]


def test_module_is_usable_after_a_panic(panic_exception):
    expected = quorlin.great_circle_distance(0, 0, 1, 1)
    with pytest.raises(panic_exception):
        quorlin.great_circle_distance(0, 0, 1, 91)
    assert quorlin.great_circle_distance(0, 0, 1, 1) == expected
    assert quorlin.wm_tile_expanded_bbox(0, 0, 0, -0.0) == quorlin.wm_tile_expanded_bbox(0, 0, 0, 0)


def test_zero_and_negative_zero_expansion_proceed():
    assert len(quorlin.wm_tile_expanded_bbox(1, 1, 2, -0.0)) == 4


# ---- what reaches the process's standard error ----------------------------------

TWO_FAILURES = """
    import quorlin
    for _ in range(2):
        try:
            quorlin.great_circle_distance(200.0, 0.0, 0.0, 0.0)
        except BaseException as error:
            print(type(error).__module__, type(error).__name__, error.args[0])
"""


def test_report_lines_and_the_hint_after_the_first_failure_only():
    out, err, status = run_python(TWO_FAILURES)
    assert status == 0
    assert out.splitlines() == ["pyo3_runtime PanicException " + FIRST] * 2
    lines = err.splitlines()
    assert len(lines) == 3, err
    for line in (lines[0], lines[2]):
        match = REPORT.match(line)
        assert match, line
        assert match.group(1) == FIRST
        assert match.group(2) == "src/geodesy/geodesy.cpp"
    assert lines[0] == lines[2]
    assert "QUORLIN_BACKTRACE" in lines[1]


@pytest.mark.parametrize("value", ["", "0"])
def test_backtrace_switch_off(value):
    _, err, _ = run_python(TWO_FAILURES, QUORLIN_BACKTRACE=value)
    assert len(err.splitlines()) == 3


def test_backtrace_switch_on():
    _, err, status = run_python(TWO_FAILURES, QUORLIN_BACKTRACE="1")
    assert status == 0
    assert "QUORLIN_BACKTRACE" not in err
    assert err.count("stack backtrace:") == 2
    assert len(err.splitlines()) > 6


def test_report_written_even_when_caught_silently():
    _, err, _ = run_python(
        """
        import quorlin
        try:
            quorlin.wm_tile_expanded_bbox(0, 0, 0, float("nan"))
        except BaseException:
            pass
        """
    )
    assert REPORT.match(err.splitlines()[0]).group(1) == EXPANSION


def test_report_goes_to_the_process_stream_not_sys_stderr():
    out, err, _ = run_python(
        """
        import io, sys, quorlin
        sys.stderr = io.StringIO()
        try:
            quorlin.great_circle_distance(0, 0, 0, 90)
        except BaseException:
            pass
        print(repr(sys.stderr.getvalue()))
        """
    )
    assert out.strip() == "''"
    assert SECOND in err


def test_uncaught_panic_ends_the_program():
    _, err, status = run_python("import quorlin\nquorlin.great_circle_distance(0, 0, 0, 90)\n")
    assert status == 1
    assert "pyo3_runtime.PanicException: " + SECOND in err


# ---- a PanicException coming back from Python code --------------------------------

RESUMED = """
    import quorlin
    try:
        quorlin.great_circle_distance(200.0, 0.0, 0.0, 0.0)
    except BaseException as error:
        caught = error

    class Hostile:
        def __float__(self):
            raise caught

    try:
        quorlin.great_circle_distance(Hostile(), 0.0, 0.0, 0.0)
    except BaseException as error:
        print(type(error) is type(caught), error is caught, error.args)
    print(quorlin.great_circle_distance(0, 0, 0, 0))
"""


def test_panic_from_python_code_is_resumed():
    out, err, status = run_python(RESUMED)
    assert status == 0
    assert out.splitlines() == ["True False ('Unwrapped panic from Python code',)", "0.0"]
    lines = err.splitlines()
    banner = lines.index("Python stack trace below:")
    assert "PanicException" in lines[banner - 1]
    # The interpreter's own traceback of the fetched exception follows...
    assert lines[banner + 1] == "Traceback (most recent call last):"
    assert any("__float__" in line for line in lines[banner:])
    assert lines[-1] == "pyo3_runtime.PanicException: " + FIRST
    # ...and no new report line is written for the resumed failure.
    assert sum(bool(REPORT.match(line)) for line in lines) == 1


def test_subclass_of_panic_exception_passes_through(panic_exception):
    class Sub(panic_exception):
        pass

    class Hostile:
        def __float__(self):
            raise Sub("mine")

    with pytest.raises(Sub) as raised:
        quorlin.great_circle_distance(Hostile(), 0, 0, 0)
    assert raised.value.args == ("mine",)
