// read_rows on arbitrary bytes: a row list or exactly one error whose
// position lies inside the payload, never a crash or sanitizer report; and
// a successful read writes back text that reads again to as many rows.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "json/writer.h"

using namespace zorvat::json;
using zorvat::Arena;
using zorvat::OutputBuffer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view payload(reinterpret_cast<const char*>(data), size);
  Arena arena;
  auto rows = read_rows(payload, arena);
  if (!rows) {
    const ReaderError& e = rows.error();
    if (e.line < 1 || e.column > size || e.description.empty()) std::abort();
    return 0;
  }
  OutputBuffer out;
  out.push_back('[');
  for (std::size_t i = 0; i < rows.value().size; ++i) {
    if (i != 0) out.push_back(',');
    write_json_value(out, rows.value().data[i]);
  }
  out.push_back(']');
  Arena again;
  auto reread = read_rows(out.view(), again);
  if (!reread || reread.value().size != rows.value().size) std::abort();
  return 0;
}
