"""examples/dask_columnarize.py on real Dask clusters of worker processes:
every document byte for byte what the in-process call returns, and every
failing file reported with the module's own RuntimeError text."""

import socket
import subprocess
import sys
from pathlib import Path

import pytest

import zorvat_codec

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "dask_columnarize.py"

# Dask is imported inside the tests, not at collection, and the tests are
# left out of the AddressSanitizer stage of scripts/test_all.sh: there the
# preloaded runtime and its leak check would follow the cluster's worker
# processes and judge Dask's dependencies rather than the module.
pytestmark = pytest.mark.thirdparty

MANY = b"[" + b",".join(b'{"id":%d,"kind":"k","v":%d.25,"tags":["t%d"]}' % (i, i % 13, i % 3) for i in range(20000)) + b"]"

WRITTEN = {
    "rows.json": (ROOT / "examples" / "rows.json").read_bytes(),
    "constants.json": b'[{"id":1,"kind":"a","n":null},{"id":2,"kind":"a"}]',
    "nested.json": b'[{"a":{"x":[1,2]},"b":1.0},{"a":{"x":[1,2]},"b":2},{"a":{"x":[1]},"b":3e2}]',
    "many.json": MANY,
    "utf8 name \u00e9": '[{"s":"caf\u00e9 \\u00e9\\n"}]'.encode(),
    "empty-array.json": b"[]",
}
FAILING = {
    "object.json": b'{"id":1}',
    "number-row.json": b'[{"a":1},2]',
    "truncated.json": b'[{"a":',
    "empty.json": b"",
}


def write_folder(folder, payloads):
    folder.mkdir()
    for name, payload in payloads.items():
        (folder / name).write_bytes(payload)
    (folder / "subfolder").mkdir()  # not a file: no task


def run_example(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def in_process(payloads):
    """The documents the module returns here, and the failure lines the
    example must print for the payloads it rejects."""
    documents, failures = {}, set()
    for name, payload in payloads.items():
        try:
            documents[name] = zorvat_codec.columnarize(payload)
        except RuntimeError as e:
            failures.add(f"{name}: RuntimeError: {e}")
    return documents, failures


def written(out_dir):
    return {p.name: p.read_bytes() for p in out_dir.iterdir()}


def reported_failures(stderr, payloads):
    # Dask's own log lines go to standard error too; the example's start with a file name.
    return {line for line in stderr.splitlines() if line.split(": ", 1)[0] in payloads}


def test_local_cluster_documents_and_failures(tmp_path):
    pytest.importorskip("distributed")
    payloads = WRITTEN | FAILING
    write_folder(tmp_path / "rows", payloads)
    documents, failures = in_process(payloads)
    assert len(failures) == len(FAILING)

    result = run_example(tmp_path / "rows", tmp_path / "out")  # its own cluster: 2 worker processes

    assert written(tmp_path / "out") == documents  # nothing for a failing file, no leftover
    assert reported_failures(result.stderr, payloads) == failures
    assert result.returncode == 1, result.stderr
    assert result.stdout.splitlines()[:2] == [
        f"files: {len(payloads)} ({len(WRITTEN)} written, {len(FAILING)} failed)",
        f"bytes: {sum(map(len, payloads.values()))} in, {sum(map(len, documents.values()))} out",
    ]


def test_running_scheduler_all_written(tmp_path):
    pytest.importorskip("distributed")
    from dask.distributed import LocalCluster

    write_folder(tmp_path / "rows", WRITTEN)
    with LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None) as cluster:
        result = run_example(tmp_path / "rows", tmp_path / "out", "--scheduler", cluster.scheduler_address)

    assert written(tmp_path / "out") == in_process(WRITTEN)[0]
    assert reported_failures(result.stderr, WRITTEN) == set()
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"files: {len(WRITTEN)} ({len(WRITTEN)} written, 0 failed)\n")


def test_unreachable_scheduler_is_one_line(tmp_path):
    pytest.importorskip("distributed")
    write_folder(tmp_path / "rows", WRITTEN)
    with socket.socket() as s:  # a port that nothing listens on
        s.bind(("127.0.0.1", 0))
        address = "tcp://127.0.0.1:%d" % s.getsockname()[1]
    result = run_example(tmp_path / "rows", tmp_path / "out", "--scheduler", address)

    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith(f"dask_columnarize.py: could not reach the scheduler at {address}: ")
    assert result.stderr.count("\n") == 1, result.stderr
    assert not (tmp_path / "out").exists()
