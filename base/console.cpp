#include "base/console.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error.hpp"
#include "base/trace.hpp"

namespace pg {

namespace {
std::function<void()> passing_line_wiper;

// (Standard error that cannot be written is not a failure of its own.)
void to_standard_error(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}
}  // namespace

void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number, this one; read-only, so that a write to it
    // still fails as it would on the closed stream.
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

void set_passing_line_wiper(std::function<void()> wiper) { passing_line_wiper = std::move(wiper); }
void wipe_passing_line() {
  if (!passing_line_wiper) return;
  const std::function<void()> wiper = std::move(passing_line_wiper);
  passing_line_wiper = nullptr;
  wiper();
}


void tell(std::string_view line) {
  wipe_passing_line();
  std::fflush(stdout);  // the trace so far comes first
  to_standard_error(fmt::format("phasegrid: {}\n", line));
}

int finish_standard_output(std::string_view program, int status) {
  wipe_passing_line();
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  to_standard_error(
      fmt::format("{}: cannot write standard output: {}\n", program, std::strerror(errno != 0 ? errno : EIO)));
  return status == exit_ok ? exit_usage : status;
}

void StreamTrace::line(std::string_view text) {
  wipe_passing_line();
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
}

}  // namespace pg
