// The vector UTF-8 check, written once over a vector type V (utf8_avx2.cpp,
// utf8_ssse3.cpp, utf8_neon.cpp). Each byte is judged with the byte before
// it: three 16-entry tables, indexed by the previous byte's high and low
// nibbles and by this byte's high nibble, each give the error classes that
// nibble allows; their AND is the set of errors the pair commits. A
// continuation after a continuation is one of those classes, and it is only
// an error where no 3- or 4-byte lead two or three bytes back asks for it.
//
// Include it only inside a target region (base/target_region.h), after the
// standard headers it uses, so that every function here gets the variant's
// instruction set and nothing shared with other translation units does.
// Everything depends on V for the same reason: no instance is shared.
//
// V provides: kWidth (bytes), load, splat, table (16 bytes, one per nibble,
// repeated per lane), before<N>(cur, prev) (cur shifted N bytes later, the
// last N bytes of prev shifted in), lookup (idx < 16), shr4 (per byte), &,
// |, ^, subs (unsigned saturating), any_high (some byte >= 0x80), any. Each
// operation is forced inline: a call per vector would cost more than it does.
#pragma once

namespace zorvat::json::detail {

template <class V>
struct Utf8Blocks {
  using u8 = unsigned char;
  static constexpr std::size_t kBlock = 64;  // bytes per step, a cache line
  static constexpr std::size_t kVectors = kBlock / V::kWidth;

  // Error classes of a byte pair (previous byte, this byte).
  static constexpr u8 kTooShort = 0x01;    // lead, then no continuation
  static constexpr u8 kTooLong = 0x02;     // ASCII, then a continuation
  static constexpr u8 kOverlong3 = 0x04;   // E0, then 80-9F
  static constexpr u8 kTooLarge = 0x08;    // F4, then 90-BF; F5-FF, then 90-BF
  static constexpr u8 kSurrogate = 0x10;   // ED, then A0-BF
  static constexpr u8 kOverlong2 = 0x20;   // C0 or C1, then a continuation
  static constexpr u8 kOverlong4 = 0x40;   // F0, then 80-8F; F5-FF, then 80-8F too
  static constexpr u8 kTwoConts = 0x80;    // a continuation, then another
  static constexpr u8 kAnyLow = kTooShort | kTooLong | kTwoConts;
  static constexpr u8 kContinuation = kTooLong | kTwoConts | kOverlong2;

  // By the previous byte's high nibble.
  static constexpr u8 kPrevHigh[16] = {
      kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // ASCII
      kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // continuations
      kTooShort | kOverlong2,                                                          // C0-CF
      kTooShort,                                                                       // D0-DF
      kTooShort | kOverlong3 | kSurrogate,                                             // E0-EF
      kTooShort | kTooLarge | kOverlong4,                                              // F0-FF
  };
  // By the previous byte's low nibble.
  static constexpr u8 kPrevLow[16] = {
      kAnyLow | kOverlong2 | kOverlong3 | kOverlong4,  // C0 E0 F0
      kAnyLow | kOverlong2,                            // C1
      kAnyLow,
      kAnyLow,
      kAnyLow | kTooLarge,  // F4
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4 | kSurrogate,  // ED
      kAnyLow | kTooLarge | kOverlong4,
      kAnyLow | kTooLarge | kOverlong4,
  };
  // By this byte's high nibble.
  static constexpr u8 kThisHigh[16] = {
      kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
      kContinuation | kOverlong3 | kOverlong4,  // 80-8F
      kContinuation | kOverlong3 | kTooLarge,   // 90-9F
      kContinuation | kSurrogate | kTooLarge,   // A0-AF
      kContinuation | kSurrogate | kTooLarge,   // B0-BF
      kTooShort, kTooShort, kTooShort, kTooShort,
  };
  // Above these, a block's last three bytes leave a sequence open.
  struct Limits {
    u8 bytes[V::kWidth];
  };
  static constexpr Limits kOpenAbove = [] {
    Limits l{};
    for (u8& b : l.bytes) b = 0xFF;
    l.bytes[V::kWidth - 3] = 0xF0 - 1;
    l.bytes[V::kWidth - 2] = 0xE0 - 1;
    l.bytes[V::kWidth - 1] = 0xC0 - 1;
    return l;
  }();

  // A written constructor: the implicit one would not be compiled in the
  // target region.
  struct State {
    State()
        : prev_high(V::table(kPrevHigh)),
          prev_low(V::table(kPrevLow)),
          this_high(V::table(kThisHigh)),
          error(V::splat(0)),
          last(V::splat(0)),
          open(V::splat(0)) {}
    V prev_high, prev_low, this_high;
    V error;
    // The last vector checked, or zeros after ASCII: the checks tell ASCII
    // bytes apart only from other bytes, never from each other.
    V last;
    V open;  // non-zero where the last block checked ended inside a sequence
  };

  static V vector_errors(const State& s, V in, V last) {
    const V before1 = V::template before<1>(in, last);
    const V special = s.prev_high.lookup(before1.shr4()) & s.prev_low.lookup(before1 & V::splat(0x0F)) &
                      s.this_high.lookup(in.shr4());
    // Where a 3- or 4-byte lead stands two or three bytes back, this byte
    // must be a continuation, so its pair with the byte before is two
    // continuations: that class flips from error to required.
    const V third = V::template before<2>(in, last).subs(V::splat(0xE0 - 0x80));
    const V fourth = V::template before<3>(in, last).subs(V::splat(0xF0 - 0x80));
    return ((third | fourth) & V::splat(0x80)) ^ special;
  }

  template <std::size_t kBlocks = 1>
  static bool is_ascii(const u8* p) {
    V any = V::load(p);
    for (std::size_t i = 1; i < kBlocks * kVectors; ++i) any = any | V::load(p + i * V::kWidth);
    return !any.any_high();
  }

  static void check_block(State& s, const u8* p) {
    for (std::size_t i = 0; i < kVectors; ++i) {
      const V in = V::load(p + i * V::kWidth);
      s.error = s.error | vector_errors(s, in, s.last);
      s.last = in;
    }
    s.open = s.last.subs(V::load(kOpenAbove.bytes));
  }

  // Reads only [p, p + n).
  static bool valid(const u8* p, std::size_t n) {
    static_assert(kVectorUtf8From >= kBlock, "the rest after the blocks is read with loads that overlap");
    if (n < kVectorUtf8From) return valid_utf8_sequences(reinterpret_cast<const char*>(p), n);
    State s;
    const std::size_t whole = n - n % kBlock;
    std::size_t i = 0;
    while (i != whole) {
      if (is_ascii(p + i)) {
        // Fine, unless the block before left a sequence open.
        s.error = s.error | s.open;
        s.open = V::splat(0);
        s.last = V::splat(0);
        // Long runs go two blocks a step (on 1 MB of ASCII, 7% less time
        // than one).
        i += kBlock;
        while (whole - i >= 2 * kBlock && is_ascii<2>(p + i)) i += 2 * kBlock;
        if (i != whole && is_ascii(p + i)) i += kBlock;
        continue;
      }
      check_block(s, p + i);
      i += kBlock;
    }
    if (i != n) {
      // The rest: whole vectors, then one that ends at the end, overlapping
      // bytes already checked, judged against the bytes before it.
      for (; n - i >= V::kWidth; i += V::kWidth) {
        const V in = V::load(p + i);
        s.error = s.error | vector_errors(s, in, s.last);
        s.last = in;
      }
      if (i != n) {
        const V in = V::load(p + n - V::kWidth);
        s.error = s.error | vector_errors(s, in, V::load(p + n - 2 * V::kWidth));
        s.last = in;
      }
      s.open = s.last.subs(V::load(kOpenAbove.bytes));
    }
    return !(s.error | s.open).any();
  }
};

}  // namespace zorvat::json::detail
