"""The installed zorvat-columnarize command: the same bytes as the module,
the module's failure texts on standard error, and its exit statuses."""

import os
import shutil
import subprocess
import sys
import sysconfig
import time
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
    pytest.param(b'[{"a":"\xff"}]', id="invalid-utf8"),
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
    (["a.json", "b.json"], f"{NAME}: too many arguments: expected at most one FILE, got 'b.json' too"),
    (["-", "-"], f"{NAME}: too many arguments: expected at most one FILE, got '-' too"),
    (["missing.json"], f"{NAME}: cannot read 'missing.json': No such file or directory"),
    (["."], f"{NAME}: cannot read '.': Is a directory"),
    ([""], f"{NAME}: cannot read '': No such file or directory"),
]


@pytest.mark.parametrize("args, first_line", USAGE_ERRORS)
def test_usage_errors(args, first_line, tmp_path):
    result = run(args, stdin=b"[]", cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == b""
    assert result.stderr.decode() == first_line + "\n" + HINT


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
    assert text.startswith(f"Usage: {NAME} [FILE | -]\n")
    for needed in ("standard input", "standard output", "Exit status", "RuntimeError"):
        assert needed in text


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


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="checks for an ELF executable")
def test_is_a_native_executable():
    # A Python entry-point wrapper would start an interpreter on every run.
    with open(COMMAND, "rb") as f:
        assert f.read(4) == b"\x7fELF"
