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
