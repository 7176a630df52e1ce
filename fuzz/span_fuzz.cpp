// The span pass against the exact path on arbitrary bytes. When the pass
// accepts a payload, the exact path must accept it too, with the same bytes;
// when it hands it back, there is nothing of its own to compare. Either way
// the public entry must answer exactly as the exact path does (the same
// bytes, or the same message), which also covers the reader's checking mode
// that words errors after a hand-back. The reader resumed where the pass
// stopped must meet the error a read from the first byte meets, or none.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/reader.h"
#include "transform/pipeline.h"
#include "transform/span_pass.h"

using namespace zorvat;
using fuzz::require;

namespace {

std::string answer(const transform::Outcome& o) {
  return o.ok() ? "OK " + std::string(o.value().view()) : "ERR " + o.error().message();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view payload(reinterpret_cast<const char*>(data), size);
  using transform::run_guarded;
  const transform::Outcome exact = run_guarded([&] { return transform::exact_path(payload); });
  auto fast = transform::fast_path(payload);
  if (fast) {
    require(exact.ok(), "what the span pass accepts, the exact path accepts", answer(exact));
    require(fast.value().view() == exact.value().view(), "the span pass writes the exact path's bytes",
            std::string(fast.value().view()) + "\n  exact: " + std::string(exact.value().view()));
  } else {
    const transform::SpanDecline& d = fast.error();
    require(d.after_row <= size, "the resume point lies in the payload");
    zorvat::Arena arena;
    auto from_start = json::read_rows(payload, arena);
    const std::string first_error = from_start ? "none" : from_start.error().text();
    for (const bool one_row : {false, true}) {
      auto resumed = json::check_rows(payload, d.utf8_valid, {d.after_row, one_row});
      const std::string resumed_error = resumed ? "none" : resumed.error().text();
      // One row read may stop before the first error; otherwise they agree.
      if (!(one_row && resumed)) {
        require(resumed_error == first_error, "the resumed reader meets the first error",
                resumed_error + "\n  from the first byte: " + first_error);
      }
    }
  }
  const transform::Outcome public_entry = run_guarded([&] { return transform::columnarize_json(payload); });
  require(answer(public_entry) == answer(exact), "columnarize_json answers as the exact path",
          answer(public_entry) + "\n  exact: " + answer(exact));
  return 0;
}
