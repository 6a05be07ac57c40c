#include "base/console.hpp"

#include <cstdio>

namespace pg {

namespace {
std::FILE* console = nullptr;  // null: standard output
}

std::FILE* console_stream() { return console != nullptr ? console : stdout; }
void set_console_stream(std::FILE* stream) { console = stream; }

void put_line(std::string_view line) {
  std::FILE* out = console_stream();
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
}

}  // namespace pg
