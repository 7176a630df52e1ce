"""The installed zorvat-columnarize command: the same bytes as the module,
the module's failure texts on standard error, and its exit statuses."""

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
    assert text.startswith(f"Usage: {NAME} [FILE | -]\n")
    for needed in ("standard input", "standard output", "Exit status", "RuntimeError"):
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
