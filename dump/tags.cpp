#include "dump/tags.hpp"

#include <algorithm>
#include <string>

#include "base/trace.hpp"
#include "base/error.hpp"

namespace pg {

namespace {

using dumpformat::trim_blanks;

// A text in a field of 16: right-aligned after blanks, or its first 16.
std::string field16(std::string_view s) {
  if (s.size() >= tag_length) return std::string(s.substr(0, tag_length));
  return std::string(tag_length - s.size(), ' ') + std::string(s);
}

}  // namespace


std::string_view header_key(std::string_view name) {
  std::string_view key = trim_blanks(name);
  while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
  return key;
}

std::optional<double> find_header_real(std::string_view name, const HeaderTags& header, std::int32_t count) {
  const std::string_view key = header_key(name);
  const int n = std::min<std::int32_t>(count, max_header_tags);
  for (int i = 1; i <= n; ++i) {
    if (tag_name(header.tags[static_cast<std::size_t>(i - 1)]) != key) continue;
    if (i > max_header_values) return std::nullopt;
    return header.values[static_cast<std::size_t>(i - 1)];
  }
  return std::nullopt;
}

std::optional<double> extract(Trace& trace, std::string_view name, const HeaderTags& header, std::int32_t count) {
  const std::optional<double> value = find_header_real(name, header, count);
  if (!value)
    trace.warn({WarningKind::header_value_missing,
                " " + error_line(FaultKind::header_value_missing, -1, {}, std::string(header_key(name)))});
  return value;
}

bool checktag(Trace& trace, std::string_view expected, const Tag& read_tag) {
  if (trim_blanks(expected) == tag_name(read_tag)) return false;
  trace.warn({WarningKind::tag_differs, " WARNING: read tag " + std::string(read_tag.data(), read_tag.size()) +
                                            " but expected " + field16(expected)});
  return true;
}

}  // namespace pg
