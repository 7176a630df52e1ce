"""End-to-end results and failure messages of columnarize, checked against
the fixed texts and documents, and the reference on the same tables."""

import pytest

import reference
from zorvat_codec import columnarize

INVALID = "invalid row-oriented JSON: "
NOT_OBJECT = "expected a JSON object row, got: "

# payload -> the complete RuntimeError message
FAILURES = [
    (b"", INVALID + "EOF while parsing a value at line 1 column 0"),
    (b"{}", INVALID + "invalid type: map, expected a sequence at line 1 column 0"),
    (b"[] x", INVALID + "trailing characters at line 1 column 4"),
    (b"[", INVALID + "EOF while parsing a list at line 1 column 1"),
    (b"[1, }", INVALID + "expected value at line 1 column 5"),
    (b"[{}, 2, ]", INVALID + "trailing comma at line 1 column 9"),
    (b"[1e400]", INVALID + "number out of range at line 1 column 6"),
    (b"[" * 128 + b"]" * 128, INVALID + "recursion limit exceeded at line 1 column 128"),
    (b"[{},2,[3]]", NOT_OBJECT + "2"),
    (b"[null]", NOT_OBJECT + "null"),
    (b"[[1, 2]]", NOT_OBJECT + "[1,2]"),
    (b"[1.0]", NOT_OBJECT + "1.0"),
    (b"[-0]", NOT_OBJECT + "-0.0"),
    (b"[18446744073709551616]", NOT_OBJECT + "1.8446744073709552e+19"),
    (b"[9007199254740993.0]", NOT_OBJECT + "9007199254740994.0"),
    (b'[{"a":1}, "t\\u0001\\"/\xc3\xa9"]', NOT_OBJECT + '"t\\u0001\\"/\xe9"'),
    (b'[{"a":[1, {"b" : null}]}, {"x": 1, "x": 2, "y": [true]}, 0]', NOT_OBJECT + "0"),
]


@pytest.mark.parametrize("payload, message", FAILURES)
def test_failure_messages(payload, message):
    with pytest.raises(RuntimeError) as info:
        columnarize(payload)
    assert type(info.value) is RuntimeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("payload, message", [f for f in FAILURES if f[1].startswith(NOT_OBJECT)])
def test_reference_row_check_messages(payload, message):
    with pytest.raises(reference.Rejected) as info:
        reference.columnarize(payload)
    assert info.value.message == message


# payload -> output document
DOCUMENTS = [
    ("[]", '{"columns":[],"rows":[],"constants":{}}'),
    (" [ ] \r\n", '{"columns":[],"rows":[],"constants":{}}'),
    ("[{}]", '{"columns":[],"rows":[[]],"constants":{}}'),
    ("[{},{}]", '{"columns":[],"rows":[[],[]],"constants":{}}'),
    ('[{"a":1}]', '{"columns":["a"],"rows":[[1]],"constants":{}}'),
    ('[{"a":1,"b":null}]', '{"columns":["a"],"rows":[[1]],"constants":{}}'),
    ('[{"a":1,"b":2},{"a":1,"b":3}]', '{"columns":["b"],"rows":[[2],[3]],"constants":{"a":1}}'),
    ('[{"a":1},{"a":1}]', '{"columns":[],"rows":[[],[]],"constants":{"a":1}}'),
    ('[{"a":1},{"b":2}]', '{"columns":["a","b"],"rows":[[1,null],[null,2]],"constants":{}}'),
    ('[{"a":1},{"a":1},{}]', '{"columns":["a"],"rows":[[1],[1],[null]],"constants":{}}'),
    ('[{"a":null},{"a":null}]', '{"columns":[],"rows":[[],[]],"constants":{}}'),
    ('[{"a":null},{}]', '{"columns":[],"rows":[[],[]],"constants":{}}'),
    ('[{"b":1,"a":2},{"a":3,"c":4}]', '{"columns":["b","a","c"],"rows":[[1,2,null],[null,3,4]],"constants":{}}'),
    (
        '[{"a":1,"b":"s"},{"b":"s","a":2},{"a":3,"b":"s"}]',
        '{"columns":["a"],"rows":[[1],[2],[3]],"constants":{"b":"s"}}',
    ),
    ('[{"x":1},{"x":1.0}]', '{"columns":[],"rows":[[],[]],"constants":{"x":1}}'),
    ('[{"x":1.0},{"x":1}]', '{"columns":[],"rows":[[],[]],"constants":{"x":1.0}}'),
    ('[{"x":[1]},{"x":[1.0]}]', '{"columns":["x"],"rows":[[[1]],[[1.0]]],"constants":{}}'),
    (
        '[{"o":{"p":1,"q":2}},{"o":{"q":2,"p":1}}]',
        '{"columns":[],"rows":[[],[]],"constants":{"o":{"p":1,"q":2}}}',
    ),
    (
        '[{"k":9007199254740993},{"k":9007199254740992}]',
        '{"columns":[],"rows":[[],[]],"constants":{"k":9007199254740993}}',
    ),
    ('[{"k":-0.0},{"k":0}]', '{"columns":[],"rows":[[],[]],"constants":{"k":-0.0}}'),
    ('[{"a":1,"a":2},{"a":2}]', '{"columns":[],"rows":[[],[]],"constants":{"a":2}}'),
    ('[{"B":1,"b":2}]', '{"columns":["B","b"],"rows":[[1,2]],"constants":{}}'),
    ('[{"a":1,"b":2,"a":3}]', '{"columns":["a","b"],"rows":[[3,2]],"constants":{}}'),
    # writer forms: escapes, raw non-ASCII, number spellings
    (
        '[{"s":"\\t\\n\\u0001\\u001F/\\u00e9\\ud83d\\ude00\\u2028\x7f","n":-9223372036854775808}]',
        '{"columns":["s","n"],"rows":[["\\t\\n\\u0001\\u001f/\u00e9\U0001f600\u2028\x7f",-9223372036854775808]],"constants":{}}',
    ),
    (
        '[{"f":[1e15,1e16,0.00001,1e-6,1.5e-7,5e-324,1.7976931348623157e308,100,100.0,18446744073709551615]}]',
        '{"columns":["f"],"rows":[[[1000000000000000.0,1e+16,0.00001,1e-6,1.5e-7,5e-324,'
        '1.7976931348623157e+308,100,100.0,18446744073709551615]]],"constants":{}}',
    ),
    ('[{"k\\"q":{"\\u0000":[]}}]', '{"columns":["k\\"q"],"rows":[[{"\\u0000":[]}]],"constants":{}}'),
]


@pytest.mark.parametrize("payload, document", DOCUMENTS)
def test_documents(payload, document):
    expected = document.encode("utf-8")
    assert columnarize(payload.encode("utf-8")) == expected
    assert reference.columnarize(payload.encode("utf-8")) == expected


def test_failures_leave_the_module_usable():
    for payload, _ in FAILURES:
        with pytest.raises(RuntimeError):
            columnarize(payload)
        for bad_call in (lambda: columnarize(), lambda: columnarize("[]"), lambda: columnarize(b"[]", -1)):
            with pytest.raises((TypeError, OverflowError)):
                bad_call()
        assert columnarize(b'[{"a":1},{"a":2}]') == b'{"columns":["a"],"rows":[[1],[2]],"constants":{}}'


def test_failures_are_caught_by_except_exception():
    caught = []
    for call in (lambda: columnarize(b""), lambda: columnarize("x"), lambda: columnarize(b"[]", 2**64)):
        try:
            call()
        except Exception as e:  # the caller's guard
            caught.append(type(e))
    assert caught == [RuntimeError, TypeError, OverflowError]

