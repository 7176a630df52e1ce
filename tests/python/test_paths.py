"""The module's two paths give the same answer: this process (span pass
first, unless the suite runs with ZORVAT_EXACT_ONLY=1) against a worker
process that runs the exact path only. Bytes must match, and so must every
error message, on generated row sets and on their truncated or altered
copies."""

import os
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zorvat_codec
from test_reference import payloads

WORKER = r"""
import struct, sys
from zorvat_codec import columnarize
read, write = sys.stdin.buffer.read, sys.stdout.buffer.write
while (head := read(8)):
    payload = read(struct.unpack("<Q", head)[0])
    try:
        tag, body = b"O", columnarize(payload)
    except RuntimeError as e:
        tag, body = b"E", str(e).encode()
    write(tag + struct.pack("<Q", len(body)) + body)
    sys.stdout.buffer.flush()
"""


@pytest.fixture(scope="module")
def exact_only():
    env = dict(os.environ, ZORVAT_EXACT_ONLY="1",
               PYTHONPATH=os.path.dirname(os.path.abspath(zorvat_codec.__file__)))
    worker = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

    def call(payload: bytes):
        worker.stdin.write(struct.pack("<Q", len(payload)) + payload)
        worker.stdin.flush()
        tag = worker.stdout.read(1)
        body = worker.stdout.read(struct.unpack("<Q", worker.stdout.read(8))[0])
        return tag, body

    yield call
    worker.stdin.close()
    assert worker.wait(timeout=60) == 0


def here(payload: bytes):
    try:
        return b"O", zorvat_codec.columnarize(payload)
    except RuntimeError as e:
        return b"E", str(e).encode()


@settings(max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(payloads(), st.integers(0, 2), st.integers(0, 2**32), st.binary(min_size=1, max_size=2))
def test_both_paths_answer_alike(exact_only, payload, change, where, noise):
    if change == 1 and payload:
        payload = payload[: where % len(payload)]  # an error near wherever it is cut
    elif change == 2 and payload:
        at = where % len(payload)
        payload = payload[:at] + noise + payload[at + 1 :]
    assert here(payload) == exact_only(payload)


# Rows broken in ways the span pass stops at; each goes first, in the middle
# and last of three rows on lines of their own, so the message of a reader
# resumed past the accepted rows is compared with one read from the start.
GOOD_ROW = b'{"a":1,"b":"x\\ny","c":[1,{"d":2.5}]}'
BROKEN_ROWS = [b'{"a":1,"b":"x"x}', b'{"a" 1}', b'{"a":tru}', b'{"a":"\\q"}', b'{"a":1,}', b'{"a":[1}',
               b'{"a":1e400}', b'{"a":1e305,}', b'{"a":"\xff"}', b'{"a":1} {"b":2}', b'{"a":1},', b'[1,2]',
               b'"s"', b'{"a":' + b'[' * 126 + b']' * 126 + b'}', b'']


@pytest.mark.parametrize("row", BROKEN_ROWS)
def test_broken_rows_answer_alike(exact_only, row):
    for at in range(3):
        rows = [row if r == at else GOOD_ROW for r in range(3)]
        payload = b"[\n" + b",\n".join(rows) + b"\n]"
        for altered in (payload, payload[:-1], payload[:-3], payload.replace(b"[1,2]", b"[1,2],\n{]")):
            assert here(altered) == exact_only(altered)
