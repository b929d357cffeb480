"""quorlin_numpy's ufuncs on dask arrays, and a digest that tells whether two
processes compute the same bits.

dask applies a ufunc with one output to its arrays lazily by itself, so
``quorlin_numpy.great_circle_distance(lons, lats, ...)`` on dask arrays
needs nothing from here. The tile functions have several outputs, which
dask's ufunc dispatch does not take for ufuncs it does not know: the
functions here apply any of them (``tile`` included) through ``dask.array.apply_gufunc``
and return a lazy dask array, or a tuple of them, chunked like the inputs::

    west, south, east, north = quorlin_dask.wm_bounds(xs, ys, 12)

This module needs NumPy; dask is imported only when one of its functions is
called (``pip install "quorlin[dask]"``).
"""

import functools
import hashlib

import numpy as np

import quorlin_numpy

__all__ = ["great_circle_distance", "great_circle_distance_with_radius", "wm_upper_left", "wm_bounds",
           "wm_tile_expanded_bbox", "valid_coordinates", "tile", "apply", "digest"]


def apply(ufunc, *args, dtype=None):
    """`ufunc` (one of quorlin_numpy's) applied lazily to dask arrays,
    NumPy arrays and scalars, broadcast together; `dtype` is passed on to
    the ufunc (``numpy.float32`` for float32 tile results)."""
    import dask.array as da

    keywords = {} if dtype is None else {"dtype": dtype}
    # The output types NumPy would choose, from a one-element call with the
    # same input types (Python scalars kept as they are, since NumPy treats
    # them differently from arrays).
    sample = [np.zeros(1, a.dtype) if hasattr(a, "dtype") else a for a in args]
    with np.errstate(all="ignore"):
        outputs = ufunc(*sample, **keywords)
    outputs = outputs if isinstance(outputs, tuple) else (outputs,)
    signature = ",".join(["()"] * ufunc.nin) + "->" + ",".join(["()"] * ufunc.nout)
    # dask keeps a `dtype` keyword for itself, so the ufunc gets it bound.
    function = functools.partial(ufunc, **keywords) if keywords else ufunc
    return da.apply_gufunc(function, signature, *args,
                           output_dtypes=tuple(np.result_type(o) for o in outputs))


def _lazy(name):
    ufunc = getattr(quorlin_numpy, name)

    def function(*args, dtype=None):
        return apply(ufunc, *args, dtype=dtype)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = f"quorlin_numpy.{name} applied lazily to dask arrays; see apply()."
    return function


great_circle_distance = _lazy("great_circle_distance")
great_circle_distance_with_radius = _lazy("great_circle_distance_with_radius")
wm_upper_left = _lazy("wm_upper_left")
wm_bounds = _lazy("wm_bounds")
wm_tile_expanded_bbox = _lazy("wm_tile_expanded_bbox")
valid_coordinates = _lazy("valid_coordinates")
tile = _lazy("tile")


def digest():
    """A 16-digit hex digest of this process's answers, every function on a
    fixed set of inputs (valid ones, and some that are refused). Two
    processes with the same digest compute the same bits; the float
    functions of the C runtime decide it, so run it on every worker of a
    cluster: ``client.run(quorlin_dask.digest)``."""
    # Inputs made with plain float arithmetic, which is the same everywhere,
    # rather than a random generator, whose streams may change.
    k = np.arange(4099, dtype=np.float64)
    lon1, lat1 = (k * 0.618034) % 360.0 - 180.0, (k * 0.414214) % 180.0 - 90.0
    lon2, lat2 = (k * 0.302776) % 360.0 - 180.0, (k * 0.732051) % 180.0 - 90.0
    radius = 6371000.0 + k
    z = (np.arange(4099) % 33).astype(np.int64)
    x = (np.arange(4099) * 2654435761) % (2**z)
    y = (np.arange(4099) * 40503) % (2**z)
    expansion = k * 97.0
    # Two more boxes, with angular radii of 53.42 and 84.73 radians, where
    # glibc's FMA and plain variants of sinf disagree: processes on CPUs with
    # and without FMA get different digests.
    x, y, z = (np.append(v, [value, value]) for v, value in zip((x, y, z), (2074, 1409, 12)))
    expansion = np.append(expansion, [340350816.0, 539781376.0])
    with np.errstate(invalid="ignore"):  # the refused elements are part of it
        results = [
            quorlin_numpy.great_circle_distance(lon1, lat1, lon2, lat2),
            quorlin_numpy.great_circle_distance_with_radius(lon1, lat1, lon2, lat2, radius),
            *quorlin_numpy.wm_upper_left(x, y, z),
            *quorlin_numpy.wm_bounds(x, y, z),
            *quorlin_numpy.wm_tile_expanded_bbox(x, y, z, expansion),
            *quorlin_numpy.tile(lon1, lat1, z[:4099]),
        ]
    hasher = hashlib.sha256()
    for result in results:
        hasher.update(np.ascontiguousarray(result).tobytes())
    return hasher.hexdigest()[:16]
