#include "json/strings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "json/string_kernels.h"

namespace zorvat::json {
namespace {

bool always() { return true; }

// The dispatching entry points and every variant this CPU can run; the others
// are named once as skipped.
std::vector<detail::StringKernels> all_kernels() {
  static const std::vector<detail::StringKernels> kernels = [] {
    std::vector<detail::StringKernels> out;
    for (const auto& k : detail::available_string_kernels()) {
      if (k.runs_here()) {
        out.push_back(k);
      } else {
        std::printf("[ SKIPPED  ] variant %s: this processor lacks its instructions\n", k.name);
      }
    }
    out.push_back({"dispatch", find_string_special, is_valid_utf8, find_non_ascii, always});
    return out;
  }();
  return kernels;
}

// An allocation of exactly the bytes given, so that the sanitizer build
// catches any read past either end.
struct Exact {
  explicit Exact(const std::string& s) : n(s.size()), p(new char[s.size()]) {
    std::memcpy(p.get(), s.data(), n);
  }
  std::size_t n;
  std::unique_ptr<char[]> p;
  const char* begin() const { return p.get(); }
  const char* end() const { return p.get() + n; }
};

std::size_t naive_special(const std::string& s, std::size_t from) {
  for (std::size_t i = from; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b == '"' || b == '\\' || b < 0x20) return i;
  }
  return s.size();
}

TEST(FindStringSpecialTest, EachByteAtEachPositionAndLength) {
  struct Case {
    unsigned char byte;
    bool special;
  } cases[] = {{0x00, true},  {0x0A, true},  {0x1F, true},  {'"', true},   {'\\', true},
               {0x20, false}, {0x21, false}, {0x23, false}, {'/', false},  {0x5B, false},
               {0x5D, false}, {0x7F, false}, {0x80, false}, {0x9F, false}, {0xFF, false}};
  for (const auto& k : all_kernels()) {
    for (const Case& c : cases) {
      for (std::size_t n = 1; n <= 100; ++n) {
        for (std::size_t i = 0; i < n; ++i) {
          std::string s(n, 'a');
          s[i] = static_cast<char>(c.byte);
          Exact buf(s);
          ASSERT_EQ(k.find_special(buf.begin(), buf.end()) - buf.begin(), c.special ? i : n)
              << k.name << " byte " << int(c.byte) << " n " << n << " at " << i;
        }
      }
    }
  }
}

TEST(FindStringSpecialTest, FirstOfTwoAndNothingOutsideTheRange) {
  for (const auto& k : all_kernels()) {
    for (std::size_t n = 0; n <= 100; ++n) {
      // Specials right before and right at `end` must not be seen.
      std::string s(n + 2, 'x');
      s.front() = '"';
      s.back() = '\\';
      EXPECT_EQ(k.find_special(s.data() + 1, s.data() + 1 + n), s.data() + 1 + n) << k.name << " n " << n;
      for (std::size_t i = 0; i + 1 < n; ++i) {
        std::string t(n, 'x');
        t[i] = '\x01';
        t[n - 1] = '"';
        Exact buf(t);
        ASSERT_EQ(k.find_special(buf.begin(), buf.end()) - buf.begin(), i) << k.name << " n " << n;
      }
    }
  }
}

TEST(FindStringSpecialTest, RandomBuffersMatchNaiveScan) {
  std::mt19937 rng(7);
  for (const auto& k : all_kernels()) {
    for (int round = 0; round < 3000; ++round) {
      std::string s(rng() % 300, '\0');
      const unsigned rarity = 1 + rng() % 200;  // dense to very sparse specials
      for (char& ch : s) ch = static_cast<char>(rng() % rarity == 0 ? rng() % 256 : 0x20 + rng() % 0x5F);
      Exact buf(s);
      // Walk the buffer hit by hit, as the reader does.
      for (std::size_t from = 0;; ++from) {
        const std::size_t want = naive_special(s, from);
        ASSERT_EQ(k.find_special(buf.begin() + from, buf.end()) - buf.begin(), want) << k.name;
        if (want == s.size()) break;
        from = want;
      }
    }
  }
}

// Decodes and checks the code point, unlike the implementation, which checks
// byte ranges.
bool reference_valid(const unsigned char* s, std::size_t n) {
  for (std::size_t i = 0; i < n;) {
    const unsigned b = s[i];
    std::size_t len;
    char32_t c, min;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t j = 1; j < len; ++j) {
      if ((s[i + j] & 0xC0) != 0x80) return false;
      c = (c << 6) | (s[i + j] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

TEST(IsValidUtf8Test, CasesAtEveryOffset) {
  struct Case {
    const char* bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"\xC3\xA9", true},           // é
      {"\xC2\x80", true},           // smallest 2-byte
      {"\xE0\xA0\x80", true},       // smallest 3-byte
      {"\xED\x9F\xBF", true},       // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", true},       // U+E000, just above
      {"\xEF\xBF\xBF", true},       // U+FFFF
      {"\xF0\x90\x80\x80", true},   // U+10000
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xC0\x80", false},          // overlong 2-byte
      {"\xC1\xBF", false},          // overlong 2-byte
      {"\xE0\x80\x80", false},      // overlong 3-byte
      {"\xE0\x9F\xBF", false},      // overlong 3-byte
      {"\xF0\x80\x80\x80", false},  // overlong 4-byte
      {"\xF0\x8F\xBF\xBF", false},  // overlong 4-byte
      {"\xED\xA0\x80", false},      // U+D800
      {"\xED\xBF\xBF", false},      // U+DFFF
      {"\xF4\x90\x80\x80", false},  // U+110000
      {"\xF5\x80\x80\x80", false},
      {"\xF8\x88\x80\x80\x80", false},
      {"\xFE", false},
      {"\xFF", false},
      {"\x80", false},  // stray continuation
      {"\xBF", false},
      {"\xC3\xA9\x80", false},
      {"\xC3", false},  // truncated
      {"\xE2\x82", false},
      {"\xF0\x9F\x98", false},
      {"\xC3"
       "A",
       false},  // lead then ASCII
      {"\xE2\x28\xA1", false},
      {"\xC3\xC3\xA9", false},
      // ASCII runs shorter than, as long as and longer than a word between sequences
      {"\xC3\xA9"
       "a\xC3\xA9"
       "abcdefg\xC3\xA9"
       "abcdefgh\xC3\xA9"
       "abcdefghijklmnopq\xC3\xA9",
       true},
      {"\xC3\xA9"
       "abcdefg\x80",
       false},
      {"\xC3\xA9"
       "abcdefgh\xC3",
       false},
      // A sequence left open, a whole block of ASCII, then complete ones
      {"\xE2\x82"
       "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz\xC3\xA9",
       false},
  };
  for (const auto& k : all_kernels()) {
    for (const Case& c : cases) {
      for (std::size_t before = 0; before <= 70; ++before) {
        for (std::size_t after : {0, 1, 15, 16, 40}) {
          Exact buf(std::string(before, 'a') + c.bytes + std::string(after, 'b'));
          ASSERT_EQ(k.valid_utf8(buf.begin(), buf.n), c.valid)
              << k.name << " case " << (&c - cases) << " after " << before << " ASCII, before " << after;
        }
      }
    }
  }
}

TEST(IsValidUtf8Test, AllShortSequencesMatchReference) {
  auto same = [](const unsigned char* b, std::size_t n) {
    return is_valid_utf8(reinterpret_cast<const char*>(b), n) == reference_valid(b, n);
  };
  unsigned char s[3];
  for (std::uint32_t v = 0; v < (1u << 24); ++v) {
    s[0] = static_cast<unsigned char>(v >> 16), s[1] = static_cast<unsigned char>(v >> 8);
    s[2] = static_cast<unsigned char>(v);
    ASSERT_TRUE(same(s, 3) && (v >= 65536 || same(s + 1, 2)) && (v >= 256 || same(s + 2, 1))) << v;
  }
  std::mt19937 rng(11);
  for (int i = 0; i < 2000000; ++i) {
    unsigned char t[4];
    const std::uint32_t r = rng();
    t[0] = static_cast<unsigned char>(i % 2 ? 0xEC + (r & 0x0F) : r);  // half with a 3/4-byte lead
    for (int j = 1; j < 4; ++j) t[j] = static_cast<unsigned char>(0x78 + (r >> (8 * j)) % 0x50);
    ASSERT_TRUE(same(t, 4)) << std::hex << r;
  }
}

// Every 1- and 2-byte string, and 3- and 4-byte ones from every lead that
// starts them with telling second to fourth bytes, inside ASCII: at the start,
// split by each 16-, 32- and 64-byte boundary, and ending at the end of the
// buffer both where it is a whole number of blocks and where it is not.
TEST(IsValidUtf8Test, ShortStringsAcrossBlockBoundariesMatchReference) {
  constexpr std::size_t kLong = 80;
  const unsigned char telling[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC2, 0xE1, 0xF0, 0xFF};
  auto is_telling = [&](unsigned b) {
    return std::find(std::begin(telling), std::end(telling), b) != std::end(telling);
  };
  std::vector<std::string> strings;
  for (unsigned a = 0; a < 256; ++a) {
    strings.push_back(std::string(1, static_cast<char>(a)));
    for (unsigned b = 0; b < 256; ++b) {
      strings.push_back({static_cast<char>(a), static_cast<char>(b)});
      if (a < 0xE0) continue;
      for (unsigned char c : telling) {
        const std::string three = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        strings.push_back(three);
        if (a < 0xF0 || !is_telling(b)) continue;
        for (unsigned char d : telling) strings.push_back(three + static_cast<char>(d));
      }
    }
  }
  Exact block(std::string(64, 'a')), longer(std::string(kLong, 'a'));  // exactly sized, reused
  const auto kernels = all_kernels();
  for (const std::string& seq : strings) {
    const std::size_t len = seq.size();
    std::pair<std::size_t, Exact*> placements[16] = {
        {0, &longer}, {64 - len, &block}, {kLong - len, &longer}};
    std::size_t count = 3;
    for (std::size_t boundary : {16, 32, 64}) {
      for (std::size_t at = boundary - len + 1; at <= boundary; ++at) placements[count++] = {at, &longer};
    }
    for (auto [at, buf] : std::span(placements, count)) {
      char* p = buf->p.get();
      std::memcpy(p + at, seq.data(), len);
      const bool want = reference_valid(reinterpret_cast<const unsigned char*>(p), buf->n);
      for (const auto& k : kernels) {
        ASSERT_EQ(k.valid_utf8(p, buf->n), want) << k.name << " at " << at << " of " << buf->n << ": "
                                                  << testing::PrintToString(seq);
      }
      std::memset(p + at, 'a', len);
    }
  }
}

#if defined(__unix__)
// Text that begins right after an unmapped page and ends right before
// another: reading a byte outside it would fault.
TEST(IsValidUtf8Test, ReadsNothingOutsideTheText) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  struct Pages {
    std::size_t size;
    void* map = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ~Pages() {
      if (map != MAP_FAILED) munmap(map, size);
    }
  } pages{3 * page};
  ASSERT_NE(pages.map, MAP_FAILED);
  char* const data = static_cast<char*>(pages.map) + page;
  ASSERT_EQ(mprotect(data, page, PROT_READ | PROT_WRITE), 0);
  std::string text;
  while (text.size() < page) text += "caf\xC3\xA9 \xE4\xB8\xAD\xF0\x9F\x98\x80";
  auto valid = [](const char* p, std::size_t n) {
    return reference_valid(reinterpret_cast<const unsigned char*>(p), n);
  };
  for (const auto& k : all_kernels()) {
    for (std::size_t n = 0; n <= 300; ++n) {
      // Ending at the page's end, then starting at the page's start; cut
      // sequences at either end of some.
      const char* tail = text.data() + text.size() - n;
      std::memcpy(data + page - n, tail, n);
      ASSERT_EQ(k.valid_utf8(data + page - n, n), valid(tail, n)) << k.name << " n " << n;
      std::memcpy(data, text.data(), n);
      ASSERT_EQ(k.valid_utf8(data, n), valid(text.data(), n)) << k.name << " n " << n;
    }
  }
}
#endif

TEST(IsValidUtf8Test, RandomTextMatchesReference) {
  std::mt19937 rng(3);
  const char32_t firsts[] = {0x20, 0x80, 0x800, 0xE000, 0x10000};
  const char32_t lasts[] = {0x7E, 0x7FF, 0xD7FF, 0xFFFF, 0x10FFFF};
  for (const auto& k : all_kernels()) {
    for (int round = 0; round < 4000; ++round) {
      std::string s;
      const unsigned ascii_share = rng() % 101;
      const std::size_t length = rng() % 700;  // up to ten blocks
      while (s.size() < length) {
        const unsigned band = rng() % 100 < ascii_share ? 0 : 1 + rng() % 4;
        char32_t c = firsts[band] + rng() % (lasts[band] - firsts[band] + 1);
        const std::size_t len = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        char bytes[4];
        for (std::size_t j = len - 1; j > 0; --j, c >>= 6) bytes[j] = static_cast<char>(0x80 | (c & 0x3F));
        bytes[0] = static_cast<char>((len == 1 ? 0 : 0xF00 >> len & 0xF0) | c);
        s.append(bytes, len);
      }
      const bool corrupt = !s.empty() && round % 2;
      if (corrupt) s[rng() % s.size()] = static_cast<char>(rng());
      Exact buf(s);
      ASSERT_EQ(k.valid_utf8(buf.begin(), buf.n),
                !corrupt || reference_valid(reinterpret_cast<const unsigned char*>(s.data()), s.size()))
          << k.name << " round " << round;
    }
  }
}

}  // namespace
}  // namespace zorvat::json
