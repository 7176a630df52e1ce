// format_float as it was before its lean rewrite, frozen: the byte-for-byte
// reference that the differential test and fuzz target hold the live writer to.
#pragma once

#include <cstddef>

namespace zorvat::testkit {

// Same contract as json::format_float: room for json::kFloatTextMax bytes.
std::size_t format_float_reference(double x, char* out);

}  // namespace zorvat::testkit
