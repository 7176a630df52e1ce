#include "json/number.h"

#include <cmath>
#include <cstdint>

namespace zorvat::json {
namespace {

// 1e0 .. 1e308, each the double nearest to that power of ten (the compiler
// rounds every decimal literal to nearest).
constexpr double kPowersOfTen[309] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,
    1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,
    1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44,
    1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51,  1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,
    1e60,  1e61,  1e62,  1e63,  1e64,  1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,
    1e75,  1e76,  1e77,  1e78,  1e79,  1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,
    1e90,  1e91,  1e92,  1e93,  1e94,  1e95,  1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103, 1e104,
    1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134,
    1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163, 1e164,
    1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194,
    1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223, 1e224,
    1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254,
    1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284,
    1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308};

constexpr std::uint64_t kSignificandLimit = 1844674407370955161u;  // UINT64_MAX / 10

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// significand * 10 + d would exceed UINT64_MAX.
inline bool significand_overflows(std::uint64_t significand, unsigned d) {
  return significand >= kSignificandLimit && (significand > kSignificandLimit || d > 5);
}

}  // namespace

bool scale_by_power_of_ten(double& f, std::int32_t exponent) {
  std::int64_t e = exponent;
  for (;;) {
    if (e >= -308 && e <= 308) {
      if (e >= 0) {
        f *= kPowersOfTen[e];
        return !std::isinf(f);
      }
      f /= kPowersOfTen[-e];
      return true;
    }
    if (f == 0) return true;
    if (e > 308) return false;
    f /= 1e308;
    e += 308;
  }
}

Result<Value, NumberError> read_number(const char*& cursor, const char* end, bool negative) {
  const char* p = cursor;
  // 1. First digit.
  if (p == end) return fail(NumberError{ErrorKind::eof_value, Position::consumed});
  if (!is_digit(*p)) {
    cursor = p + 1;
    return fail(NumberError{ErrorKind::invalid_number, Position::consumed});
  }
  std::uint64_t significand = 0;
  std::int64_t exponent = 0;  // kept within int32 by saturation below
  bool is_float = false;
  int appended = 0;  // digits taken into the significand, while below 19
  if (*p == '0') {
    // 2. A leading zero stands alone.
    ++p;
    if (p != end && is_digit(*p)) {
      cursor = p;
      return fail(NumberError{ErrorKind::invalid_number, Position::next_byte});
    }
  } else {
    // 3. Integer digits; past 2^64 - 1 the digits are dropped and counted.
    significand = static_cast<unsigned>(*p++ - '0');
    appended = 1;
    // Nineteen digits always fit: no overflow test until then.
    while (appended < 19 && p != end && is_digit(*p)) {
      significand = significand * 10 + static_cast<unsigned>(*p++ - '0');
      ++appended;
    }
    while (p != end && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (significand_overflows(significand, d)) {
        is_float = true;
        while (p != end && is_digit(*p)) {
          ++p;
          if (exponent < INT32_MAX) ++exponent;
        }
        break;
      }
      significand = significand * 10 + d;
      ++p;
    }
  }
  // 4. Fraction.
  if (p != end && *p == '.') {
    ++p;
    is_float = true;
    if (p == end) {
      cursor = p;
      return fail(NumberError{ErrorKind::eof_value, Position::next_byte});
    }
    if (!is_digit(*p)) {
      cursor = p;
      return fail(NumberError{ErrorKind::invalid_number, Position::next_byte});
    }
    while (appended < 19 && p != end && is_digit(*p)) {
      significand = significand * 10 + static_cast<unsigned>(*p++ - '0');
      --exponent;
      ++appended;
    }
    while (p != end && is_digit(*p)) {
      unsigned d = static_cast<unsigned>(*p - '0');
      if (significand_overflows(significand, d)) {
        while (p != end && is_digit(*p)) ++p;
        break;
      }
      significand = significand * 10 + d;
      if (exponent > INT32_MIN) --exponent;
      ++p;
    }
  }
  // 5. Exponent.
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    is_float = true;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) exponent_negative = *p++ == '-';
    if (p == end) {
      cursor = p;
      return fail(NumberError{ErrorKind::eof_value, Position::consumed});
    }
    if (!is_digit(*p)) {
      cursor = p + 1;
      return fail(NumberError{ErrorKind::invalid_number, Position::consumed});
    }
    std::int32_t value = 0;
    bool overflowed = false;
    while (p != end && is_digit(*p)) {
      int d = *p++ - '0';
      if (value >= 214748364 && (value > 214748364 || d > 7)) {
        if (significand != 0 && !exponent_negative) {
          cursor = p;
          return fail(NumberError{ErrorKind::number_out_of_range, Position::consumed});
        }
        while (p != end && is_digit(*p)) ++p;
        overflowed = true;
        break;
      }
      value = value * 10 + d;
    }
    if (overflowed) {
      cursor = p;
      return Value::floating(negative ? -0.0 : 0.0);
    }
    exponent += exponent_negative ? -static_cast<std::int64_t>(value) : value;
    if (exponent > INT32_MAX) exponent = INT32_MAX;
    if (exponent < INT32_MIN) exponent = INT32_MIN;
  }
  cursor = p;
  // 6. Result.
  if (!is_float) {
    return integer_literal_value(significand, negative);
  }
  double f = static_cast<double>(significand);
  if (!scale_by_power_of_ten(f, static_cast<std::int32_t>(exponent))) {
    return fail(NumberError{ErrorKind::number_out_of_range, Position::consumed});
  }
  return Value::floating(negative ? -f : f);
}

}  // namespace zorvat::json
