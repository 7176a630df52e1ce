"""Strings and keys whose lengths straddle the native arena's chunk sizes.

The arena hands out chunks of 16 KiB doubling to 16 MiB, and rounds chunks of
2 MiB and more to whole huge pages; a string with an escape is decoded into
the arena in one piece, so a decoded length near a chunk size meets every
boundary of the bump allocation. Each payload is checked against the
pure-Python reference.
"""

import pytest

import reference
from zorvat_codec import columnarize

KIB = 1024
MIB = 1024 * KIB

# Decoded text of `n` bytes written with: no escape, one escape first,
# and three-byte characters spelled as \u escapes.
ENCODINGS = {
    "plain": lambda n: b"a" * n,
    "newline": lambda n: b"\\n" + b"a" * (n - 1),
    "u-escapes": lambda n: b"\\u4e2d" * (n // 3) + b"b" * (n % 3),
}

SMALL_ROWS = b",".join(b'{"a":%d,"b":"x\\ty"}' % i for i in range(50))

# Where the long text sits in the payload.
PLACES = {
    "value": lambda s: b'[{"k":"' + s + b'"},{"k":"z"}]',
    "key": lambda s: b'[{"' + s + b'":1,"o":2},{"o":3}]',
    "nested": lambda s: b'[{"k":[{"n":"' + s + b'"},"' + s + b'"]}]',
    "after-rows": lambda s: b"[" + SMALL_ROWS + b',{"k":"' + s + b'","a":1}]',
    # Whitespace inside a cell: its compact text is written apart, around it.
    "spaced": lambda s: b'[{"k": [ "' + s + b'" , 1.50 ]},{"k":[]}]',
}

OFFSETS = (-40, -24, -17, -16, -15, -9, -1, 0, 1, 8)


def cases():
    for chunk in (16 * KIB, 32 * KIB, 64 * KIB, 128 * KIB, 256 * KIB):
        for d in OFFSETS:
            for enc in ENCODINGS:
                for place in PLACES:
                    yield pytest.param(chunk + d, enc, place, id="%d%+d-%s-%s" % (chunk, d, enc, place))
    for chunk in (512 * KIB, 1 * MIB, 2 * MIB, 4 * MIB, 8 * MIB, 16 * MIB):
        marks = [pytest.mark.heavy] if chunk > 2 * MIB else []
        for d in (-17, 0, 1):
            for enc in ("plain", "newline"):
                for place in ("value", "key"):
                    yield pytest.param(chunk + d, enc, place, marks=marks, id="%d%+d-%s-%s" % (chunk, d, enc, place))
            # Rewritten text as long as the chunk: the side buffer of
            # compact cell texts crosses the same sizes.
            for enc, place in (("u-escapes", "value"), ("u-escapes", "nested"), ("plain", "spaced")):
                yield pytest.param(chunk + d, enc, place, marks=marks, id="%d%+d-%s-%s" % (chunk, d, enc, place))


@pytest.mark.parametrize("length,encoding,place", list(cases()))
def test_long_text_matches_reference(length, encoding, place):
    payload = PLACES[place](ENCODINGS[encoding](length))
    assert columnarize(payload) == reference.columnarize(payload)
