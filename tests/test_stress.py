"""Threads, soak and re-import: results stay right and memory stays flat.

The sizes here are small enough for every test run; tools/harden scales
them up through QUORLIN_STRESS_CALLS, QUORLIN_SOAK_CALLS and
QUORLIN_REIMPORTS.
"""

import gc
import importlib
import os
import sys
import threading

import pytest

import quorlin
from call_paths import PATHS, outcome_of

THREAD_CALLS = int(os.environ.get("QUORLIN_STRESS_CALLS", "3000"))
SOAK_CALLS = int(os.environ.get("QUORLIN_SOAK_CALLS", "100000"))
REIMPORTS = int(os.environ.get("QUORLIN_REIMPORTS", "300"))
MIXED = list(PATHS.values())

# Each test measures the whole process (allocated blocks, resident memory,
# sys.modules), so none runs beside another.
pytestmark = pytest.mark.thread_unsafe


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_threads_making_mixed_calls(capfd):
    failures = []

    def worker(offset):
        try:
            for i in range(THREAD_CALLS):
                call, expected = MIXED[(i + offset) % len(MIXED)]
                outcome = outcome_of(call)
                if outcome != expected:
                    failures.append((i, outcome, expected))
                    return
        except BaseException as error:  # noqa: B036
            failures.append(repr(error))

    gc.collect()
    before = sys.getallocatedblocks()
    threads = [threading.Thread(target=worker, args=(n * 7,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    del threads, thread
    gc.collect()
    grown = sys.getallocatedblocks() - before
    capfd.readouterr()
    with capfd.disabled():
        print(f"\nthreads: 8 x {THREAD_CALLS} mixed calls, allocated blocks {grown:+d}")
    assert failures == []
    # One object kept per call would show as 8 * THREAD_CALLS; the threads
    # themselves leave a few hundred blocks in the interpreter's caches.
    assert grown < 1000


def test_soak_resident_memory_stays_flat(capfd):
    warm_up = max(SOAK_CALLS // 20, len(MIXED) * 50)
    for i in range(warm_up):
        outcome_of(MIXED[i % len(MIXED)][0])
    capfd.readouterr()
    gc.collect()
    start = resident_kib()
    for i in range(SOAK_CALLS):
        call, expected = MIXED[i % len(MIXED)]
        if i % 997 == 0:
            assert outcome_of(call) == expected
            capfd.readouterr()  # keep the captured reports from piling up
        else:
            outcome_of(call)
    gc.collect()
    end = resident_kib()
    capfd.readouterr()
    with capfd.disabled():
        print(f"\nsoak: {SOAK_CALLS} mixed calls, resident {start} KiB -> {end} KiB")
    assert end - start < 2048


def test_reimports_build_independent_modules_in_bounded_memory():
    original = sys.modules["quorlin"]
    previous = original
    try:
        for _ in range(20):  # warm-up
            del sys.modules["quorlin"]
            importlib.import_module("quorlin")
        gc.collect()
        start = resident_kib()
        for _ in range(REIMPORTS):
            del sys.modules["quorlin"]
            module = importlib.import_module("quorlin")
            assert module is not previous
            assert module.wm_bounds is not previous.wm_bounds
            assert module.wm_bounds.__self__ is module
            assert module.__all__ == original.__all__
            previous = module
        del module, previous
        gc.collect()
        end = resident_kib()
    finally:
        sys.modules["quorlin"] = original
    print(f"\nre-imports: {REIMPORTS}, resident {start} KiB -> {end} KiB")
    assert end - start < 4096
