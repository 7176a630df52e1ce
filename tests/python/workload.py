"""Payloads and calls shared by the memory and thread tests: every outcome
columnarize can have, with what a single-threaded call gives for each."""

import json

from zorvat_codec import columnarize

INVALID = "invalid row-oriented JSON: "


def _rows(count, tag):
    return json.dumps(
        [{"id": i, "tag": tag, "v": [i * 0.25, str(i)], "odd": i if i % 2 else None, "k%d" % (i % 7): i} for i in range(count)],
        separators=(",", ":"),
    ).encode()


def _wide(keys):
    return json.dumps([{"f%d" % k: k for k in range(keys)}, {"f%d" % k: -k for k in reversed(range(keys))}]).encode()


# One of each reader failure, the row check, successes of several shapes.
PAYLOADS = [
    b'[{"id":1,"kind":"a"},{"id":2,"kind":"a"}]',
    b"[]",
    b'[{"x":1},{"x":1.0,"y":null}]',
    '[{"s":"\\u00e9\\ud83d\\ude00","t":"é"}]'.encode(),
    _rows(300, "small"),
    _rows(50000, "large"),  # 3.3 MB: the copy, the output and the arena's chunks on mapped pages
    _wide(500),
    b"[" * 127 + b"]" * 127,  # deepest allowed, then not an object row
    b"[" * 128 + b"]" * 128,
    b'[{"a":' + b"[" * 125 + b"]" * 125 + b"}]",
    b"",
    b"{}",
    b'"text"',
    b"12.5",
    b"[1, }",
    b"[] x",
    b'[{"a" 1}]',
    b'[{"a":1 "b":2}]',
    b"[1 2]",
    b"[tru]",
    b"[01]",
    b"[1e999]",
    b'["\\x"]',
    b'["\\ud800"]',
    b'["\\udc00"]',
    b'["\xff"]',
    b'["\x01"]',
    b"[{1:2}]",
    b"[1,]",
    b'["abc',
    b'[{"a":1},2]',
    b"[null]",
]


def outcome(*args, **kwargs):
    """What the call gives: ("ok", bytes) or (exception type name, text, notes)."""
    try:
        return ("ok", columnarize(*args, **kwargs))
    except (TypeError, OverflowError, RuntimeError) as e:
        return (type(e).__name__, str(e), tuple(getattr(e, "__notes__", ())))


# Argument errors: (args, kwargs).
BAD_CALLS = [
    (("not bytes",), {}),
    ((bytearray(b"[]"),), {}),
    ((None,), {}),
    ((b"[]", -1), {}),
    ((b"[]", 2**64), {}),
    ((b"[]", "20"), {}),
    ((b"[]", 1.5), {}),
    ((b"[]", 1, 2), {}),
    ((), {}),
    ((b"[]",), {"min_row": 1}),
    ((b"[]",), {"payload": b"[]"}),
    ((), {"payload": b"[]", "min_rows": True}),
]
