"""Distances from Paris to 10**8 random points on the sphere, as a histogram,
without ever holding the points in memory: dask makes them chunk by chunk
(10**7 points, 160 MB of coordinates, at a time), quorlin_numpy measures
each chunk without the interpreter lock, and the per-chunk histograms are
added up.

    python examples/dask_histogram.py                      # local threads, every core
    python examples/dask_histogram.py --threads 1          # one thread
    python examples/dask_histogram.py --local-cluster 2    # a 2-worker cluster on this machine
    python examples/dask_histogram.py --scheduler tcp://10.0.0.5:8786   # an existing cluster

Needs pip install "quorlin[dask]".
"""

import argparse
import time

import dask
import dask.array as da
import numpy as np
from dask.diagnostics import ProgressBar

import quorlin_numpy as qn

PARIS = (2.3522, 48.8566)


def histogram(points, chunk, bins):
    rng = da.random.default_rng(2026)
    # Uniform on the sphere: longitude uniform, latitude from an arcsine.
    lon = rng.uniform(-179.999, 179.999, points, chunks=chunk)
    lat = np.degrees(np.arcsin(rng.uniform(-0.99999, 0.99999, points, chunks=chunk)))
    metres = qn.great_circle_distance(*PARIS, lon, lat)  # lazy: a dask array
    return da.histogram(metres, bins=bins, range=(0.0, 20_040_000.0))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=10**8)
    parser.add_argument("--chunk", type=int, default=10**7)
    parser.add_argument("--bins", type=int, default=20)
    parser.add_argument("--threads", type=int, help="threads of the local scheduler (default: every core)")
    parser.add_argument("--scheduler", help="address of a running dask.distributed scheduler")
    parser.add_argument("--local-cluster", type=int, metavar="WORKERS",
                        help="start a cluster of this many one-thread worker processes on this machine")
    options = parser.parse_args()

    counts, edges = histogram(options.points, options.chunk, options.bins)
    start = time.perf_counter()
    if options.scheduler or options.local_cluster:
        from distributed import Client, LocalCluster, progress

        cluster = (None if options.scheduler else
                   LocalCluster(n_workers=options.local_cluster, threads_per_worker=1, processes=True,
                                host="127.0.0.1", dashboard_address=None))
        with Client(options.scheduler or cluster) as client:
            start = time.perf_counter()
            counts = client.compute(counts)
            progress(counts)
            counts = counts.result()
        if cluster is not None:
            cluster.close()
        where = options.scheduler or f"a local cluster of {options.local_cluster} worker processes"
    else:
        with ProgressBar(), dask.config.set(scheduler="threads", num_workers=options.threads):
            counts = counts.compute()
        threads = f"{options.threads} thread(s)" if options.threads else "a thread per core"
        where = f"the local threaded scheduler, {threads}"
    seconds = time.perf_counter() - start

    edges = np.asarray(edges)
    print(f"\n{options.points:,} points, {seconds:.1f} s on {where} "
          f"({seconds / options.points * 1e9:.1f} ns per point)")
    print("distance from Paris, km      points")
    for low, high, count in zip(edges[:-1], edges[1:], counts):
        bar = "#" * int(60 * count / counts.max())
        print(f"{low / 1000:7.0f} - {high / 1000:6.0f} {count:12,} {bar}")


if __name__ == "__main__":
    main()
