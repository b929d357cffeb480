"""Calls made while the interpreter shuts down neither crash nor hang."""

import textwrap

from conftest import run_python

SCRIPT = """
    import atexit, os, threading
    import quorlin

    distance = quorlin.great_circle_distance
    bounds = quorlin.wm_bounds

    def say(*words, write=os.write, str=str):
        # os.write: late in shutdown sys.stdout may already be gone.
        write(1, (" ".join(map(str, words)) + "\\n").encode())

    # Everything is bound as a default: late in shutdown the module's
    # globals may already be cleared.
    def call_everything(where, say=say, distance=distance, bounds=bounds,
                        BaseException=BaseException, OverflowError=OverflowError,
                        type=type, len=len):
        say(where, distance(0, 0, 1, 1) > 0, len(bounds(1, 2, 3)))
        try:
            distance(0, 100, 0, 0)
        except BaseException as error:
            say(where, type(error).__name__)
        try:
            bounds(-1, 0, 0)
        except OverflowError:
            say(where, "OverflowError")

    atexit.register(call_everything, "atexit")

    class Late:
        def __del__(self, call_everything=call_everything):
            call_everything("del")

    # Freed only when the interpreter clears this module's globals.
    late = Late()
    cycle = [Late()]
    cycle.append(cycle)

    def busy():
        while True:
            distance(0, 0, 1, 1)
            try:
                distance(0, 100, 0, 0)
            except BaseException:
                pass

    if DAEMON:
        # A thread still calling when the interpreter goes away. (While one
        # runs, the interpreter skips clearing module globals, so no __del__
        # of this script runs then.)
        threading.Thread(target=busy, daemon=True).start()
"""


def test_calls_during_shutdown():
    out, err, status = run_python("DAEMON = False\n" + textwrap.dedent(SCRIPT))
    assert status == 0, err
    lines = out.splitlines()
    for where in ("atexit", "del"):
        assert f"{where} True 4" in lines
        assert f"{where} PanicException" in lines
        assert f"{where} OverflowError" in lines
    assert "Fatal Python error" not in err
    assert "Segmentation" not in err


def test_daemon_thread_calling_through_shutdown():
    for _ in range(5):
        out, err, status = run_python("DAEMON = True\n" + textwrap.dedent(SCRIPT))
        assert status == 0, err
        assert "atexit OverflowError" in out.splitlines()
        assert "Fatal Python error" not in err
