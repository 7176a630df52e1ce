"""The columnar transform in pure Python, on already parsed rows: what a user
of json, orjson or msgspec would write instead of calling zorvat_codec.

    doc = columnarize(orjson.loads(payload))
    orjson.dumps(doc)

It has the module's semantics: columns in first-seen order, columns null or
absent in every row dropped, constants (from two rows on) compared cell by
cell with numbers by their value as a double (1 == 1.0, but True is not a
number) and nested values structurally (there [1] != [1.0] and member order
does not count), each constant keeping the first row's value.

It is the peers' best effort, not a strawman: the work per cell is done by
C loops (map, any, all, itemgetter), rows are read row by row (kinder to the
cache than column by column), and only the columns that the first two rows
leave open are scanned down. Rows come out as tuples, which every JSON
encoder writes as arrays.

Where the parsers' own number model differs from the module's (integers
beyond 64 bits, "-0"), the result follows the parser; the benchmark payloads
have neither.
"""

import marshal
from itertools import chain, repeat
from operator import eq, is_, is_not, itemgetter, ne

__all__ = ["columnarize", "cells_equal", "values_equal"]

_dict_get = dict.get


def values_equal(a, b):
    """Structural equality: types must match (1 != 1.0, True != 1), member
    order does not."""
    t = type(a)
    if t is not type(b):
        return False
    if t is list:
        return len(a) == len(b) and all(map(values_equal, a, b))
    if t is dict:
        if len(a) != len(b):
            return False
        for key, value in a.items():
            if key not in b or not values_equal(value, b[key]):
                return False
        return True
    return a == b  # floats by IEEE comparison: 0.0 == -0.0


def _as_double(x):
    try:
        return float(x)
    except OverflowError:  # an int past the double range
        return float("inf") if x > 0 else float("-inf")


def cells_equal(a, b):
    """Two cells of one column: numbers by their value as a double."""
    ta = type(a)
    tb = type(b)
    if (ta is int or ta is float) and (tb is int or tb is float):
        return _as_double(a) == _as_double(b)
    return values_equal(a, b)


def _column(rows, name):
    return map(_dict_get, rows, repeat(name))


def _is_constant(reference, rows, name):
    """Whether the column's cell in every row equals the reference (the first
    row's cell, not None). Each pass is a C loop that stops at the first
    difference; Python's == is looser than cell equality only in ignoring
    types (True == 1, [1] == [1.0]) and stricter only for integers that are
    equal as doubles, and the passes after the first settle just those."""
    t = type(reference)
    if t is str:
        return not any(map(ne, repeat(reference), _column(rows, name)))
    if t is bool:
        return all(map(is_, repeat(reference), _column(rows, name)))
    if t is int or t is float:
        if not any(map(ne, repeat(reference), _column(rows, name))):
            if bool not in set(map(type, _column(rows, name))):
                return True
        return all(map(cells_equal, repeat(reference), _column(rows, name)))
    # A list or an object. Equal marshal bytes (version 2: no back-references)
    # mean equal values of equal types throughout; another member order or
    # -0.0 for 0.0 still needs the structural comparison.
    key = marshal.dumps(reference, 2)
    if all(map(eq, repeat(key), map(marshal.dumps, _column(rows, name), repeat(2)))):
        return True
    if any(map(ne, repeat(reference), _column(rows, name))):
        return False
    return all(map(values_equal, repeat(reference), _column(rows, name)))


def columnarize(rows):
    """The columnar document {"columns", "rows", "constants"} of a list of
    row dicts; rows come out as tuples of cells."""
    if type(rows) is not list:
        raise ValueError("expected a JSON array of rows")
    if rows and set(map(type, rows)) != {dict}:
        raise ValueError("expected a JSON object row")
    n = len(rows)
    names = list(dict.fromkeys(chain.from_iterable(rows)))  # first-seen order
    first = rows[0] if rows else {}
    second = rows[1] if n >= 2 else None

    # The first two rows settle most columns: a non-null first cell rules out
    # all-null, a different second cell rules out constant. Only the others
    # are scanned down the rows.
    varying = []
    constants = {}
    for name in names:
        reference = first.get(name)
        if reference is None:
            if any(map(is_not, _column(rows, name), repeat(None))):
                varying.append(name)
        elif second is not None and cells_equal(reference, second.get(name)) \
                and _is_constant(reference, rows, name):
            constants[name] = reference
        else:
            varying.append(name)

    if not varying:
        out_rows = [()] * n
    elif len(varying) == 1:
        out_rows = list(zip(_column(rows, varying[0])))
    elif set(map(len, rows)) == {len(names)}:
        # Every row has every name: itemgetter cannot miss.
        out_rows = list(map(itemgetter(*varying), rows))
    else:
        out_rows = [tuple(map(row.get, varying)) for row in rows]
    return {"columns": varying, "rows": out_rows, "constants": constants}
