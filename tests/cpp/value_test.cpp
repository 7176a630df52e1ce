#include "json/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/hash.h"
#include "json/writer.h"
#include "object_builder.h"

namespace zorvat::json {
namespace {

using testkit::ObjectBuilder;

Str S(const char* s) { return {s, std::strlen(s)}; }

// Values for the tables below, built directly (the reader has its own tests).
struct Build {
  Arena arena;
  Value u(std::uint64_t v) { return Value::unsigned_integer(v); }
  Value n(std::int64_t v) { return Value::negative_integer(v); }
  Value f(double v) { return Value::floating(v); }
  Value s(const char* v) { return Value::string(S(v)); }
  Value arr(std::vector<Value> items) {
    Value* p = arena.allocate_array<Value>(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) p[i] = items[i];
    return Value::array(p, items.size());
  }
  Value obj(std::vector<std::pair<const char*, Value>> members) {
    ObjectBuilder b(arena);
    for (auto& [k, v] : members) b.insert(S(k), v);
    return b.finish();
  }
};

TEST(ObjectTest, RepeatedKeyKeepsFirstPositionAndLastValue) {
  Build b;
  Value o = b.obj({{"a", b.u(1)}, {"b", b.u(2)}, {"a", b.u(3)}});
  const Object& obj = o.as_object();
  ASSERT_EQ(obj.size(), 2u);
  EXPECT_EQ(obj[0].key().view(), "a");
  EXPECT_EQ(obj[0].value.as_unsigned(), 3u);
  EXPECT_EQ(obj[1].key().view(), "b");
  EXPECT_EQ(obj[1].value.as_unsigned(), 2u);
}

TEST(ObjectTest, KeysAreExactBytes) {
  Build b;
  Value o = b.obj({{"B", b.u(1)}, {"b", b.u(2)}});
  EXPECT_EQ(o.as_object().size(), 2u);
  EXPECT_EQ(o.as_object().find(S("b"))->as_unsigned(), 2u);
  EXPECT_EQ(o.as_object().find(S("b ")), nullptr);
  // Keys with an embedded NUL and a prefix of another key stay distinct.
  ObjectBuilder nb(b.arena);
  nb.insert({"a\0b", 3}, b.u(1));
  nb.insert({"a", 1}, b.u(2));
  Value o2 = nb.finish();
  EXPECT_EQ(o2.as_object().find({"a\0b", 3})->as_unsigned(), 1u);
  EXPECT_EQ(o2.as_object().find({"a\0c", 3}), nullptr);
}

// Objects cross the index threshold while being built; lookups, repeats and
// order must behave the same on both sides of it.
TEST(ObjectTest, LargeObjectsAreIndexedAndKeepInsertionOrder) {
  for (std::size_t n : {1u, 7u, 8u, 9u, 31u, 32u, 33u, 1000u, 70000u}) {
    Build b;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < n; ++i) keys.push_back("k" + std::to_string((i * 7919) % 100003));
    ObjectBuilder ob(b.arena);
    for (std::size_t i = 0; i < n; ++i) EXPECT_FALSE(ob.insert({keys[i].data(), keys[i].size()}, b.u(i)));
    // Repeat every third key: the value changes, the position does not.
    for (std::size_t i = 0; i < n; i += 3)
      EXPECT_TRUE(ob.insert({keys[i].data(), keys[i].size()}, b.u(i + n)));
    Value o = ob.finish();
    const Object& obj = o.as_object();
    ASSERT_EQ(obj.size(), n);
    EXPECT_EQ(obj.index().empty(), n <= kLinearSearchKeys) << n;
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(obj[i].key().view(), keys[i]);
      const Value* v = obj.find({keys[i].data(), keys[i].size()});
      ASSERT_NE(v, nullptr);
      EXPECT_EQ(v->as_unsigned(), i % 3 == 0 ? i + n : i);
    }
    EXPECT_EQ(obj.find(S("absent")), nullptr);
  }
}

TEST(EqualityTest, Table) {
  Build b;
  const double nan = std::nan("");
  struct Row {
    const char* name;
    Value x, y;
    bool equal;
  } rows[] = {
      {"null null", Value::null(), Value::null(), true},
      {"true true", Value::boolean(true), Value::boolean(true), true},
      {"true false", Value::boolean(true), Value::boolean(false), false},
      {"1 vs 1.0 (forms differ)", b.u(1), b.f(1.0), false},
      {"1 vs 1", b.u(1), b.u(1), true},
      {"-1 vs -1", b.n(-1), b.n(-1), true},
      {"u max vs -1 (same bits)", b.u(UINT64_MAX), b.n(-1), false},
      {"0.0 vs -0.0", b.f(0.0), b.f(-0.0), true},
      {"nan vs nan", b.f(nan), b.f(nan), false},
      {"0 vs -0.0", b.u(0), b.f(-0.0), false},
      {"strings", b.s("ab"), b.s("ab"), true},
      {"string prefix", b.s("ab"), b.s("a"), false},
      {"[1,2] vs [2,1]", b.arr({b.u(1), b.u(2)}), b.arr({b.u(2), b.u(1)}), false},
      {"[1] vs [1.0]", b.arr({b.u(1)}), b.arr({b.f(1.0)}), false},
      {"[] vs {}", b.arr({}), b.obj({}), false},
      {"{} vs {}", b.obj({}), b.obj({}), true},
      {"member order ignored", b.obj({{"a", b.u(1)}, {"b", b.u(2)}}), b.obj({{"b", b.u(2)}, {"a", b.u(1)}}),
       true},
      {"{a:null} vs {}", b.obj({{"a", Value::null()}}), b.obj({}), false},
      {"same size, other key", b.obj({{"a", b.u(1)}}), b.obj({{"b", b.u(1)}}), false},
      {"nested difference deep", b.arr({b.obj({{"k", b.arr({b.u(1), b.s("x")})}})}),
       b.arr({b.obj({{"k", b.arr({b.u(1), b.s("y")})}})}), false},
      {"nested equal", b.arr({b.obj({{"k", b.arr({b.u(1), b.obj({})})}}), Value::null()}),
       b.arr({b.obj({{"k", b.arr({b.u(1), b.obj({})})}}), Value::null()}), true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(equal(r.x, r.y), r.equal) << r.name;
    EXPECT_EQ(equal(r.y, r.x), r.equal) << r.name << " (swapped)";
  }
}

// The short-string comparison uses overlapping loads: a difference at any
// position of any length must be seen, and equal bytes at other addresses
// must compare equal.
TEST(StrTest, ComparesEveryPositionOfEveryLength) {
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string a(n, 'k');
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + (i * 7) % 26);
    std::string b = a;
    EXPECT_TRUE((Str{a.data(), n} == Str{b.data(), n})) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string c = a;
      c[i] ^= 0x20;
      EXPECT_FALSE((Str{a.data(), n} == Str{c.data(), n})) << n << " at " << i;
    }
  }
}

TEST(ValueTest, ZeroFilledValueIsNull) {
  Value v = Value::boolean(true);
  std::memset(static_cast<void*>(&v), 0, sizeof v);
  EXPECT_TRUE(v.is_null());
  EXPECT_EQ(v.kind(), Kind::null);
}

TEST(NumberTest, AsDoubleRoundsToNearestEven) {
  struct {
    Value v;
    double expected;
  } rows[] = {
      {Value::unsigned_integer(9007199254740993u), 9007199254740992.0},
      {Value::unsigned_integer(9007199254740995u), 9007199254740996.0},
      {Value::unsigned_integer(UINT64_MAX), 18446744073709551616.0},
      {Value::negative_integer(INT64_MIN), -9223372036854775808.0},
      {Value::negative_integer(-9007199254740993), -9007199254740992.0},
      {Value::floating(-0.0), -0.0},
      {Value::floating(1.5), 1.5},
  };
  for (auto& r : rows) EXPECT_EQ(r.v.number_as_double(), r.expected);
  EXPECT_TRUE(std::signbit(Value::floating(-0.0).number_as_double()));
}

TEST(HashTest, TableKeysAdvancePerTable) {
  HashKey a = take_table_key();
  HashKey b = take_table_key();
  EXPECT_EQ(b.k0, a.k0 + 1);
  EXPECT_EQ(b.k1, a.k1);
}

}  // namespace
}  // namespace zorvat::json
