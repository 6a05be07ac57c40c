#include "dump/tags.hpp"

#include <algorithm>
#include <string>

#include "base/console.hpp"

namespace pg {

namespace {

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A text in a field of 16: right-aligned after blanks, or its first 16.
std::string field16(std::string_view s) {
  if (s.size() >= tag_length) return std::string(s.substr(0, tag_length));
  return std::string(tag_length - s.size(), ' ') + std::string(s);
}

}  // namespace

Tag make_tag(std::string_view name) {
  Tag t;
  t.fill(' ');
  std::copy_n(name.begin(), std::min<std::size_t>(name.size(), tag_length), t.begin());
  return t;
}

std::string_view tag_name(const Tag& t) { return trim_right(std::string_view(t.data(), t.size())); }

void extract(std::string_view name, double& value, const HeaderTags& header, std::int32_t count,
             int& not_found) {
  not_found = 1;
  value = 0.0;
  std::string_view key = trim_right(name);
  while (!key.empty() && key.front() == ' ') key.remove_prefix(1);
  const int n = std::min<std::int32_t>(count, max_header_tags);
  for (int i = 1; i <= n; ++i) {
    if (tag_name(header.tags[static_cast<std::size_t>(i - 1)]) != key) continue;
    if (i <= max_header_values) {
      value = header.values[static_cast<std::size_t>(i - 1)];
      not_found = 0;
    }
    break;
  }
  if (not_found != 0) put_line(std::string(" ERROR: could not find ") + std::string(key) + " in header");
}

void checktag(std::string_view expected, const Tag& read_tag, int& mismatch) {
  mismatch = 0;
  if (trim_right(expected) == tag_name(read_tag)) return;
  mismatch = 1;
  put_line(" WARNING: read tag " + std::string(read_tag.data(), read_tag.size()) + " but expected " +
           field16(expected));
}

}  // namespace pg
