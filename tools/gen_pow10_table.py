#!/usr/bin/env python3
"""Generates src/json/pow10_table.inc, the powers of ten behind format_float.

    python3 tools/gen_pow10_table.py > src/json/pow10_table.inc

Entry k (for k in kPow10MinK..kPow10MaxK) holds 10^-k as a 128-bit integer g
normalised to [2^127, 2^128): g = ceil(10^-k * 2^(127 - r)), r = floor(log2 10^-k).

Before writing anything the script proves, with exact integer arithmetic, the
facts float_format.cpp relies on, and fails loudly if one does not hold:
  * the shift-multiply forms of floor(log10 2^q), floor(log10 (3/4 2^q)) and
    floor(log2 10^e) are exact over every exponent a double needs;
  * the shift h = q + floor(log2 10^-k) + 1 stays in 1..4, so cb << h fits;
  * the 192-bit product g * cp, cp = cb << h, read as its top 64 bits with a
    sticky bit set when the 128 bits below reach 2^60, is round-to-odd of the
    exact cb * 2^q * 10^-k for every cb a double can produce. g exceeds the
    exact scale by less than 1 and cp < 2^60, so the product exceeds the exact
    one by less than 2^60 / 2^128; that error can neither set the sticky bit
    of an exact integer nor carry into the next integer, as long as every
    non-integer value lies at least 2^-68 from every integer.
"""

import random
import sys
from fractions import Fraction

Q_MIN, Q_MAX = -1074, 971  # binary exponents of c * 2^q, c < 2^53
K_MIN = -324


def floor_log10(x: Fraction) -> int:
    k = len(str(x.numerator)) - len(str(x.denominator))
    while Fraction(10) ** k > x:
        k -= 1
    while Fraction(10) ** (k + 1) <= x:
        k += 1
    return k


def floor_log2(x: Fraction) -> int:
    r = x.numerator.bit_length() - x.denominator.bit_length()
    while Fraction(2) ** r > x:
        r -= 1
    while Fraction(2) ** (r + 1) <= x:
        r += 1
    return r


# The shift-multiply forms used by float_format.cpp.
def flog10_pow2(q: int) -> int:
    return (q * 78913) >> 18


def flog10_three_quarters_pow2(q: int) -> int:
    return (q * 1262611 - 524031) >> 22


def flog2_pow10(e: int) -> int:
    return (e * 1741647) >> 19


def pow2(q: int) -> Fraction:
    return Fraction(2) ** q


def min_residues(a: int, m: int, n: int):
    """(min of a*x mod m, min of m - (a*x mod m)) over 1 <= x <= n.

    Needs 0 < a < m, gcd(a, m) = 1 and n < m. Walks the record residues on
    both sides: the next record of either side always sits at x_low + x_high,
    so runs of records on one side are taken in one step, as in Euclid.
    """
    xl, rl = 1, a  # smallest residue so far
    xh, dh = 0, m  # residue nearest to m from below, as its distance to m
    while xl + xh <= n and rl != dh:
        if rl > dh:
            j = min((rl - 1) // dh, (n - xl) // xh)
            xl, rl = xl + j * xh, rl - j * dh
        else:
            j = min((dh - 1) // rl, (n - xh) // xl)
            xh, dh = xh + j * xl, dh - j * rl
    return rl, dh


def self_check_min_residues() -> None:
    rng = random.Random(1)
    for _ in range(3000):
        m = rng.randrange(2, 400)
        a = rng.randrange(1, m)
        if Fraction(a, m).denominator != m:
            continue
        n = rng.randrange(1, m)
        res = [a * x % m for x in range(1, n + 1)]
        assert min_residues(a, m, n) == (min(res), m - max(res)), (a, m, n)


def min_distance_to_integers(alpha: Fraction, n: int) -> Fraction:
    """Smallest nonzero distance from x * alpha to an integer, 1 <= x <= n."""
    m = alpha.denominator
    if m == 1:
        return Fraction(1)
    if m <= n:  # x * alpha runs through every residue mod m
        return Fraction(1, m)
    low, high = min_residues(alpha.numerator % m, m, n)
    return Fraction(min(low, high), m)


def table_entry(k: int) -> int:
    scale = Fraction(10) ** -k
    r = floor_log2(scale)
    exact = scale * pow2(127 - r)
    g = -(-exact.numerator // exact.denominator)
    assert 2**127 <= g < 2**128, k
    return g


def check(entries: dict) -> int:
    self_check_min_residues()
    for q in range(Q_MIN - 10, Q_MAX + 10):
        assert flog10_pow2(q) == floor_log10(pow2(q)), q
        assert flog10_three_quarters_pow2(q) == floor_log10(Fraction(3, 4) * pow2(q)), q
    for e in range(-K_MIN - 650, -K_MIN + 10):
        assert flog2_pow10(e) == floor_log2(Fraction(10) ** e), e

    max_k = K_MIN
    for q in range(Q_MIN, Q_MAX + 1):
        # (k, the cb values to check): every 4c - 2, 4c, 4c + 2 for the regular
        # spacing; for c = 2^52 above the lowest binade, 4c - 1, 4c, 4c + 2.
        cases = []
        top = 4 * (2**53 - 1) + 2
        cases.append((flog10_pow2(q), None, top))
        if q > Q_MIN:
            cases.append((flog10_three_quarters_pow2(q), [2**54 - 1, 2**54, 2**54 + 2], None))
        for k, listed, n in cases:
            assert K_MIN <= k, q
            max_k = max(max_k, k)
            h = q + flog2_pow10(-k) + 1
            assert 1 <= h <= 4, (q, h)
            assert (top << h) < 2**60
            g = entries[k]
            alpha = pow2(q) * Fraction(10) ** -k
            assert 0 <= g - alpha * pow2(128 - h) < 1, q  # g overshoots by under 1
            if listed is None:
                d = min_distance_to_integers(alpha, n)
            else:
                fracs = [x * alpha - (x * alpha).numerator // (x * alpha).denominator for x in listed]
                d = min([min(f, 1 - f) for f in fracs if f != 0], default=Fraction(1))
            assert d >= Fraction(1, 2**68), (q, k, float(d))
    return max_k


def main() -> None:
    entries = {k: table_entry(k) for k in range(K_MIN, 293)}
    max_k = check(entries)
    assert max_k == 292
    mask = 2**64 - 1
    out = sys.stdout
    out.write("// Generated by tools/gen_pow10_table.py; do not edit. Regenerate with\n")
    out.write("//   python3 tools/gen_pow10_table.py > src/json/pow10_table.inc\n")
    out.write("// Entry k - kPow10MinK: ceil(10^-k * 2^(127 - floor(log2 10^-k))) as {high, low}.\n\n")
    out.write(f"inline constexpr int kPow10MinK = {K_MIN};\n")
    out.write(f"inline constexpr int kPow10MaxK = {max_k};\n\n")
    out.write(f"inline constexpr Pow10 kPow10Table[{max_k - K_MIN + 1}] = {{\n")
    for k in range(K_MIN, max_k + 1):
        g = entries[k]
        out.write(f"    {{0x{g >> 64:016x}, 0x{g & mask:016x}}},  // {k}\n")
    out.write("};\n")


if __name__ == "__main__":
    main()
