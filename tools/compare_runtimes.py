"""How much two C runtimes (or two CPUs) disagree on quorlin's answers.

    python tools/compare_runtimes.py dump answers-here.npz
    python tools/compare_runtimes.py compare answers-here.npz answers-there.npz

`dump` evaluates every function on the same 10^6 inputs per function (made
with a seeded PCG64, which NumPy keeps stable) and saves the answers;
`compare` prints, per function and output, the share of answers whose bits
differ, the largest difference in float32 units in the last place, and
the largest difference itself (ulps mislead near zero, where boxes'
edges cancel to a few metres of longitude).
"""

import sys

import numpy as np

import quorlin_numpy as qn

N = 10**6


def inputs():
    rng = np.random.Generator(np.random.PCG64(20261208))
    lon1, lon2 = rng.uniform(-180, 180, (2, N)).astype(np.float32)
    lat1, lat2 = rng.uniform(-90, 90, (2, N)).astype(np.float32)
    z = rng.integers(0, 33, N)
    x = (rng.random(N) * 2.0**z).astype(np.int64)
    y = (rng.random(N) * 2.0**z).astype(np.int64)
    near = rng.uniform(0, 5e6, N).astype(np.float32)
    far = (10 ** rng.uniform(7, 12, N)).astype(np.float32)  # angular radii past 1.5 rad
    return lon1, lat1, lon2, lat2, x, y, z, near, far


def answers():
    lon1, lat1, lon2, lat2, x, y, z, near, far = inputs()
    f32 = {"dtype": np.float32}
    with np.errstate(invalid="ignore"):
        out = {"great_circle_distance": qn.great_circle_distance(lon1, lat1, lon2, lat2)}
        for name, values in zip(("lon", "lat"), qn.wm_upper_left(x, y, z, **f32)):
            out[f"wm_upper_left {name}"] = values
        for name, values in zip(("west", "south", "east", "north"), qn.wm_bounds(x, y, z, **f32)):
            out[f"wm_bounds {name}"] = values
        for label, expansion in (("up to 5000 km", near), ("10^7 to 10^12 m", far)):
            box = qn.wm_tile_expanded_bbox(x, y, z, expansion, **f32)
            for name, values in zip(("west", "south", "east", "north"), box):
                out[f"wm_tile_expanded_bbox {name}, expansion {label}"] = values
    return out


def ordered(values):
    n = values.view(np.int32).astype(np.int64)
    return np.where(n < 0, -(n & 0x7FFFFFFF), n)


def compare(here, there):
    print(f"{'answer':<58} {'differ':>8} {'max ulps':>9} {'max difference':>15}")
    for name in here.files:
        a, b = here[name], there[name]
        both_nan = np.isnan(a) & np.isnan(b)
        differ = (a.view(np.int32) != b.view(np.int32)) & ~both_nan
        numbers = differ & ~np.isnan(a) & ~np.isnan(b)
        ulps = np.abs(ordered(a) - ordered(b))[numbers]
        gap = np.abs(a.astype(np.float64) - b)[numbers]
        print(f"{name:<58} {differ.mean():>8.3%} {ulps.max() if ulps.size else 0:>9} "
              f"{gap.max() if gap.size else 0:>15.3g}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["dump"]:
        np.savez(sys.argv[2], **answers())
    elif sys.argv[1:2] == ["compare"]:
        compare(np.load(sys.argv[2]), np.load(sys.argv[3]))
    else:
        sys.exit(__doc__)
