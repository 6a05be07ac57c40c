// Loaded with LD_PRELOAD into a program under test: close() of a non-empty
// file whose name begins with $PHASEGRID_TEST_FAIL_CLOSE really closes it,
// then reports EIO, as a file system that loses written data at close does.
// Without the variable every close() is the real one.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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
