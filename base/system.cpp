#include "base/system.hpp"

#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pg {

namespace {

// Runs `call` again while a signal interrupts it; errno as it left it.
template <class Call>
auto retrying(Call call) {
  auto r = call();
  while (r == -1 && errno == EINTR) r = call();
  return r;
}

}  // namespace

SystemError::SystemError(const std::string& doing, int error)
    : std::runtime_error(doing + ": " + std::strerror(error)), error_(error) {}

int FileDescriptor::close() noexcept {
  if (fd_ < 0) return 0;
  // (Linux closes the descriptor also when close(2) is interrupted: never again.)
  const int rc = ::close(std::exchange(fd_, -1));
  return rc == 0 || errno == EINTR ? 0 : errno;
}

void FileDescriptor::reset() noexcept { (void)close(); }

SysResult<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode) {
  const int fd = retrying([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return SysResult<FileDescriptor>::failed(errno);
  return FileDescriptor(fd);
}

SysResult<struct stat> file_status(const std::string& path, bool follow_links) {
  struct stat st {};
  if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
    return SysResult<struct stat>::failed(errno);
  return st;
}

SysResult<struct stat> file_status(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return SysResult<struct stat>::failed(errno);
  return st;
}

SysResult<std::size_t> read_some(int fd, void* dst, std::size_t n) {
  const ssize_t got = retrying([&] { return ::read(fd, dst, n); });
  if (got < 0) return SysResult<std::size_t>::failed(errno);
  return static_cast<std::size_t>(got);
}

SysResult<std::size_t> read_some_at(int fd, void* dst, std::size_t n, std::int64_t offset) {
  const ssize_t got = retrying([&] { return ::pread(fd, dst, n, static_cast<off_t>(offset)); });
  if (got < 0) return SysResult<std::size_t>::failed(errno);
  return static_cast<std::size_t>(got);
}

SysResult<std::string> real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return SysResult<std::string>::failed(errno);
  return std::string(resolved.get());
}

SysResult<std::string> file_start(const std::string& path, std::size_t n) {
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return SysResult<std::string>::failed(fd.error());
  std::string head(n, '\0');
  std::size_t have = 0;
  while (have < n) {
    const auto got = read_some(fd->get(), head.data() + have, n - have);
    if (!got) return got.error() == EAGAIN ? SysResult<std::string>(head.substr(0, have))
                                           : SysResult<std::string>::failed(got.error());
    if (*got == 0) break;
    have += *got;
  }
  head.resize(have);
  return head;
}

int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = retrying([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return errno;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

int sync_file(int fd) { return ::fsync(fd) == 0 ? 0 : errno; }

}  // namespace pg
