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
