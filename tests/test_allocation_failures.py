"""No failed allocation ends the process: every call path, with the
interpreter's allocations failing at each point in turn, has its normal
outcome, MemoryError, or PanicException("Python API call failed"), and the
module answers normally afterwards (tests/inject_failures.py does the
injecting, in a child process)."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from call_paths import PATHS

pytest.importorskip("_testcapi", reason="the interpreter has no _testcapi (set_nomemory)")

HERE = Path(__file__).parent


@pytest.mark.parametrize("name", PATHS)
def test_every_injected_failure_has_an_allowed_outcome(name):
    child = subprocess.run([sys.executable, str(HERE / "inject_failures.py"), name], capture_output=True,
                           text=True, timeout=300, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert child.returncode == 0, f"the process ended with {child.returncode}:\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout)
    assert report["unexpected"] == [], report
