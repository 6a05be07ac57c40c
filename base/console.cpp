#include "base/console.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "base/error.hpp"
#include "base/trace.hpp"

namespace pg {

namespace {
std::function<void()> passing_line_wiper;
std::string program_name = "phasegrid";
bool output_lost_said = false;

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
  to_standard_error(fmt::format("{}: {}\n", program_name, line));
}

int finish_standard_output(int status) {
  wipe_passing_line();
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  if (!output_lost_said) {
    output_lost_said = true;
    to_standard_error(fmt::format("{}: cannot write standard output: {}\n", program_name,
                                  std::strerror(errno != 0 ? errno : EIO)));
  }
  return status == exit_ok ? exit_usage : status;
}

Stopped what_stopped() {
  try {
    throw;
  } catch (const Error& e) {
    const int signal = e.kind == FaultKind::interrupted ? static_cast<int>(e.numbers[0]) : 0;
    return {e.what(), exit_status(e), signal};
  } catch (const std::bad_alloc&) {
    return {"cannot allocate memory", exit_usage, 0};
  } catch (const std::exception& e) {
    // (A system error the program did not foresee: said, not an abort.)
    return {e.what(), exit_usage, 0};
  }
}

const std::string& program() { return program_name; }

int run_program(std::string_view program, int (*command)(int, char**), int argc, char** argv) {
  open_standard_streams();
  program_name = program;
  int status;
  try {
    status = command(argc, argv);
  } catch (const std::exception&) {
    const Stopped stopped = what_stopped();
    tell(stopped.line);
    status = stopped.status;
  }
  return finish_standard_output(status);
}

void StreamTrace::line(std::string_view text) {
  wipe_passing_line();
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fputc('\n', out_);
}

}  // namespace pg
