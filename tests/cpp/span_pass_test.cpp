// The span pass against the exact path: number literals it copies must be
// what the exact reader and writer print, and generated row sets must come
// out byte for byte as the exact path writes them, without being handed back.
#include "transform/span_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "json/number.h"
#include "json/float_format.h"
#include "json/reader.h"
#include "json/writer.h"
#include "document.h"
#include "transform/pipeline.h"

namespace zorvat::transform {
namespace {

// The literal as the exact path prints it, or "ERR" when it does not read.
std::string exact_text(const std::string& literal) {
  zorvat::Arena arena;
  auto rows = json::read_rows("[" + literal + "]", arena);
  if (!rows) return "ERR";
  zorvat::OutputBuffer out;
  json::write_json_value(out, rows.value().data[0]);
  return std::string(out.view());
}

std::size_t literal_count() {
  const char* n = std::getenv("ZORVAT_LITERAL_COUNT");  // a longer run: ZORVAT_LITERAL_COUNT=100000000
  return n != nullptr ? std::strtoull(n, nullptr, 10) : 1000000;
}

// A literal of the verbatim class: an integer below 10^18, or a decimal of at
// most 15 significant digits with decimal exponent -5..13 ending in a non-zero
// digit, or "<integer>.0".
std::string verbatim_literal(std::mt19937_64& rng) {
  auto digit = [&](bool nonzero) { return static_cast<char>('0' + (nonzero ? 1 + rng() % 9 : rng() % 10)); };
  std::string s = rng() % 2 ? "-" : "";
  switch (rng() % 3) {
    case 0: {  // integer
      const std::size_t n = 1 + rng() % 18;
      if (n == 1 && s.empty() && rng() % 8 == 0) return "0";
      for (std::size_t i = 0; i < n; ++i) s += digit(i == 0);
      return s;
    }
    case 1: {  // <integer>.0
      const std::size_t n = 1 + rng() % 14;
      if (rng() % 16 == 0) return s + "0.0";
      for (std::size_t i = 0; i < n; ++i) s += digit(i == 0);
      return s + ".0";
    }
    default: {  // k significant digits, the first at 10^e
      const long e = -5 + static_cast<long>(rng() % 19);
      const std::size_t k = static_cast<std::size_t>(e >= 0 ? e + 2 : 1) + rng() % (e >= 0 ? 14 - e : 15);
      std::string digits;
      for (std::size_t i = 0; i < k; ++i) digits += digit(i == 0 || i + 1 == k);
      if (e < 0) return s + "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
      const auto point = static_cast<std::size_t>(e + 1);
      return s + digits.substr(0, point) + "." + digits.substr(point);
    }
  }
}

// Any literal of the grammar, near the class's edges more often than not.
std::string any_literal(std::mt19937_64& rng) {
  auto digits = [&](std::size_t n, bool lead) {
    std::string d;
    for (std::size_t i = 0; i < n; ++i) {
      d += static_cast<char>('0' + (lead && i == 0 ? 1 + rng() % 9 : rng() % 10));
    }
    return d;
  };
  std::string s = rng() % 2 ? "-" : "";
  s += rng() % 5 == 0 ? "0" : digits(1 + rng() % 22, true);
  if (rng() % 3 != 0) s += "." + std::string(rng() % 8 == 0 ? rng() % 40 : 0, '0') + digits(1 + rng() % 22, false);
  if (rng() % 4 == 0) {
    s += std::string(rng() % 2 ? "e" : "E") + (rng() % 2 ? "-" : "") + digits(1 + rng() % 3, false);
  }
  return s;
}

TEST(SpanNumberTest, VerbatimLiteralsPrintAsRead) {
  std::mt19937_64 rng(20261207);
  const std::size_t count = literal_count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string literal = verbatim_literal(rng);
    const json::NumberLiteral number = json::read_number_literal(literal.data(), literal.data() + literal.size());
    ASSERT_TRUE(number.prints_as_read) << literal;
    ASSERT_EQ(exact_text(literal), literal);
  }
}

TEST(SpanNumberTest, EveryLiteralReadsAsTheReaderReadsIt) {
  std::mt19937_64 rng(7);
  const std::size_t count = literal_count();
  for (std::size_t i = 0; i < count; ++i) {
    const std::string literal = any_literal(rng);
    const json::NumberLiteral number = json::read_number_literal(literal.data(), literal.data() + literal.size());
    const std::string exact = exact_text(literal);
    ASSERT_EQ(number.end != nullptr, exact != "ERR") << literal;
    if (number.end == nullptr) continue;
    ASSERT_EQ(number.end, literal.data() + literal.size()) << literal;
    if (number.prints_as_read) {
      ASSERT_EQ(exact, literal);
    }
    zorvat::OutputBuffer out;
    json::write_number(out, number.value);
    ASSERT_EQ(std::string(out.view()), exact) << literal;
    // The scan's form: the value only for a literal it rewrites, with and
    // without bytes after it to load.
    static const char* const kAfter[] = {"", ",1", "]}", ",12345678901234567890123456789012.5"};
    const std::string text = literal + kAfter[i % 4];
    const auto scanned = json::read_number_literal<json::Need::value_if_rewritten>(text.data(), text.data() + text.size());
    ASSERT_EQ(scanned.end, text.data() + literal.size()) << literal;
    // The scan also copies the long literals whose value the writer prints in their digits.
    ASSERT_TRUE(scanned.prints_as_read || !number.prints_as_read) << literal;
    if (scanned.prints_as_read) {
      ASSERT_EQ(exact, literal);
    }
    if (text.size() >= 9) {
      const char* short_end = json::short_integer_end(text.data());
      if (short_end != nullptr) {
        ASSERT_TRUE(short_end == scanned.end && scanned.prints_as_read) << literal;
      }
    }
    if (!scanned.prints_as_read) {
      zorvat::OutputBuffer again;
      json::write_number(again, scanned.value);
      ASSERT_EQ(std::string(again.view()), exact) << literal;
    }
  }
}

// Literals as printers write doubles in fixed notation: the shortest digits
// (most JSON writers), 17 significant digits (printf's %.17g), and those with
// the last digit moved by one. A literal of 16 or more significant digits is
// copied when the writer's digits for its value are its own: both ways, the
// decision must be what the writer prints, including where the procedure's
// double rounding (digits past 2^53) gives another double than the literal
// was printed from.
TEST(SpanNumberTest, PrintedDoublesPrintAsReadExactlyWhenTheWriterAgrees) {
  std::mt19937_64 rng(20261209);
  const std::size_t count = literal_count();
  std::size_t copied = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // A double whose first digit is at 10^-6 .. 10^16, some past the fixed
    // range, which are skipped.
    const double x = std::ldexp(static_cast<double>(rng() >> 11), -53) * std::pow(10.0, static_cast<int>(rng() % 23) - 5);
    char text[40];
    std::string literal;
    switch (i % 4) {
      case 0:
      case 1:
        literal.assign(text, json::format_float(rng() % 2 ? -x : x, text));
        break;
      case 2:
        literal.assign(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%.17g", x)));
        break;
      default: {
        literal.assign(text, json::format_float(x, text));
        char& last = literal.back();
        last = static_cast<char>(last == '9' ? '8' : last + 1);
      }
    }
    if (literal.find_first_of("eE") != std::string::npos || literal.find('.') == std::string::npos) continue;
    const char* end = literal.data() + literal.size();
    const auto scanned = json::read_number_literal<json::Need::value_if_rewritten>(literal.data(), end);
    zorvat::OutputBuffer out;
    json::write_number(out, json::read_number_literal(literal.data(), end).value);
    ASSERT_EQ(scanned.prints_as_read, out.view() == literal) << literal << " is written " << out.view();
    if (i % 64 == 0) {
      ASSERT_EQ(exact_text(literal), std::string(out.view())) << literal;
    }
    copied += scanned.prints_as_read;
  }
  // Most shortest-digit literals are copied; a check that never copied would pass the above.
  EXPECT_GT(copied, count / 3);
}

// Row sets drawn from awkward tokens: numbers equal in value but not in
// form, escaped and repeated keys, nested objects in another member order or
// with repeated keys, whitespace, rows sharing or leaving the previous key
// order, rows wide enough for the hashed column lookup.
std::string generated_payload(std::mt19937_64& rng) {
  static const std::vector<std::string> values = {
      "1", "1.0", "1e0", "-0", "0", "0.0", "-0.0", "100", "1.5", "0.1", "1.50", "9007199254740993",
      "9007199254740992", "123456789012345678", "1234567890123456789", "18446744073709551616", "2.5e-7",
      "28.728732360908513", "-0.0073104706128196625", "0.30000000000000004", "0.10000000000000001",
      "1234567890123456.0", "12345678901234567.0", "9007199254740993.5",
      "\"a\"", "\"\\u0061\"", "\"\\/\"", "\"x\\ny\"", "\"\\u001f\"", "\"\\u001F\"", "\"\\u000a\"",
      "\"\xc3\xa9\"", "\"\\u00e9\"", "\"\\ud83d\\ude00\"", "true", "false", "null", "null", "[]", "{}",
      "[1,2]", "[1.0,2]", "[ 1,2]",
      "{\"p\":1,\"q\":[2]}", "{\"q\":[2],\"p\":1}", "{\"p\":1,\"p\":2}", "{\"p\":2}", "{\"\\u0070\":2}",
      "[{\"a\":{\"b\":[\"\\/\",1e2]}}]", "{\"r\":{\"s\":1,\"t\":2,\"s\":3}}"};
  // Names on both sides of the 15 bytes that a key matched by mask may
  // have, and names that begin another.
  static const std::vector<std::string> keys = {"a",       "b",        "c",     "\\u0061", "k\\\"q",
                                                "",        "\xc3\xa9", "a\\\\n", "a\\n",  "ab",
                                                "abcdefg", "abcdefgh", "abcdefghijklmno", "abcdefghijklmnop",
                                                "abcdefghijklmnopq"};
  const bool spaced = rng() % 4 == 0;
  const std::string ws = spaced ? " " : "";
  const bool wide = rng() % 8 == 0;
  std::string out = "[" + ws;
  std::vector<std::string> previous;
  const std::size_t rows = rng() % 8;
  for (std::size_t r = 0; r < rows; ++r) {
    std::vector<std::string> row_keys;
    if (!previous.empty() && rng() % 2) {
      row_keys = previous;
      if (rng() % 3 == 0) row_keys.resize(rng() % row_keys.size());
      if (rng() % 3 == 0) {  // optional keys: some dropped, some new or repeated ones put in
        std::erase_if(row_keys, [&](const std::string&) { return rng() % 4 == 0; });
        for (std::size_t n = rng() % 4; n != 0; --n) {
          const std::string& k = wide ? "w" + std::to_string(rng() % 60) : keys[rng() % keys.size()];
          row_keys.insert(row_keys.begin() + static_cast<std::ptrdiff_t>(rng() % (row_keys.size() + 1)), k);
        }
      }
    } else {
      const std::size_t members = wide ? 30 + rng() % 20 : rng() % 6;
      for (std::size_t m = 0; m < members; ++m) {
        row_keys.push_back(wide && m % 4 != 0 ? "w" + std::to_string(rng() % 45) : keys[rng() % keys.size()]);
      }
    }
    previous = row_keys;
    out += r ? "," + ws + "{" : "{";
    for (std::size_t m = 0; m < row_keys.size(); ++m) {
      out += (m ? "," : "") + ws + "\"" + row_keys[m] + "\"" + ws + ":" + ws + values[rng() % values.size()];
    }
    out += ws + "}";
  }
  return out + ws + "]";
}

TEST(SpanPassTest, GeneratedRowSetsAsTheExactPathWritesThem) {
  std::mt19937_64 rng(12);
  for (int i = 0; i < 20000; ++i) {
    const std::string payload = generated_payload(rng);
    auto fast = fast_path(payload);
    ASSERT_TRUE(fast.ok()) << "handed back: " << payload;
    Outcome exact = exact_path(payload);
    ASSERT_TRUE(exact.ok()) << payload;
    ASSERT_EQ(fast.value().view(), exact.value().view()) << payload;
    // Both paths share the column plan; the test support's document is built
    // without it.
    zorvat::Arena arena;
    auto rows = json::read_rows(payload, arena);
    ASSERT_TRUE(rows.ok()) << payload;
    ASSERT_EQ(fast.value().view(), testkit::to_json_bytes(testkit::columnarize_rows(rows.value(), arena)).view())
        << payload;
  }
}

// Offsets past the bound are never stored: with the bound lowered, rows
// whose side text (rewritten numbers and strings, nested whitespace) crosses
// it are handed to the exact path, from a row boundary the reader resumes
// at, and what the pass still accepts is the exact path's document.
TEST(SpanPassTest, SideTextPastTheOffsetBoundIsHandedBack) {
  std::mt19937_64 rng(7);
  std::size_t declined = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string payload = "[";
    const std::size_t rows = 1 + rng() % 40;
    for (std::size_t r = 0; r < rows; ++r) {
      payload += r ? ",{" : "{";
      payload += "\"a\":" + std::to_string(r) + ",\"b\":[ 1e15, \"\\u0041\" ],\"c\":1E2,\"d\":\"x\\/\"}";
    }
    payload += "]";
    const std::size_t bound = payload.size() + rng() % (payload.size() * 2);
    const Outcome exact = exact_path(payload);
    ASSERT_TRUE(exact.ok());
    auto fast = fast_path(payload, bound);
    if (fast.ok()) {
      ASSERT_EQ(fast.value().view(), exact.value().view()) << payload;
      continue;
    }
    ++declined;
    const SpanDecline d = fast.error();
    ASSERT_EQ(d.why, SpanDecline::Why::unsupported) << payload;
    ASSERT_TRUE(d.after_row == 0 || payload[d.after_row - 1] == '}') << d.after_row;
    ASSERT_TRUE(json::check_rows(payload, true, {d.after_row, true}).ok());
    ASSERT_TRUE(fast_path(payload).ok());  // under the production bound
  }
  EXPECT_GT(declined, 500u);
  // A payload past the bound is not scanned at all.
  const std::string small = R"([{"a":1}])";
  auto fast = fast_path(small, small.size() - 1);
  ASSERT_FALSE(fast.ok());
  EXPECT_EQ(fast.error().why, SpanDecline::Why::too_large);
}

std::string answer(const Outcome& o) {
  return o.ok() ? "OK " + std::string(o.value().view()) : "ERR " + o.error().message();
}

// Generated row sets cut, overwritten or grown by one byte somewhere, some
// with rows on lines of their own: the public entry, which words errors from
// where the pass stopped, answers as the exact path does from the first byte.
TEST(SpanPassTest, AlteredRowSetsAnswerAsTheExactPath) {
  static const std::string bytes = "x,:]}[{\"\\ 1-e.0\n\x01\xff";
  std::mt19937_64 rng(31);
  for (int i = 0; i < 20000; ++i) {
    std::string payload = generated_payload(rng);
    if (rng() % 2) {
      for (char& c : payload) c = c == ' ' ? '\n' : c;
    }
    const std::size_t at = payload.empty() ? 0 : rng() % payload.size();
    const char byte = bytes[rng() % bytes.size()];
    switch (rng() % 3) {
      case 0:  // half of the cuts just after an object, most often a row
        payload.resize(rng() % 2 ? at : payload.rfind('}', at) + 1);
        break;
      case 1:
        if (!payload.empty()) payload[at] = byte;
        break;
      default:
        payload.insert(at, 1, byte);
        break;
    }
    ASSERT_EQ(answer(columnarize_json(payload)), answer(exact_path(payload))) << payload;
  }
}

// A broken row first, in the middle or last of three, one row per line: the
// same message on both paths, and the pass hands back a resume point no
// earlier than the end of the row before it (some broken rows begin with a
// whole one), so past the first row the message comes from a resumed reader.
TEST(SpanPassTest, BrokenRowsWordedFromWhereThePassStopped) {
  const std::string good = R"({"a":1,"b":"x\ny","c":[1,{"d":2.5}]})";
  const std::vector<std::string> broken = {
      R"({"a":1,"b":"x"x})", R"({"a" 1})", R"({"a":tru})", R"({"a":"\q"})", "{\"a\":\"\x01\"}",
      R"({"a":1,})", R"({"a":[1,2})", R"({"a":01})", R"({"a":-})", R"({"a":1e400})", R"({"a":1e305,})",
      R"({"a":"\udc00"})", "{\"a\":\"\xff\"}", R"({1:2})", R"({"a":1} {"a":2})", R"({"a":1},)",
      R"({"a":1},])", R"([1,2])", R"("s")", "null", "-1", R"([{"a":1},2 3])",
      R"({"a":[)", R"({"a":[1,[)", R"({"a":{"b":[ )",  // closed by the payload's last ']'
      std::string(130, '[') + std::string(130, ']'), "{\"a\":" + std::string(126, '[') + std::string(126, ']') + "}",
      "{}", ""};
  for (const std::string& row : broken) {
    for (std::size_t at = 0; at < 3; ++at) {
      std::string payload = "[\n";
      std::size_t row_before_ends = 0;
      for (std::size_t r = 0; r < 3; ++r) {
        payload += r == at ? row : good;
        if (r + 1 == at) row_before_ends = payload.size();
        payload += r < 2 ? ",\n" : "\n]";
      }
      const Outcome exact = exact_path(payload);
      EXPECT_EQ(answer(columnarize_json(payload)), answer(exact)) << payload;
      auto fast = fast_path(payload);
      if (exact.ok()) {
        EXPECT_TRUE(fast.ok()) << payload;
      } else if (!fast.ok() && fast.error().utf8_valid) {
        EXPECT_GE(fast.error().after_row, row_before_ends) << payload;
      }
    }
  }
  // Past an accepted row, a row that is not an object or a number the pass
  // leaves to the exact path, then a grammar error: the error comes first.
  for (const char* middle : {"[1]", "{\"a\":1e305}", "{\"a\":1e400}"}) {
    const std::string payload = "[\n" + good + ",\n" + middle + ",\n{\"a\" 1}\n]";
    EXPECT_EQ(answer(columnarize_json(payload)), answer(exact_path(payload))) << payload;
  }
}

TEST(SpanPassTest, HandsBackWhatItDoesNotHandle) {
  for (const char* payload : {"", "[", "[1]", "[{}", "[{},]", "{}", "[{\"a\":1e400}]", "[{\"a\":\"\\x\"}]",
                              "[{\"a\":\"\xff\"}]", "[{\"a\":01}]", "[{} x]", "]", " ] ", "[{\"a\":[1]",
                              "[{\"a\":[1] \n", "[{\"a\":{\"b\":[]}", "[{\"a\":\"]", "[{\"a\":tru]", "[{\"a\":1 ]"}) {
    // A heap block of exactly the payload's size, so a sanitizer build sees
    // any read past its end (a literal would have its terminator there).
    const std::size_t n = std::strlen(payload);
    std::unique_ptr<char[]> exact(new char[n]);
    std::memcpy(exact.get(), payload, n);
    EXPECT_FALSE(fast_path({exact.get(), n}).ok()) << payload;
  }
}

}  // namespace
}  // namespace zorvat::transform
