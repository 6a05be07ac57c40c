// Names from the command line or a file, as a line of the program shows
// them: control characters written as escapes, so that no name can break a
// line or move the terminal's cursor.
#pragma once

#include <string>
#include <string_view>

namespace pg {

// `text` with its control characters written as escapes (\n, \t, \r, \x1b).
std::string printable(std::string_view text);

// printable(text) in double quotes.
std::string quoted(std::string_view text);

}  // namespace pg
