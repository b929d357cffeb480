"""The README's interactive examples run as shown.

The float functions are the C runtime's, and runtimes differ in the last
bits (the README's "What bit for bit covers"). The examples show this
machine's output; on another runtime a number may differ from the one shown
by at most ULPS float32 units in the last place, and nothing else may
differ.
"""

import doctest
import math
import re
import struct
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
pytest.importorskip("polars")
pytest.importorskip("pyarrow")

README = Path(__file__).resolve().parent.parent / "README.md"
ULPS = 4
NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:e[-+]?\d+)?|\bnan\b|\binf\b", re.I)


def float32_steps(a, b):
    """How many float32 values lie between a and b, each first rounded to float32."""
    def ordered(x):
        (n,) = struct.unpack("<i", struct.pack("<f", x))
        return n if n >= 0 else -(n & 0x7FFFFFFF)
    return abs(ordered(a) - ordered(b))


def numbers_within(want, got, ulps):
    """Equal text around the numbers, and each number within `ulps`."""
    wanted, gotten = NUMBER.findall(want), NUMBER.findall(got)
    if len(wanted) != len(gotten) or " ".join(NUMBER.split(want)).split() != " ".join(NUMBER.split(got)).split():
        return False
    for w, g in zip(wanted, gotten):
        w, g = float(w), float(g)
        if math.isnan(w) or math.isnan(g) or math.isinf(w) or math.isinf(g) or abs(w) > 3e38:
            if not (w == g or math.isnan(w) and math.isnan(g)):
                return False
        elif float32_steps(w, g) > ulps:
            return False
    return True


class LastPlaceChecker(doctest.OutputChecker):
    def check_output(self, want, got, optionflags):
        return super().check_output(want, got, optionflags) or numbers_within(want, got, ULPS)


@pytest.mark.parametrize("want, got, same", [
    ("(2.28515625, 48.806861877441406)", "(2.28515625, 48.80686569213867)", True),   # 1 ulp
    ("111195.0703125", "111195.0859375", True),
    ("111195.0703125", "111195.2", False),                                            # 16 ulps
    ("0     344086.25\n", "0    3.440862e+05\n", True),                                # pandas' other format
    ("array([ True, False])", "array([ True,  True])", False),
    ("(nan, 90.0)", "(1.0, 90.0)", False),
])
def test_last_place_checker(want, got, same):
    assert LastPlaceChecker().check_output(want, got, doctest.NORMALIZE_WHITESPACE) is same


# The README says this warning comes; it is not news here.
@pytest.mark.filterwarnings("ignore:invalid value encountered in tile:RuntimeWarning")
def test_readme_examples(capfd):
    blocks = re.findall(r"```pycon\n(.*?)```", README.read_text(), re.S)
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(checker=LastPlaceChecker(),
                                   optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    # One session: later examples use what earlier ones imported.
    runner.run(parser.get_doctest("\n".join(blocks), {}, "README", str(README), 0), out=report.append)
    capfd.readouterr()  # the failure report of the refused example
    assert runner.failures == 0, "".join(report)
    assert runner.tries > 10
