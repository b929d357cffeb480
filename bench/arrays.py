"""quorlin_numpy's benchmark: ns per element of each ufunc over 10**6
contiguous float64 (coordinates) or int64 (tiles) elements, against a plain
C++ loop over the same arithmetic on the same arrays, the scalar call in a
Python loop, NumPy's own haversine and tile formulas, and mercantile and
utiles; then the ratios the kernels are held to.

    python bench/arrays.py [--elements N] [--chart docs/arrays.png] [--crossover]
    (where the vector kernels run, the ufuncs again with QUORLIN_SCALAR_LOOPS=1)
    python bench/arrays.py --threads [--elements N]   (1 and 2 threads, dask, a 2-worker cluster)

Medians of interleaved repeats, one process. quorlin must be installed with
NumPy (pip install ".[numpy]"); the peers are optional (pip install ".[bench]").
"""

import argparse
import ctypes
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import timeit
from pathlib import Path

import numpy as np

import quorlin
import quorlin_numpy as qn
import quorlin_tiles

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
RADIUS = 6371009.0
FUNCTIONS = ["great_circle_distance", "great_circle_distance_with_radius", "wm_upper_left", "wm_bounds",
             "wm_tile_expanded_bbox", "tile"]


def build_loop():
    """The plain C++ loop (bench/array_loop.cpp), built like the module:
    -O3, strict floating point."""
    BUILD.mkdir(parents=True, exist_ok=True)
    library = BUILD / "array_loop.so"
    sources = [ROOT / "bench" / "array_loop.cpp", ROOT / "src" / "geodesy" / "geodesy.cpp",
               ROOT / "src" / "geodesy" / "tiles.cpp",
               ROOT / "src" / "failure" / "contract.cpp", ROOT / "src" / "failure" / "report.cpp",
               ROOT / "src" / "failure" / "platform.cpp"]
    if not library.exists() or any(library.stat().st_mtime < s.stat().st_mtime for s in sources):
        subprocess.run([os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-fPIC", "-shared",
                        "-ffp-contract=off", "-I" + str(ROOT / "src"), *map(str, sources), "-o", str(library)],
                       check=True)
    return ctypes.CDLL(str(library))


def inputs(n, seed=1):
    rng = np.random.default_rng(seed)
    zoom = rng.integers(2, 21, n)
    return {
        "lon1": rng.uniform(-179, 179, n), "lat1": rng.uniform(-85, 85, n),
        "lon2": rng.uniform(-179, 179, n), "lat2": rng.uniform(-85, 85, n),
        "radius": np.full(n, 6371000.0),
        # Off the antimeridian, as the scalar benchmark's tiles are.
        "x": rng.integers(1, 2**zoom - 1), "y": rng.integers(0, 2**zoom), "z": zoom,
        "expansion": rng.uniform(0, 5000, n),
    }


ARGUMENTS = {
    "great_circle_distance": ("lon1", "lat1", "lon2", "lat2"),
    "great_circle_distance_with_radius": ("lon1", "lat1", "lon2", "lat2", "radius"),
    "wm_upper_left": ("x", "y", "z"),
    "wm_bounds": ("x", "y", "z"),
    "wm_tile_expanded_bbox": ("x", "y", "z", "expansion"),
    "tile": ("lon2", "lat2", "z"),
}
SCALAR = {"tile": quorlin_tiles.tile}


def numpy_haversine(lon1, lat1, lon2, lat2, radius):
    lon1, lat1, lon2, lat2 = np.radians(lon1), np.radians(lat1), np.radians(lon2), np.radians(lat2)
    a = np.sin((lat2 - lat1) * 0.5) ** 2 + np.cos(lat1) * np.cos(lat2) * np.sin((lon2 - lon1) * 0.5) ** 2
    return (2 * radius) * np.arcsin(np.sqrt(a))


def numpy_tile(lon, lat, z):
    """The usual float64 one-liner (as mercantile's formula, vectorised)."""
    n = np.exp2(z)
    x = np.floor((lon + 180.0) / 360.0 * n)
    y = np.floor((1.0 - np.arcsinh(np.tan(np.radians(lat))) / np.pi) / 2.0 * n)
    return x.astype(np.int64), y.astype(np.int64)


def make_cases(data, loop, n, python_n):
    """[(function, label, callable, elements)]"""
    cases = []
    pointer = lambda a: a.ctypes.data_as(ctypes.c_void_p)  # noqa: E731
    as_lists = {key: value[:python_n].tolist() for key, value in data.items()}
    try:
        import mercantile
    except ImportError:
        mercantile = None
    try:
        import utiles
    except ImportError:
        utiles = None
    for name in FUNCTIONS:
        args = [data[key] for key in ARGUMENTS[name]]
        ufunc, scalar = getattr(qn, name), SCALAR.get(name) or getattr(quorlin, name)
        nout = ufunc.nout
        outputs = [np.empty(n, np.int64 if name == "tile" else np.float64) for _ in range(nout)]
        entry = getattr(loop, "loop_" + name)
        c_args = [pointer(a) for a in args + outputs] + [ctypes.c_size_t(n)]
        cases.append((name, "quorlin_numpy ufunc", lambda u=ufunc, a=args, o=tuple(outputs): u(*a, out=o), n))
        cases.append((name, "C++ loop", lambda e=entry, a=c_args: e(*a), n))
        if name == "great_circle_distance":
            cases.append((name, "C++ loop, arithmetic inline",
                          lambda e=loop.inline_great_circle_distance, a=c_args: e(*a), n))
            narrow = [a.astype(np.float32) for a in args]
            cases.append((name, "quorlin_numpy ufunc, float32",
                          lambda u=ufunc, a=narrow, o=np.empty(n, np.float32): u(*a, out=o), n))
        if nout == 1:
            fixed = [args[0][0], args[1][0], *args[2:]]
            cases.append((name, "ufunc, one point to many", lambda u=ufunc, a=fixed, o=outputs[0]: u(*a, out=o), n))
        rows = list(zip(*(as_lists[key] for key in ARGUMENTS[name])))
        cases.append((name, "quorlin scalar call in a loop", lambda f=scalar, r=rows: [f(*a) for a in r], python_n))
        if name == "great_circle_distance":
            for dtype in (np.float64, np.float32):
                typed = [a.astype(dtype) for a in args]
                cases.append((name, f"NumPy haversine, {np.dtype(dtype).name}",
                              lambda a=typed, r=dtype(RADIUS): numpy_haversine(*a, r), n))
        if name == "tile":
            cases.append((name, "NumPy float64 one-liner", lambda a=args: numpy_tile(*a), n))
        peer_name = {"wm_upper_left": "ul", "wm_bounds": "bounds", "tile": "tile"}.get(name)
        for module in (mercantile, utiles):
            if module is not None and peer_name:
                peer = getattr(module, peer_name)
                cases.append((name, f"{module.__name__}.{peer_name} in a loop",
                              lambda f=peer, r=rows: [f(*a) for a in r], python_n))
    return cases


def measure(cases, repeats):
    samples = [[] for _ in cases]
    for _ in range(repeats):  # interleaved: every case once per round
        for index, (_, _, call, elements) in enumerate(cases):
            samples[index].append(timeit.timeit(call, number=1) / elements * 1e9)
    return [statistics.median(s) for s in samples]


def crossover(name, data, limit=4096):
    """Smallest array size at which one ufunc call beats the scalar call in a
    Python loop over the same elements."""
    ufunc, scalar = getattr(qn, name), getattr(quorlin, name)
    for size in (2**k for k in range(0, 13)):
        args = [data[key][:size] for key in ARGUMENTS[name]]
        rows = list(zip(*(a.tolist() for a in args)))
        ufunc_ns = min(timeit.repeat(lambda: ufunc(*args), number=200, repeat=5)) / 200 * 1e9
        loop_ns = min(timeit.repeat(lambda: [scalar(*r) for r in rows], number=200, repeat=5)) / 200 * 1e9
        if ufunc_ns <= loop_ns:
            return size, ufunc_ns, loop_ns
    return limit, None, None


def scaling(n, repeats=5):
    """Seconds for n distances and n tile bounds: one call, two threads on
    halves; then a dask graph that makes its inputs chunk by chunk and sums
    the results, on dask's threaded scheduler with one and two threads and
    on a local cluster of two worker processes (one thread each). Best of
    `repeats`."""
    import concurrent.futures

    data = inputs(n)
    lons, lats = data["lon2"], data["lat2"]
    xs, ys, zs = data["x"], data["y"], data["z"]
    jobs = {
        "great_circle_distance": lambda part: qn.great_circle_distance(2.35, 48.85, lons[part], lats[part]),
        "wm_bounds": lambda part: qn.wm_bounds(xs[part], ys[part], zs[part]),
    }
    rows = []
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for name, job in jobs.items():
            halves = [slice(0, n // 2), slice(n // 2, n)]
            one = min(timeit.repeat(lambda: job(slice(0, n)), number=1, repeat=repeats))
            two = min(timeit.repeat(lambda: list(pool.map(job, halves)), number=1, repeat=repeats))
            rows.append((name, "1 thread", one))
            rows.append((name, "2 threads (ThreadPoolExecutor, halves)", two))
    try:
        import dask
        import dask.array as da
        import distributed
    except ImportError:
        return rows
    import quorlin_dask

    chunks = n // 16

    def graphs():
        k = da.arange(n, chunks=chunks)
        zoom = k % 19 + 2
        return {"great_circle_distance": qn.great_circle_distance(2.35, 48.85, (k * 0.618034) % 358.0 - 179.0,
                                                                   (k * 0.414214) % 170.0 - 85.0).sum(),
                "wm_bounds": quorlin_dask.wm_bounds((k * 7919) % 2**zoom, (k * 104729) % 2**zoom, zoom)[3].sum()}

    def baseline(name):  # the same graph's input arithmetic, without the ufunc
        k = da.arange(n, chunks=chunks)
        return (((k * 0.618034) % 358.0 + (k * 0.414214) % 170.0).sum() if name == "great_circle_distance"
                else (((k * 7919) % 2**(k % 19 + 2)) + (k * 104729) % 2**(k % 19 + 2)).sum())

    for label, scheduler in (("dask, 1 thread", dict(scheduler="threads", num_workers=1)),
                             ("dask, 2 threads", dict(scheduler="threads", num_workers=2))):
        for name, graph in graphs().items():
            seconds = min(timeit.repeat(lambda: graph.compute(**scheduler), number=1, repeat=repeats))
            rows.append((name, label, seconds))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for name, graph in graphs().items():
            graph.compute()  # the workers import the modules
            seconds = min(timeit.repeat(lambda: graph.compute(), number=1, repeat=repeats))
            rows.append((name, "2-worker local cluster", seconds))
    return rows


def chart(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(len(FUNCTIONS), 1, figsize=(9, 2.0 * len(FUNCTIONS)))
    for axis, name in zip(axes, FUNCTIONS):
        mine = [r for r in rows if r[0] == name]
        colours = ["#9ecae1" if "scalar loop" in label else "#1f77b4" if "ufunc" in label else "#bbbbbb" if label.startswith("C++ loop") else
                   "#aec7e8" if "scalar" in label else "#ff7f0e" for _, label, _ in mine]
        axis.barh([label for _, label, _ in mine], [ns for *_, ns in mine], color=colours)
        axis.invert_yaxis()
        axis.set_title(name, fontsize=10, loc="left")
        axis.tick_params(labelsize=8)
        for y, (*_, ns) in enumerate(mine):
            axis.text(ns, y, f" {ns:,.1f}", va="center", fontsize=7)
    axes[-1].set_xlabel("ns per element (median; lower is better)")
    figure.suptitle(f"quorlin_numpy per element, 10^6 elements, CPython {platform.python_version()}, "
                    f"NumPy {np.__version__}", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def targets(rows):
    """The ratios the vector kernels are held to, where they run."""
    ns = {(name, label): v for name, label, v in rows}
    checks = [("great_circle_distance", "quorlin_numpy ufunc", "NumPy haversine, float32", 1.0),
              ("great_circle_distance", "quorlin_numpy ufunc, float32", "NumPy haversine, float32", 1.0),
              ("wm_upper_left", "quorlin_numpy ufunc", "ufunc, scalar loop", 0.35),
              ("wm_bounds", "quorlin_numpy ufunc", "ufunc, scalar loop", 0.35),
              ("wm_tile_expanded_bbox", "quorlin_numpy ufunc", "ufunc, scalar loop", 0.55),
              ("tile", "quorlin_numpy ufunc", "NumPy float64 one-liner", 0.5)]
    print(f"\n{'target':<80} {'ratio':>6} {'at most':>8}")
    for name, label, against, limit in checks:
        if (name, label) in ns and (name, against) in ns:
            ratio = ns[name, label] / ns[name, against]
            print(f"{name + ': ' + label + ' / ' + against:<80} {ratio:>5.2f}x {limit:>7.2f}x"
                  f"{'' if ratio <= limit else '  MISSED'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--elements", type=int, default=10**6)
    parser.add_argument("--python-elements", type=int, default=10**5,
                        help="elements for the cases that loop in Python")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--chart", type=Path, help="write a PNG chart here")
    parser.add_argument("--crossover", action="store_true", help="find the size where a ufunc call pays")
    parser.add_argument("--threads", action="store_true", help="scaling over threads, dask and a local cluster")
    parser.add_argument("--ufunc-json", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()

    if options.ufunc_json:  # the ufunc cases only, as JSON: for the scalar-loop child below
        cases = [c for c in make_cases(inputs(options.elements), build_loop(), options.elements, 1)
                 if "ufunc" in c[1]]
        print(json.dumps([[name, label, ns] for (name, label, _, _), ns in
                          zip(cases, measure(cases, options.repeats))]))
        return 0

    if options.threads:
        n = options.elements if options.elements != 10**6 else 10**7
        rows = scaling(n)
        print(f"CPython {platform.python_version()}, NumPy {np.__version__}, {os.cpu_count()} cores, "
              f"{n:,} elements, best of 5")
        print(f"{'function':<24} {'how':<40} {'seconds':>8} {'speed-up':>9}")
        # Speed-ups against one thread doing the same work: NumPy arrays in
        # memory for the threads, the same dask graph (inputs made chunk by
        # chunk) for the schedulers.
        for name, label, seconds in rows:
            base = "dask, 1 thread" if label.startswith("dask") or "cluster" in label else "1 thread"
            one = next(s for f, lab, s in rows if f == name and lab == base)
            print(f"{name:<24} {label:<40} {seconds:>8.3f} {one / seconds:>8.2f}x")
        return 0

    data = inputs(options.elements)
    cases = make_cases(data, build_loop(), options.elements, options.python_elements)
    medians = measure(cases, options.repeats)
    rows = [(name, label, ns) for (name, label, _, _), ns in zip(cases, medians)]
    # Where vector kernels run, the same ufuncs with the scalar loops forced,
    # measured in a child process (the choice is made at import).
    if any(reason.startswith("AVX2") for reason in qn.loops().values()):
        child = subprocess.run([sys.executable, __file__, "--ufunc-json", "--elements", str(options.elements),
                                "--repeats", str(options.repeats)], env={**os.environ, "QUORLIN_SCALAR_LOOPS": "1"},
                               capture_output=True, text=True, check=True)
        scalar_rows = {(name, label): ns for name, label, ns in json.loads(child.stdout)}
        merged = []
        for name, label, ns in rows:
            merged.append((name, label, ns))
            if (name, label) in scalar_rows and qn.loops()[name].startswith("AVX2"):
                merged.append((name, label.replace("ufunc", "ufunc, scalar loop")
                               if label != "quorlin_numpy ufunc" else "ufunc, scalar loop",
                               scalar_rows[name, label]))
        rows = merged
        print("loops: " + "; ".join(sorted({reason for reason in qn.loops().values()})))

    print(f"CPython {platform.python_version()}, NumPy {np.__version__}, {platform.machine()}, "
          f"{options.elements:,} elements, median of {options.repeats} interleaved repeats")
    print(f"{'function':<34} {'implementation':<32} {'ns/element':>10} {'vs C++ loop':>12}")
    for name, label, ns in rows:
        base = next(v for n, lab, v in rows if n == name and lab == "C++ loop")
        print(f"{name:<34} {label:<32} {ns:>10.1f} {ns / base:>11.2f}x")
    for name in FUNCTIONS[:2]:
        general = next(v for n, lab, v in rows if n == name and lab == "quorlin_numpy ufunc")
        fixed = next(v for n, lab, v in rows if n == name and lab == "ufunc, one point to many")
        print(f"{name}: one point to many is {fixed / general:.2f}x the general per-element time")
    targets(rows)

    if options.crossover:
        print("\nSmallest size at which one ufunc call beats the scalar call in a Python loop:")
        for name in ("great_circle_distance", "wm_bounds"):
            size, ufunc_ns, loop_ns = crossover(name, data)
            if ufunc_ns is None:
                print(f"{name:<34} not below {size}")
            else:
                print(f"{name:<34} {size:>5} elements: ufunc {ufunc_ns:,.0f} ns, loop {loop_ns:,.0f} ns")

    if options.chart:
        options.chart.parent.mkdir(parents=True, exist_ok=True)
        chart(rows, options.chart)
        print(f"\nchart written to {options.chart}")


if __name__ == "__main__":
    sys.exit(main())
