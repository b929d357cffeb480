"""Every call path, many times, for the leak checkers (run with the module
importable and tests/ on the path)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

from call_paths import PATHS, outcome_of  # noqa: E402

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 200
devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(devnull, 2)  # the failure reports of the panicking paths
for _ in range(ROUNDS):
    for name, (call, expected) in PATHS.items():
        outcome = outcome_of(call)
        assert outcome == expected, (name, outcome, expected)
print(f"{ROUNDS} rounds of {len(PATHS)} paths", file=sys.stdout)
