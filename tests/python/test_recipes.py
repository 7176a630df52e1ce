"""The README's pandas recipe, run as the README shows it (the code block is
read from README.md, so the two cannot drift apart): its frame holds the
input rows, constants repeated down every row."""

import json
import math
import re
from pathlib import Path

import pytest

import zorvat_codec

ROOT = Path(__file__).resolve().parents[2]

# pandas is imported by the recipe, inside the test; like the Dask tests this
# stays out of the AddressSanitizer stage, which would leak-check pandas.
pytestmark = pytest.mark.thirdparty


def readme_block(marker):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    found = re.search(rf"^<!-- recipe: {marker}\b.*-->\n```python\n(.*?)^```$", readme, re.M | re.S)
    assert found, f"README.md has no code block after <!-- recipe: {marker} -->"
    return found.group(1)


def same(cell, value):
    if value is None:  # pandas' missing value for the column's type
        return cell is None or (isinstance(cell, float) and math.isnan(cell))
    return bool(cell == value)


def check_frame(frame, rows):
    """One frame row per input row, one column per key with a value somewhere."""
    keys = {k for row in rows for k, v in row.items() if v is not None}
    assert sorted(frame.columns) == sorted(keys)
    assert len(frame) == len(rows)
    for i, row in enumerate(rows):
        for key in keys:
            cell = frame[key].iloc[i]
            assert same(cell, row.get(key)), (i, key, cell, row.get(key))


CASES = [
    ("list constant as long as the table", [{"id": 1, "xs": [7, 8]}, {"id": 2, "xs": [7, 8]}]),
    ("object and text constants", [{"o": {"a": [1]}, "t": "x", "n": 1}, {"t": "x", "o": {"a": [1]}, "n": 2}]),
    ("number and boolean constants", [{"n": 1.5, "b": True, "v": 1}, {"n": 1.5, "b": True, "v": None}]),
    ("absent cells and a null column", [{"a": 1, "z": None}, {"b": "y"}, {"a": 3, "b": "w", "z": None}]),
    ("nested varying values", [{"v": [1, {"k": 2}]}, {"v": {"k": [3]}}, {"v": "s"}]),
    ("one row keeps every column", [{"a": 1, "b": "c"}]),
    ("no rows", []),
]


@pytest.fixture(scope="module")
def recipe():
    """The README block's names, after running it from the repository root as
    the README says (it reads examples/rows.json)."""
    pytest.importorskip("pandas")
    code = readme_block("pandas")
    namespace = {"__name__": "readme_recipe"}
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(ROOT)
        exec(compile(code, "README.md (pandas recipe)", "exec"), namespace)
    return namespace


def test_readme_example(recipe):
    check_frame(recipe["frame"], json.loads((ROOT / "examples" / "rows.json").read_bytes()))


@pytest.mark.parametrize("rows", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_to_frame(recipe, rows):
    check_frame(recipe["to_frame"](zorvat_codec.columnarize(json.dumps(rows).encode())), rows)
