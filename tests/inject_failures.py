"""Makes the interpreter's allocations fail inside one call path, at every
point in turn: exactly one failure at each allocation, then every allocation
from each point on, until the path completes with nothing left to fail.

    python tests/inject_failures.py [--table] [NAME ...]
    python tests/inject_failures.py --printing

Prints one JSON line (or, with --table, one table row) per path: the
outcomes seen and how often, the injection points tried, those outcomes
that are not allowed, and (on a debug interpreter) the drift of the
interpreter's total reference count over a second, identical sweep.
Run in a child process: a failure here may end the process, which is
exactly what the caller checks for.
"""

import collections
import ctypes
import json
import os
import re
import sys

import _testcapi

from call_paths import PANIC, PATHS, PANIC_TYPE, PURE_PYTHON, FloatRaises, outcome_of

# The path completes normally with every allocation from this many
# consecutive points failing: nothing is left to inject.
SETTLED = 5
LIMIT = 2000
# Enough to cover printing a short traceback.
PRINTING_POINTS = 400


def describe(error):
    if type(error) is PANIC_TYPE:
        return f"PanicException: {error.args[0] if error.args else ''}"
    if type(error) is SystemError:
        return "SystemError: " + re.sub(r"<[^>]*>", "<object>", str(error))
    if type(error) is ctypes.ArgumentError:
        # The raw keyword path calls through ctypes, which wraps the
        # interpreter's MemoryError in its own exception.
        return "MemoryError" if "MemoryError" in str(error) else f"ArgumentError: {error}"
    return type(error).__name__


DEBUG = hasattr(sys, "gettotalrefcount")
# Where a release build of 3.11 loses the exception (the SystemErrors the
# interpreter's own calls show too), its debug build stops at these checks.
INTERPRETER_STOPS = ("Assertion `_PyErr_Occurred(tstate)' failed",
                     "a function returned NULL without setting an exception")
# On paths of pure Python, any assertion in the interpreter's own sources.
INTERPRETER_ASSERTION = re.compile(r"\.\./(?:Python|Objects|Include|Modules)/[^:\n]+:\d+: [^:\n]+: "
                                   r"(Assertion `.*' failed)")


def interpreter_stops(call, start, stop, pure=False):
    """On a debug build, tries the injection in a forked child first: the
    interpreter's own assertion there is reported, not run into. Any other
    death of the child is left for the real attempt to show."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.dup2(write, 2)
        attempt(call, start, stop, fork=False)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, errors="replace") as child:
        stderr = child.read()
    _, status = os.waitpid(pid, 0)
    if status == 0:
        return None
    assertion = pure and INTERPRETER_ASSERTION.search(stderr)
    if assertion:
        return assertion.group(1)
    return next((stop for stop in INTERPRETER_STOPS if stop in stderr), None)


def attempt(call, start, stop, fork=DEBUG, stops=(), pure=False):
    if (start, stop) in stops:
        return "the interpreter stops (known)"
    stopped = fork and interpreter_stops(call, start, stop, pure)
    if stopped:
        return "the interpreter stops: " + stopped
    _testcapi.set_nomemory(start, stop)
    try:
        value = call()
    except BaseException as error:  # noqa: B036
        _testcapi.remove_mem_hooks()
        return describe(error)
    _testcapi.remove_mem_hooks()
    return type(value).__name__


def sweep_call(call, expected, fork=DEBUG, stops=None, pure=False):
    """Returns the normal outcome, the outcomes seen, the points tried, and
    the injections at which the interpreter stops itself; given those
    (`stops`), sweeps again without forking, skipping them."""
    normal = "PanicException" if expected == PANIC else expected.__name__
    outcomes = collections.Counter()
    found = set()
    settled = start = 0
    while settled < SETTLED and start < LIMIT:
        once = attempt(call, start, start + 1, fork, stops or (), pure)
        onward = attempt(call, start, 0, fork, stops or (), pure)
        outcomes.update((once, onward))
        found |= {(start, stop) for stop, outcome in ((start + 1, once), (0, onward))
                  if outcome.startswith("the interpreter stops")}
        # Usable afterwards: the next call has its normal outcome.
        after = outcome_of(call)
        if after != expected:
            outcomes[f"afterwards {after}"] += 1
        settled = settled + 1 if onward.split(":")[0] == normal else 0
        start += 1
    return normal, outcomes, start, found


def interpreter_outcomes():
    """What the interpreter itself answers under the same injections, for a
    builtin that raises and for float() of an object whose __float__
    raises: outcomes of its own beyond MemoryError (3.11, for one, loses
    the exception at some points and raises SystemError; its debug build
    fails an assertion there)."""
    seen = set()
    for call in (lambda: chr(-1), lambda: float(FloatRaises(ValueError))):
        seen |= set(sweep_call(call, ValueError)[1])
    return sorted(seen - {"ValueError", "MemoryError"})


def judge(name, interpreter):
    """Sweeps one path: its report, with the outcomes that are not allowed
    (anything but the normal outcome, MemoryError, PanicException("Python
    API call failed"), or what the interpreter itself does in its place)."""
    pure = name in PURE_PYTHON
    normal, outcomes, points, stops = sweep_call(*PATHS[name], pure=pure)
    drift = None
    if DEBUG:
        # The second sweep forks nothing: on 3.13's debug build each fork
        # leaves references of its own in the parent's total.
        # A leak repeats with every sweep; the interpreter's own caching,
        # filled over the first sweeps (30, then 15 references on 3.14's),
        # does not, so a drift is measured again before it counts.
        for _ in range(5):
            before = sys.gettotalrefcount()
            sweep_call(*PATHS[name], fork=False, stops=stops)
            drift = sys.gettotalrefcount() - before
            if abs(drift) < 10:
                break
    allowed = {normal, "MemoryError", "PanicException: Python API call failed", *interpreter}
    # Paths of the interpreter's own code (no compiled code of ours runs in
    # them, or only at their end): its stops there, and on 3.11's debug
    # build the references it drops when an exception cannot be made, are
    # its own; their module answering normally afterwards is still checked.
    if pure:
        allowed |= {o for o in outcomes if o.startswith("the interpreter stops: ")}
    unexpected = sorted(o for o in outcomes
                        if o not in allowed and not (normal == "PanicException" and o.startswith(normal)))
    if points >= LIMIT:
        unexpected.append(f"still failing after {LIMIT} points")
    if drift is not None and abs(drift) >= 10 and not pure:
        unexpected.append(f"total reference count drifted by {drift}")
    return {"path": name, "normal": normal, "points": points, "outcomes": dict(outcomes),
            "drift": drift, "unexpected": unexpected}


def print_a_traceback():
    try:
        raise ValueError("printed")
    except ValueError as error:
        sys.excepthook(type(error), error, error.__traceback__)


def main(arguments):
    if arguments == ["--printing"]:
        # Whether the interpreter can print a traceback while allocations
        # fail (3.13.0 can hang or crash doing so): the caller times this.
        # Printing swallows its own failures, so every point is tried.
        for start in range(PRINTING_POINTS):
            attempt(print_a_traceback, start, start + 1)
            attempt(print_a_traceback, start, 0)
        print(json.dumps({"printing": "survived"}))
        return
    table = "--table" in arguments
    names = [a for a in arguments if a != "--table"] or list(PATHS)
    interpreter = interpreter_outcomes()
    if table:
        print(f"{'path':<32} {'points':>6} {'injections':>10} {'drift':>6}  outcomes")
    for name in names:
        report = judge(name, interpreter)
        if not table:
            print(json.dumps(report), flush=True)
            continue
        outcomes = ", ".join(f"{o} {n}" for o, n in sorted(report["outcomes"].items()))
        drift = "" if report["drift"] is None else f"{report['drift']:+d}"
        print(f"{name:<32} {report['points']:>6} {sum(report['outcomes'].values()):>10} {drift:>6}  {outcomes}"
              + (f"  UNEXPECTED: {report['unexpected']}" if report["unexpected"] else ""), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
