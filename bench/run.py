"""quorlin's benchmark: ns per call against the interpreter's floor, the
arithmetic alone, and the libraries that do the same jobs.

    python bench/run.py [--quick] [--callgrind] [--chart docs/benchmark.png]
    python bench/run.py --check-budgets | --update-budgets

Builds what it needs under build/bench (a no-op extension with the same
calling convention, and the C++ timing of the arithmetic), times every case
in one process with the repeats interleaved, and prints medians with their
min-max. quorlin itself must be importable (pip install . first).
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench" / sysconfig.get_config_var("SOABI")
sys.path.insert(0, str(Path(__file__).resolve().parent))

import budgets  # noqa: E402
import peers  # noqa: E402
import quorlin  # noqa: E402

CALLS = {
    "great_circle_distance": (("lon1", "lat1", "lon2", "lat2"), (2.3522, 48.8566, 139.6917, 35.6895)),
    "great_circle_distance_with_radius": (
        ("lon1", "lat1", "lon2", "lat2", "radius"),
        (2.3522, 48.8566, 139.6917, 35.6895, 6371000.0),
    ),
    "wm_upper_left": (("x", "y", "z"), (2074, 1409, 12)),
    "wm_bounds": (("x", "y", "z"), (2074, 1409, 12)),
    "wm_tile_expanded_bbox": (("x", "y", "z", "expansion_meters"), (2074, 1409, 12, 500.0)),
}


def run(command, **kwargs):
    return subprocess.run(command, check=True, text=True, capture_output=True, **kwargs).stdout


def build_floor():
    """The no-op extension, compiled for this interpreter."""
    BUILD.mkdir(parents=True, exist_ok=True)
    target = BUILD / ("quorlin_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    source = ROOT / "bench" / "floor.c"
    if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
        run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC",
             "-I" + sysconfig.get_paths()["include"], str(source), "-o", str(target)])
    sys.path.insert(0, str(BUILD))
    import quorlin_floor

    return quorlin_floor


def arithmetic_ns():
    """ns per call of the arithmetic alone, on the benchmark's own inputs."""
    binary = BUILD.parent / "arithmetic"
    sources = [ROOT / "bench" / "arithmetic.cpp", ROOT / "src" / "geodesy" / "geodesy.cpp",
               ROOT / "src" / "failure" / "contract.cpp", ROOT / "src" / "failure" / "report.cpp",
               ROOT / "src" / "failure" / "platform.cpp"]
    if not binary.exists() or any(binary.stat().st_mtime < s.stat().st_mtime for s in sources):
        run([os.environ.get("CXX", "g++"), "-std=c++20", "-O3", "-ffp-contract=off",
             "-I" + str(ROOT / "src"), *map(str, sources), "-o", str(binary)])
    times = {}
    for line in run([str(binary), "fixed"]).splitlines():
        name, ns = line.split()
        times[name] = float(ns)
    return times


def make_cases(floor):
    """[(function, label, kind, callable, args, kwargs)]"""
    cases = []
    peer_table = peers.load()
    for name, (names, args) in CALLS.items():
        kwargs = dict(zip(names, args))
        function = getattr(quorlin, name)
        cases.append((name, "quorlin", "positional", function, args, {}))
        cases.append((name, "quorlin", "keyword", function, (), kwargs))
        cases.append((name, "floor", "positional", getattr(floor, name), args, {}))
        cases.append((name, "floor", "keyword", getattr(floor, name), (), kwargs))
        for label, peer in peer_table[name]:
            cases.append((name, label, "positional", peer, args, {}))
    return cases


def timer_for(call, args, kwargs):
    # Arguments are written into the statement's namespace so the timed
    # statement is a single call, as in a user's loop.
    arg_names = [f"a{i}" for i in range(len(args))]
    namespace = {"f": call, **dict(zip(arg_names, args)), **{f"k_{k}": v for k, v in kwargs.items()}}
    text = ", ".join(arg_names + [f"{k}=k_{k}" for k in kwargs])
    return timeit.Timer(f"f({text})", globals=namespace)


def measure(cases, repeats, target_seconds):
    timers = [timer_for(call, args, kwargs) for _, _, _, call, args, kwargs in cases]
    loops = []
    for timer in timers:
        number, _ = timer.autorange()
        loops.append(max(1, int(number * target_seconds / 0.2)))
    samples = [[] for _ in cases]
    for _ in range(repeats):  # interleaved: every case once per round
        for index, timer in enumerate(timers):
            samples[index].append(timer.timeit(loops[index]) / loops[index] * 1e9)
    return samples


def callgrind_instructions(function_name, module="quorlin", low=2000, high=12000):
    """Instructions per call, from the difference of two callgrind runs."""
    names, args = CALLS[function_name]
    counts = []
    for calls in (low, high):
        out = BUILD / f"callgrind.{module}.{function_name}.{calls}"
        script = (f"import sys; sys.path.insert(0, {str(BUILD)!r}); import {module} as m\n"
                  f"f = m.{function_name}; a = {args!r}\n"
                  f"for _ in range({calls}): f(*a)\n")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                        "-c", script], check=True, capture_output=True)
        summary = next(line for line in out.read_text().splitlines() if line.startswith("summary:"))
        counts.append(int(summary.split()[1]))
        out.unlink()
    return (counts[1] - counts[0]) / (high - low)


def chart(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    functions = list(CALLS)
    figure, axes = plt.subplots(len(functions), 1, figsize=(9, 2.1 * len(functions)))
    for axis, name in zip(axes, functions):
        mine = [r for r in rows if r["function"] == name]
        labels = [f'{r["implementation"]} ({r["kind"]})' if r["implementation"] in ("quorlin", "floor")
                  else r["implementation"] for r in mine]
        medians = [r["median_ns"] for r in mine]
        colours = ["#1f77b4" if r["implementation"] == "quorlin" else
                   "#bbbbbb" if r["implementation"] == "floor" else "#ff7f0e" for r in mine]
        axis.barh(labels, medians, color=colours)
        axis.set_xscale("log")
        axis.invert_yaxis()
        axis.set_title(name, fontsize=10, loc="left")
        axis.tick_params(labelsize=8)
        for y, value in enumerate(medians):
            axis.text(value, y, f" {value:,.0f}", va="center", fontsize=7)
    axes[-1].set_xlabel("ns per call (median, log scale; lower is better)")
    figure.suptitle(f"quorlin vs. the interpreter's floor and peers, CPython {platform.python_version()}",
                    fontsize=11)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def markdown_table(rows):
    """Ratios for the README: how many times a call takes quorlin's time."""
    lines = ["| function | quorlin keyword call | floor | peers (times slower than quorlin) |",
             "|---|---|---|---|"]
    for name in CALLS:
        mine = [r for r in rows if r["function"] == name]
        base = next(r["median_ns"] for r in mine if r["implementation"] == "quorlin" and r["kind"] == "positional")
        keyword = next(r["median_ns"] for r in mine if r["implementation"] == "quorlin" and r["kind"] == "keyword")
        floor = next(r["median_ns"] for r in mine if r["implementation"] == "floor" and r["kind"] == "positional")
        peers = ", ".join(f'{r["implementation"]} {r["median_ns"] / base:.1f}x' for r in mine
                          if r["implementation"] not in ("quorlin", "floor"))
        lines.append(f"| `{name}` | {keyword / base:.2f}x | {floor / base:.2f}x | {peers} |")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter repeats")
    parser.add_argument("--callgrind", action="store_true", help="also count instructions per call")
    parser.add_argument("--chart", type=Path, help="write a PNG chart here")
    parser.add_argument("--json", type=Path, help="write the figures here")
    parser.add_argument("--markdown", action="store_true", help="also print the README's ratio table")
    parser.add_argument("--check-budgets", action="store_true",
                        help="count instructions per call under callgrind against bench/budgets.toml")
    parser.add_argument("--update-budgets", action="store_true", help="write the measured counts as budgets")
    options = parser.parse_args()
    if options.check_budgets or options.update_budgets:
        return budgets.check(update=options.update_budgets)

    floor = build_floor()
    arithmetic = arithmetic_ns()
    cases = make_cases(floor)
    repeats, seconds = (5, 0.05) if options.quick else (15, 0.2)
    gc_enabled = gc.isenabled()
    samples = measure(cases, repeats, seconds)  # timeit turns the collector off while timing

    rows = []
    for (name, label, kind, *_), values in zip(cases, samples):
        rows.append({"function": name, "implementation": label, "kind": kind,
                     "median_ns": statistics.median(values), "min_ns": min(values), "max_ns": max(values)})

    def median(name, label, kind="positional"):
        return next(r["median_ns"] for r in rows
                    if r["function"] == name and r["implementation"] == label and r["kind"] == kind)

    print(f"CPython {platform.python_version()} on {platform.machine()}, {repeats} interleaved repeats; "
          f"the collector is off while timing (timeit), {'on' if gc_enabled else 'off'} otherwise.")
    print(f"{'function':<34} {'implementation':<24} {'kind':<10} {'median ns':>10} {'min-max':>15} {'ratio':>7}")
    for row in rows:
        ratio = row["median_ns"] / median(row["function"], "quorlin")
        print(f"{row['function']:<34} {row['implementation']:<24} {row['kind']:<10} {row['median_ns']:>10.1f} "
              f"{row['min_ns']:>7.1f}-{row['max_ns']:<7.1f} {ratio:>6.2f}x")

    print("\nThe boundary's own cost (quorlin - floor - arithmetic alone), ns per call:")
    print(f"{'function':<34} {'arithmetic':>10} {'positional':>11} {'keyword':>9}")
    boundary = {}
    for name in CALLS:
        positional = median(name, "quorlin") - median(name, "floor") - arithmetic[name]
        keyword = median(name, "quorlin", "keyword") - median(name, "floor", "keyword") - arithmetic[name]
        boundary[name] = {"arithmetic_ns": arithmetic[name], "positional_ns": positional, "keyword_ns": keyword}
        print(f"{name:<34} {arithmetic[name]:>10.1f} {positional:>11.1f} {keyword:>9.1f}")

    instructions = {}
    if options.callgrind:
        print("\nInstructions per positional call (callgrind):")
        for name in CALLS:
            mine, bare = callgrind_instructions(name), callgrind_instructions(name, "quorlin_floor")
            instructions[name] = {"quorlin": mine, "floor": bare}
            print(f"{name:<34} quorlin {mine:>7.0f}   floor {bare:>6.0f}   difference {mine - bare:>6.0f}")

    if options.markdown:
        print("\n" + markdown_table(rows))

    if options.json:
        options.json.parent.mkdir(parents=True, exist_ok=True)
        options.json.write_text(json.dumps({"python": platform.python_version(), "rows": rows,
                                            "boundary": boundary, "instructions": instructions}, indent=1))
    if options.chart:
        options.chart.parent.mkdir(parents=True, exist_ok=True)
        chart(rows, options.chart)
        print(f"\nchart written to {options.chart}")


if __name__ == "__main__":
    sys.exit(main())
