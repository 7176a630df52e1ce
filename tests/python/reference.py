"""The columnar transform in plain Python, for checking the native module.

``columnarize(payload)`` takes row-oriented JSON bytes and returns the same
bytes as ``zorvat_codec.columnarize``, or raises ``Rejected``. It follows the
module's rules where they differ from the json module's defaults:

* numbers keep their form: a literal without fraction or exponent is an int
  (``-0`` excepted, which is the float -0.0), anything else a float; integers
  beyond the 64-bit ranges become floats; float literals are converted by the
  module's own procedure (an unsigned 64-bit significand scaled by a table of
  powers of ten), which is not always the nearest double;
* a repeated key keeps its first position and takes its last value;
* constants compare numbers by their value as a double, but values nested
  inside arrays and objects structurally, with forms;
* output is compact, floats in shortest round-trip digits laid out as
  ``100.0`` / ``1e+16`` / ``1.5e-7``, and only control characters, the quote
  and the backslash are escaped.

In this model null is ``None``, booleans are ``bool``, unsigned and negative
integers are ``int`` (the sign tells the two forms apart), floating-point
values are ``float``, strings ``str``, arrays ``list`` and objects ``dict``.

Invalid payloads raise ``Rejected``. Its ``message`` is the module's exact
failure text for a non-object row; for text that the reader rejects it only
names the kind of error ("number out of range", or "invalid JSON" for the
rest), since this model does not track positions.
"""

from __future__ import annotations

import json
import math
import re
from decimal import Decimal

__all__ = ["Rejected", "columnarize", "read_rows", "columnarize_rows", "write_json"]

U64_MAX = 2**64 - 1
NEG_LIMIT = 2**63  # magnitude of the most negative 64-bit integer
MAX_DEPTH = 127  # nesting levels, the top-level array included

ROW_PREFIX = "expected a JSON object row, got: "


class Rejected(ValueError):
    """The module would raise RuntimeError for this payload."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


# --------------------------------------------------------------------------
# Numbers

_NUMBER = re.compile(r"(-?)(0|[1-9][0-9]*)(?:\.([0-9]+))?(?:[eE]([-+]?)([0-9]+))?\Z")
_SIG_LIMIT = U64_MAX // 10  # 1844674407370955161
_EXP_LIMIT = (2**31 - 1) // 10  # 214748364
_POW10 = [float(10**k) for k in range(309)]  # each the double nearest to 10**k


def _overflows(significand: int, digit: int) -> bool:
    """Would significand * 10 + digit exceed 64 bits (the reader's test)?"""
    return significand >= _SIG_LIMIT and (significand > _SIG_LIMIT or digit > 5)


def read_number(literal: str) -> int | float:
    match = _NUMBER.match(literal)
    if match is None:
        raise Rejected("invalid JSON")
    minus, int_digits, frac_digits, exp_sign, exp_digits = match.groups()
    negative = minus == "-"
    significand = 0
    exponent = 0
    is_float = frac_digits is not None or exp_digits is not None

    dropping = False
    for ch in int_digits:
        digit = ord(ch) - 48
        if dropping or _overflows(significand, digit):
            # Digits past 64 bits are dropped, not rounded; each scales by ten.
            dropping = True
            is_float = True
            exponent += 1
        else:
            significand = significand * 10 + digit
    if frac_digits is not None:
        for ch in frac_digits:
            digit = ord(ch) - 48
            if _overflows(significand, digit):
                break  # this and every later fraction digit are dropped
            significand = significand * 10 + digit
            exponent -= 1
    if exp_digits is not None:
        value = 0
        for ch in exp_digits:
            digit = ord(ch) - 48
            if value >= _EXP_LIMIT and (value > _EXP_LIMIT or digit > 7):
                if significand != 0 and exp_sign != "-":
                    raise Rejected("number out of range")
                return -0.0 if negative else 0.0
            value = value * 10 + digit
        exponent += -value if exp_sign == "-" else value
        exponent = max(-(2**31), min(2**31 - 1, exponent))

    if not is_float:
        if not negative:
            return significand
        if significand == 0:
            return -0.0
        if significand <= NEG_LIMIT:
            return -significand
        return -float(significand)

    f = float(significand)  # nearest double, ties to even
    e = exponent
    while True:
        if abs(e) <= 308:
            if e >= 0:
                f = f * _POW10[e]
                if math.isinf(f):
                    raise Rejected("number out of range")
            else:
                f = f / _POW10[-e]
            break
        if f == 0.0:
            break
        if e > 308:
            raise Rejected("number out of range")
        f = f / 1e308
        e += 308
    return -f if negative else f


# --------------------------------------------------------------------------
# Reading


def _reject_constant(name: str) -> None:
    raise Rejected("invalid JSON")  # NaN and the infinities are not JSON


_DECODER = json.JSONDecoder(
    parse_int=read_number,
    parse_float=read_number,
    parse_constant=_reject_constant,
    object_pairs_hook=dict,  # dict(pairs): first position, last value
    strict=True,
)


def _check(value, depth: int) -> None:
    """What the json module accepts and the reader does not: lone surrogates
    from escapes, and nesting beyond the limit."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise Rejected("invalid JSON") from None
    elif isinstance(value, (list, dict)):
        if depth > MAX_DEPTH:
            raise Rejected("invalid JSON")
        items = value.items() if isinstance(value, dict) else ((None, v) for v in value)
        for key, item in items:
            if key is not None:
                _check(key, depth)
            _check(item, depth + 1)


def read_rows(payload: bytes) -> list:
    """The payload's top-level array, or Rejected."""
    try:
        text = payload.decode("utf-8")
        rows = _DECODER.decode(text)
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError):
        raise Rejected("invalid JSON") from None
    if not isinstance(rows, list):
        raise Rejected("invalid JSON")
    _check(rows, 1)
    return rows


# --------------------------------------------------------------------------
# Columnarizing


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _kind(value) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, int):
        return "uint" if value >= 0 else "nint"
    return type(value).__name__  # float, str, list, dict


def values_equal(a, b) -> bool:
    """Structural equality: number forms must match, member order does not."""
    if _kind(a) != _kind(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(values_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(k in b and values_equal(v, b[k]) for k, v in a.items())
    return a == b  # floats by IEEE comparison, so 0.0 == -0.0


def cells_equal(a, b) -> bool:
    """Two cells of one column: numbers by their value as a double."""
    if _is_number(a) and _is_number(b):
        return float(a) == float(b)  # float(int) rounds to nearest, ties to even
    return values_equal(a, b)


def columnarize_rows(rows: list[dict]) -> dict:
    columns: list[str] = []
    seen: set[str] = set()
    for row in rows:
        for name in row:
            if name not in seen:
                seen.add(name)
                columns.append(name)

    all_null = {name for name in columns if all(row.get(name) is None for row in rows)}
    columns = [name for name in columns if name not in all_null]

    constants: dict = {}
    if len(rows) >= 2:
        for name in columns:
            reference = rows[0].get(name)
            if all(cells_equal(reference, row.get(name)) for row in rows):
                constants[name] = reference
        columns = [name for name in columns if name not in constants]

    return {
        "columns": list(columns),
        "rows": [[row.get(name) for name in columns] for row in rows],
        "constants": constants,
    }


# --------------------------------------------------------------------------
# Writing

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}
_ESCAPES.update({chr(c): f"\\u{c:04x}" for c in range(0x20) if chr(c) not in _ESCAPES})
_NEEDS_ESCAPE = re.compile(r'[\x00-\x1f"\\]')


def write_string(text: str) -> str:
    return '"' + _NEEDS_ESCAPE.sub(lambda m: _ESCAPES[m.group()], text) + '"'


def format_float(x: float) -> str:
    """Shortest round-trip digits, fixed layout for exponents -5..15."""
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0.0:
        return sign + "0.0"
    _, digit_tuple, exp = Decimal(repr(abs(x))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    n = len(digits)
    e = exp + len(digit_tuple) - 1  # decimal exponent of the first digit
    if -5 <= e <= 15:
        if n <= e + 1:
            body = digits + "0" * (e + 1 - n) + ".0"
        elif e >= 0:
            body = digits[: e + 1] + "." + digits[e + 1 :]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + ("e+" if e >= 0 else "e-") + str(abs(e))
    return sign + body


def write_json(value) -> str:
    """Compact JSON text of a value of this model."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_float(value) if math.isfinite(value) else "null"
    if isinstance(value, str):
        return write_string(value)
    if isinstance(value, list):
        return "[" + ",".join(write_json(v) for v in value) + "]"
    return "{" + ",".join(write_string(k) + ":" + write_json(v) for k, v in value.items()) + "}"


# --------------------------------------------------------------------------


def columnarize(payload: bytes) -> bytes:
    """Row-oriented JSON bytes to columnar JSON bytes, or Rejected."""
    rows = read_rows(payload)
    for row in rows:
        if not isinstance(row, dict):
            raise Rejected(ROW_PREFIX + write_json(row))
    return write_json(columnarize_rows(rows)).encode("utf-8")
