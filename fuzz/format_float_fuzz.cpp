// format_float on every finite double: the text reads back (strtod) as the
// same double, is the shortest that does (the standard library's shortest
// digits, compared digit for digit) and has the writer's layout: fixed for
// decimal exponents -5..15 with ".0" on whole numbers, otherwise d.ddde±X.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "json/float_format.h"

using namespace zorvat;
using fuzz::require;

namespace {

// The layout, built from the shortest digits and decimal exponent that
// std::to_chars gives in scientific form ("d.ddde±XX").
std::string expected_text(double x) {
  char sci[64];
  auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
  std::string s(sci, r.ptr);
  std::string sign;
  if (s[0] == '-') {
    sign = "-";
    s.erase(0, 1);
  }
  std::size_t e_at = s.find('e');
  int exponent = std::atoi(s.c_str() + e_at + 1);
  std::string digits = s.substr(0, e_at);
  if (digits.size() > 1) digits.erase(1, 1);  // the point
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) return sign + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    std::size_t whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) return sign + digits + std::string(whole - digits.size(), '0') + ".0";
    return sign + digits.substr(0, whole) + "." + digits.substr(whole);
  }
  std::string out = sign + digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  out += exponent < 0 ? "e-" : "e+";
  return out + std::to_string(exponent < 0 ? -exponent : exponent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  double x;
  std::memcpy(&x, data, 8);
  if (!std::isfinite(x)) return 0;  // the writer never asks for these

  // Exactly the documented maximum, on the heap, so an overrun is reported.
  char* out = new char[json::kFloatTextMax];
  std::size_t n = json::format_float(x, out);
  std::string text(out, n <= json::kFloatTextMax ? n : 0);
  delete[] out;
  require(n <= json::kFloatTextMax, "text fits kFloatTextMax");

  double back = std::strtod(text.c_str(), nullptr);
  require(std::memcmp(&back, &x, 8) == 0, "text reads back as the same double", text);
  std::string expected = expected_text(x);
  require(text == expected, "shortest digits in the writer's layout", text + " expected " + expected);
  return 0;
}
