"""Instruction budgets: what each call costs inside the module, counted by
callgrind, against the figures in bench/budgets.toml.

Counted are the instructions executed inside the module's call entry (for
the scalar functions: binding, conversion, arithmetic, result objects,
error handling) and inside the ufunc loops (per element, 10**4-element
float64 or int64 arrays). What the interpreter does around a call is left
out, so the figures move only when the module's code does. For the same
binary, interpreter and inputs they repeat exactly (hash seed fixed).

    python bench/run.py --check-budgets     fails if any figure exceeds its budget by more than 3 %
    python bench/run.py --update-budgets    writes the measured figures as the new budgets
"""

import os
import platform
import re
import subprocess
import sys
import tempfile
from pathlib import Path

BUDGETS = Path(__file__).resolve().parent / "budgets.toml"
TOLERANCE = 0.03
CALLS = 10_000
ELEMENTS = 10_000
UFUNC_CALLS = 5

SCALAR_ARGUMENTS = {
    "great_circle_distance": dict(lon1=2.3522, lat1=48.8566, lon2=139.6917, lat2=35.6895),
    "great_circle_distance_with_radius": dict(lon1=2.3522, lat1=48.8566, lon2=139.6917, lat2=35.6895,
                                              radius=6371000.0),
    "wm_upper_left": dict(x=2074, y=1409, z=12),
    "wm_bounds": dict(x=2074, y=1409, z=12),
    "wm_tile_expanded_bbox": dict(x=2074, y=1409, z=12, expansion_meters=500.0),
}
# quorlin_tiles, the same way; the points and the box are over Paris.
TILES_ARGUMENTS = {
    "tile": dict(lon=2.3522, lat=48.8566, z=16),
    "bounding_tile": dict(west=2.25, south=48.815, east=2.42, north=48.902),
    "tiles": dict(west=2.25, south=48.815, east=2.42, north=48.902, zooms=16),
    "count_tiles": dict(west=2.25, south=48.815, east=2.42, north=48.902, zooms=16),
    "parent": dict(x=33199, y=22547, z=16),
    "children": dict(x=33199, y=22547, z=16),
    "neighbors": dict(x=33199, y=22547, z=16),
    "quadkey": dict(x=33199, y=22547, z=16),
    "quadkey_to_tile": dict(key="1202200110122033"),
}

# One process per group; each function has loops or an entry of its own, so
# their costs are told apart by symbol.
SCALAR_SCRIPT = """
import importlib
module = importlib.import_module({module!r})
for name, arguments in {arguments!r}.items():
    function = getattr(module, name)
    values = tuple(arguments.values())
    for _ in range({calls}):
        {call}
"""
UFUNC_SCRIPT = """
import numpy as np
import quorlin_numpy as qn
rng = np.random.default_rng(1)
n = {elements}
zoom = rng.integers(2, 21, n)
columns = dict(lon1=rng.uniform(-179, 179, n), lat1=rng.uniform(-85, 85, n),
               lon2=rng.uniform(-179, 179, n), lat2=rng.uniform(-85, 85, n), radius=np.full(n, 6371000.0),
               x=rng.integers(1, 2**zoom - 1), y=rng.integers(0, 2**zoom), z=zoom,
               expansion=rng.uniform(0, 5000, n))
calls = dict(great_circle_distance=("lon1", "lat1", "lon2", "lat2"),
             great_circle_distance_with_radius=("lon1", "lat1", "lon2", "lat2", "radius"),
             wm_upper_left=("x", "y", "z"), wm_bounds=("x", "y", "z"),
             wm_tile_expanded_bbox=("x", "y", "z", "expansion"), valid_coordinates=("lon1", "lat1"),
             tile=("lon1", "lat1", "z"))
for name, keys in calls.items():
    for _ in range({calls}):
        getattr(qn, name)(*(columns[k] for k in keys))
"""

SCALAR_SYMBOL = re.compile(r"call_entry<.*function_body<.*::([A-Z_]+)>")
UFUNC_SYMBOLS = [
    (re.compile(r"distance_loop<double, false>"), "great_circle_distance"),
    (re.compile(r"distance_loop<double, true>"), "great_circle_distance_with_radius"),
    (re.compile(r"tile_loop<long, double, quorlin::ufuncs::UpperLeft>"), "wm_upper_left"),
    (re.compile(r"tile_loop<long, double, quorlin::ufuncs::Bounds>"), "wm_bounds"),
    (re.compile(r"tile_loop<long, double, quorlin::ufuncs::ExpandedBox>"), "wm_tile_expanded_bbox"),
    (re.compile(r"valid_coordinates_loop<double>"), "valid_coordinates"),
    (re.compile(r"tile_of_loop<double>"), "tile"),
]


def inclusive_costs(script, collect, environment=None):
    """{symbol: instructions} for the functions matching `collect`, run once
    under callgrind with collection on only inside them."""
    with tempfile.TemporaryDirectory() as directory:
        out = Path(directory) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        f"--toggle-collect={collect}", sys.executable, "-c", script],
                       check=True, capture_output=True,
                       env={**os.environ, "PYTHONHASHSEED": "0", **(environment or {})})
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out)],
                                check=True, capture_output=True, text=True).stdout
    costs = {}
    for line in report.splitlines():
        match = re.match(r"\s*([\d,]+) \([^)]*\)\s+\S*?:(.*?)(?: \[.*\])?$", line)
        if match:
            costs[match.group(2)] = int(match.group(1).replace(",", ""))
    return costs


def measure():
    """{(section, name): instructions per call or per element}"""
    figures = {}
    for section, call in (("positional", "function(*values)"), ("keyword", "function(**arguments)")):
        for module, arguments in (("quorlin", SCALAR_ARGUMENTS), ("quorlin_tiles", TILES_ARGUMENTS)):
            script = SCALAR_SCRIPT.format(module=module, arguments=arguments, calls=CALLS, call=call)
            for symbol, cost in inclusive_costs(script, "*call_entry*").items():
                match = SCALAR_SYMBOL.search(symbol)
                if match:  # clones (.cold parts) are inside the entry's own cost
                    key = (section, match.group(1).lower())
                    figures[key] = max(figures.get(key, 0), cost / CALLS)
    # The scalar loops (the same on every x86-64 CPU), then, where this
    # machine chooses them, the vector kernels.
    script = UFUNC_SCRIPT.format(elements=ELEMENTS, calls=UFUNC_CALLS)
    sections = [("ufunc per element", {"QUORLIN_SCALAR_LOOPS": "1"})]
    if kernel_choice().startswith("AVX2"):
        sections.append(("ufunc per element, vector kernel", {}))
    for section, environment in sections:
        for symbol, cost in inclusive_costs(script, "*quorlin::ufuncs::*_loop*", environment).items():
            for pattern, name in UFUNC_SYMBOLS:
                if pattern.search(symbol):
                    figures[(section, name)] = cost / (UFUNC_CALLS * ELEMENTS)
    return figures


def kernel_choice():
    """The loop quorlin_numpy chooses for the distance here, and why."""
    return subprocess.run([sys.executable, "-c", "import quorlin_numpy as q; print(q.loops()['great_circle_distance'])"],
                          check=True, capture_output=True, text=True).stdout.strip()


def interpreter():
    """The interpreter and the C runtime: the float functions are the
    runtime's, and their instruction counts change with it."""
    library, version = platform.libc_ver()
    return f"CPython {platform.python_version()}, {library or 'unknown C runtime'} {version}".rstrip()


def read_budgets():
    import tomllib

    data = tomllib.loads(BUDGETS.read_text())
    budgets = {(section, name): value for section, table in data["budgets"].items()
               for name, value in table.items()}
    # The kernels' figures hold for the kernel they were measured with.
    if data.get("kernel") != kernel_choice():
        budgets = {key: value for key, value in budgets.items() if "vector kernel" not in key[0]}
    return data["interpreter"], budgets


def write_budgets(figures):
    lines = [
        "# Instructions per call executed inside the module (scalar functions) and",
        "# per element inside the ufunc loops, counted by callgrind. Checked by",
        "# `python bench/run.py --check-budgets`, which fails on a figure more than",
        "# 3 % over its budget. Written by `python bench/run.py --update-budgets`:",
        "# commit a change here with the reason for it.",
        "# The kernel's figures are checked only where quorlin_numpy chooses the",
        "# same kernel (quorlin_numpy.loops()).",
        f'interpreter = "{interpreter()}"',
        f'kernel = "{kernel_choice()}"',
    ]
    for section in ("positional", "keyword", "ufunc per element", "ufunc per element, vector kernel"):
        lines.append(f'\n[budgets."{section}"]')
        for (kind, name), value in sorted(figures.items()):
            if kind == section:
                lines.append(f"{name} = {round(value)}")
    BUDGETS.write_text("\n".join(lines) + "\n")


def check(update=False):
    figures = measure()
    if update:
        write_budgets(figures)
        print(f"budgets written to {BUDGETS} for {interpreter()}")
        return 0
    named, budgets = read_budgets()
    if named != interpreter():
        # Instruction counts hold for one interpreter and one C runtime; on
        # another, say so plainly and measure without judging.
        print(f"skipped: the budgets are for {named}; this is {interpreter()}, so no comparison is made")
        for (kind, name), measured in sorted(figures.items()):
            print(f"{kind:<34} {name:<34} {measured:>9.1f}")
        return 0
    print(f"Instructions per call inside the module, {interpreter()} (budget +{TOLERANCE:.0%} allowed):")
    print(f"{'kind':<34} {'function':<34} {'budget':>8} {'measured':>9} {'change':>8}")
    failed = []
    for key, budget in budgets.items():
        measured = figures.get(key)
        if measured is None:
            failed.append(key)
            print(f"{key[0]:<34} {key[1]:<34} {budget:>8} {'missing':>9}")
            continue
        change = measured / budget - 1
        over = change > TOLERANCE
        if over:
            failed.append(key)
        print(f"{key[0]:<34} {key[1]:<34} {budget:>8} {measured:>9.1f} {change:>+7.1%}{'  OVER' if over else ''}")
    if failed:
        print(f"\n{len(failed)} figure(s) over budget. If the cost is intended, run "
              "`python bench/run.py --update-budgets` and commit budgets.toml with the reason.")
        return 1
    return 0
