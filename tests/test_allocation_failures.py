"""No failed allocation ends the process: every call path, with the
interpreter's allocations failing at each point in turn, has its normal
outcome, MemoryError, or PanicException("Python API call failed"), and the
module answers normally afterwards (tests/inject_failures.py does the
injecting, in a child process)."""

import functools
import json
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from call_paths import PATHS

pytest.importorskip("_testcapi", reason="the interpreter has no _testcapi (set_nomemory)")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    # Each injected failure there costs seconds (a sweep of a long path ran
    # past the child's timeout); the sweeps run on every other build.
    pytest.skip("the sweeps are too slow on a free-threaded build", allow_module_level=True)
# Each test sweeps in a child process of its own: copies of it on several
# threads at once would only run the same children side by side.
pytestmark = pytest.mark.thread_unsafe

HERE = Path(__file__).parent
# Paths whose normal outcome has the interpreter print a traceback.
PRINTS_A_TRACEBACK = {"panic from __float__"}


def inject(*arguments, timeout=300):
    return subprocess.run([sys.executable, str(HERE / "inject_failures.py"), *arguments], capture_output=True,
                          text=True, timeout=timeout, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})


@functools.cache
def interpreter_prints_tracebacks_while_allocations_fail():
    try:
        return inject("--printing", timeout=60).returncode == 0
    except subprocess.TimeoutExpired:
        return False


@pytest.mark.parametrize("name", PATHS)
def test_every_injected_failure_has_an_allowed_outcome(name):
    if name in PRINTS_A_TRACEBACK and not interpreter_prints_tracebacks_while_allocations_fail():
        pytest.skip("this interpreter hangs or crashes printing any traceback while allocations fail "
                    "(sys.excepthook alone shows it)")
    child = inject(name)
    assert child.returncode == 0, f"the process ended with {child.returncode}:\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout)
    assert report["unexpected"] == [], report
