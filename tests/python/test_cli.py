"""The installed zorvat-columnarize command: the same bytes as the module,
the module's failure texts on standard error, and its exit statuses."""

import bz2
import gzip
import io
import lzma
import os
import re
import select
import shutil
import subprocess
import sys
import sysconfig
import threading
import time
import tomllib
import zlib
import zipfile
from pathlib import Path

import pytest

import zorvat_codec

NAME = "zorvat-columnarize"
ROOT = Path(__file__).resolve().parents[2]


def find_command():
    # ZORVAT_COLUMNARIZE names a build to test (a sanitized one, say).
    # Otherwise the scripts directory of the interpreter running the tests
    # first, so a venv's own copy is tested rather than whatever PATH turns up.
    if os.environ.get("ZORVAT_COLUMNARIZE"):
        return os.environ["ZORVAT_COLUMNARIZE"]
    candidate = Path(sysconfig.get_path("scripts")) / NAME
    if candidate.is_file():
        return str(candidate)
    found = shutil.which(NAME)
    if found is None:
        pytest.fail(f"{NAME} is not installed beside {sys.executable} nor on PATH")
    return found


COMMAND = find_command()


def run(args=(), stdin=b"", **kwargs):
    return subprocess.run([COMMAND, *args], input=stdin, capture_output=True, timeout=60, **kwargs)


def module_answer(payload):
    """(stdout, stderr, status) that the command must give for `payload`."""
    try:
        return zorvat_codec.columnarize(payload), b"", 0
    except RuntimeError as e:
        return b"", (str(e) + "\n").encode("utf-8"), 1


BIG = b"[" + b",".join(b'{"id":%d,"k":"v","t":%d.5}' % (i, i % 7) for i in range(40000)) + b"]"

PAYLOADS = [
    pytest.param((ROOT / "examples" / "rows.json").read_bytes(), id="example"),
    pytest.param(b"[]", id="empty-array"),
    pytest.param(b' [{"id":1,"kind":"a"},{"id":2,"kind":"a"}]\r\n', id="constants"),
    pytest.param(b'[{"s":"\\u0000\xc3\xa9\\n"},{"s":"\\r"}]', id="escapes-and-utf8"),
    pytest.param(BIG, id="many-read-chunks"),
    pytest.param(b"", id="empty-input"),
    pytest.param(b"{}", id="object-not-array"),
    pytest.param(b"[] x", id="trailing"),
    pytest.param(b"[{},2,[3]]", id="non-object-row"),
    pytest.param(b'[{}, "caf\xc3\xa9\\u0001"]', id="non-ascii-message"),
    pytest.param(b'[{"a":"\x00"}]', id="raw-nul"),
    pytest.param(b'[{"a":"\xc3\xa9\xff"}]', id="invalid-utf8"),  # some UTF-8: no Latin-1 hint
    pytest.param(b"[" * 200 + b"]" * 200, id="too-deep"),
]


@pytest.mark.parametrize("payload", PAYLOADS)
@pytest.mark.parametrize("source", ["no-argument", "dash", "file", "file-after-double-dash"])
def test_same_answer_as_module(payload, source, tmp_path):
    path = tmp_path / "rows.json"
    path.write_bytes(payload)
    if source == "no-argument":
        result = run(stdin=payload)
    elif source == "dash":
        result = run(["-"], stdin=payload)
    elif source == "file":
        result = run([str(path)])
    else:
        result = run(["--", str(path)])
    assert (result.stdout, result.stderr, result.returncode) == module_answer(payload)


def test_empty_input_message():
    result = run()
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr == b"invalid row-oriented JSON: EOF while parsing a value at line 1 column 0\n"


def test_file_named_like_an_option(tmp_path):
    (tmp_path / "-rows.json").write_bytes(b'[{"a":1}]')
    result = run(["--", "-rows.json"], cwd=tmp_path)
    assert (result.stdout, result.returncode) == (b'{"columns":["a"],"rows":[[1]],"constants":{}}', 0)


HINT = f"Try '{NAME} --help' for more information.\n"

# arguments -> the first line on standard error (status 2, nothing on stdout)
USAGE_ERRORS = [
    (["--bogus"], f"{NAME}: unknown option '--bogus'"),
    (["-x", "rows.json"], f"{NAME}: unknown option '-x'"),
    (["a.json", "b.json"], f"{NAME}: more than one FILE needs an output directory (-o DIR)"),
    (["-", "-"], f"{NAME}: more than one FILE needs an output directory (-o DIR)"),
    (["missing.json"], f"{NAME}: cannot read 'missing.json': No such file or directory"),
    (["."], f"{NAME}: cannot read '.': Is a directory"),
    ([""], f"{NAME}: cannot read '': No such file or directory"),
    (["-o"], f"{NAME}: option '-o' needs a value"),
    (["a.json", "--jobs"], f"{NAME}: option '--jobs' needs a value"),
    (["-j", "0", "-o", "out", "a.json"], f"{NAME}: invalid number of jobs '0': expected a positive integer"),
    (["--jobs=2x", "-o", "out", "a.json"], f"{NAME}: invalid number of jobs '2x': expected a positive integer"),
    (["-o", "out"], f"{NAME}: an output directory needs at least one FILE"),
    (["-oout", "a.json", "-"], f"{NAME}: standard input ('-') has no name to write under in an output directory"),
    (["-o", "nowhere", "a.json"], f"{NAME}: cannot use output directory 'nowhere': No such file or directory"),
    (["-o", "a.json", "a.json"], f"{NAME}: cannot use output directory 'a.json': Not a directory"),
    (["--output-dir=out/", "a.json", "sub/a.json"],
     f"{NAME}: 'a.json' and 'sub/a.json' would both be written to 'out/a.json'"),
    (["-o", ".", "b.json", "a.json"], f"{NAME}: 'a.json' would be replaced by its own document"),
    (["a.json", "--max-input-size"], f"{NAME}: option '--max-input-size' needs a value"),
    (["--max-input-size=12X", "a.json"],
     f"{NAME}: invalid size '12X': expected a number of bytes, perhaps followed by K, M, G or T"),
    (["--max-input-size", "", "a.json"],
     f"{NAME}: invalid size '': expected a number of bytes, perhaps followed by K, M, G or T"),
    (["--max-input-size", "-1", "a.json"],
     f"{NAME}: invalid size '-1': expected a number of bytes, perhaps followed by K, M, G or T"),
    (["--max-input-size", "k", "a.json"],
     f"{NAME}: invalid size 'k': expected a number of bytes, perhaps followed by K, M, G or T"),
    (["--max-input-size", "16777216T", "a.json"],
     f"{NAME}: invalid size '16777216T': expected a number of bytes, perhaps followed by K, M, G or T"),
]


@pytest.mark.parametrize("args, first_line", USAGE_ERRORS)
def test_usage_errors(args, first_line, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "out").mkdir()
    for name in ("a.json", "sub/a.json"):
        (tmp_path / name).write_bytes(b"[]")
    result = run(args, stdin=b"[]", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr.decode() == first_line + "\n" + HINT
    # Found before any work: nothing written, nothing replaced.
    assert not any((tmp_path / "out").iterdir())
    assert (tmp_path / "a.json").read_bytes() == b"[]"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.json"
    path.write_bytes(b"[]")
    path.chmod(0)
    result = run([str(path)])
    assert result.returncode == 2
    assert result.stderr.decode().startswith(f"{NAME}: cannot read '{path}': Permission denied\n")


@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_help(flag):
    result = run([flag])
    assert result.returncode == 0
    assert result.stderr == b""
    text = result.stdout.decode()
    assert text.startswith(f"Usage: {NAME} [--lines] [--max-input-size SIZE] [FILE | -]\n")
    for needed in ("standard input", "standard output", "Exit status", "RuntimeError", "--max-input-size SIZE\n",
                   "MemAvailable"):
        assert needed in text


def test_version():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert (run(["--version"]).stdout, run(["--version"]).returncode) == (f"{NAME} {version}\n".encode(), 0)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [[], ["--help"]])
def test_write_error_is_reported(args):
    with open("/dev/full", "wb") as full:
        result = subprocess.run([COMMAND, *args], input=b"[]", stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 1
    assert result.stderr == f"{NAME}: cannot write standard output: No space left on device\n".encode()


def test_closed_pipe_is_reported():
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = subprocess.run([COMMAND], input=BIG, stdout=write_end, stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(write_end)
    assert result.returncode == 1
    assert result.stderr == f"{NAME}: cannot write standard output: Broken pipe\n".encode()


@pytest.mark.parametrize("nonblocking", [["stdin"], ["stdout"], ["stdin", "stdout"]], ids="-".join)
def test_nonblocking_descriptors(nonblocking):
    # A descriptor shared with a non-blocking owner answers EAGAIN: the
    # command must wait, both on an input pipe that is empty at first and on
    # an output pipe (smaller than the document) that is drained late.
    in_read, in_write = os.pipe()
    out_read, out_write = os.pipe()
    os.set_blocking(in_read, "stdin" not in nonblocking)
    os.set_blocking(out_write, "stdout" not in nonblocking)
    proc = subprocess.Popen([COMMAND], stdin=in_read, stdout=out_write, stderr=subprocess.PIPE)
    os.close(in_read)
    os.close(out_write)
    try:
        time.sleep(0.2)
        with open(in_write, "wb") as pipe:
            pipe.write(BIG)
        time.sleep(0.2)
        with open(out_read, "rb") as pipe:
            stdout = pipe.read()
        stderr = proc.stderr.read()
    finally:
        proc.stderr.close()
        proc.wait(timeout=60)
    assert (stdout, stderr, proc.returncode) == module_answer(BIG)


@pytest.mark.heavy
def test_regular_file_is_held_once(tmp_path):
    # Read into a buffer of the file's size, not grown past it and copied.
    size = 64 << 20
    measure = ("import resource, subprocess, sys; subprocess.run(sys.argv[1:], capture_output=True); "
               "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")

    def peak_bytes(payload):
        path = tmp_path / "spaces.json"
        path.write_bytes(payload)
        result = subprocess.run([sys.executable, "-c", measure, COMMAND, str(path)],
                                capture_output=True, check=True, timeout=120)
        return int(result.stdout) * 1024

    growth = peak_bytes(b" " * size) - peak_bytes(b" ")
    assert growth < 1.25 * size


def gzipped(*parts):
    """Each part as its own gzip member, the members one after the other."""
    return b"".join(gzip.compress(part, mtime=0) for part in parts)


def zipped(data):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        archive.writestr("rows.json", data)
    return buffer.getvalue()


LINES = b'{"id":1,"k":"a"}\n\n \t\r\n{"id":2,"k":"a","s":"\xc3\xa9"}\r\n'
LINES_ARRAY = b'[{"id":1,"k":"a"},{"id":2,"k":"a","s":"\xc3\xa9"}]'
HINT_LINES = "the input looks like JSON Lines (one object per line); try --lines"
HINT_BOM = "the input starts with a UTF-8 byte order mark (bytes EF BB BF), which JSON text may not have; remove it"
HINT_LATIN1 = ("the input is not UTF-8 but looks like Latin-1 or Windows-1252 text; convert it first "
               "(iconv -f WINDOWS-1252 -t UTF-8)")


def hint_compressed(name, tool):
    return f"the input looks compressed with {name}, which this command cannot read; decompress it first ({tool})"


# (--lines?, input bytes, the array the module is given for the same answer,
# or the message when --lines reads it (positions are the input's), the hint)
INPUT_CASES = {
    "lines": (True, LINES, LINES_ARRAY, None, None),
    "lines-last-without-newline": (True, b'{"a":1}\n{"a":2}', b'[{"a":1},{"a":2}]', None, None),
    "lines-only-blank": (True, b"\n \r\n\n", b"[]", None, None),
    "lines-empty": (True, b"", b"[]", None, None),
    "lines-non-object": (True, b'{"a":1}\n[1]\n', b'[{"a":1},[1]]', None, None),
    "lines-error-on-line-1": (True, b'{"a":}\n', None, "expected value at line 1 column 6", None),
    "lines-error-after-blank": (True, b'{"a":1}\n\n  {"a":tru}\n', None, "expected ident at line 3 column 11", None),
    "lines-value-runs-past-its-line": (True, b'{"a":1}\n{"a":[1,2\n3]}\n', None,
                                       "EOF while parsing a list at line 2 column 9", None),
    "lines-string-runs-past-its-line": (True, b'{"a":"x\ny"}\n', None, "EOF while parsing a string at line 1 column 7",
                                        None),
    "lines-two-values-on-a-line": (True, b'{"a":1}\n{"a":2} , {"a":3}\n', None,
                                   "trailing characters at line 2 column 9", None),
    "lines-second-value-after-space": (True, b'{"a":[1,{"b":2}]} {"a":3}\n', None,
                                       "trailing characters at line 1 column 19", None),
    "lines-number-then-comma": (True, b'{"a":1}\n 5,6\n', None, "trailing characters at line 2 column 3", None),
    "lines-earlier-error-first": (True, b'{"a":x}\n{"a":2},{"a":3}\n', None, "expected value at line 1 column 6", None),
    "lines-gzip": (True, gzipped(LINES), LINES_ARRAY, None, None),
    "lines-gzip-members": (True, gzipped(LINES[:9], LINES[9:]), LINES_ARRAY, None, None),
    "lines-bom": (True, b'\xef\xbb\xbf{"a":1}\n', None, "expected value at line 1 column 1", HINT_BOM),
    "gzip": (False, gzipped(LINES_ARRAY), LINES_ARRAY, None, None),
    "gzip-members": (False, gzipped(b'[{"a":1},', b'{"a":2}]'), b'[{"a":1},{"a":2}]', None, None),
    "gzip-empty": (False, gzipped(b""), b"", None, None),
    "gzip-json-lines": (False, gzipped(LINES), LINES, None, HINT_LINES),
    "json-lines": (False, LINES, LINES, None, HINT_LINES),
    "one-object-no-hint": (False, b'{"rows":[{"a":1}]}\n', b'{"rows":[{"a":1}]}\n', None, None),
    "indented-object-no-hint": (False, b'{\n  "a": {"b": 1}\n}', b'{\n  "a": {"b": 1}\n}', None, None),
    "array-then-lines": (False, b'[{"a":1}]\n{"a":2}\n', b'[{"a":1}]\n{"a":2}\n', None, HINT_LINES),
    "trailing-no-hint": (False, b'[{"a":1}] {"a":2}', b'[{"a":1}] {"a":2}', None, None),
    "bom": (False, b'\xef\xbb\xbf[{"a":1}]', b'\xef\xbb\xbf[{"a":1}]', None, HINT_BOM),
    "latin-1": (False, b'[{"name":"Jos\xe9"}]', b'[{"name":"Jos\xe9"}]', None, HINT_LATIN1),
    "windows-1252-quotes": (False, b'[{"q":"\x93hi\x94"}]', b'[{"q":"\x93hi\x94"}]', None, HINT_LATIN1),
    "broken-utf8-no-hint": (False, b'[{"a":"\xc3\xa9\xff"}]', b'[{"a":"\xc3\xa9\xff"}]', None, None),
    "undefined-in-1252-no-hint": (False, b'[{"a":"\x81"}]', b'[{"a":"\x81"}]', None, None),
    "zstd": (False, b"\x28\xb5\x2f\xfd\x00\x58", b"\x28\xb5\x2f\xfd\x00\x58", None, hint_compressed("zstd", "zstd -dc")),
    "xz": (False, lzma.compress(b"[]"), lzma.compress(b"[]"), None, hint_compressed("xz", "xz -dc")),
    "bzip2": (False, bz2.compress(b"[]"), bz2.compress(b"[]"), None, hint_compressed("bzip2", "bzip2 -dc")),
    "zip": (False, zipped(b"[]"), zipped(b"[]"), None,
            "the input looks like a zip archive, which this command cannot read; extract it first (unzip -p)"),
}


@pytest.mark.parametrize("case", INPUT_CASES)
@pytest.mark.parametrize("source", ["stdin", "file", "batch"])
def test_input_forms_and_hints(case, source, tmp_path):
    lines, data, array, message, hint = INPUT_CASES[case]
    if message is None:
        document, error, status = module_answer(array)
        if hint is not None:
            assert status == 1
            error += f"{NAME}: hint: {hint}\n".encode()
    else:
        document, error, status = b"", f"invalid row-oriented JSON: {message}\n{NAME}: hint: {hint}\n".encode(), 1
        if hint is None:
            error = error[:error.index(b"\n") + 1]
    options = ["--lines"] if lines else []
    (tmp_path / "rows.json").write_bytes(data)
    if source == "stdin":
        result = run(options, stdin=data)
    elif source == "file":
        result = run([*options, "rows.json"], cwd=tmp_path)
    else:
        (tmp_path / "out").mkdir()
        result = run([*options, "-o", "out", "rows.json"], cwd=tmp_path)
        # Each line of the FILE's failure is prefixed with the FILE, the hint's too.
        error = re.sub(rb"(?m)^(%s: )?(?=.)" % NAME.encode(), b"rows.json: ", error)
        written = {p.name: p.read_bytes() for p in (tmp_path / "out").iterdir()}
        assert written == ({"rows.json": document} if status == 0 else {})
        document = b""
    assert (result.stdout, result.stderr, result.returncode) == (document, error, status)


GOOD = gzip.compress(b'[{"a":1}]', mtime=0)


@pytest.mark.parametrize("data, reason", [
    (GOOD[:-3], "truncated gzip data"),
    (GOOD[:-8] + bytes([GOOD[-8] ^ 1]) + GOOD[-7:], "invalid gzip data (incorrect data check)"),
    (GOOD + b"\n", "unexpected data after the gzip data"),
    (GOOD[:3] + b"\xff" + GOOD[4:], "invalid gzip data (unknown header flags set)"),
    (GOOD + b"\0" * 100 + b"\n", "unexpected data after the gzip data"),
    (GOOD + b"\0" * 512 + GOOD, "unexpected data after the gzip data"),
    (GOOD + b"\x1f", "unexpected data after the gzip data"),
], ids=["truncated", "bad-crc", "trailing-byte", "bad-header", "padding-then-byte", "padding-then-member",
        "half-magic"])
@pytest.mark.parametrize("source", ["stdin", "file", "batch"])
def test_corrupt_gzip(data, reason, source, tmp_path):
    (tmp_path / "out").mkdir()
    (tmp_path / "rows.json").write_bytes(data)
    args, expected = {
        "stdin": ([], f"{NAME}: cannot decompress standard input: {reason}"),
        "file": (["rows.json"], f"{NAME}: cannot decompress 'rows.json': {reason}"),
        "batch": (["-o", "out", "rows.json"], f"rows.json: cannot decompress: {reason}"),
    }[source]
    result = run(args, stdin=data, cwd=tmp_path)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (b"", expected + "\n", 1)
    assert not any((tmp_path / "out").iterdir())


@pytest.mark.parametrize("padding", [1, 7, 512, 10240])
@pytest.mark.parametrize("source", ["stdin", "file", "batch"])
def test_gzip_zero_padding(padding, source, tmp_path):
    # Zero bytes after the last member (tape blocks, some tools) are taken,
    # as gzip(1) takes them; the members before them all count.
    data = gzipped(b'[{"a":1},', b'{"a":2}]') + b"\0" * padding
    (tmp_path / "out").mkdir()
    (tmp_path / "rows.json.gz").write_bytes(data)
    args = {"stdin": [], "file": ["rows.json.gz"], "batch": ["-o", "out", "rows.json.gz"]}[source]
    result = run(args, stdin=data, cwd=tmp_path)
    document = module_answer(b'[{"a":1},{"a":2}]')[0]
    assert (result.stderr, result.returncode) == (b"", 0)
    if source == "batch":
        assert (tmp_path / "out" / "rows.json.gz").read_bytes() == document
    else:
        assert result.stdout == document


def position(data, offset):
    """(line, column) of the byte at `offset`, as messages count them."""
    return data.count(b"\n", 0, offset) + 1, offset - (data.rfind(b"\n", 0, offset) + 1) + 1


ROWS = [b'{"a":1}', b'{"a":2,"b":[1,{"c":"]"}]}', b'{"a":3}']


def stray_closer_cases():
    # A "]" or "}" where a line's value would begin: at the start of the
    # file, between two rows, after the last one (with or without a line
    # end), after a blank line, after spaces and tabs, with LF and CRLF.
    for closer in (b"]", b"}"):
        for eol in (b"\n", b"\r\n"):
            for indent in (b"", b" \t"):
                stray = indent + closer
                for where, lines in [
                    ("start", [stray, *ROWS]),
                    ("start-alone", [stray]),
                    ("middle", [ROWS[0], stray, *ROWS[1:]]),
                    ("after-blank", [ROWS[0], b"", stray, ROWS[1]]),
                    ("end", [*ROWS, stray]),
                ]:
                    for last_eol in (True, False):
                        data = eol.join(lines) + (eol if last_eol else b"")
                        k = lines.index(stray)
                        offset = sum(len(line) + len(eol) for line in lines[:k]) + len(indent)
                        ending = "crlf" if eol == b"\r\n" else "lf"
                        name = (f"{closer.decode()}-{ending}-{where}"
                                f"{'-indented' if indent else ''}{'' if last_eol else '-no-final-eol'}")
                        yield pytest.param(data, offset, id=name)


@pytest.mark.parametrize("data, offset", list(stray_closer_cases()))
@pytest.mark.parametrize("source", ["stdin", "gzip", "batch"])
def test_lines_stray_closer(data, offset, source, tmp_path):
    # The byte named is the stray one, at its own line and column, and the
    # error is what a reader of that line alone says: no comma, no bracket
    # that the command put in.
    assert data[offset:offset + 1] in (b"]", b"}")
    line, column = position(data, offset)
    line_alone = data.split(b"\n")[line - 1]
    assert module_answer(line_alone)[1] == f"invalid row-oriented JSON: expected value at line 1 column {column}\n".encode()
    message = f"invalid row-oriented JSON: expected value at line {line} column {column}\n".encode()
    payload = gzip.compress(data, mtime=0) if source == "gzip" else data
    (tmp_path / "rows.jsonl").write_bytes(payload)
    if source == "batch":
        (tmp_path / "out").mkdir()
        result = run(["--lines", "-o", "out", "rows.jsonl"], cwd=tmp_path)
        message = b"rows.jsonl: " + message
        assert not any((tmp_path / "out").iterdir())
    else:
        result = run(["--lines"], stdin=payload)
    assert (result.stdout, result.stderr, result.returncode) == (b"", message, 1)


@pytest.mark.parametrize("data, message", [
    # After a value on the line, a closer is a trailing character, as before.
    (b'{"a":1}]\n', "trailing characters at line 1 column 8"),
    (b'{"a":1}\n{"a":2} }\r\n', "trailing characters at line 2 column 9"),
    (b'{"a":1}\n5]\n', "trailing characters at line 2 column 2"),
    # Closers inside a row close what the row opened; one too many fails there.
    (b'{"a":[1]}}\n', "trailing characters at line 1 column 10"),
    # A reading error before the stray byte comes first.
    (b'{"a":x}\n]\n', "expected value at line 1 column 6"),
    (b'{"a":[1,2\n]\n', "EOF while parsing a list at line 1 column 9"),
    # Reading errors come before a row that is not an object.
    (b'[1]\n  }\n', "expected value at line 2 column 3"),
    # A stray comma was already read as the line's value would be.
    (b'{"a":1}\n,\n', "expected value at line 2 column 1"),
    (b' ,{"a":1}\n', "expected value at line 1 column 2"),
])
def test_lines_closers_and_neighbours(data, message):
    result = run(["--lines"], stdin=data)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (
        b"", f"invalid row-oriented JSON: {message}\n", 1)


def write_gzip(path, parts):
    """Gzip `parts` (byte strings, or (chunk, count) repeats) into `path`,
    streamed: a bomb of hundreds of MB is never held in memory."""
    packer = zlib.compressobj(1, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    with open(path, "wb") as f:
        for part in parts:
            chunk, count = part if isinstance(part, tuple) else (part, 1)
            for _ in range(count):
                f.write(packer.compress(chunk))
        f.write(packer.flush())
    return path


MB = 1 << 20

# (name, --lines?, the decompressed input, its message, a hint or None).
# Each starts with bytes that decide the answer, then hundreds of MB that a
# bomb would hold: the command stops at the start.
BOMBS = [
    ("zeros", False, [(b"\0" * MB, 300)], "expected value at line 1 column 1", None),
    ("zeros-lines", True, [(b"\0" * MB, 300)], "expected value at line 1 column 1", None),
    ("spaces-then-zeros", False, [b" \r\n\t" * 1000, (b"\0" * MB, 300)], "expected value at line 1001 column 2",
     None),
    ("lines-then-zeros", True, [b'{"a":1}\n' * 100000, (b"\0" * MB, 300)], "expected value at line 100001 column 1",
     None),
    ("lines-then-closer", True, [b'{"a":1}\r\n', b" ]", (b" " * MB, 300)], "expected value at line 2 column 2",
     None),
    ("bom", False, [b"\xef\xbb\xbf[", (b"\0" * MB, 300)], "expected value at line 1 column 1",
     "the input starts with a UTF-8 byte order mark (bytes EF BB BF), which JSON text may not have; remove it"),
]


# The answer, and the peak memory, which a sanitizer's shadow memory would
# distort. Both heavy: each test compresses hundreds of MB first, minutes under
# emulation, and the command's stopping rule is the same on every platform.
MEASURED = [pytest.param(False, id="answer", marks=pytest.mark.heavy),
            pytest.param(True, id="memory", marks=pytest.mark.heavy)]


def peak_run(args, cwd, command=(COMMAND,)):
    """The command's result and its peak resident memory in bytes, measured in a fresh process."""
    measure = ("import resource, subprocess, sys; r = subprocess.run(sys.argv[1:], capture_output=True); "
               "sys.stdout.buffer.write(b'%d %d\\n' % (r.returncode, "
               "resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) + r.stderr)")
    out = subprocess.run([sys.executable, "-c", measure, *command, *args], cwd=cwd, capture_output=True, check=True,
                         timeout=120).stdout
    head, _, stderr = out.partition(b"\n")
    status, kib = map(int, head.split())
    return status, kib * 1024, stderr


def bomb_expectation(lines, message, hint, name=None):
    text = f"invalid row-oriented JSON: {message}\n"
    if hint is not None:
        text += f"{NAME}: hint: {hint}\n"
    if name is not None:  # with -o DIR
        text = re.sub(r"(?m)^(%s: )?(?=.)" % NAME, f"{name}: ", text)
    return text


@pytest.mark.parametrize("name, lines, parts, message, hint", BOMBS, ids=[b[0] for b in BOMBS])
@pytest.mark.parametrize("source", ["file", "batch"])
@pytest.mark.parametrize("measured", MEASURED)
def test_gzip_bomb_stops_at_its_start(name, lines, parts, message, hint, source, measured, tmp_path):
    write_gzip(tmp_path / "bomb.gz", parts)
    options = ["--lines"] if lines else []
    if source == "batch":
        (tmp_path / "out").mkdir()
        args, expected = [*options, "-o", "out", "bomb.gz"], bomb_expectation(lines, message, hint, "bomb.gz")
    else:
        args, expected = [*options, "bomb.gz"], bomb_expectation(lines, message, hint)
    status, peak, stderr = peak_run(args, tmp_path)
    assert (stderr.decode(), status) == (expected, 1)
    # The decompressed input is 300 MB and more; the command holds its start.
    if measured:
        assert peak < 64 * MB


@pytest.mark.parametrize("source", ["stdin", "file", "batch"])
@pytest.mark.parametrize("lines", [False, True], ids=["array", "lines"])
@pytest.mark.parametrize("measured", MEASURED)
def test_gzip_bomb_of_whitespace_stops_at_the_limit(lines, source, measured, tmp_path):
    # Whitespace alone never decides: the size limit does, at its size.
    path = write_gzip(tmp_path / "bomb.gz", [b"[", (b" \n" * (MB // 2), 300)] if not lines else [(b" \r\n" * MB, 100)])
    options = ["--lines", "--max-input-size", "32M"] if lines else ["--max-input-size=32M"]
    limit = f"the input size limit of {32 * MB} bytes (see --max-input-size)"
    if source == "stdin":
        args, expected = ["sh", "-c", f'exec "$0" "$@" < {path}', COMMAND, *options], \
            f"{NAME}: standard input decompresses to more than {limit}\n"
    elif source == "file":
        args, expected = [COMMAND, *options, "bomb.gz"], f"{NAME}: 'bomb.gz' decompresses to more than {limit}\n"
    else:
        (tmp_path / "out").mkdir()
        args, expected = [COMMAND, *options, "-o", "out", "bomb.gz"], f"bomb.gz: decompresses to more than {limit}\n"
    status, peak, stderr = peak_run(args, tmp_path, command=[])
    assert (stderr.decode(), status) == (expected, 1)
    if measured:
        assert peak < 96 * MB  # the limit, some room, the compressed bytes: not 300 MB


@pytest.mark.parametrize("limit, allowed", [("9", True), ("8", False), ("1K", True), ("0", False)])
@pytest.mark.parametrize("source", ["stdin", "file", "gzip", "batch"])
def test_max_input_size(limit, allowed, source, tmp_path):
    data = b'[{"a":1}]'  # 9 bytes
    payload = gzip.compress(data, mtime=0) if source == "gzip" else data
    (tmp_path / "rows.json").write_bytes(payload)
    (tmp_path / "out").mkdir()
    size = {"9": 9, "8": 8, "1K": 1024, "0": 0}[limit]
    text = f"the input size limit of {size} bytes (see --max-input-size)"
    if source == "stdin":
        args, refusal = ["--max-input-size", limit], f"{NAME}: standard input is larger than {text}\n"
    elif source == "file":
        args, refusal = [f"--max-input-size={limit}", "rows.json"], f"{NAME}: 'rows.json' is larger than {text}\n"
    elif source == "gzip":
        # The compressed bytes are more than 9: the limit is on the decompressed ones.
        args = ["--max-input-size", str(len(payload)) if allowed else limit, "rows.json"]
        if allowed:
            text = f"the input size limit of {len(payload)} bytes (see --max-input-size)"
        refusal = f"{NAME}: 'rows.json' is larger than {text}\n"
    else:
        args, refusal = ["--max-input-size", limit, "-o", "out", "rows.json"], f"rows.json: larger than {text}\n"
    result = run(args, stdin=payload, cwd=tmp_path)
    document = module_answer(data)[0]
    if allowed:
        assert (result.stderr, result.returncode) == (b"", 0)
        assert (tmp_path / "out" / "rows.json").read_bytes() == document if source == "batch" \
            else result.stdout == document
    else:
        assert (result.stdout, result.stderr.decode(), result.returncode) == (b"", refusal, 1)
        assert not any((tmp_path / "out").iterdir())


def test_max_input_size_decompressed(tmp_path):
    data = b'[{"a":1}]' + b" " * 2000
    (tmp_path / "rows.json.gz").write_bytes(gzip.compress(data, mtime=0))  # far fewer bytes than data
    ok = run(["--max-input-size", str(len(data)), "rows.json.gz"], cwd=tmp_path)
    assert (ok.stdout, ok.stderr, ok.returncode) == module_answer(data)
    refused = run(["--max-input-size", str(len(data) - 1), "rows.json.gz"], cwd=tmp_path)
    assert (refused.stdout, refused.stderr.decode(), refused.returncode) == (
        b"", f"{NAME}: 'rows.json.gz' decompresses to more than the input size limit of {len(data) - 1} bytes "
             "(see --max-input-size)\n", 1)


def test_default_limit_is_the_memory_available(tmp_path):
    # A sparse file larger than the machine's memory is refused at once, by
    # its size, not read until memory runs out.
    total = next(int(line.split()[1]) * 1024 for line in open("/proc/meminfo") if line.startswith("MemTotal:"))
    path = tmp_path / "huge.json"
    with open(path, "wb") as f:
        f.truncate(2 * total)
    result = run(["huge.json"], cwd=tmp_path)
    match = re.fullmatch(rf"{NAME}: 'huge.json' is larger than the input size limit of (\d+) bytes "
                         rf"\(see --max-input-size\)\n", result.stderr.decode())
    assert match and result.returncode == 1
    assert 0 < int(match.group(1)) <= total


# Inputs whose start rejects them, followed by more than one step of
# decompression: what follows must change nothing in the answer, though the
# command stops reading there (the hints included; a corrupt end is not
# seen). (--lines?, the start, whether the start decides).
FILLER = b'{"a":"\xc3\xa9"}\n' * 200000 + b"\xe9" + b"\0" * 10
EARLY = [
    (False, b"\0", True),
    (False, b"(\xb5/\xfd\0\0", True),
    (False, b"PK\x03\x04", True),
    (False, b"BZh9", True),
    (False, b"\xef\xbb\xbf", True),
    (False, b"\n \x00", True),
    (False, b"{\n\0", False),  # "invalid type", and perhaps the JSON Lines hint: decided by the whole
    (False, b"nul\0", False),
    (True, b"\xef\xbb\xbf", True),
    (True, b'{"a":1}\n\n }', True),
    (True, b'{"a":1}\n\n ,', True),
    (True, b'{"a":1}\n\xe9', True),
    (True, b'{"a":"\xe9"}\n\0', False),  # a byte above 7f first: the Latin-1 hint may need the rest
    (True, b'{"a":x}\n\0', True),
    (True, b'{"a":[1,\n\0', True),
    (True, b'{"a":1}{\n\0', True),
    (True, b'[1]\n\0', True),
]


@pytest.mark.parametrize("lines, start, decides", EARLY, ids=[repr(start)[2:-1] for _, start, _ in EARLY])
@pytest.mark.parametrize("corrupt", [False, True], ids=["whole", "corrupt-end"])
def test_gzip_early_answer_is_the_whole_inputs(lines, start, decides, corrupt):
    data = start + FILLER
    payload = gzip.compress(data, compresslevel=1, mtime=0)
    if corrupt:
        payload = payload[:-8]
    options = ["--lines"] if lines else []
    plain = run(options, stdin=data)
    assert plain.returncode == 1
    packed = run(options, stdin=payload)
    if corrupt and not decides:  # decompressed to its end: the damage shows
        assert packed.stderr == f"{NAME}: cannot decompress standard input: truncated gzip data\n".encode()
    else:
        assert (packed.stdout, packed.stderr, packed.returncode) == (plain.stdout, plain.stderr, plain.returncode)


# A slow failure first, so that with two jobs the later failures finish
# before it: their messages must still come after its.
BATCH_INPUTS = {
    "slow-failure.json": BIG + b" x",
    "trailing.json": b"[] x",
    "non-object.json": b"[{},2,[3]]",
    "too-deep.json": b"[" * 200 + b"]" * 200,
    "big.json": BIG,
    "rows.json": (ROOT / "examples" / "rows.json").read_bytes(),
    "constants.json": b'[{"id":1,"kind":"a"},{"id":2,"kind":"a"}]',
    "empty-array.json": b"[]",
    "empty.json": b"",
}

# Inputs are named relative to their directory, the working directory, so
# that they prefix the messages as given; "missing.json" does not exist.
BATCH_RUNS = [
    pytest.param([], ["rows.json", "constants.json"], id="two-files"),
    pytest.param(["-j", "1", "--sync"], ["rows.json", "trailing.json", "constants.json"], id="serial-with-failure"),
    pytest.param(["-j2"], list(BATCH_INPUTS), id="two-jobs-failures-after-a-slow-one"),
    pytest.param(["--jobs=2"], ["missing.json", "rows.json", "empty.json"], id="missing-file"),
    pytest.param(["--jobs", "8"], ["./sub/../rows.json"], id="one-file"),
]


@pytest.mark.parametrize("options, names", BATCH_RUNS)
def test_batch_same_documents_as_module(options, names, tmp_path):
    inputs = tmp_path / "in"
    (inputs / "sub").mkdir(parents=True)
    out = tmp_path / "out"
    out.mkdir()
    for name, payload in BATCH_INPUTS.items():
        (inputs / name).write_bytes(payload)
    result = run([*options, "-o", "../out", *names], cwd=inputs)

    documents, messages, status = {}, b"", 0
    for name in names:
        base = os.path.basename(name)
        if base not in BATCH_INPUTS:
            messages += f"{name}: cannot read: No such file or directory\n".encode()
            status = 1
            continue
        document, message, code = module_answer(BATCH_INPUTS[base])
        if code:
            messages += name.encode() + b": " + message
            status = 1
        else:
            documents[base] = document
    # No temporary file is left behind either.
    assert {path.name: path.read_bytes() for path in out.iterdir()} == documents
    assert (result.stdout, result.stderr, result.returncode) == (b"", messages, status)


def test_batch_replaces_only_with_a_whole_document(tmp_path):
    (tmp_path / "out").mkdir()
    for name, payload in [("good.json", b'[{"a":1}]'), ("bad.json", b"[{"), ("out/good.json", b"old"),
                          ("out/bad.json", b"old")]:
        (tmp_path / name).write_bytes(payload)
    result = run(["-o", "out", "good.json", "bad.json"], cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == b"bad.json: invalid row-oriented JSON: EOF while parsing an object at line 1 column 2\n"
    assert {path.name: path.read_bytes() for path in (tmp_path / "out").iterdir()} == {
        "good.json": b'{"columns":["a"],"rows":[[1]],"constants":{}}', "bad.json": b"old"}


# A FILE that is a file the batch replaces, under another name: refused
# before anything is read or written. Inputs live in in/, outputs in out/;
# (link kind, FILE name in in/, what it links to, the FILEs, the message).
LINKED_INPUTS = [
    ("symlink", "x.json", "../out/y.json", ["in/y.json", "in/x.json"],
     "'in/x.json' would be replaced by the document of 'in/y.json'"),
    ("hardlink", "x.json", "out/y.json", ["in/x.json", "in/y.json"],
     "'in/x.json' would be replaced by the document of 'in/y.json'"),
    ("symlink", "y.json", "../out/y.json", ["in/y.json"], "'in/y.json' would be replaced by its own document"),
    ("hardlink", "y.json", "out/y.json", ["in/y.json"], "'in/y.json' would be replaced by its own document"),
]


@pytest.mark.parametrize("kind, name, target, files, message", LINKED_INPUTS,
                         ids=["symlink-other", "hardlink-other", "symlink-own", "hardlink-own"])
def test_batch_refuses_to_replace_an_input(kind, name, target, files, message, tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "y.json").write_bytes(b'[{"x":1},{"x":2}]')
    if kind == "symlink":
        (tmp_path / "in" / name).symlink_to(target)
    elif kind == "hardlink":
        os.link(tmp_path / target, tmp_path / "in" / name)
    if not (tmp_path / "in" / "y.json").exists():
        (tmp_path / "in" / "y.json").write_bytes(b'[{"y":1}]')
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    result = run(["-j", "1", "-o", "out", *files], cwd=tmp_path)
    assert (result.stdout, result.stderr.decode(), result.returncode) == (b"", f"{NAME}: {message}\n" + HINT, 2)
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


@pytest.mark.parametrize("old_mode", [None, 0o600, 0o640, 0o604], ids=["new", "0600", "0640", "0604"])
def test_batch_output_mode(old_mode, tmp_path):
    # A replaced document keeps the old file's mode (and owner and group,
    # which only root can show here); a new one gets 0666 less the umask.
    (tmp_path / "out").mkdir()
    (tmp_path / "a.json").write_bytes(b'[{"a":1}]')
    old = tmp_path / "out" / "a.json"
    owner = (os.getuid(), os.getgid())
    if old_mode is not None:
        old.write_bytes(b"old")
        old.chmod(old_mode)
        if os.geteuid() == 0:
            owner = (4321, 8765)
            os.chown(old, *owner)
    umask = 0o027
    result = subprocess.run([COMMAND, "-o", "out", "a.json"], cwd=tmp_path, capture_output=True, timeout=60,
                            preexec_fn=lambda: os.umask(umask))
    assert (result.stderr, result.returncode) == (b"", 0)
    st = old.stat()
    assert old.read_bytes() == b'{"columns":["a"],"rows":[[1]],"constants":{}}'
    assert (st.st_mode & 0o7777, (st.st_uid, st.st_gid)) == (0o666 & ~umask if old_mode is None else old_mode, owner)


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes whatever the mode")
def test_batch_unwritable_directory(tmp_path):
    (tmp_path / "a.json").write_bytes(b"[]")
    (tmp_path / "out").mkdir(mode=0o500)
    result = run(["-o", "out", "a.json"], cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode() == f"{NAME}: cannot use output directory 'out': Permission denied\n" + HINT


@pytest.mark.parametrize("options, stderr_kind, shown", [
    (["--progress"], "pipe", True),
    ([], "pipe", False),
    ([], "terminal", True),
])
def test_progress_line(options, stderr_kind, shown, tmp_path):
    # The input is a FIFO fed late, so the run lasts long enough to draw.
    fifo = tmp_path / "rows.json"
    os.mkfifo(fifo)
    (tmp_path / "out").mkdir()
    if stderr_kind == "terminal":
        reader, stderr = os.openpty()
    else:
        reader, stderr = os.pipe()
    proc = subprocess.Popen([COMMAND, *options, "-o", "out", "rows.json"], cwd=tmp_path, stderr=stderr)
    os.close(stderr)
    text = b""
    if shown:
        while b"MB/s" not in text:  # drawn while the command waits for its input
            assert select.select([reader], [], [], 30)[0], "no progress line"
            chunk = os.read(reader, 4096)
            assert chunk, f"no progress line: {text!r}"
            text += chunk
    else:
        time.sleep(0.7)
    # From a thread: opening a FIFO waits for its reader, which a faulty command may never be.
    threading.Thread(target=fifo.write_bytes, args=(b'[{"a":1}]',), daemon=True).start()
    assert proc.wait(timeout=60) == 0
    while True:
        try:
            chunk = os.read(reader, 4096)
        except OSError:  # a terminal whose other side is closed
            break
        if not chunk:
            break
        text += chunk
    os.close(reader)
    if shown:
        # Redrawn in place, then blanked out.
        assert re.fullmatch(rb"(\r" + NAME.encode() + rb": 0/1 files, 0\.0/0\.0 MB, 0\.0 MB/s *)+\r +\r", text)
    else:
        assert text == b""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="checks for an ELF executable")
def test_is_a_native_executable():
    # A Python entry-point wrapper would start an interpreter on every run.
    with open(COMMAND, "rb") as f:
        assert f.read(4) == b"\x7fELF"
