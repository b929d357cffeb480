"""What users bring along: NumPy scalars, pickling, worker processes."""

import concurrent.futures
import multiprocessing
import pickle

import pytest

import quorlin

np = pytest.importorskip("numpy")


@pytest.mark.parametrize(
    "convert",
    [np.float32, np.float64, np.int64, np.int32, np.uint32, np.uint8, float, int],
    ids=lambda t: t.__name__,
)
def test_numpy_scalars_as_coordinates(convert):
    args = (2, 48, 139, 35)
    assert quorlin.great_circle_distance(*map(convert, args)) == quorlin.great_circle_distance(*args)
    assert quorlin.great_circle_distance_with_radius(*map(convert, args), convert(100)) == \
        quorlin.great_circle_distance_with_radius(*args, 100)
    assert quorlin.wm_tile_expanded_bbox(3, 2, 4, convert(10)) == quorlin.wm_tile_expanded_bbox(3, 2, 4, 10)


def test_numpy_float_values_round_like_python_floats():
    value = 48.856613
    assert quorlin.great_circle_distance(0, np.float64(value), 0, 0) == quorlin.great_circle_distance(0, value, 0, 0)
    # A float32 argument is already the value the module narrows to.
    assert quorlin.great_circle_distance(0, np.float32(value), 0, 0) == quorlin.great_circle_distance(0, value, 0, 0)


@pytest.mark.parametrize("convert", [np.int64, np.uint32, np.int8, np.uint64], ids=lambda t: t.__name__)
def test_numpy_integers_as_tile_indices(convert):
    assert quorlin.wm_bounds(convert(5), convert(6), convert(4)) == quorlin.wm_bounds(5, 6, 4)
    assert quorlin.wm_upper_left(x=convert(5), y=convert(6), z=convert(4)) == quorlin.wm_upper_left(5, 6, 4)


def test_numpy_values_out_of_range_fail_like_ints():
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        quorlin.wm_bounds(np.uint64(2**40), 0, 0)
    with pytest.raises(OverflowError) as raised:
        quorlin.wm_bounds(np.int64(-1), 0, 0)
    with pytest.raises(OverflowError) as expected:
        quorlin.wm_bounds(-1, 0, 0)
    assert raised.value.args == expected.value.args
    with pytest.raises(TypeError, match="^argument 'x': "):
        quorlin.wm_bounds(np.float64(1.0), 0, 0)


@pytest.mark.parametrize("name", quorlin.__all__)
def test_functions_pickle_by_reference(name):
    function = getattr(quorlin, name)
    assert pickle.loads(pickle.dumps(function)) is function


# Fresh worker processes: forking a test process that other tests left with
# threads running (dask's, say) can leave a worker that never starts.
SPAWN = multiprocessing.get_context("spawn")


def _tile_corner(tile):
    return quorlin.wm_upper_left(*tile)


def test_functions_run_in_worker_processes():
    tiles = [(x, y, 5) for x in range(4) for y in range(4)]
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=SPAWN) as pool:
        distances = list(pool.map(quorlin.great_circle_distance, [0, 10], [0, 10], [1, 20], [1, 20]))
        corners = list(pool.map(_tile_corner, tiles))
    assert distances == [quorlin.great_circle_distance(0, 0, 1, 1), quorlin.great_circle_distance(10, 10, 20, 20)]
    assert corners == [quorlin.wm_upper_left(*tile) for tile in tiles]


def test_panic_in_a_worker_reaches_the_parent_as_an_error():
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=SPAWN) as pool:
        future = pool.submit(quorlin.great_circle_distance, 0, 95, 0, 0)
        with pytest.raises(BaseException) as raised:
            future.result(timeout=60)
    # The class lives in no importable module, so the worker cannot send the
    # PanicException itself; the parent gets a pickling error naming it.
    assert isinstance(raised.value, pickle.PicklingError)
    assert "pyo3_runtime.PanicException" in str(raised.value)
    remote = str(raised.value.__cause__)
    assert "pyo3_runtime.PanicException: assertion failed: valid_coordinates(lon1, lat1)" in remote
