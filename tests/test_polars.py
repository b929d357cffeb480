"""quorlin_polars: every function as an expression and through the
``.quorlin`` namespace, eager, lazy and streaming, against the ufunc's bits;
nulls; column types; Arrow arrays."""

import os
import warnings

import pytest

np = pytest.importorskip("numpy")
qn = pytest.importorskip("quorlin_numpy")
if os.environ.get("QUORLIN_REQUIRE_POLARS"):  # CI: never skip these
    import polars  # noqa: F401
    import pyarrow  # noqa: F401
pl = pytest.importorskip("polars", reason="polars is not installed (pip install '.[polars]')")
import quorlin_polars as qp  # noqa: E402

rng = np.random.default_rng(19)
N = 5000


def coordinates(dtype):
    lon = rng.uniform(-180.0, 180.0, N).astype(dtype)
    lat = rng.uniform(-90.0, 90.0, N).astype(dtype)
    lon[:3] = [np.nan, 181.0, -0.0]  # refused, refused, signed zero kept
    return lon, lat


def tile_indices(dtype):
    z = rng.integers(0, 33, N)
    x = (rng.integers(0, 2**32, N) % (2**z)).astype(dtype)
    y = (rng.integers(0, 2**32, N) % (2**z)).astype(dtype)
    return x, y, z.astype(dtype)


# name, its columns for a dtype, the numbers after them, keywords, fields
CASES = [
    ("great_circle_distance", lambda d: coordinates(d), (-0.1276, 51.5072), {}, None),
    ("great_circle_distance_with_radius", lambda d: coordinates(d) + coordinates(d), (6371000.0,), {}, None),
    ("valid_coordinates", lambda d: coordinates(d), (), {}, None),
    ("wm_upper_left", lambda d: tile_indices(d), (), {}, ("lon", "lat")),
    ("wm_bounds", lambda d: tile_indices(d), (), {}, ("west", "south", "east", "north")),
    ("wm_bounds", lambda d: tile_indices(d), (), {"dtype": pl.Float32}, ("west", "south", "east", "north")),
    ("wm_tile_expanded_bbox", lambda d: tile_indices(d)[:2], (12, 1500.0), {}, ("west", "south", "east", "north")),
    ("tile", lambda d: coordinates(d), (14,), {}, ("x", "y")),
]
COLUMN_TYPES = {"float": [np.float64, np.float32], "index": [np.int64, np.uint8, np.uint32, np.int16, np.uint64]}
ENGINES = ["eager", "lazy", "streaming", "namespace"]


def run(frame, expression, engine):
    if engine in ("eager", "namespace"):
        return frame.select(expression).to_series()
    return frame.lazy().select(expression).collect(engine="streaming" if engine == "streaming" else "auto").to_series()


def as_bits(values):
    values = np.asarray(values)
    return values.view(np.uint8) if values.dtype == np.bool_ else values.view(f"u{values.itemsize}")


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("name, columns, numbers, keywords, fields", CASES,
                         ids=[f"{c[0]}{'-f32' if c[3] else ''}" for c in CASES])
def test_same_bits_as_the_ufunc(name, columns, numbers, keywords, fields, engine):
    kinds = "float" if name.startswith(("great", "valid", "tile")) else "index"
    for dtype in COLUMN_TYPES[kinds]:
        arrays = columns(dtype)
        names = [f"c{i}" for i in range(len(arrays))]
        frame = pl.DataFrame(dict(zip(names, arrays)))
        with warnings.catch_warnings(record=True) as expected_warnings:
            warnings.simplefilter("always")
            ufunc_keywords = {"dtype": np.float32} if keywords else {}
            # Integer numbers with the index columns' type: NumPy finds no loop
            # for uint64 columns, a Python int and a Python float together.
            typed = [arrays[0].dtype.type(n) if kinds == "index" and isinstance(n, int) else n for n in numbers]
            expected = getattr(qn, name)(*arrays, *typed, **ufunc_keywords)
        if engine == "namespace":
            expression = getattr(pl.col(names[0]).quorlin, name)(*names[1:], *numbers, **keywords)
        else:
            expression = getattr(qp, name)(*names, *numbers, **keywords)
        with warnings.catch_warnings(record=True) as got_warnings:
            warnings.simplefilter("always")
            result = run(frame, expression, engine)
        # The same refusals signal the same way (streaming may split the work).
        assert {str(w.message) for w in got_warnings} == {str(w.message) for w in expected_warnings}
        assert result.name == qp._FUNCTIONS[name][1]
        got = [result.to_numpy()] if fields is None else [result.struct.field(f).to_numpy() for f in fields]
        expected = expected if isinstance(expected, tuple) else (expected,)
        for g, e in zip(got, expected):
            assert g.dtype == e.dtype and (as_bits(g) == as_bits(e)).all(), (name, dtype)


@pytest.mark.parametrize("engine", ENGINES[:3])
def test_a_null_in_any_input_gives_a_null_row_and_no_warning(engine):
    frame = pl.DataFrame({"lon": [2.35, None, 13.4, 2.0], "lat": [48.85, 40.0, None, 1.0],
                          "x": [1, 2, None, 3], "y": [1, None, 1, 1]}, schema_overrides={"x": pl.UInt32})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        distance = run(frame, qp.great_circle_distance("lon", "lat", 0.0, 0.0), engine)
        bounds = run(frame, qp.wm_bounds("x", "y", 2), engine)
        null_literal = run(frame, qp.great_circle_distance("lon", "lat", pl.lit(None, pl.Float64), 0.0), engine)
    assert distance.is_null().to_list() == [False, True, True, False]
    assert bounds.is_null().to_list() == [False, True, True, False]
    assert frame.select(qp.wm_bounds("x", "y", 2)).unnest("bounds")["west"].is_null().to_list() == bounds.is_null().to_list()
    assert null_literal.null_count() == 4


def test_types_and_names_of_results():
    frame = pl.DataFrame({"lon": [1.0], "lat": [2.0], "lon32": [1.0], "lat32": [2.0], "x": [1], "y": [1]},
                         schema_overrides={"lon32": pl.Float32, "lat32": pl.Float32})
    schema = frame.lazy().select(
        qp.great_circle_distance("lon32", "lat32", 0.5, 0.5).alias("f32"),
        qp.great_circle_distance("lon32", "lat", 0.5, 0.5).alias("mixed"),
        qp.wm_tile_expanded_bbox("x", "y", 3, 10.0, dtype=pl.Float32),
        qp.tile("lon", "lat", 3), qp.valid_coordinates("lon", "lat")).collect_schema()
    assert schema == pl.Schema({"f32": pl.Float32, "mixed": pl.Float64,
                                "expanded_bbox": pl.Struct({k: pl.Float32 for k in ("west", "south", "east", "north")}),
                                "tile": pl.Struct({"x": pl.Int64, "y": pl.Int64}), "valid": pl.Boolean})
    assert frame.lazy().select(qp.great_circle_distance("lon32", "lat32", 0.5, 0.5)).collect()["distance"].dtype == pl.Float32
    with pytest.raises(TypeError, match="expected a column name"):
        qp.great_circle_distance("lon", "lat", [1.0], 0.0)


def test_numbers_only_and_series_inputs():
    assert pl.select(qp.great_circle_distance(1.0, 2.0, 3.0, 4.0)).item() == float(qn.great_circle_distance(1.0, 2.0, 3.0, 4.0))
    series = pl.Series("lon", [1.0, 2.0])
    assert pl.select(qp.great_circle_distance(series, 0.0, 0.0, 0.0)).to_series().to_list() == \
        qn.great_circle_distance(series.to_numpy(), 0.0, 0.0, 0.0).tolist()


def test_streaming_in_batches_keeps_the_bits():
    n = 300_000
    lon, lat = rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)
    frame = pl.DataFrame({"lon": lon, "lat": lat}).lazy()
    got = frame.select(qp.great_circle_distance("lon", "lat", 2.35, 48.85)).collect(engine="streaming")["distance"]
    assert (as_bits(got.to_numpy()) == as_bits(qn.great_circle_distance(lon, lat, 2.35, 48.85))).all()


@pytest.mark.parametrize("chunks", [[[1.0, None, 3.0]], [[1.0], [None, 3.0]]])
def test_arrow_arrays_keep_their_nulls(chunks):
    pa = pytest.importorskip("pyarrow")
    lon = pa.chunked_array(chunks) if len(chunks) > 1 else pa.array(chunks[0])
    lat = pa.array([0.5, 0.5, None])
    distance = qp.apply_arrow(qn.great_circle_distance, lon, lat, 0.0, 0.0)
    assert distance.to_pylist()[0] == float(qn.great_circle_distance(1.0, 0.5, 0.0, 0.0))
    assert distance.is_null().to_pylist() == [False, True, True]
    assert isinstance(distance, pa.ChunkedArray) == (len(chunks) > 1)
    west, *_ = qp.apply_arrow(qn.wm_bounds, pa.array([1, None, 0], pa.uint32()), 1, 1)
    assert west.to_pylist() == [0.0, None, -180.0]
    # No nulls: the result wraps the ufunc's own buffer and the input is read in place.
    plain = pa.array(np.arange(4.0))
    result = qp.apply_arrow(qn.great_circle_distance, plain, plain, 0.0, 0.0)
    assert result.null_count == 0 and result.buffers()[0] is None
