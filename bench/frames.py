"""quorlin_polars' benchmark: the cost of a polars expression against the
ufunc on the same columns taken out with .to_numpy(), and the peak memory of
a streaming query.

    python bench/frames.py [--rows N] [--stream-rows N]

Overhead: medians of interleaved repeats over N rows (default 10**6), one
process. Memory: each query runs in a fresh process over a Parquet file of
--stream-rows rows (default 10**7), sinking to another Parquet file; the
figure is the process's peak resident memory above what it held just
before the query (Linux's VmHWM, reset first), beside the same query without quorlin (a copy of the
columns) and the size of the file's columns in memory.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path

import numpy as np
import polars as pl

import quorlin_numpy as qn
import quorlin_polars as qp

QUERIES = {
    "great_circle_distance": (lambda f: f.select(qp.great_circle_distance("lon", "lat", -0.1276, 51.5072)),
                              lambda f: qn.great_circle_distance(f["lon"].to_numpy(), f["lat"].to_numpy(),
                                                                 -0.1276, 51.5072)),
    "wm_bounds": (lambda f: f.select(qp.wm_bounds("x", "y", "z")),
                  lambda f: qn.wm_bounds(f["x"].to_numpy(), f["y"].to_numpy(), f["z"].to_numpy())),
    "tile": (lambda f: f.select(qp.tile("lon", "lat", 14)),
             lambda f: qn.tile(f["lon"].to_numpy(), f["lat"].to_numpy(), 14)),
}


def frame(n, seed=1):
    rng = np.random.default_rng(seed)
    z = rng.integers(2, 21, n)
    return pl.DataFrame({"lon": rng.uniform(-179, 179, n), "lat": rng.uniform(-85, 85, n),
                         "x": rng.integers(0, 2**z), "y": rng.integers(0, 2**z), "z": z})


def overhead(rows, repeats=9):
    data = frame(rows)
    print(f"{rows:,} rows, medians of {repeats} interleaved repeats (ns per row)")
    print(f"{'function':<24}{'polars eager':>14}{'polars lazy':>13}{'ufunc':>9}{'ratio':>8}")
    for name, (expression, ufunc) in QUERIES.items():
        lazy = data.lazy()
        runs = {"eager": [], "lazy": [], "ufunc": []}
        for _ in range(repeats):
            runs["eager"].append(timeit.timeit(lambda: expression(data), number=1))
            runs["lazy"].append(timeit.timeit(lambda: expression(lazy).collect(), number=1))
            runs["ufunc"].append(timeit.timeit(lambda: ufunc(data), number=1))
        eager, lazy_time, plain = (statistics.median(runs[k]) * 1e9 / rows for k in ("eager", "lazy", "ufunc"))
        print(f"{name:<24}{eager:>14.1f}{lazy_time:>13.1f}{plain:>9.1f}{max(eager, lazy_time) / plain:>8.2f}")


MEMORY_CHILD = """
import sys, polars as pl, quorlin_polars as qp

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1])

source, target, query = sys.argv[1:]
frame = pl.scan_parquet(source)
expression = qp.great_circle_distance("lon", "lat", -0.1276, 51.5072) if query == "quorlin" else pl.col("lon") * 1.0
frame.head(10).collect()  # polars' threads and caches, started before the measure
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak (VmHWM) starts again from here
before = status("VmRSS")
frame.select(expression).sink_parquet(target)
print(status("VmHWM") - before)
"""


def memory(rows):
    with tempfile.TemporaryDirectory() as directory:
        source, target = Path(directory) / "points.parquet", Path(directory) / "out.parquet"
        frame(rows).select("lon", "lat").write_parquet(source, row_group_size=250_000)
        columns_mib = rows * 16 / 2**20
        print(f"\nstreaming {rows:,} rows from Parquet to Parquet (the two columns: {columns_mib:.0f} MiB in memory)")
        for query in ("quorlin", "copy"):
            out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(source), str(target), query],
                                 check=True, capture_output=True, text=True).stdout
            label = "distance column" if query == "quorlin" else "lon * 1.0 (no quorlin)"
            print(f"  {label:<26} peak memory during the query: {int(out) / 1024:7.0f} MiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10**6)
    parser.add_argument("--stream-rows", type=int, default=10**7)
    args = parser.parse_args()
    print(f"polars {pl.__version__}, NumPy {np.__version__}, Python {sys.version.split()[0]}")
    overhead(args.rows)
    memory(args.stream_rows)


if __name__ == "__main__":
    main()
