"""quorlin_numpy's ufuncs as polars expressions, and on Arrow arrays.

Each function takes columns (names, expressions or Series) and Python
numbers, and returns an expression that polars may evaluate eagerly, lazily
or streaming, in batches (the work is elementwise)::

    import polars as pl
    import quorlin_polars as qp

    df.with_columns(qp.great_circle_distance("lon", "lat", -0.1276, 51.5072))
    df.select(qp.wm_bounds("x", "y", 12)).unnest("bounds")

Importing this module also registers the namespace ``.quorlin`` on
expressions, whose methods take the expression as their first argument:
``pl.col("lon").quorlin.great_circle_distance("lat", -0.1276, 51.5072)``.

Types and names. Coordinates, radii and expansions are floats: the result is
Float32 when every float column is Float32 (numbers do not count), Float64
otherwise. Tile indices and zooms may have any integer type. Tile geometry is
Float64 unless ``dtype=pl.Float32`` is asked for. The functions with several
results give one struct column ("upper_left": lon, lat; "bounds" and
"expanded_bbox": west, south, east, north; "tile": x, y); the others are
"distance" and "valid".

Nulls and refusals. A row with a null in any input gives a null (a null
struct for several results), with no warning. A row that is present but
refused (a coordinate outside its range, a NaN, a negative expansion) follows
quorlin_numpy: NaN in every float result (-1 for tile indices) and NumPy's
"invalid value" signal.

Arrow: ``apply_arrow(quorlin_numpy.wm_bounds, xs, ys, 12)`` takes pyarrow
arrays or chunked arrays and gives pyarrow results with the inputs' nulls.
"""

import functools

import numpy as np

import quorlin_numpy

try:
    import polars as pl
except ImportError as error:
    raise ImportError("quorlin_polars needs polars: pip install 'quorlin[polars]'") from error

__all__ = ["great_circle_distance", "great_circle_distance_with_radius", "valid_coordinates", "wm_upper_left",
           "wm_bounds", "wm_tile_expanded_bbox", "tile", "apply_arrow"]

_FLOAT, _INDEX = "float", "index"
_EDGES = ("west", "south", "east", "north")

# name: (the kind of each parameter, the result's name, its fields if it is
# a struct, whether the result is tile geometry that dtype= may narrow)
_FUNCTIONS = {
    "great_circle_distance": ((_FLOAT,) * 4, "distance", None, False),
    "great_circle_distance_with_radius": ((_FLOAT,) * 5, "distance", None, False),
    "valid_coordinates": ((_FLOAT,) * 2, "valid", None, False),
    "wm_upper_left": ((_INDEX,) * 3, "upper_left", ("lon", "lat"), True),
    "wm_bounds": ((_INDEX,) * 3, "bounds", _EDGES, True),
    "wm_tile_expanded_bbox": ((_INDEX,) * 3 + (_FLOAT,), "expanded_bbox", _EDGES, True),
    "tile": ((_FLOAT, _FLOAT, _INDEX), "tile", ("x", "y"), False),
}


def _float_dtype(float_inputs):
    """Float32 when every float input that is a column is Float32, as the
    ufunc's loops choose for NumPy arrays and Python numbers."""
    columns = [e for e in float_inputs if isinstance(e, pl.Expr)]
    if not columns:
        return pl.Float64
    # The type polars gives this sum is the one that rule names: x * 0.0 is
    # Float32 for a Float32 column and Float64 for any other number type.
    return pl.dtype_of(functools.reduce(lambda a, b: a + b, (e * 0.0 for e in columns)))


def _result_dtype(name, float_inputs, dtype):
    _, _, fields, geometry = _FUNCTIONS[name]
    if name == "valid_coordinates":
        return pl.Boolean
    if name == "tile":
        return pl.Struct({"x": pl.Int64, "y": pl.Int64})
    if geometry:
        value = pl.Float32 if dtype is not None and np.dtype(_numpy_dtype(dtype)) == np.float32 else pl.Float64
        return pl.Struct({field: value for field in fields})
    return _float_dtype(float_inputs)


def _numpy_dtype(dtype):
    if dtype is None:
        return None
    if dtype in (pl.Float32, pl.Float64) or isinstance(dtype, (pl.Float32, pl.Float64)):
        return np.float32 if dtype == pl.Float32 else np.float64
    return np.dtype(dtype).type


def _as_input(value):
    """A column name, an expression or a Series becomes an expression; a
    Python number stays as it is and reaches the ufunc as a number."""
    if isinstance(value, str):
        return pl.col(value)
    if isinstance(value, pl.Series):
        return pl.lit(value)
    if isinstance(value, pl.Expr):
        return value
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"expected a column name, an expression, a Series or a number, got {type(value).__name__}")
    return value


def _arrays(kinds, series):
    """NumPy arrays for the ufunc, without copying where polars allows it,
    with nulls replaced by 0 (their rows are nulled afterwards)."""
    floats = [s for kind, s in zip(kinds, series) if kind == _FLOAT and isinstance(s, pl.Series)]
    narrow = bool(floats) and all(s.dtype == pl.Float32 for s in floats)
    indices = [s for kind, s in zip(kinds, series) if kind == _INDEX]
    signed = any(s.dtype.is_signed_integer() if isinstance(s, pl.Series) else s < 0 for s in indices)
    wide = any(isinstance(s, pl.Series) and s.dtype == pl.UInt64 for s in indices)
    arrays = []
    for kind, s in zip(kinds, series):
        if kind == _INDEX and wide and not signed and not isinstance(s, pl.Series):
            # NumPy finds no loop for UInt64 columns with a Python int and a
            # Python float together; as a uint64 the number matches.
            s = np.uint64(s)
        if isinstance(s, pl.Series):
            if s.null_count():
                s = s.fill_null(0)
            if kind == _FLOAT and not narrow and s.dtype != pl.Float64:
                s = s.cast(pl.Float64)
            elif kind == _INDEX and signed and s.dtype == pl.UInt64:
                # No loop mixes signed and unsigned 64-bit indices; an index
                # past 2^63 is refused either way.
                s = s.cast(pl.Int64, wrap_numerical=True)
            s = s.to_numpy()
        arrays.append(s)
    return arrays


def _valid_rows(series):
    """A Boolean Series that is False where some input is null, None where no
    input has nulls, or False (a Python bool) where a single-row input is null."""
    valid = None
    for s in series:
        if not isinstance(s, pl.Series) or not s.null_count():
            continue
        if len(s) == 1:
            return False
        valid = s.is_not_null() if valid is None else valid & s.is_not_null()
    return valid


def _batch(name, kinds, positions, numbers, keywords, series):
    """The function polars calls on each batch of the input columns."""
    _, result_name, fields, _ = _FUNCTIONS[name]
    inputs = list(numbers)
    for position, s in zip(positions, series):
        inputs[position] = s
    arrays = _arrays(kinds, inputs)
    results = getattr(quorlin_numpy, name)(*arrays, **keywords)
    if fields is None:
        result = pl.Series(result_name, np.atleast_1d(results))
    else:
        result = pl.DataFrame({f: np.atleast_1d(r) for f, r in zip(fields, results)}).to_struct(result_name)
    valid = _valid_rows(series)
    if valid is None:
        return result
    if valid is False:
        return pl.select(pl.repeat(None, len(result), dtype=result.dtype).alias(result_name)).to_series()
    return pl.select(pl.when(valid).then(result).alias(result_name)).to_series()


def _expression(name, args, dtype=None):
    kinds, result_name, fields, geometry = _FUNCTIONS[name]
    if len(args) != len(kinds):
        raise TypeError(f"{name}() takes {len(kinds)} arguments ({len(args)} given)")
    keywords = {}
    if dtype is not None:
        if not geometry:
            raise TypeError(f"{name}() takes no dtype")
        keywords["dtype"] = _numpy_dtype(dtype)
    inputs = [_as_input(a) for a in args]
    positions = [i for i, e in enumerate(inputs) if isinstance(e, pl.Expr)]
    if not positions:
        # Numbers only: computed now, a literal of the same type.
        results = getattr(quorlin_numpy, name)(*inputs, **keywords)
        if fields is None:
            return pl.lit(results.item()).alias(result_name)
        return pl.struct(**{f: pl.lit(r.item()) for f, r in zip(fields, results)}).alias(result_name)
    numbers = [None if isinstance(e, pl.Expr) else e for e in inputs]
    float_inputs = [e for kind, e in zip(kinds, inputs) if kind == _FLOAT]
    function = functools.partial(_batch, name, kinds, positions, numbers, keywords)
    return pl.map_batches([inputs[i] for i in positions], function,
                          return_dtype=_result_dtype(name, float_inputs, dtype),
                          is_elementwise=True).alias(result_name)


def great_circle_distance(lon1, lat1, lon2, lat2):
    """Great-circle distance in metres, a "distance" column."""
    return _expression("great_circle_distance", (lon1, lat1, lon2, lat2))


def great_circle_distance_with_radius(lon1, lat1, lon2, lat2, radius):
    """Great-circle distance on a sphere of the given radius, a "distance" column."""
    return _expression("great_circle_distance_with_radius", (lon1, lat1, lon2, lat2, radius))


def valid_coordinates(lon, lat):
    """Whether each point is accepted, a Boolean "valid" column."""
    return _expression("valid_coordinates", (lon, lat))


def wm_upper_left(x, y, z, *, dtype=None):
    """The tile's north-west corner, an "upper_left" struct of lon, lat."""
    return _expression("wm_upper_left", (x, y, z), dtype)


def wm_bounds(x, y, z, *, dtype=None):
    """The tile's edges, a "bounds" struct of west, south, east, north."""
    return _expression("wm_bounds", (x, y, z), dtype)


def wm_tile_expanded_bbox(x, y, z, expansion, *, dtype=None):
    """The tile's box grown by `expansion` metres, an "expanded_bbox" struct
    of west, south, east, north."""
    return _expression("wm_tile_expanded_bbox", (x, y, z, expansion), dtype)


def tile(lon, lat, zoom):
    """The tile holding each point, a "tile" struct of x, y (Int64)."""
    return _expression("tile", (lon, lat, zoom))


@pl.api.register_expr_namespace("quorlin")
class QuorlinNamespace:
    """``expr.quorlin.f(...)`` is ``quorlin_polars.f(expr, ...)``."""

    def __init__(self, expr):
        self._expr = expr

    def great_circle_distance(self, lat1, lon2, lat2):
        return great_circle_distance(self._expr, lat1, lon2, lat2)

    def great_circle_distance_with_radius(self, lat1, lon2, lat2, radius):
        return great_circle_distance_with_radius(self._expr, lat1, lon2, lat2, radius)

    def valid_coordinates(self, lat):
        return valid_coordinates(self._expr, lat)

    def wm_upper_left(self, y, z, *, dtype=None):
        return wm_upper_left(self._expr, y, z, dtype=dtype)

    def wm_bounds(self, y, z, *, dtype=None):
        return wm_bounds(self._expr, y, z, dtype=dtype)

    def wm_tile_expanded_bbox(self, y, z, expansion, *, dtype=None):
        return wm_tile_expanded_bbox(self._expr, y, z, expansion, dtype=dtype)

    def tile(self, lat, zoom):
        return tile(self._expr, lat, zoom)


def apply_arrow(ufunc, *args, dtype=None):
    """`ufunc` (one of quorlin_numpy's) on pyarrow arrays, chunked arrays
    and numbers. Gives a pyarrow array (chunked if an input is chunked), or a
    tuple of them for several results, null where any input is null. Without
    nulls the inputs are read in place and the results wrap the ufunc's own
    arrays, with no copy (chunked inputs are taken chunk by chunk when their
    chunks line up, and joined into one array when they do not)."""
    import pyarrow as pa

    if not isinstance(ufunc, np.ufunc):
        raise TypeError("apply_arrow() expects one of quorlin_numpy's ufuncs")
    keywords = {} if dtype is None else {"dtype": dtype}
    if not any(isinstance(a, pa.ChunkedArray) for a in args):
        results = _apply_arrow_arrays(ufunc, args, keywords)
        return results[0] if len(results) == 1 else tuple(results)
    layouts = {tuple(len(c) for c in a.chunks) if isinstance(a, pa.ChunkedArray) else None
               for a in args if isinstance(a, (pa.Array, pa.ChunkedArray))}
    if len(layouts) == 1 and None not in layouts:
        pieces = [_apply_arrow_arrays(ufunc, [a.chunk(i) if isinstance(a, pa.ChunkedArray) else a for a in args],
                                      keywords)
                  for i in range(len(next(iter(layouts))))]
    else:
        pieces = [_apply_arrow_arrays(ufunc, [a.combine_chunks() if isinstance(a, pa.ChunkedArray) else a
                                              for a in args], keywords)]
    results = [pa.chunked_array([piece[k] for piece in pieces]) for k in range(ufunc.nout)]
    return results[0] if len(results) == 1 else tuple(results)


def _apply_arrow_arrays(ufunc, args, keywords):
    import pyarrow as pa
    import pyarrow.compute as pc

    arrays, validity = [], None
    for a in args:
        if isinstance(a, pa.Array):
            if a.null_count:
                valid = pc.is_valid(a)
                validity = valid if validity is None else pc.and_(validity, valid)
                a = pc.fill_null(a, 0)
            a = a.to_numpy(zero_copy_only=False)
        arrays.append(a)
    results = ufunc(*arrays, **keywords)
    outputs = []
    for result in results if isinstance(results, tuple) else (results,):
        result = np.atleast_1d(result)
        if result.dtype == np.bool_:
            mask = None if validity is None else ~validity.to_numpy(zero_copy_only=False)
            outputs.append(pa.array(result, mask=mask))
        else:
            buffers = [None if validity is None else _validity_buffer(validity, pa), pa.py_buffer(result)]
            outputs.append(pa.Array.from_buffers(pa.from_numpy_dtype(result.dtype), len(result), buffers))
    return outputs


def _validity_buffer(validity, pa):
    # A Boolean array's values are a bitmap in the layout of a validity
    # buffer; an offset or a null in it would break that, so those copy.
    if validity.offset or validity.null_count:
        validity = pa.array(validity.to_numpy(zero_copy_only=False), type=pa.bool_())
    return validity.buffers()[1]
