#include "dump/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "base/interrupt.hpp"

namespace pg {

std::unique_ptr<FileSource> FileSource::open(const std::string& path, int& error) {
  // A named pipe waits for its writer (at the open and at each read): a
  // signal that stops the run ends the wait.
  struct stat named {};
  const bool waits = ::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode);
  int fd;
  {
    std::optional<InterruptibleWait> wait;
    if (waits) wait.emplace();
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR && stop_signal() == 0);
  }
  if (fd < 0) {
    error = errno;
    throw_if_stopped();
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = EISDIR;
    return nullptr;
  }
  std::int64_t size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
  if (size >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  error = 0;
  auto source = std::unique_ptr<FileSource>(new FileSource(fd, size));
  source->waits_ = size < 0;
  return source;
}

FileSource::~FileSource() { ::close(fd_); }

std::ptrdiff_t FileSource::read(void* dst, std::size_t n) {
  std::optional<InterruptibleWait> wait;
  if (waits_) wait.emplace();
  for (;;) {
    ssize_t got = ::read(fd_, dst, n);
    if (got >= 0 || errno != EINTR) return got;
    throw_if_stopped();
  }
}

bool FileSource::skip(std::int64_t n) {
  if (size_ < 0) return false;  // pipes and devices: the caller reads instead
  return ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1);
}

}  // namespace pg
