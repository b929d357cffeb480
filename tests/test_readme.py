"""The README's interactive examples run as shown."""

import doctest
import re
from pathlib import Path

import pytest

pytest.importorskip("numpy")
pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples(capfd):
    blocks = re.findall(r"```pycon\n(.*?)```", README.read_text(), re.S)
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    # One session: later examples use what earlier ones imported.
    runner.run(parser.get_doctest("\n".join(blocks), {}, "README", str(README), 0), out=report.append)
    capfd.readouterr()  # the failure report of the refused example
    assert runner.failures == 0, "".join(report)
    assert runner.tries > 10
