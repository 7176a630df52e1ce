"""Arguments that run Python code at each point where the binding calls out
(__index__, __str__, finalizers, a collection). Each case runs in a child
process, so that a reference slip shows as that case's crash, not the
suite's; under the sanitized module the child inherits the sanitizer."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import functools, gc, warnings, zorvat_codec as z
ROWS = b"[" + b",".join(b'{"k":%d}' % i for i in range(5000)) + b"]"
EXPECTED = z.columnarize(ROWS)
UNEXPECTED = "columnarize() got an unexpected keyword argument '{}'"

def fresh():
    # A payload that only the call's arguments hold (bytes(b) would be b).
    return bytes(bytearray(ROWS))

def churn():
    # Reuses freed memory, so that a dangling read sees other bytes.
    [bytes(40000) for _ in range(50)]

def expect(error, call, text=None, notes=None):
    try:
        call()
    except error as e:
        assert text is None or str(e) == text, e
        assert notes is None or e.__notes__ == notes, e
    else:
        raise AssertionError("no error")

def drop_payload():
    call.__setstate__((z.columnarize, (b"[]",), {}, None))
    churn()
"""

# (name, code ending in an assert on what the call gave)
CASES = [
    ("index drops the payload", """
class MinRows:
    def __index__(self):
        drop_payload()
        return 1
call = functools.partial(z.columnarize, fresh(), MinRows())
assert call() == EXPECTED
"""),
    ("index drops itself", """
class MinRows:
    def __index__(self):
        call.__setstate__((z.columnarize, (fresh(), 3), {}, None))
        churn()
        return 1
call = functools.partial(z.columnarize, fresh(), MinRows())
assert call() == EXPECTED
"""),
    ("index raises after dropping the payload", """
class MinRows:
    def __index__(self):
        drop_payload()
        raise KeyError("k")
call = functools.partial(z.columnarize, fresh(), MinRows())
expect(KeyError, lambda: call(), notes=["while processing 'min_rows'"])
"""),
    ("index returns a huge int", """
class MinRows:
    def __index__(self):
        drop_payload()
        return 10**100
call = functools.partial(z.columnarize, fresh(), MinRows())
expect(OverflowError, lambda: call(), notes=["while processing 'min_rows'"])
"""),
    ("index returns an int subclass whose finalizer drops the payload", """
class Count(int):
    def __del__(self):
        drop_payload()
class MinRows:
    def __index__(self):
        return Count(4)
warnings.simplefilter("ignore", DeprecationWarning)
call = functools.partial(z.columnarize, fresh(), MinRows())
assert call() == EXPECTED
"""),
    ("int subclass index is a deprecation raised as error", """
class MinRows:
    def __index__(self):
        return type("Count", (int,), {})(4)
warnings.simplefilter("error", DeprecationWarning)
expect(DeprecationWarning, lambda: z.columnarize(b"[]", MinRows()), notes=["while processing 'min_rows'"])
"""),
    ("bytes subclass with a finalizer, last reference in the call", """
class Payload(bytes):
    def __del__(self):
        churn()
call = functools.partial(z.columnarize, Payload(bytearray(ROWS)), type("MinRows", (), {"__index__": lambda s: drop_payload() or 2})())
assert call() == EXPECTED
"""),
    ("a collection during the call runs a finalizer that drops the payload", """
class Cycle:
    def __del__(self):
        drop_payload()
class MinRows:
    def __index__(self):
        gc.collect()
        return 1
c = Cycle(); c.me = c; del c
call = functools.partial(z.columnarize, fresh(), MinRows())
assert call() == EXPECTED
"""),
    ("keyword __str__ raises", """
class K(str):
    def __str__(self): raise ValueError
expect(TypeError, lambda: z.columnarize(b"[]", **{K("bogus"): 1}), text=UNEXPECTED.format("bogus"))
"""),
    ("keyword __str__ returns a non-str", """
class K(str):
    def __str__(self): return 42
expect(TypeError, lambda: z.columnarize(b"[]", **{K("bogus"): 1}), text=UNEXPECTED.format("bogus"))
"""),
    ("keyword __str__ returns a str subclass", """
class S(str): pass
class K(str):
    def __str__(self): return S("shown")
expect(TypeError, lambda: z.columnarize(b"[]", **{K("bogus"): 1}), text=UNEXPECTED.format("shown"))
"""),
    ("keyword __str__ with lone surrogates fails", """
class K(str):
    def __str__(self): raise ValueError
expect(TypeError, lambda: z.columnarize(b"[]", **{K("a\\udcffb"): 1}), text=UNEXPECTED.format("a" + "\\ufffd" * 3 + "b"))
"""),
    ("keyword __str__ drops the payload", """
class K(str):
    def __str__(self):
        drop_payload()
        return "x"
call = functools.partial(z.columnarize, fresh(), **{K("bogus"): 1})
expect(TypeError, lambda: call(), text=UNEXPECTED.format("x"))
"""),
]


@pytest.mark.parametrize("code", [code for _, code in CASES], ids=[name for name, _ in CASES])
def test_hostile_argument(code):
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
