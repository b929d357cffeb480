"""quorlin_numpy: every element is the scalar call's answer, bit for bit;
what the scalar call refuses is NaN with NumPy's invalid-value signal.

QUORLIN_ARRAY_ELEMENTS sets the number of random elements per function and
dtype in the comparison (default 3000; the release check uses 10**6).
"""

import json
import os
import pickle
import shutil
import subprocess
import sys
import warnings

import pytest

import quorlin
import quorlin_tiles
from conftest import run_python

np = pytest.importorskip("numpy")
qn = pytest.importorskip("quorlin_numpy")

ELEMENTS = int(os.environ.get("QUORLIN_ARRAY_ELEMENTS", "3000"))

# Values that sit on an edge of the arithmetic or of narrowing to float32.
COORDINATE_EDGES = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e-45, -1e-45, 1e-40, 1e300,
                    89.99999237060547, -89.99999237060547, 179.99998474121094, -179.99998474121094,
                    89.999997, 90.0, -90.0, 180.0, -180.0]
METRE_EDGES = [0.0, -0.0, -1.0, np.nan, np.inf, 1e-45, 1e300, 5e6]
INDEX_EDGES = [0, 1, 2**31 - 1, 2**31, 2**32 - 1, -1, 2**32]
ZOOM_EDGES = [0, 1, 26, 32, 127, 128, 129, 2**31, 2**32 - 1, -1, 2**32]

rng = np.random.default_rng(20261208)


def column(kind, dtype, n):
    """n values of one argument: random in (and a little past) the range,
    a quarter of them edge values. Edges a dtype cannot hold are left out."""
    if kind == "lon":
        values, edges = rng.uniform(-200, 200, n), COORDINATE_EDGES
    elif kind == "lat":
        values, edges = rng.uniform(-100, 100, n), COORDINATE_EDGES
    elif kind == "metres":
        values, edges = rng.uniform(-1e3, 6e6, n), METRE_EDGES
    else:
        zoom = rng.integers(0, 33, n)
        values = zoom if kind == "z" else rng.integers(0, 2**zoom.astype(np.uint64), dtype=np.uint64)
        edges = ZOOM_EDGES if kind == "z" else INDEX_EDGES
    info = np.iinfo(dtype) if np.issubdtype(dtype, np.integer) else None
    edges = [e for e in edges if info is None or info.min <= e <= info.max]
    picked = rng.random(n) < 0.25
    values = np.where(picked, rng.choice(np.array(edges, dtype=object), n), values.astype(object))
    with np.errstate(over="ignore"):  # 1e300 as float32 is inf, as in the scalar call
        return np.array(list(values), dtype=dtype)


# name -> argument kinds, in order
FUNCTIONS = {
    "great_circle_distance": ("lon", "lat", "lon", "lat"),
    "great_circle_distance_with_radius": ("lon", "lat", "lon", "lat", "metres"),
    "wm_upper_left": ("x", "y", "z"),
    "wm_bounds": ("x", "y", "z"),
    "wm_tile_expanded_bbox": ("x", "y", "z", "metres"),
}
CASES = [(name, dtype) for name, kinds in FUNCTIONS.items()
         for dtype in ((np.float64, np.float32) if kinds[0] == "lon" else (np.int64, np.uint32, np.uint64))]


def scalar_answers(name, columns, panic):
    """The scalar call per element: its outputs, or None where it refuses."""
    function = getattr(quorlin, name)
    answers = []
    for args in zip(*(c.tolist() for c in columns)):
        try:
            answers.append(function(*args))
        except (OverflowError, panic):
            answers.append(None)
    return answers


def bits(array):
    return array.view(np.uint32 if array.dtype == np.float32 else np.uint64)


@pytest.mark.thread_unsafe  # records warnings, which are process-wide
@pytest.mark.parametrize("name, dtype", CASES, ids=lambda v: getattr(v, "__name__", v))
def test_every_element_is_the_scalar_answer(name, dtype, panic_exception):
    kinds = FUNCTIONS[name]
    columns = [column(kind, np.float64 if kind == "metres" and dtype in (np.int64, np.uint32, np.uint64)
                      else dtype, ELEMENTS) for kind in kinds]
    answers = scalar_answers(name, columns, panic_exception)
    refused = np.array([a is None for a in answers])
    with warnings.catch_warnings(record=True) as caught, np.errstate(all="warn"):
        warnings.simplefilter("always")
        outputs = getattr(qn, name)(*columns)
    # The invalid-value signal exactly when an element is refused, and no
    # other signal: the NaN of an over-the-pole box is an answer.
    assert [str(w.message) for w in caught] == ([f"invalid value encountered in {name}"] if refused.any() else [])
    outputs = outputs if isinstance(outputs, tuple) else (outputs,)
    for k, output in enumerate(outputs):
        expected = np.array([np.nan if a is None else (a[k] if isinstance(a, tuple) else a) for a in answers],
                            dtype=np.float64).astype(output.dtype)
        assert np.isnan(output[refused]).all()
        mismatched = np.flatnonzero(bits(output[~refused]) != bits(expected[~refused]))
        assert mismatched.size == 0, (
            f"output {k} differs at {np.flatnonzero(~refused)[mismatched[:5]]}: "
            f"{output[~refused][mismatched[:5]]} vs {expected[~refused][mismatched[:5]]}")


@pytest.mark.parametrize("name, fixed", [
    ("great_circle_distance", (0, 1)), ("great_circle_distance", (2, 3)), ("great_circle_distance", (0,)), ("great_circle_distance", (2,)),
    ("great_circle_distance_with_radius", (3, 4)), ("great_circle_distance_with_radius", (0, 1, 2, 3)),
    ("wm_bounds", (2,)), ("wm_tile_expanded_bbox", (2, 3)), ("wm_upper_left", (0, 2)),
])
def test_inputs_fixed_by_broadcasting_give_the_same_bits(name, fixed):
    """A point or a zoom that is the same for every element is prepared once
    per loop: the answers must not change, refused elements included."""
    kinds = FUNCTIONS[name]
    columns = [column(kind, np.float64 if kind in ("lon", "lat", "metres") else np.int64, 500) for kind in kinds]
    for k in fixed:
        columns[k][:] = columns[k][7]
    with np.errstate(invalid="ignore"):
        elementwise = getattr(qn, name)(*columns)
        broadcast = getattr(qn, name)(*(c[7] if k in fixed else c for k, c in enumerate(columns)))
    for a, b in zip(np.atleast_2d(elementwise), np.atleast_2d(broadcast)):
        assert (bits(a) == bits(b)).all()


def test_the_coordinate_test_is_the_scalar_acceptance(panic_exception):
    lon, lat = column("lon", np.float64, ELEMENTS), column("lat", np.float64, ELEMENTS)
    with np.errstate(all="raise"):  # NaN compares without a signal
        valid = qn.valid_coordinates(lon, lat)
    accepted = [answer is not None for answer in
                scalar_answers("great_circle_distance", [lon, lat, np.zeros_like(lon), np.zeros_like(lat)], panic_exception)]
    assert valid.dtype == bool and valid.tolist() == accepted


@pytest.mark.parametrize("name, args", [
    # int32 coordinates are cast in 8192-element buffers: one loop call each.
    ("great_circle_distance", (0, np.r_[95, np.zeros(19999)].astype(np.int32), 0, 0)),
    ("wm_bounds", (np.arange(-1, 19999), 0, 15)),
    ("wm_tile_expanded_bbox", (np.arange(20000), 0, 15, np.r_[-1.0, np.zeros(19999)])),
])
def test_a_refusal_in_any_buffer_reaches_errstate(name, args, capfd):
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError,
                                                      match=f"^invalid value encountered in {name}$"):
        getattr(qn, name)(*args)
    with np.errstate(invalid="ignore"):
        outputs = getattr(qn, name)(*args)
    first = outputs[0] if isinstance(outputs, tuple) else outputs
    assert np.isnan(first[0]) and not np.isnan(first[1:]).any()
    assert capfd.readouterr() == ("", "")  # no failure report per element


def test_broadcasting_out_and_where():
    lons, lats = np.array([[1.0, 2.0, 3.0]]), np.array([[10.0], [20.0]])
    grid = qn.great_circle_distance(2.35, 48.85, lons, lats)
    assert grid.shape == (2, 3)
    assert grid[1, 2] == quorlin.great_circle_distance(2.35, 48.85, 3.0, 20.0)
    xs, ys = np.arange(4), np.arange(3)
    west, south, east, north = qn.wm_bounds(xs[None, :], ys[:, None], 2)
    assert west.shape == (3, 4) and (east[2, 3], north[2, 3]) == quorlin.wm_bounds(3, 2, 2)[2::1]
    out = np.full(3, -7.0, np.float32)
    result = qn.great_circle_distance([0, 0, 0], 0, [1, 2, 3], 0, out=out, where=[True, False, True])
    assert result is out and out[1] == -7.0 and out[2] == np.float32(quorlin.great_circle_distance(0, 0, 3, 0))
    # out= may be an input: every element's inputs are read before it is written.
    lon = np.array([1.0, 2.0])
    qn.great_circle_distance(lon, 0.0, 0.0, 0.0, out=lon)
    assert lon.tolist() == [quorlin.great_circle_distance(1, 0, 0, 0), quorlin.great_circle_distance(2, 0, 0, 0)]
    assert isinstance(qn.wm_upper_left(1, 1, 1), tuple) and np.ndim(qn.wm_upper_left(1, 1, 1)[0]) == 0


@pytest.mark.parametrize("inputs, expected", [
    ((np.float32(1), 2.0, 3.0, 4.0), np.float32),
    ((1.0, 2.0, 3.0, 4.0), np.float64),
    ((np.array([1], np.float32),) * 4, np.float32),
    (([1], [2], [3], [4]), np.float64),
])
def test_result_types_follow_the_coordinates(inputs, expected):
    if np.lib.NumpyVersion(np.__version__) < "2.0.0" and isinstance(inputs[0], np.float32):
        expected = np.float64  # NumPy 1.x promotes a lone float32 scalar with Python floats
    assert qn.great_circle_distance(*inputs).dtype == expected


def test_tile_results_are_float64_unless_float32_is_asked_for():
    assert qn.wm_bounds(np.arange(3, dtype=np.uint32), 0, 2)[0].dtype == np.float64
    assert qn.wm_upper_left([1], [2], [3], dtype=np.float32)[1].dtype == np.float32
    assert qn.wm_tile_expanded_bbox(1, 1, 2, np.float32(5.0), dtype=np.float32)[3].dtype == np.float32


def test_pandas_series_in_series_out():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"lon": [2.35, -74.0], "lat": [48.85, 40.7]}, index=["paris", "new york"])
    distance = qn.great_circle_distance(0.0, 51.5, frame.lon, frame.lat)
    assert isinstance(distance, pd.Series) and list(distance.index) == ["paris", "new york"]
    west, *_ = qn.wm_bounds(pd.Series([1, 2]), 0, 3)
    assert isinstance(west, pd.Series)


def test_ufuncs_pickle_by_reference_into_a_fresh_interpreter():
    payload = pickle.dumps([getattr(qn, name) for name in qn.__all__])
    out, err, status = run_python(f"""
        import pickle
        ufuncs = pickle.loads({payload!r})
        print([u.__name__ for u in ufuncs], ufuncs[0](0.0, 0.0, 1.0, 0.0))
    """)
    assert status == 0, err
    assert out.split("]")[0] + "]" == str(qn.__all__)
    assert float(out.split()[-1]) == quorlin.great_circle_distance(0, 0, 1, 0)


def test_without_numpy_the_import_error_names_the_extra_and_quorlin_still_works():
    out, err, status = run_python("""
        import sys
        import quorlin, quorlin_tiles
        assert "numpy" not in sys.modules, "import quorlin or quorlin_tiles imported NumPy"
        sys.modules["numpy"] = None  # as if NumPy were not installed
        try:
            import quorlin_numpy
        except ImportError as error:
            print(error, "|", type(error.__cause__).__name__)
        print(quorlin.great_circle_distance(0, 0, 1, 0), quorlin_tiles.tile(2.3, 48.9, 12))
    """)
    assert status == 0, err
    assert out.splitlines()[0] == ("quorlin_numpy needs NumPy 1.25 or newer: pip install 'quorlin[numpy]'"
                                   " | ModuleNotFoundError")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
@pytest.mark.parametrize("module", [quorlin, qn, quorlin_tiles], ids=lambda m: m.__name__)
def test_no_vectorised_float_functions(module):
    """Vectorised sinf and friends (_ZGV* symbols) give other bits than the
    scalar C runtime functions, so neither module may call them."""
    library = getattr(module, "_tiles", module).__file__  # quorlin_tiles is a package
    symbols = subprocess.run(["nm", "-D", library], capture_output=True, text=True, check=True).stdout
    assert "sincosf" in symbols or "sinf" in symbols
    assert "_ZGV" not in symbols


PLAIN_VARIANT = "glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA"


@pytest.mark.parametrize("environment, expected", [
    ({"QUORLIN_SCALAR_LOOPS": "1"}, "scalar loop: QUORLIN_SCALAR_LOOPS is set"),
    ({"QUORLIN_SCALAR_LOOPS": "0"}, None),  # "0" forces nothing: as without it
    ({"GLIBC_TUNABLES": PLAIN_VARIANT}, "plain"),
], ids=["forced", "not-forced", "plain-variant"])
def test_the_loop_choice_and_its_reason(environment, expected):
    """Which loop runs is decided at import, and the kernel that runs follows
    the variant of sinf and cosf that glibc loaded; elements stay the
    scalar call's bits whichever runs."""
    script = ("import json, numpy as np, quorlin, quorlin_numpy as qn\n"
              "rng = np.random.default_rng(5)\n"
              "a = [rng.uniform(-180, 180, 4099), rng.uniform(-90, 90, 4099)] * 2\n"
              "a[0][:2] = [0.0, 1e-30]; a[1][3] = 90.0\n"
              "with np.errstate(invalid='ignore'):\n"
              "    got = qn.great_circle_distance(*a).tolist()\n"
              "want = [quorlin.great_circle_distance(*p) if qn.valid_coordinates(p[0], p[1]) and\n"
              "        qn.valid_coordinates(p[2], p[3]) else 'refused' for p in zip(*a)]\n"
              "same = all(w == 'refused' and g != g or g == w for g, w in zip(got, want))\n"
              "print(json.dumps([qn.loops(), same]))")
    env = {**os.environ, **environment}
    loops, same = json.loads(subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                                            text=True, check=True).stdout)
    assert same
    assert set(loops) == set(qn.__all__) - {"tiles", "cover"}
    reason = loops["great_circle_distance"]
    assert reason == loops["great_circle_distance_with_radius"]
    assert reason.startswith(("AVX2 kernel: ", "scalar loop: "))
    if expected is None:
        assert reason == qn.loops()["great_circle_distance"] or "QUORLIN_SCALAR_LOOPS" in os.environ
    elif expected == "plain":
        # Where the FMA kernel runs by default, glibc's plain variant gets the plain kernel.
        default = qn.loops()["great_circle_distance"]
        if "FMA sinf" in default:
            assert reason == default.replace("its FMA sinf", "its plain sinf")
    else:
        assert reason == expected
