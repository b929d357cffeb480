import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import quorlin


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, reached through a caught instance."""
    try:
        quorlin.wm_tile_expanded_bbox(0, 0, 0, -1.0)
    except BaseException as caught:  # noqa: B036 - it is not an Exception
        return type(caught)
    raise AssertionError("no PanicException raised")


def run_python(code, **env):
    """Run `code` in a fresh interpreter; returns (stdout, stderr, status).

    Failure reports go to the process's own stderr, so they are read from
    the child rather than captured in this process.
    """
    environment = dict(os.environ)
    environment.pop("QUORLIN_BACKTRACE", None)
    environment.update(env)
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        timeout=60,
    )
    return child.stdout, child.stderr, child.returncode


_FASTCALL = ctypes.PYFUNCTYPE(
    ctypes.py_object,
    ctypes.py_object,
    ctypes.POINTER(ctypes.py_object),
    ctypes.c_ssize_t,
    ctypes.c_void_p,
)


def raw_fastcall(function, args, kwnames=None):
    """Call a module function's entry directly with any keyword-name tuple.

    The interpreter refuses keyword names that are not str before a call
    gets this far; C callers of the vectorcall protocol need not. The entry
    is read from the function's method record (PyCFunctionObject: object
    head, then m_ml; PyMethodDef: ml_name, then ml_meth).
    """
    pointer = ctypes.sizeof(ctypes.c_void_p)
    method_def = ctypes.c_void_p.from_address(id(function) + object.__basicsize__)
    entry = ctypes.c_void_p.from_address(method_def.value + pointer)
    vector = (ctypes.py_object * len(args))(*args)
    nargs = len(args) - (len(kwnames) if kwnames else 0)
    names = id(kwnames) if kwnames is not None else None
    return _FASTCALL(entry.value)(function.__self__, vector, nargs, names)
