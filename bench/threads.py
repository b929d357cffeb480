"""Scalar calls on 1, 2 and 4 threads: calls per second and the speed-up
over one thread. With the GIL the threads take turns; on a free-threaded
interpreter they run in parallel, up to the number of cores, once each
thread calls a function object of its own: a module instance per thread
(importlib.util.module_from_spec builds a new, independent module). One
function object shared by all threads has its reference count updated by
every call on every core, which CPython 3.13 cannot do in parallel.

    python bench/threads.py [--calls N]
"""

import argparse
import importlib.util
import os
import platform
import sys
import sysconfig
import threading
import time

import quorlin

CALLS = {
    "great_circle_distance": (quorlin.great_circle_distance, (2.3522, 48.8566, 139.6917, 35.6895)),
    "wm_bounds": (quorlin.wm_bounds, (2074, 1409, 12)),
}


def own_module():
    return importlib.util.module_from_spec(importlib.util.find_spec("quorlin"))


# One thread at a time: while one builds its module, 3.13t may briefly hold
# a half-made module in sys.modules, where another thread's lookup fails.
BUILDING = threading.Lock()


def own_module_in_turn():
    with BUILDING:
        return own_module()


def seconds_for(name, args, calls, threads, per_thread):
    """Wall time for `calls` calls shared among `threads` threads, released
    together; with `per_thread`, each calls its own module's function."""
    barrier = threading.Barrier(threads)
    spans = []

    def work():
        try:
            function = getattr(own_module_in_turn() if per_thread else quorlin, name)
            # Argument objects of the thread's own, for the same reason.
            own = tuple(type(a)(str(a)) for a in args)
        except BaseException:
            barrier.abort()  # the others stop waiting, rather than hang
            raise
        barrier.wait()
        start = time.perf_counter()
        for _ in range(calls // threads):
            function(*own)
        spans.append((start, time.perf_counter()))

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if len(spans) != threads:
        raise SystemExit(f"{threads - len(spans)} of {threads} threads failed")
    # From the first thread's start to the last one's end.
    return max(end for _, end in spans) - min(start for start, _ in spans)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = "GIL off" if free and not sys._is_gil_enabled() else "GIL on"
    print(f"CPython {platform.python_version()} ({'free-threaded' if free else 'default build'}, {gil}), "
          f"{os.cpu_count()} cores, {options.calls:,} calls, best of {options.repeats}")
    print(f"{'function':<24} {'function object':<18} {'threads':>7} {'seconds':>8} {'Mcalls/s':>9} {'speed-up':>9}")
    for name, (_, args) in CALLS.items():
        for per_thread in (False, True):
            one = None
            for threads in (1, 2, 4):
                best = min(seconds_for(name, args, options.calls, threads, per_thread)
                           for _ in range(options.repeats))
                one = one or best
                kind = "one per thread" if per_thread else "shared"
                print(f"{name:<24} {kind:<18} {threads:>7} {best:>8.3f} {options.calls / best / 1e6:>9.2f} "
                      f"{one / best:>8.2f}x")


if __name__ == "__main__":
    main()
