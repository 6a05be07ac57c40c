// Console output: free-format lines and lines of fixed layout.
//
// A free-format line is one blank, then the items joined by single blanks.
// Integers are plain; an 8-byte real is written in the shortest form that
// reads back to the same double, a 4-byte real the same as a float.
#pragma once

#include <fmt/format.h>

#include <cstdio>
#include <functional>
#include <string_view>
#include <type_traits>

namespace pg {

// Writes one whole line (a newline is added) to the console: standard output,
// or the stream a test put in its place.
void put_line(std::string_view line);
std::FILE* console_stream();
void set_console_stream(std::FILE* stream);

// A passing line on a terminal (a progress line) that no other line may run
// into: `wiper` rubs it out, and is called (once; it unsets itself) before
// any console line and any line on standard error. Null: none.
void set_passing_line_wiper(std::function<void()> wiper);
void wipe_passing_line();

namespace detail {
// Items are separated by one blank (the first from the start of the line);
// a text that begins with a blank, or follows one, brings its own.
inline void separate(fmt::memory_buffer& buf, bool item_starts_with_blank) {
  if (item_starts_with_blank) return;
  if (buf.size() == 0 || buf.data()[buf.size() - 1] != ' ') buf.push_back(' ');
}

template <class T>
void append_item(fmt::memory_buffer& buf, const T& item) {
  if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    std::string_view s = item;
    separate(buf, s.starts_with(' '));
    buf.append(s);
  } else {
    separate(buf, false);
    if constexpr (std::is_same_v<T, signed char> || std::is_same_v<T, char>)
      fmt::format_to(std::back_inserter(buf), "{}", static_cast<int>(item));
    else
      fmt::format_to(std::back_inserter(buf), "{}", item);
  }
}
}  // namespace detail

// Free-format line of the given items.
template <class... Items>
void say(const Items&... items) {
  fmt::memory_buffer buf;
  (detail::append_item(buf, items), ...);
  put_line(std::string_view(buf.data(), buf.size()));
}

// Free-format line made of a text and a run of values.
template <class T>
void say_values(std::string_view text, const T* values, int n) {
  fmt::memory_buffer buf;
  detail::append_item(buf, text);
  for (int i = 0; i < n; ++i) detail::append_item(buf, values[i]);
  put_line(std::string_view(buf.data(), buf.size()));
}

}  // namespace pg
