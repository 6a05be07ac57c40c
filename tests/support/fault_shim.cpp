// Loaded with LD_PRELOAD into a program under test, faults of the system:
// close() of a non-empty file whose name begins with $PHASEGRID_TEST_FAIL_CLOSE
// closes it, then reports EIO, as a file system that loses written data does;
// the signal $PHASEGRID_TEST_SIGNAL reaches the process just before its
// $PHASEGRID_TEST_SIGNAL_AT-th write to a file (write or pwrite on a descriptor
// above 2) or rename ($PHASEGRID_TEST_COUNT_TO: how many, written at exit);
// the $PHASEGRID_TEST_FAIL_PREAD-th pread and every later one report EIO, as
// a dump that fails once it has been read does.
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using CloseFn = int (*)(int);

bool fails(int fd) {
  const char* prefix = std::getenv("PHASEGRID_TEST_FAIL_CLOSE");
  if (prefix == nullptr || *prefix == '\0') return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

std::atomic<long> calls{0};

long number(const char* name) { return std::getenv(name) != nullptr ? std::atol(std::getenv(name)) : 0; }

// To the process, not the thread: a thread that holds it back leaves it to one that takes it.
void count_one() {
  if (++calls == number("PHASEGRID_TEST_SIGNAL_AT")) ::kill(::getpid(), static_cast<int>(number("PHASEGRID_TEST_SIGNAL")));
}

template <class F> F next(const char* name) { return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name)); }

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

std::atomic<long> preads{0};

ssize_t pread_or_fail(const char* name, int fd, void* buf, size_t n, off_t at) {
  const long from = number("PHASEGRID_TEST_FAIL_PREAD");
  if (from > 0 && ++preads >= from) {
    errno = EIO;
    return -1;
  }
  return next<ssize_t (*)(int, void*, size_t, off_t)>(name)(fd, buf, n, at);
}

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t at) { return pread_or_fail("pread", fd, buf, n, at); }
extern "C" ssize_t pread64(int fd, void* buf, size_t n, off_t at) { return pread_or_fail("pread64", fd, buf, n, at); }

extern "C" int rename(const char* from, const char* to) {
  count_one();
  return next<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int close(int fd) {
  static const auto real = reinterpret_cast<CloseFn>(::dlsym(RTLD_NEXT, "close"));
  const bool fail = fails(fd);
  const int rc = real(fd);
  if (rc == 0 && fail) {
    errno = EIO;
    return -1;
  }
  return rc;
}
