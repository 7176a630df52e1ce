#include <simdjson.h>

#include "transform/bulk_utf8.h"

namespace zorvat::transform {

bool payload_is_utf8(const char* p, std::size_t n) { return simdjson::validate_utf8(p, n); }

}  // namespace zorvat::transform
