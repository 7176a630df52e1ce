"""The module against the pure-Python reference on generated payloads."""

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import reference
from zorvat_codec import columnarize

# -- JSON text generators. Values are produced as text so that number
# spellings, escapes, whitespace and repeated keys vary, not just values.

WHITESPACE = st.sampled_from(["", "", " ", "\n", "\t", "\r\n "])

# Spellings that meet at the constant detection: equal as doubles or not.
TRICKY_NUMBERS = [
    "0", "-0", "0.0", "-0.0", "0e0", "1", "1.0", "1e0", "1E+0", "10e-1", "100", "1e2",
    "9007199254740992", "9007199254740993", "9007199254740993.0", "18446744073709551615",
    "18446744073709551616", "-9223372036854775808", "-9223372036854775809", "18518e30",
    "1e-400", "5e-324", "1.7976931348623157e308", "0.1", "0.30000000000000004",
]

numbers = st.one_of(
    st.sampled_from(TRICKY_NUMBERS),
    st.integers(-(2**64), 2**65).map(str),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    # Any literal of the grammar, out-of-range ones and ones past the 64-bit
    # significand included.
    st.from_regex(r"-?(0|[1-9][0-9]{0,24})(\.[0-9]{1,24})?([eE][-+]?[0-9]{1,3})?", fullmatch=True),
)

SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "/": "\\/", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _u_escape(ch):
    code = ord(ch)
    if code < 0x10000:
        return "\\u%04x" % code if code % 2 else "\\u%04X" % code
    code -= 0x10000
    return "\\u%04x\\u%04x" % (0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF))


@st.composite
def json_strings(draw, chars=st.characters(blacklist_categories=("Cs",))):
    text = draw(st.text(chars, max_size=8))
    parts = []
    for ch in text:
        style = draw(st.integers(0, 2))
        if ch in SHORT_ESCAPES and (style == 0 or ch in '"\\' or ch < " "):
            parts.append(SHORT_ESCAPES[ch])
        elif ch < " " or ch in '"\\' or style == 1:
            parts.append(_u_escape(ch))
        else:
            parts.append(ch)
    return '"' + "".join(parts) + '"'


KEYS = st.one_of(st.sampled_from(['"a"', '"\\u0061"', '"b"', '"id"', '"A"', '"\u00e9"', '"k\\"q"', '"\\u0000"', '""']), json_strings())


def _array(items, ws):
    return "[" + ",".join(ws + item + ws for item in items) + "]"


def _object(members, ws):
    return "{" + ",".join(ws + k + ws + ":" + ws + v + ws for k, v in members) + "}"


leaves = st.one_of(st.sampled_from(["null", "true", "false"]), numbers, json_strings())
values = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.builds(_array, st.lists(inner, max_size=4), WHITESPACE),
        st.builds(_object, st.lists(st.tuples(KEYS, inner), max_size=4), WHITESPACE),
    ),
    max_leaves=10,
)


@st.composite
def payloads(draw):
    # Rows draw their cells mostly from a small pool so that columns often
    # repeat a value, in the same or another spelling.
    pool = draw(st.lists(st.one_of(values, st.sampled_from(TRICKY_NUMBERS)), min_size=1, max_size=5))
    keys = draw(st.lists(KEYS, min_size=1, max_size=5))
    ws = draw(WHITESPACE)
    rows = []
    for _ in range(draw(st.integers(0, 7))):
        if draw(st.integers(0, 40)) == 0:
            rows.append(draw(values))  # a non-object row now and then
            continue
        cell = st.one_of(st.sampled_from(pool), st.just("null"), values)
        rows.append(_object(draw(st.lists(st.tuples(st.sampled_from(keys), cell), max_size=6)), ws))
    if rows and draw(st.booleans()):
        rows += [rows[0]] * draw(st.integers(1, 3))
    return (ws + _array(rows, ws) + ws).encode("utf-8")


@settings(max_examples=800, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(payloads())
@example(b'[{"x":1,"y":[1]},{"x":1.0,"y":[1.0]}]')
@example(b'[{"k":-0},{"k":0.0},{"k":0}]')
@example(b'[{"n":18446744073709551616},{"n":18446744073709551615}]')
@example(b'[{"a":1,"a":null},{"a":null}]')
@example(b'[{"d":184467440737095516160.5},{"d":1.8446744073709551615e20}]')
def test_module_matches_reference(payload):
    try:
        expected = reference.columnarize(payload)
    except reference.Rejected as rejected:
        with pytest.raises(RuntimeError) as info:
            columnarize(payload)
        if rejected.message == "number out of range":
            assert str(info.value).startswith("invalid row-oriented JSON: number out of range at line ")
        else:
            assert str(info.value) == rejected.message
        return
    assert columnarize(payload) == expected


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False), st.integers(-(2**63), 2**64 - 1))
def test_single_numbers_match_reference(x, n):
    # Float reading and shortest-digit writing are the likeliest to drift.
    payload = b'[{"f":%s,"n":%d}]' % (repr(x).encode(), n)
    assert columnarize(payload) == reference.columnarize(payload)
