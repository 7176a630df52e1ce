#!/usr/bin/env python3
"""columnarize(payload, min_rows) with arbitrary arguments: only TypeError,
OverflowError and RuntimeError may come out, and the interpreter must not
crash. A successful call returns bytes holding the three-member document.

    python3 fuzz/atheris_columnarize.py -dict=fuzz/json.dict -max_total_time=300 [CORPUS_DIR]

The payload is mostly bytes from the input (JSON-like with the dictionary),
sometimes another type; min_rows and the keywords are drawn from values of
every kind the binding converts or rejects.
"""
import json
import sys

import atheris

with atheris.instrument_imports():
    import zorvat_codec

ALLOWED = (TypeError, OverflowError, RuntimeError)


class IntChild(int):
    pass


class BytesChild(bytes):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value  # an int, or a non-int (TypeError from the interpreter)


def some_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 14)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))  # up to 96 bits, either sign
    if kind == 3:
        return fdp.ConsumeIntInRange(0, 100)
    if kind == 4:
        return fdp.ConsumeFloat()
    if kind == 5:
        return fdp.ConsumeUnicodeNoSurrogates(8)
    if kind == 6:
        return bytearray(fdp.ConsumeBytes(8))
    if kind == 7:
        return memoryview(fdp.ConsumeBytes(8))
    if kind == 8:
        return [fdp.ConsumeIntInRange(0, 9)]
    if kind == 9:
        return IntChild(fdp.ConsumeInt(9))
    if kind == 10:
        return Index(fdp.ConsumeInt(9))
    if kind == 11:
        return Index("not an int")
    if kind == 12:
        return 2**64 + fdp.ConsumeIntInRange(-2, 2)
    if kind == 13:
        return object()
    return fdp.ConsumeBytes(8)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    shape = fdp.ConsumeIntInRange(0, 8)
    other = some_value(fdp)
    payload = fdp.ConsumeBytes(fdp.remaining_bytes()) if shape != 7 else other
    if shape == 8:
        payload = BytesChild(payload)
    args, kwargs = (payload,), {}
    if shape == 1:
        args = (payload, other)
    elif shape == 2:
        kwargs = {"min_rows": other}
    elif shape == 3:
        args, kwargs = (), {"payload": payload, "min_rows": other}
    elif shape == 4:
        args = (payload, other, other)
    elif shape == 5:
        kwargs = {"payload": payload} if fdp.ConsumeBool() else {"min_rowz": other}
    elif shape == 6:
        args = ()
    try:
        out = zorvat_codec.columnarize(*args, **kwargs)
    except ALLOWED:
        return
    if type(out) is not bytes:
        raise AssertionError("result is %r, not bytes" % type(out))
    doc = json.loads(out)
    if list(doc) != ["columns", "rows", "constants"]:
        raise AssertionError("document members are %r" % list(doc))


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
