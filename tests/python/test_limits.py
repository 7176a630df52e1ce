"""Sizes users reach: positions past 2**32 bytes stay exact."""

import pytest

from zorvat_codec import columnarize


@pytest.mark.slow
def test_error_position_past_4_gib():
    # About 4.3 GiB, joined in one step, so no second copy is ever alive.
    spaces = 2**32 + 300_000_000
    filler = b" " * spaces
    payload = b"".join((b"[", filler, b"x"))
    del filler
    with pytest.raises(RuntimeError) as e:
        columnarize(payload)
    column = spaces + 2  # just past the "x"
    assert column > 2**32
    assert str(e.value) == "invalid row-oriented JSON: expected value at line 1 column %d" % column


def test_error_position_small_form():
    # The same shape small, so the default run checks the arithmetic above.
    with pytest.raises(RuntimeError) as e:
        columnarize(b"[" + b" " * 10 + b"x")
    assert str(e.value) == "invalid row-oriented JSON: expected value at line 1 column 12"


def _side_text_past_4_gib(rows):
    # Nested numbers the writer spells otherwise ("1e15" is written
    # 1000000000000000.0) make the fast path's side text outgrow the payload:
    # 47 rows of 36 MB pass 4 GiB of side text, with a cell's "[" placed at
    # byte 0x30303030 so that a wrapped offset would read the payload's "0"s
    # as an offset and a length.
    T, N, PAD, TARGET = 40, 5_000_000, 11_000_000, 0x30303030
    head = ("{" + "".join('"t%d":[ 1],' % j for j in range(T)) + '"pad":"').encode()
    e = ("[" + ",".join(["1e15"] * N) + "]").encode()
    parts, off, placed = [b"["], 1, False
    for i in range(rows):
        start = off + (1 if i else 0)
        size, need = PAD, TARGET - (start + len(head) + 6)
        if not placed and need <= 2 * PAD + len(head) + len(e) + 8:
            size, placed = need, True
        row = b"".join((head, b"x" * size, b'","e":', e, b"}"))
        parts.append(row if i == 0 else b"," + row)
        off = start + len(row)
    parts.append(b"]")
    return b"".join(parts)


@pytest.mark.slow
def test_side_text_past_4_gib():
    # About 1.7 GB of payload and 4.5 GB of side text: the fast path hands the
    # payload back before an offset wraps, and the document is the exact one.
    payload = _side_text_past_4_gib(47)
    document = columnarize(payload)
    assert document.startswith(b'{"columns":["pad"],"rows":[["')
    assert document.count(b"1000000000000000.0") == 5_000_000
    assert document.count(b'["xxxxxxxx') == 47
    assert b'"constants":{"t0":[1],' in document
    assert document.endswith(b',"e":[1000000000000000.0,1000000000000000.0]}}'[-30:])


@pytest.mark.slow
def test_column_name_past_2_gib():
    # A name is a string like any other: one of 2**31 + 3 bytes is a column.
    name = b"k" * (2**31 + 3)
    payload = b"".join((b'[{"', name, b'":1},{"', name, b'":2}]'))
    document = columnarize(payload)
    assert document == b"".join((b'{"columns":["', name, b'"],"rows":[[1],[2]],"constants":{}}'))
