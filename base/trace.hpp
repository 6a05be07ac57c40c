// Where a trace goes: the lines a run or a read shows (the tool's standard
// output) and the warnings among them, as values.
//
// A free-format line is one blank, then the items joined by single blanks.
// Integers are plain; an 8-byte real is written in the shortest form that
// reads back to the same double, a 4-byte real the same as a float.
#pragma once

#include <fmt/format.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pg {

// A line the trace shows that says something may be wrong; the read goes on.
enum class WarningKind {
  tag_differs,           // a tagged dump's array tag is not the expected one
  dragscheme_changed,    // the dump's drag scheme is not the run's
  header_value_missing,  // a tagged header lacks a value the read uses
  newer_format_version,  // the dump's format is newer than the reader's
};
struct Warning {
  WarningKind kind;
  std::string line;  // as the trace shows it, with its leading blank
};

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

class Trace {
 public:
  virtual ~Trace() = default;
  // One whole line (without its newline).
  virtual void line(std::string_view text) = 0;
  // A warning: shown as its line.
  virtual void warn(const Warning& w) { line(w.line); }

  // A free-format line of the given items.
  template <class... Items>
  void say(const Items&... items) {
    fmt::memory_buffer buf;
    (detail::append_item(buf, items), ...);
    line(std::string_view(buf.data(), buf.size()));
  }
  // A free-format line made of a text and a run of values.
  template <class T>
  void say_values(std::string_view text, const T* values, int n) {
    fmt::memory_buffer buf;
    detail::append_item(buf, text);
    for (int i = 0; i < n; ++i) detail::append_item(buf, values[i]);
    line(std::string_view(buf.data(), buf.size()));
  }
};

// A trace written to a stream (the tool's: standard output), each line
// rubbing out a passing progress line first (see base/console.hpp).
class StreamTrace final : public Trace {
 public:
  explicit StreamTrace(std::FILE* out) : out_(out) {}
  void line(std::string_view text) override;

 private:
  std::FILE* out_;
};

// A trace kept in memory: its text (lines ending in newlines) and its warnings.
class BufferTrace : public Trace {
 public:
  void line(std::string_view text) override {
    text_.append(text);
    text_ += '\n';
  }
  void warn(const Warning& w) override {
    warnings_.push_back(w);
    line(w.line);
  }
  const std::string& text() const { return text_; }
  const std::vector<Warning>& warnings() const { return warnings_; }

 private:
  std::string text_;
  std::vector<Warning> warnings_;
};

}  // namespace pg
