// Loaded with LD_PRELOAD into a program under test, faults of the system:
// close() of a non-empty file whose name begins with $PHASEGRID_TEST_FAIL_CLOSE
// closes it, then reports EIO, as a file system that loses written data does
// (fsync() of one beginning with $PHASEGRID_TEST_FAIL_FSYNC likewise);
// the signal $PHASEGRID_TEST_SIGNAL reaches the process just before its
// $PHASEGRID_TEST_SIGNAL_AT-th write to a file (write or pwrite on a descriptor
// above 2) or rename ($PHASEGRID_TEST_COUNT_TO: how many, written at exit);
// the $PHASEGRID_TEST_FAIL_PREAD-th pread and every later one report EIO, as
// a dump that fails once it has been read does; before the Nth read or pread
// ($PHASEGRID_TEST_REWRITE_AT; READS_TO: how many) of the file named
// $PHASEGRID_TEST_REWRITE_FILE, it is rewritten with the bytes of file
// $PHASEGRID_TEST_REWRITE_WITH (or, that empty, linked); before the Nth open
// of an unfinished file, or of one named ...$PHASEGRID_TEST_SWAP_OPENS
// ($PHASEGRID_TEST_SWAP_AT), SWAP_FROM is renamed to SWAP_TO.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using CloseFn = int (*)(int);

// The name of the file open at `fd`, without its folder ("" when none).
std::string name_of(int fd) {
  char path[4096];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  const std::string full(path, static_cast<std::size_t>(n > 0 ? n : 0));
  return full.substr(full.rfind('/') + 1);
}

bool fails(int fd, const char* variable = "PHASEGRID_TEST_FAIL_CLOSE") {
  const char* prefix = std::getenv(variable);
  if (prefix == nullptr || *prefix == '\0') return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
  return name_of(fd).starts_with(prefix);
}

std::atomic<long> calls{0};

long number(const char* name) { return std::getenv(name) != nullptr ? std::atol(std::getenv(name)) : 0; }

// To the process, not the thread: a thread that holds it back leaves it to one that takes it.
void count_one() {
  if (++calls == number("PHASEGRID_TEST_SIGNAL_AT")) ::kill(::getpid(), static_cast<int>(number("PHASEGRID_TEST_SIGNAL")));
}

std::atomic<long> opens{0};

void before_open(const std::string_view path) {
  const char* of = std::getenv("PHASEGRID_TEST_SWAP_OPENS");
  const bool counted = of != nullptr ? path.ends_with(of) : path.starts_with("/proc/self/fd/") || path.ends_with(".unfinished");
  if (counted && ++opens == number("PHASEGRID_TEST_SWAP_AT"))
    ::renameat(AT_FDCWD, std::getenv("PHASEGRID_TEST_SWAP_FROM"), AT_FDCWD, std::getenv("PHASEGRID_TEST_SWAP_TO"));
}

template <class F> F next(const char* name) { return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name)); }

std::atomic<long> reads{0};

__attribute__((destructor)) void report() {
  for (const auto& [to, n] : {std::pair{"PHASEGRID_TEST_COUNT_TO", &calls}, {"PHASEGRID_TEST_READS_TO", &reads}})
    if (std::FILE* f = std::getenv(to) != nullptr ? std::fopen(std::getenv(to), "w") : nullptr)
      std::fprintf(f, "%ld\n", n->load()), std::fclose(f);
}

void rewrite_before_read(int fd) {
  const char* file = std::getenv("PHASEGRID_TEST_REWRITE_FILE");
  if (file == nullptr || name_of(fd) != file || ++reads != number("PHASEGRID_TEST_REWRITE_AT")) return;
  const std::string with = std::getenv("PHASEGRID_TEST_REWRITE_WITH"), self = "/proc/self/fd/" + std::to_string(fd);
  if (with.empty()) {
    ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, (std::string(file) + ".link").c_str(), AT_SYMLINK_FOLLOW);
    return;
  }
  std::FILE* from = std::fopen(with.c_str(), "rb");
  std::FILE* to = std::fopen(self.c_str(), "r+b");  // (its writes are not counted: not write(2) of ours)
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, from)) > 0;) std::fwrite(buf, 1, n, to);
  std::fclose(from);
  std::fclose(to);
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

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const auto mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(rest, unsigned)) : 0;
  va_end(rest);
  before_open(path);
  return next<int (*)(const char*, int, mode_t)>("open")(path, flags, mode);
}

extern "C" ssize_t read(int fd, void* buf, size_t n) {
  if (fd > 2) rewrite_before_read(fd);
  return next<ssize_t (*)(int, void*, size_t)>("read")(fd, buf, n);
}

ssize_t pread_or_fail(const char* name, int fd, void* buf, size_t n, off_t at) {
  rewrite_before_read(fd);
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

extern "C" int fsync(int fd) {
  if (!fails(fd, "PHASEGRID_TEST_FAIL_FSYNC")) return next<int (*)(int)>("fsync")(fd);
  errno = EIO;
  return -1;
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
