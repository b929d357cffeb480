"""No path through the module leaves a reference behind.

On a debug interpreter (sys.gettotalrefcount exists) every path runs 1000
times and the interpreter's total reference count must not move; elsewhere
the same paths are checked through the interpreter's count of allocated
blocks and the reference counts of their arguments.
"""

import gc
import sys

import pytest

from call_paths import PATHS, outcome_of

# Not run by several threads at once: counts the whole interpreter's references and blocks.
pytestmark = pytest.mark.thread_unsafe

RUNS = 1000
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


def run(call, times):
    for _ in range(times):
        outcome_of(call)


@pytest.mark.parametrize("name", PATHS)
def test_every_path_has_its_outcome(name):
    call, expected = PATHS[name]
    assert outcome_of(call) == expected


def total_refcount_drift(call):
    run(call, 50)  # caches the interpreter fills once
    gc.collect()
    before = sys.gettotalrefcount()
    run(call, RUNS)
    gc.collect()
    return sys.gettotalrefcount() - before


@pytest.mark.skipif(not DEBUG_INTERPRETER, reason="needs a debug interpreter")
@pytest.mark.parametrize("name", PATHS)
def test_total_reference_count_does_not_drift(name, capfd):
    call, _ = PATHS[name]
    # What the measurement itself moves (its own locals), with a call that
    # does nothing. A leak repeats with every measurement; the interpreter's
    # own one-off caching (tens of references on 3.14's) does not, so a
    # drift is measured again before it counts.
    for _ in range(3):
        baseline = total_refcount_drift(lambda: None)
        drift = total_refcount_drift(call) - baseline
        if abs(drift) < 10:
            break
    capfd.readouterr()  # failure reports of the panicking paths
    with capfd.disabled():
        print(f"\n  {name:<32} total refcount drift over {RUNS} calls: {drift:+d}", end="")
    # One reference kept per call would show as RUNS; allow for the
    # interpreter's own small, one-off caching.
    assert abs(drift) < 10, f"{name}: total reference count moved by {drift} over {RUNS} calls"


@pytest.mark.parametrize("name", PATHS)
def test_allocated_blocks_stay_flat(name, capfd):
    # Every block the interpreter's allocator hands out, floats, strs and
    # tuples included (which gc.get_objects does not list): one object kept
    # per call shows as about RUNS. Of three windows the smallest counts: a
    # cache or free list the interpreter fills (3.10's traceback printing,
    # the tuple free lists) shows in some windows, a leak in all of them.
    call, _ = PATHS[name]
    run(call, 50)

    def window():
        gc.collect()
        before = sys.getallocatedblocks()
        run(call, RUNS)
        gc.collect()
        return sys.getallocatedblocks() - before

    grown = min(window(), window(), window())
    capfd.readouterr()
    assert grown < 50, f"{name}: {grown} more allocated blocks after {RUNS} calls"


def test_arguments_keep_their_reference_counts():
    from call_paths import FloatRaises, FloatReturns, bounds, gcd, gcdr

    arguments = [1234.5, 10**30, FloatReturns(2.0), FloatRaises(ValueError), "text" * 3, object()]
    before = [sys.getrefcount(a) for a in arguments]
    for _ in range(RUNS):
        for argument in arguments:
            for call in (lambda: gcd(0, argument, 0, 0), lambda: gcdr(0, 0, 0, 0, radius=argument),
                         lambda: bounds(argument, 0, 0)):
                try:
                    call()
                except BaseException:  # noqa: B036
                    pass
    del argument, call  # the loop's own last references
    assert [sys.getrefcount(a) for a in arguments] == before
