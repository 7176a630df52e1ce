// The columnar document as a value, and any value as bytes: the second form
// of what the pipeline writes directly, which tests and fuzz targets compare
// it against.
#pragma once

#include "base/buffer.h"
#include "json/reader.h"
#include "json/value.h"

namespace zorvat::testkit {

// {"columns":[...],"rows":[[...],...],"constants":{...}} for `rows` (each an
// object), built by a plain reading of the rules, independently of the
// pipeline's column plan;
// it shares the rows' values and lives in `arena`.
json::Value columnarize_rows(json::RowList rows, zorvat::Arena& arena);

// `v` as compact JSON.
zorvat::OutputBuffer to_json_bytes(const json::Value& v);

}  // namespace zorvat::testkit
