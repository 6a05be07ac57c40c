#include "base/printable.hpp"

#include <fmt/format.h>

namespace pg {

std::string printable(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
      out += c;
      continue;
    }
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
    }
  }
  return out;
}

std::string quoted(std::string_view text) { return "\"" + printable(text) + "\""; }

}  // namespace pg
