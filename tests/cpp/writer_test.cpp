#include "json/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "document.h"
#include "object_builder.h"

namespace zorvat::json {
namespace {

using testkit::ObjectBuilder;
using testkit::to_json_bytes;

std::string text(const Value& v) { return std::string(to_json_bytes(v).view()); }

TEST(WriterTest, Scalars) {
  const double inf = std::numeric_limits<double>::infinity();
  struct {
    Value v;
    const char* expected;
  } rows[] = {
      {Value::null(), "null"},
      {Value::boolean(true), "true"},
      {Value::boolean(false), "false"},
      {Value::unsigned_integer(0), "0"},
      {Value::unsigned_integer(7), "7"},
      {Value::unsigned_integer(10), "10"},
      {Value::unsigned_integer(9999), "9999"},
      {Value::unsigned_integer(10000), "10000"},
      {Value::unsigned_integer(100200300), "100200300"},
      {Value::unsigned_integer(UINT64_MAX), "18446744073709551615"},
      {Value::negative_integer(-1), "-1"},
      {Value::negative_integer(-100), "-100"},
      {Value::negative_integer(INT64_MIN), "-9223372036854775808"},
      {Value::floating(1.0), "1.0"},
      {Value::floating(100.0), "100.0"},
      {Value::floating(-0.0), "-0.0"},
      {Value::floating(1e15), "1000000000000000.0"},
      {Value::floating(1e16), "1e+16"},
      {Value::floating(0.00001), "0.00001"},
      {Value::floating(0.000001), "1e-6"},
      {Value::floating(std::nan("")), "null"},
      {Value::floating(inf), "null"},
      {Value::floating(-inf), "null"},
  };
  for (auto& r : rows) EXPECT_EQ(text(r.v), r.expected);
}

TEST(WriterTest, EveryIntegerLengthRoundTrips) {
  std::uint64_t v = 1;
  for (int digits = 1; digits <= 20; ++digits) {
    for (std::uint64_t x : {v, v - 1, v + 1, v * 9 / 10 * 10 + 9}) {
      EXPECT_EQ(text(Value::unsigned_integer(x)), std::to_string(x));
      if (x != 0 && x <= static_cast<std::uint64_t>(INT64_MAX)) {
        EXPECT_EQ(text(Value::negative_integer(-static_cast<std::int64_t>(x))), "-" + std::to_string(x));
      }
    }
    if (digits < 20) v *= 10;
  }
}

TEST(WriterTest, StringEscapes) {
  struct {
    std::string in;
    std::string expected;
  } rows[] = {
      {"", R"("")"},
      {"plain/text", R"("plain/text")"},
      {"tab\tlf\ncr\rbs\bff\f", R"("tab\tlf\ncr\rbs\bff\f")"},
      {std::string("\0\x01\x0b\x1b\x1f", 5), R"("\u0000\u0001\u000b\u001b\u001f")"},
      {"q\"b\\", R"("q\"b\\")"},
      {"\x7f\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80", "\"\x7f\xc3\xa9\xe2\x80\xa8\xf0\x9f\x98\x80\""},
      {std::string(100, 'x') + "\n" + std::string(40, 'y'),
       "\"" + std::string(100, 'x') + "\\n" + std::string(40, 'y') + "\""},
  };
  for (auto& r : rows) EXPECT_EQ(text(Value::string({r.in.data(), r.in.size()})), r.expected);
}

TEST(WriterTest, ContainersAreCompactAndKeepMemberOrder) {
  Arena arena;
  ObjectBuilder inner(arena);
  Value empty_object = inner.finish();
  Value* items = arena.allocate_array<Value>(3);
  items[0] = empty_object;
  items[1] = Value::array(nullptr, 0);
  items[2] = Value::string({"k\"", 2});
  ObjectBuilder b(arena);
  b.insert({"b", 1}, Value::unsigned_integer(1));
  b.insert({"a", 1}, Value::unsigned_integer(2));
  b.insert({"k\"ey", 4}, Value::array(items, 3));
  EXPECT_EQ(text(b.finish()), R"({"b":1,"a":2,"k\"ey":[{},[],"k\""]})");
}

TEST(WriterTest, DeepNestingUsesNoCStack) {
  Arena arena;
  Value v = Value::null();
  for (int i = 0; i < 200000; ++i) {
    Value* one = arena.allocate_array<Value>(1);
    *one = v;
    v = Value::array(one, 1);
  }
  std::string t = text(v);
  EXPECT_EQ(t.size(), 400004u);
  EXPECT_EQ(t.substr(199998, 8), "[[null]]");
}

}  // namespace
}  // namespace zorvat::json
