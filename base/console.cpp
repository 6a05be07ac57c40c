#include "base/console.hpp"

#include <cstdio>

namespace pg {

namespace {
std::FILE* console = nullptr;  // null: standard output
std::function<void()> passing_line_wiper;
}  // namespace

void set_passing_line_wiper(std::function<void()> wiper) { passing_line_wiper = std::move(wiper); }
void wipe_passing_line() {
  if (!passing_line_wiper) return;
  const std::function<void()> wiper = std::move(passing_line_wiper);
  passing_line_wiper = nullptr;
  wiper();
}

std::FILE* console_stream() { return console != nullptr ? console : stdout; }
void set_console_stream(std::FILE* stream) { console = stream; }

void put_line(std::string_view line) {
  wipe_passing_line();
  std::FILE* out = console_stream();
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

}  // namespace pg
