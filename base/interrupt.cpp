#include "base/interrupt.hpp"

#include "base/console.hpp"
#include "base/error.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <utility>

namespace pg {

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t gentle = 0;   // the first signal asks the run to stop
volatile std::sig_atomic_t pending = 0;  // the signal that asked it
bool caught[std::size(stop_signals)] = {};  // the handler is ours (not ignored)

// The unfinished files: fixed storage that the handler reads.
constexpr int max_unfinished = 8;
constexpr std::size_t max_path = 4096;
char unfinished_path[max_unfinished][max_path];
volatile std::sig_atomic_t unfinished_used[max_unfinished];

void remove_unfinished() {
  for (int i = 0; i < max_unfinished; ++i)
    if (unfinished_used[i]) ::unlink(unfinished_path[i]);
}

// What a signal that ends the process at once says, one line for each of
// the signals, made before any can come.
constexpr std::size_t max_line = 256;
char stop_line[std::size(stop_signals)][max_line];
std::size_t stop_line_size[std::size(stop_signals)];

void say_stopped(int sig) {
  for (std::size_t k = 0; k < std::size(stop_signals); ++k)
    if (stop_signals[k] == sig && stop_line_size[k] > 0) {
      // Never waited for: standard error may be a full pipe no one reads.
      pollfd p{2, POLLOUT, 0};
      if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return;
      const ssize_t ignored = ::write(2, stop_line[k], stop_line_size[k]);
      (void)ignored;
    }
}

extern "C" void on_stop_signal(int sig) {
  if (gentle && pending == 0) {
    pending = sig;
    return;
  }
  remove_unfinished();
  say_stopped(sig);
  // The signal is held back while its handler runs: it ends the process as
  // the handler returns.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Installs the handler for the signals that are ours; interrupted system
// calls are restarted (a wait that a stop must end is wait_until_ready's).
void install() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : stop_signals) sigaddset(&sa.sa_mask, sig);
  for (std::size_t k = 0; k < std::size(stop_signals); ++k)
    if (caught[k]) ::sigaction(stop_signals[k], &sa, nullptr);
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : stop_signals) sigaddset(&set, sig);
  return set;
}

}  // namespace

void catch_stop_signals() {
  // (On a terminal, over the ^C it echoed and any passing line.)
  const char* own_line = ::isatty(2) == 1 ? "\r\033[K" : "";
  for (std::size_t k = 0; k < std::size(stop_signals); ++k) {
    const int n = std::snprintf(stop_line[k], max_line,
                                "%s%s: stopped by %s at once; its unfinished files are removed, every other file is as "
                                "it was\n",
                                own_line, program().c_str(), signal_name(stop_signals[k]).c_str());
    stop_line_size[k] = n > 0 && static_cast<std::size_t>(n) < max_line ? static_cast<std::size_t>(n) : 0;
  }
  for (std::size_t k = 0; k < std::size(stop_signals); ++k) {
    struct sigaction old {};
    caught[k] = ::sigaction(stop_signals[k], nullptr, &old) == 0 && old.sa_handler != SIG_IGN;
  }
  install();
}

void stop_gently() { gentle = 1; }

void throw_if_stopped() {
  if (pending != 0) throw Error(FaultKind::interrupted, -1, {pending}, signal_name(pending));
}

void die_by_signal(int sig) {
  std::fflush(stdout);
  remove_unfinished();
  ::signal(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);  // (the default action of these signals ends the process)
}

std::string signal_name(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal " + std::to_string(sig);
  }
}

void wait_until_ready(int fd, short events) {
  const StopSignalsBlocked held;
  for (;;) {
    throw_if_stopped();
    pollfd p{fd, events, 0};
    // (ppoll is never restarted: a signal handled within it ends it.)
    if (::ppoll(&p, 1, nullptr, &held.before()) >= 0 || errno != EINTR) return;
  }
}

StopSignalsBlocked::StopSignalsBlocked() {
  const sigset_t set = stop_set();
  ::pthread_sigmask(SIG_BLOCK, &set, &old_);
}
StopSignalsBlocked::~StopSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

UnfinishedFile::UnfinishedFile(const std::string& path) {
  if (path.size() >= max_path) return;
  for (int i = 0; i < max_unfinished; ++i) {
    if (unfinished_used[i]) continue;
    std::memcpy(unfinished_path[i], path.c_str(), path.size() + 1);
    unfinished_used[i] = 1;
    slot_ = i;
    return;
  }
}

UnfinishedFile& UnfinishedFile::operator=(UnfinishedFile&& o) noexcept {
  if (this != &o) {
    forget();
    slot_ = std::exchange(o.slot_, -1);
  }
  return *this;
}

void UnfinishedFile::forget() {
  if (slot_ >= 0) unfinished_used[std::exchange(slot_, -1)] = 0;
}

}  // namespace pg
