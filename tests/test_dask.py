"""Every core and many machines: threads, dask arrays and frames, and a real
two-process dask.distributed cluster on the loopback interface, each giving
the bits of the single in-process call."""

import asyncio
import concurrent.futures
import os
import pickle
import sys

import pytest

import quorlin

np = pytest.importorskip("numpy")
qn = pytest.importorskip("quorlin_numpy")
if os.environ.get("QUORLIN_REQUIRE_DASK"):  # CI: never skip these
    import dask  # noqa: F401
    import distributed  # noqa: F401
da = pytest.importorskip("dask.array", reason="dask is not installed (pip install '.[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="dask.dataframe is not installed")
distributed = pytest.importorskip("distributed", reason="distributed is not installed")
pd = pytest.importorskip("pandas")
import quorlin_dask  # noqa: E402

# Not run by several threads at once: one cluster for the module, started and stopped once.
pytestmark = pytest.mark.thread_unsafe

rng = np.random.default_rng(9)
N = 10**6


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and (a.view(np.uint64 if a.itemsize == 8 else np.uint32) ==
                                                         b.view(np.uint64 if b.itemsize == 8 else np.uint32)).all()


@pytest.fixture(scope="module")
def points():
    return rng.uniform(-179, 179, N), rng.uniform(-85, 85, N)


@pytest.fixture(scope="module")
def tiles():
    zoom = rng.integers(2, 21, 10**5)
    return rng.integers(0, 2**zoom), rng.integers(0, 2**zoom), zoom


@pytest.fixture(scope="module")
def client():
    """Two worker processes, one thread each, on the loopback interface;
    closed when the module's tests end, whatever their outcome."""
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("threads", [2, 4])
def test_threads_on_parts_of_an_array_give_the_single_call_bits(points, tiles, threads):
    lons, lats = points
    whole = (qn.great_circle_distance(2.35, 48.85, lons, lats),
             np.stack(qn.wm_bounds(*tiles)))
    parts = np.array_split(np.arange(N), threads)
    tile_parts = np.array_split(np.arange(len(tiles[0])), threads)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        distances = pool.map(lambda i: qn.great_circle_distance(2.35, 48.85, lons[i], lats[i]), parts)
        bounds = pool.map(lambda i: np.stack(qn.wm_bounds(*(t[i] for t in tiles))), tile_parts)
        assert same_bits(np.concatenate(list(distances)), whole[0])
        assert same_bits(np.concatenate(list(bounds), axis=1), whole[1])


def test_distances_on_dask_arrays_are_lazy_and_exact(points):
    lons, lats = points
    lazy = qn.great_circle_distance(2.35, 48.85, da.from_array(lons, chunks=N // 8), da.from_array(lats, chunks=N // 8))
    assert isinstance(lazy, da.Array) and lazy.dtype == np.float64
    assert same_bits(lazy.compute(), qn.great_circle_distance(2.35, 48.85, lons, lats))


@pytest.mark.parametrize("name, args, dtype", [
    ("wm_bounds", ("x", "y", "z"), None),
    ("wm_upper_left", ("x", "y", 14), np.float32),
    ("wm_tile_expanded_bbox", ("x", "y", "z", 500.0), None),
    ("great_circle_distance_with_radius", ("lon", "lat", 3.0, 4.0, 6371000.0), None),
    ("valid_coordinates", ("lon", "lat"), None),
    ("tile", ("lon", "lat", "z"), None),
])
def test_the_helper_applies_any_ufunc_lazily(tiles, name, args, dtype):
    columns = dict(zip("xyz", tiles), lon=rng.uniform(-179, 179, 10**5), lat=rng.uniform(-85, 85, 10**5))
    numpy_args = [columns.get(a, a) if isinstance(a, str) else a for a in args]
    dask_args = [da.from_array(a, chunks=len(a) // 4) if isinstance(a, np.ndarray) else a for a in numpy_args]
    lazy = getattr(quorlin_dask, name)(*dask_args, dtype=dtype)
    expected = getattr(qn, name)(*numpy_args, **({} if dtype is None else {"dtype": dtype}))
    lazy, expected = (lazy, expected) if isinstance(lazy, tuple) else ((lazy,), (expected,))
    assert all(isinstance(a, da.Array) for a in lazy)
    for got, want in zip(da.compute(*lazy), expected):
        assert same_bits(got, want)


def test_dataframe_columns_with_map_partitions(tiles):
    frame = pd.DataFrame({"lon": rng.uniform(-179, 179, 1000), "lat": rng.uniform(-85, 85, 1000),
                          "x": tiles[0][:1000], "y": tiles[1][:1000], "z": tiles[2][:1000]})
    table = dd.from_pandas(frame, npartitions=4)
    distance = table.map_partitions(lambda p: qn.great_circle_distance(2.35, 48.85, p.lon, p.lat),
                                    meta=("distance", "f8"))

    def with_bounds(part):
        west, south, east, north = qn.wm_bounds(part.x, part.y, part.z)
        return part.assign(west=west, south=south, east=east, north=north)

    bounded = table.map_partitions(with_bounds).compute()
    assert isinstance(distance.compute(), pd.Series)
    assert same_bits(distance.compute(), qn.great_circle_distance(2.35, 48.85, frame.lon, frame.lat))
    assert same_bits(bounded.north, qn.wm_bounds(frame.x, frame.y, frame.z)[3])


def spread(k):
    """Coordinates and tiles from element numbers, by float and integer
    arithmetic that is the same on the workers as here (no data is sent)."""
    zoom = k % 19 + 2
    return (k * 0.618034) % 358.0 - 179.0, (k * 0.414214) % 170.0 - 85.0, (k * 7919) % 2**zoom, \
        (k * 104729) % 2**zoom, zoom


def test_a_cluster_computes_the_same_bits(client):
    lons, lats, xs, ys, zs = spread(da.arange(N, chunks=N // 4))
    distances = qn.great_circle_distance(2.35, 48.85, lons, lats)
    west, south, east, north = quorlin_dask.wm_bounds(xs, ys, zs)
    remote = client.compute([distances, north], sync=True)
    lons, lats, xs, ys, zs = spread(np.arange(N))
    assert same_bits(remote[0], qn.great_circle_distance(2.35, 48.85, lons, lats))
    assert same_bits(remote[1], qn.wm_bounds(xs, ys, zs)[3])
    # The ufuncs travel by reference; the workers imported the module.
    assert b"quorlin_numpy" in pickle.dumps(qn.great_circle_distance)
    assert len(pickle.dumps(qn.great_circle_distance)) < 100
    assert set(client.run(lambda: "quorlin_numpy" in sys.modules).values()) == {True}
    # Same C runtime everywhere here, so the same digest.
    assert set(client.run(quorlin_dask.digest).values()) == {quorlin_dask.digest()}


def test_a_panic_in_a_task_never_reaches_the_client(client):
    """PanicException is a BaseException: the task fails, but the client's
    future never hands it back, and result() waits for its timeout. The
    ufunc in the same place answers NaN."""
    future = client.submit(quorlin.great_circle_distance, 0, 95, 0, 0, pure=False)
    with pytest.raises((TimeoutError, asyncio.TimeoutError)):  # one class from 3.11 on
        future.result(timeout=3)
    assert future.status == "error"
    with np.errstate(invalid="ignore"):
        answer = client.submit(qn.great_circle_distance, 0.0, 95.0, 0.0, 0.0, pure=False).result(timeout=30)
    assert np.isnan(answer)
    assert client.submit(quorlin.great_circle_distance, 0, 0, 1, 0, pure=False).result(timeout=30) == \
        quorlin.great_circle_distance(0, 0, 1, 0)


@pytest.mark.parametrize("name", ["great_circle_distance", "great_circle_distance_with_radius", "wm_upper_left",
                                  "wm_bounds", "wm_tile_expanded_bbox"])
def test_the_digest_sees_one_unit_in_the_last_place_of_any_function(monkeypatch, name):
    before, original = quorlin_dask.digest(), getattr(qn, name)

    def one_ulp_off(*args, **kwargs):
        result = original(*args, **kwargs)
        first = result[-1] if isinstance(result, tuple) else result
        first[100] = np.nextafter(np.float32(first[100]), np.float32(np.inf))
        return result

    monkeypatch.setattr(qn, name, one_ulp_off)
    assert quorlin_dask.digest() != before


# glibc picks an FMA or a plain variant of sinf at load time; this asks for the plain one.
PLAIN_VARIANT = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA"}


def in_child(code, environment):
    import subprocess
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                          env={**os.environ, **environment}).stdout


def test_the_digest_tells_cpus_apart_where_the_runtime_does():
    probe = ("import ctypes, ctypes.util; m = ctypes.CDLL(ctypes.util.find_library('m'));"
             "m.sinf.restype = ctypes.c_float; m.sinf.argtypes = [ctypes.c_float];"
             "print([m.sinf(x).hex() for x in (53.42251968383789, 84.725341796875)])")
    if in_child(probe, {}) == in_child(probe, PLAIN_VARIANT):
        pytest.skip("this C runtime and CPU give one sinf, with or without FMA")
    digest = "import quorlin_dask; print(quorlin_dask.digest())"
    assert in_child(digest, {}) != in_child(digest, PLAIN_VARIANT)
