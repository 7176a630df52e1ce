#include "json/strings.h"
#include "transform/bulk_utf8.h"

namespace zorvat::transform {

bool payload_is_utf8(const char* p, std::size_t n) { return n == 0 || json::is_valid_utf8(p, n); }

}  // namespace zorvat::transform
