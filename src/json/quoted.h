// The quoted form of a string, used by the reader's "invalid type" message
// when the payload's top-level value is a string.
#pragma once

#include <string>
#include <string_view>

namespace zorvat::json {

// Appends the quoted form of valid UTF-8 `s` to `out`: a double quote, each
// character escaped as the message needs (\" \\ \t \n \r \0, \u{hex} for
// other controls, non-printable characters, private use and grapheme
// extenders; printable characters as themselves), and a double quote.
void append_quoted(std::string& out, std::string_view s);

}  // namespace zorvat::json
