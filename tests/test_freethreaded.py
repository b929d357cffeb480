"""Threads racing through the module's shared state, and, on a free-threaded
build, the module running without the GIL."""

import sysconfig

import pytest

from conftest import run_python

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_racing_threads_get_one_panic_exception_class():
    # A fresh process, so that the class does not exist yet: eight threads
    # released together all make it, one is kept, and every thread sees it.
    out, err, status = run_python("""
        import threading, quorlin
        barrier, classes = threading.Barrier(8), []
        def first_panic():
            barrier.wait()
            try:
                quorlin.great_circle_distance(0.0, 95.0, 0.0, 0.0)
            except BaseException as error:
                classes.append(type(error))
        threads = [threading.Thread(target=first_panic) for _ in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(len(classes), len({id(c) for c in classes}), classes[0].__qualname__)
    """)
    assert status == 0, err
    assert out.split() == ["8", "1", "PanicException"]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded (--disable-gil) interpreter")
@pytest.mark.parametrize("module", ["quorlin", "quorlin_numpy", "quorlin_tiles"])
def test_importing_leaves_the_gil_off(module):
    if module == "quorlin_numpy":
        pytest.importorskip("numpy")
    out, err, status = run_python(f"""
        import sys, warnings
        warnings.simplefilter("error", RuntimeWarning)
        import {module}
        print(sys._is_gil_enabled())
    """)
    assert status == 0, err
    assert out.strip() == "False"


def test_threads_sharing_one_cover_take_each_tile_once():
    # Without the GIL the iterator's own lock is all that keeps two threads
    # from taking the same tile or skipping one.
    out, err, status = run_python("""
        import threading, quorlin_tiles as tq
        polygon = {"type": "Polygon", "coordinates": [[[2, 48], [3, 48], [3, 49], [2, 49], [2, 48]]]}
        cover, barrier, taken = tq.cover(polygon, [12, 13]), threading.Barrier(4), []
        def drain():
            barrier.wait()
            taken.extend(cover)
        threads = [threading.Thread(target=drain) for _ in range(4)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(len(taken), len(set(taken)), len(list(tq.cover(polygon, [12, 13]))))
    """)
    assert status == 0, err
    count, distinct, expected = out.split()
    assert count == distinct == expected
