// Loaded with LD_PRELOAD into a program under test: sends the process the
// signal $PHASEGRID_TEST_SIGNAL (a number) just before its
// $PHASEGRID_TEST_SIGNAL_AT-th write to a file (write or pwrite on a
// descriptor above 2) or rename. With $PHASEGRID_TEST_COUNT_TO set, it writes
// there, at exit, how many such calls the program made.
#include <dlfcn.h>
#include <signal.h>
#include <cstdio>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> calls{0};

void count_one() {
  static const long at = [] {
    const char* v = std::getenv("PHASEGRID_TEST_SIGNAL_AT");
    return v != nullptr ? std::atol(v) : 0L;
  }();
  static const int sig = [] {
    const char* v = std::getenv("PHASEGRID_TEST_SIGNAL");
    return v != nullptr ? std::atoi(v) : SIGKILL;
  }();
  // To the process, not the thread: a thread that holds the signal back
  // leaves it to the one that takes it.
  if (++calls == at) ::kill(::getpid(), sig);
}

template <class F>
F real(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

__attribute__((destructor)) void report() {
  if (const char* to = std::getenv("PHASEGRID_TEST_COUNT_TO"))
    if (FILE* f = std::fopen(to, "w")) {
      std::fprintf(f, "%ld\n", calls.load());
      std::fclose(f);
    }
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd > 2) count_one();
  return next(fd, buf, n);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  if (fd > 2) count_one();
  return next(fd, buf, n, at);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t at) {
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  if (fd > 2) count_one();
  return next(fd, buf, n, at);
}

int rename(const char* from, const char* to) {
  static const auto next = real<int (*)(const char*, const char*)>("rename");
  count_one();
  return next(from, to);
}

}  // extern "C"
