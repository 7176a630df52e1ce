"""bench/pycolumnarize.py, the peers' columnarization in the benchmark,
agrees with the module on the cases where a fast pure-Python shortcut
could go wrong, so that the benchmark compares like with like."""

import json
import os
import sys

import pytest

from zorvat_codec import columnarize

# The module's reference model lives with the module's tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import pycolumnarize  # noqa: E402
import reference  # noqa: E402


def _rows(*cells, **common):
    return json.dumps([dict(common, **c) for c in cells])


CASES = [
    # Python's == is looser than cell equality: True == 1, [1] == [1.0].
    ("bool then number", '[{"a":true},{"a":true},{"a":1}]'),
    ("number then bool", '[{"a":1},{"a":1.0},{"a":true}]'),
    ("bools only", '[{"a":false},{"a":false}]'),
    ("bool inside arrays", '[{"a":[true]},{"a":[1]}]'),
    ("forms inside arrays", '[{"a":[1,{"b":2}]},{"a":[1,{"b":2}]},{"a":[1,{"b":2.0}]}]'),
    ("string against number", '[{"a":"1"},{"a":1}]'),
    # Cell equality is looser than Python's == for numbers.
    ("number forms at cell level", '[{"a":1},{"a":1.0},{"a":1e0},{"a":10e-1}]'),
    ("integers equal as doubles", '[{"k":9007199254740993},{"k":9007199254740992}]'),
    ("zero signs", '[{"k":-0.0},{"k":0}]'),
    ("zero signs nested", '[{"k":[0.0]},{"k":[-0.0]}]'),
    # Member order and the marshal shortcut.
    ("member order", '[{"o":{"p":1,"q":[2]}},{"o":{"q":[2],"p":1}},{"o":{"p":1,"q":[2]}}]'),
    ("nested differs late", _rows(*[{"o": {"p": [1, 2]}}] * 30, {"o": {"p": [1, 3]}})),
    # Equal first two rows, then a difference: a full scan must find it.
    ("string differs in the last row", _rows(*[{"a": "x"}] * 40, {"a": "y"})),
    ("null in the last row", _rows(*[{"a": 1}] * 40, {"a": None})),
    ("absent in the last row", _rows(*[{"a": 1, "b": 2}] * 40, {"b": 3})),
    ("bool differs in the last row", _rows(*[{"a": True}] * 40, {"a": False})),
    # All-null columns, and first-seen order with ragged rows.
    ("null first, value later", _rows(*[{"a": None}] * 40, {"a": 0})),
    ("null and absent mix", '[{"a":null},{},{"a":null,"b":1}]'),
    ("ragged rows", '[{"b":1,"a":2},{"a":3,"c":4},{"d":null,"c":5}]'),
    ("one varying column", '[{"a":1,"b":"s"},{"a":2,"b":"s"}]'),
    ("every row has every column", _rows(*[{"i": i, "s": str(i % 3)} for i in range(30)], k="v")),
    ("duplicate key", '[{"a":1,"a":2},{"a":2}]'),
    ("single row", '[{"a":1,"b":null}]'),
    ("empty rows", "[{},{}]"),
    ("no rows", "[]"),
]


def _lists(value):
    if isinstance(value, (list, tuple)):
        return [_lists(v) for v in value]
    if isinstance(value, dict):
        return {k: _lists(v) for k, v in value.items()}
    return value


@pytest.mark.parametrize("payload", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_same_bytes_as_the_module(payload):
    # The reference's reader and writer keep the module's number forms, so
    # the whole output must match byte for byte.
    payload = payload.encode()
    doc = pycolumnarize.columnarize(reference.read_rows(payload))
    assert reference.write_json(_lists(doc)).encode() == columnarize(payload)


def _typed(value):
    """A value with the type of every scalar made visible to ==."""
    if isinstance(value, list):
        return [_typed(v) for v in value]
    if isinstance(value, dict):
        return [(k, _typed(v)) for k, v in value.items()]
    return (type(value).__name__, value)


PARSERS = ["json", "orjson", "msgspec"]


@pytest.mark.parametrize("parser", PARSERS)
def test_same_document_through_each_peer(parser):
    # The benchmark's own paths: each peer parses and writes.
    if parser == "json":
        loads, dumps = json.loads, lambda d: json.dumps(d, separators=(",", ":"), ensure_ascii=False).encode()
    elif parser == "orjson":
        lib = pytest.importorskip("orjson")
        loads, dumps = lib.loads, lib.dumps
    else:
        lib = pytest.importorskip("msgspec")
        loads, dumps = lib.json.decode, lib.json.encode
    for name, payload in CASES:
        payload = payload.encode()
        ours = _typed(json.loads(columnarize(payload)))
        theirs = _typed(json.loads(dumps(pycolumnarize.columnarize(loads(payload)))))
        assert theirs == ours, name


@pytest.mark.parametrize("rows", [{"a": 1}, [{"a": 1}, 2], [{"a": 1}, "ab"]], ids=["object", "number row", "string row"])
def test_rejects_what_the_module_rejects(rows):
    with pytest.raises(RuntimeError):
        columnarize(json.dumps(rows).encode())
    with pytest.raises(ValueError):
        pycolumnarize.columnarize(rows)


ONE_ULP = 0.1 + 2**-56  # the double next to 0.1

# The benchmark's check of the module's document against the peers': what it
# must let through, and what it must not.
COMPARISONS = [
    ("same", {"rows": [[1, "a", [1.5]]]}, {"rows": [[1, "a", [1.5]]]}, True),
    ("int against float", {"rows": [[1, "a"]]}, {"rows": [[1.0, "a"]]}, False),
    ("bool against int", {"rows": [[True]]}, {"rows": [[1]]}, False),
    ("form inside a cell", {"rows": [[[1]]]}, {"rows": [[[1.0]]]}, False),
    ("float one ulp off", {"rows": [[0.1]]}, {"rows": [[ONE_ULP]]}, True),
    ("float far off", {"rows": [[0.1]]}, {"rows": [[0.1000001]]}, False),
    ("row length", {"rows": [[1, 2]]}, {"rows": [[1]]}, False),
    ("member order", {"constants": {"a": 1, "b": 2}}, {"constants": {"b": 2, "a": 1}}, False),
    ("string", {"columns": ["a"]}, {"columns": ["b"]}, False),
]


@pytest.mark.parametrize("ours,theirs,same", [c[1:] for c in COMPARISONS], ids=[c[0] for c in COMPARISONS])
def test_benchmark_check(ours, theirs, same):
    pytest.importorskip("orjson")
    pytest.importorskip("msgspec")
    import benchmark

    assert (benchmark.Comparison().first_difference(ours, theirs) is None) == same
