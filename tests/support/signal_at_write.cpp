// Loaded with LD_PRELOAD into a program under test: sends the process the
// signal $PHASEGRID_TEST_SIGNAL just before its $PHASEGRID_TEST_SIGNAL_AT-th
// write to a file (write or pwrite on a descriptor above 2) or rename. With
// $PHASEGRID_TEST_COUNT_TO set, writes there at exit how many there were.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {
std::atomic<long> calls{0};

long number(const char* name) { return std::getenv(name) != nullptr ? std::atol(std::getenv(name)) : 0; }

// To the process, not the thread: a thread that holds it back leaves it to one that takes it.
void count_one() {
  if (++calls == number("PHASEGRID_TEST_SIGNAL_AT")) ::kill(::getpid(), static_cast<int>(number("PHASEGRID_TEST_SIGNAL")));
}

template <class F>
F next(const char* name) { return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name)); }

__attribute__((destructor)) void report() {
  const char* to = std::getenv("PHASEGRID_TEST_COUNT_TO");
  if (std::FILE* f = to != nullptr ? std::fopen(to, "w") : nullptr) std::fprintf(f, "%ld\n", calls.load()), std::fclose(f);
}
}  // namespace

extern "C" ssize_t write(int fd, const void* buf, size_t n) {
  if (fd > 2) count_one();
  return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, buf, n);
}

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  if (fd > 2) count_one();
  return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, buf, n, at);
}

extern "C" int rename(const char* from, const char* to) {
  count_one();
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}
