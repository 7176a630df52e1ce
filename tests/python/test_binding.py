"""The Python surface of zorvat_codec: module, function object, argument
binding and conversion, and what a call returns."""

import importlib.machinery
import json
import importlib.util
import inspect
import subprocess
import sys
import textwrap

import pytest

import zorvat_codec
from zorvat_codec import columnarize

EMPTY_DOC = b'{"columns":[],"rows":[],"constants":{}}'
MISSING = "columnarize() missing 1 required positional argument: 'payload'"
TOO_MANY = "columnarize() takes from 1 to 2 positional arguments but {} were given"
UNEXPECTED = "columnarize() got an unexpected keyword argument '{}'"
TWICE = "columnarize() got multiple values for argument '{}'"
PAYLOAD_NOTE = ["while processing 'payload'"]
MIN_ROWS_NOTE = ["while processing 'min_rows'"]


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, type):  # an exception class: a fresh one per call
            raise self.result("nope")
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class BytesChild(bytes):
    pass


class IntChild(int):
    pass


# (args, kwargs, exception type, message, notes). Binding errors carry no
# note; conversion errors keep the interpreter's type and text plus one note.
REJECTED_CALLS = [
    ((), {}, TypeError, MISSING, None),
    ((b"[]", 20, 3), {}, TypeError, TOO_MANY.format(3), None),
    ((b"[]",) * 5, {}, TypeError, TOO_MANY.format(5), None),
    # positional count is checked before any keyword is looked at
    ((b"[]", 1, 2), {"bogus": 3}, TypeError, TOO_MANY.format(3), None),
    ((b"[]",), {"bogus": 1}, TypeError, UNEXPECTED.format("bogus"), None),
    ((b"[]",), {"Payload": 1}, TypeError, UNEXPECTED.format("Payload"), None),
    ((b"[]",), {"min_rows ": 1}, TypeError, UNEXPECTED.format("min_rows "), None),
    ((b"[]",), {"payload": b"[]"}, TypeError, TWICE.format("payload"), None),
    ((b"[]", 5), {"min_rows": 6}, TypeError, TWICE.format("min_rows"), None),
    # missing payload wins over a bad min_rows, a bad payload over both
    ((), {"min_rows": "x"}, TypeError, MISSING, None),
    (("[]",), {"min_rows": "x"}, TypeError, "'str' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    (("[]",), {}, TypeError, "'str' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((bytearray(b"[]"),), {}, TypeError, "'bytearray' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((memoryview(b"[]"),), {}, TypeError, "'memoryview' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((20,), {}, TypeError, "'int' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((None,), {}, TypeError, "'None' is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((Index(1),), {}, TypeError, "'Index' object is not an instance of 'bytes'", PAYLOAD_NOTE),
    ((b"[]", -1), {}, OverflowError, "can't convert negative int to unsigned", MIN_ROWS_NOTE),
    ((b"[]", 2**64), {}, OverflowError, "int too big to convert", MIN_ROWS_NOTE),
    ((b"[]",), {"min_rows": IntChild(-5)}, OverflowError, "can't convert negative int to unsigned", MIN_ROWS_NOTE),
    ((b"[]", 1.5), {}, TypeError, "'float' object cannot be interpreted as an integer", MIN_ROWS_NOTE),
    ((b"[]", "20"), {}, TypeError, "'str' object cannot be interpreted as an integer", MIN_ROWS_NOTE),
    ((b"[]", None), {}, TypeError, "'NoneType' object cannot be interpreted as an integer", MIN_ROWS_NOTE),
    ((b"[]", Index(ValueError)), {}, ValueError, "nope", MIN_ROWS_NOTE),
    ((b"[]", Index(-3)), {}, OverflowError, "can't convert negative int to unsigned", MIN_ROWS_NOTE),
    ((b"[]", Index(2**70)), {}, OverflowError, "int too big to convert", MIN_ROWS_NOTE),
]


@pytest.mark.parametrize("args, kwargs, exc_type, message, notes", REJECTED_CALLS)
def test_rejected_calls(args, kwargs, exc_type, message, notes):
    with pytest.raises(BaseException) as info:
        columnarize(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert getattr(info.value, "__notes__", None) == notes


def test_note_goes_on_the_exception_that_index_raised():
    error = KeyError("k")
    with pytest.raises(KeyError) as info:
        columnarize(b"[]", Index(error))
    assert info.value is error
    assert error.__notes__ == MIN_ROWS_NOTE


def test_failing_add_note_leaves_the_exception_without_note():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    with pytest.raises(Stubborn) as info:
        columnarize(b"[]", Index(Stubborn("x")))
    assert not hasattr(info.value, "__notes__")
    assert info.value.__context__ is None


@pytest.mark.parametrize(
    "keyword, shown",
    [
        ("\ud800", "\ufffd" * 3),
        ("a\udcffb", "a" + "\ufffd" * 3 + "b"),
        ("\udc80\udc80", "\ufffd" * 6),
        ("pay\u00e9load", "pay\u00e9load"),
    ],
)
def test_unexpected_keyword_name_is_shown_printable(keyword, shown):
    with pytest.raises(TypeError) as info:
        columnarize(b"[]", **{keyword: 1})
    assert str(info.value) == UNEXPECTED.format(shown)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((b"[]",), {}),
        ((b"[]", 0), {}),
        ((b"[]", True), {}),
        ((b"[]", False), {}),
        ((b"[]", 10**6), {}),
        ((b"[]", 2**64 - 1), {}),
        ((b"[]", Index(7)), {}),
        ((b"[]", IntChild(3)), {}),
        ((), {"payload": b"[]", "min_rows": 3}),
        ((), {"min_rows": 3, "payload": b"[]"}),
        ((b"[]",), {"min_rows": 2**64 - 1}),
        ((BytesChild(b"[]"),), {}),
    ],
)
def test_accepted_calls_give_the_same_bytes(args, kwargs):
    result = columnarize(*args, **kwargs)
    assert type(result) is bytes
    assert result == EMPTY_DOC


def test_bytes_subclass_is_read_by_its_contents():
    class Loud(bytes):
        def __bytes__(self):
            return b"[1]"

    payload = Loud(b'[{"a":1}]')
    assert columnarize(payload) == b'{"columns":["a"],"rows":[[1]],"constants":{}}'
    assert bytes(payload) == b"[1]"


def test_result_is_a_new_object_each_time():
    first = columnarize(b"[]")
    second = columnarize(b"[]")
    assert first == second == EMPTY_DOC and len(first) == 39
    assert first is not second
    payload = b'[{"a":1}]'
    assert columnarize(payload) is not payload


def test_module_attributes():
    own = set(vars(zorvat_codec)) - {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    assert own == {"columnarize", "__all__"}
    assert zorvat_codec.__all__ == ["columnarize"]
    assert zorvat_codec.__doc__ == ""


def test_function_attributes():
    f = columnarize
    assert f.__name__ == f.__qualname__ == "columnarize"
    assert f.__module__ == "zorvat_codec"
    assert f.__self__ is None
    assert f.__text_signature__ == "(payload, min_rows=20)"
    params = inspect.signature(f).parameters
    assert list(params) == ["payload", "min_rows"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    assert params["payload"].default is inspect.Parameter.empty
    assert params["min_rows"].default == 20
    lines = f.__doc__.split("\n")
    assert lines[:12] == [
        "Columnarize a row-oriented JSON payload (bytes or str), GIL released",
        "for the duration of the transform.",
        "",
        "Args:",
        "    payload: UTF-8 JSON bytes/str encoding a `list[dict]` of rows.",
        "    min_rows: Accepted for parity with the Python codec's signature;",
        "        not re-checked here (the Python caller already applied the",
        "        guard before calling this function).",
        "",
        "Returns:",
        '    UTF-8 JSON bytes encoding `{"columns", "rows", "constants"}`.',
        "",
    ]
    assert len(lines) == 21 and lines[12] == "Panic safety:"
    assert not f.__doc__.endswith("\n")
    panic = " ".join(lines[12:])
    for words in ("RuntimeError", "BaseException", "except Exception:", "stack overflow"):
        assert words in panic


def _load_fresh(name, before_exec=None):
    """A second instance of the extension module under `name`, with
    `before_exec` run on the module object before its exec step."""
    loader = importlib.machinery.ExtensionFileLoader(name, zorvat_codec.__file__)
    location = importlib.util.spec_from_file_location(name, zorvat_codec.__file__, loader=loader)
    module = importlib.util.module_from_spec(location)
    if before_exec is not None:
        before_exec(module)
    location.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "preset, expected",
    [
        (None, ["columnarize"]),
        (["x"], ["x", "columnarize"]),
    ],
)
def test_exec_step_extends_an_existing_all(preset, expected):
    def set_all(module):
        if preset is not None:
            module.__all__ = preset

    module = _load_fresh("zorvat_codec", set_all)
    assert module.__all__ == expected
    assert module.columnarize(b"[]") == EMPTY_DOC
    if preset is not None:
        assert module.__all__ is preset


def test_exec_step_rejects_a_non_list_all():
    def set_all(module):
        module.__all__ = ("x",)

    with pytest.raises(TypeError, match=r"^'tuple' object is not an instance of 'list'$"):
        _load_fresh("zorvat_codec", set_all)


def test_function_module_follows_the_module_name():
    module = _load_fresh("outer.zorvat_codec")
    assert module.columnarize.__module__ == "outer.zorvat_codec"
    assert module.columnarize is not columnarize


def test_first_notes_from_racing_threads():
    # A fresh interpreter, so that the interned "add_note" is created by
    # whichever of the threads gets there first.
    code = textwrap.dedent(
        """
        import threading, zorvat_codec
        barrier = threading.Barrier(8)
        notes = []
        def worker():
            barrier.wait()
            try:
                zorvat_codec.columnarize("[]")
            except TypeError as e:
                notes.append(e.__notes__)
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert notes == [["while processing 'payload'"]] * 8, notes
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


def test_allocation_failures_end_in_known_exceptions():
    # Fails one allocation at a time inside calls (CPython's own test hooks),
    # in a child process: a reference or error-state slip on a failure path
    # shows up as a crash or a SystemError there.
    pytest.importorskip("_testcapi")
    code = textwrap.dedent(
        """
        import _testcapi, json
        from zorvat_codec import columnarize
        calls = [(b'[{"a":1}]', 20), ("x", 20), (b"[]", -1), (b"[1]", 20), (b"", 2**64 - 1)]
        seen, types = set(), set()
        for payload, min_rows in calls:
            for nth in range(40):
                error = None
                _testcapi.set_nomemory(nth, nth + 1)
                try:
                    columnarize(payload, min_rows)
                except BaseException as e:
                    _testcapi.remove_mem_hooks()
                    error = e
                else:
                    _testcapi.remove_mem_hooks()
                if error is not None:
                    seen.add(type(error).__module__ + "." + type(error).__qualname__)
                    if type(error).__name__ == "InternalFailure":
                        types.add(type(error))
                        assert error.args == ("PyObject pointer is null",)
                assert columnarize(b"[]") == b'{"columns":[],"rows":[],"constants":{}}'
        assert len(types) <= 1
        for t in types:
            assert t.__bases__ == (BaseException,) and "BaseException" in t.__doc__
        print(json.dumps(sorted(seen)))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    seen = set(json.loads(done.stdout))
    allowed = {"builtins.MemoryError", "builtins.TypeError", "builtins.OverflowError", "builtins.RuntimeError",
               "zorvat_codec.InternalFailure"}
    assert seen <= allowed
    assert {"zorvat_codec.InternalFailure", "builtins.MemoryError"} <= seen
