#include "dump/byte_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/interrupt.hpp"

namespace pg {

std::unique_ptr<FileSource> FileSource::open(const std::string& path, int& error) {
  // A named pipe is opened without waiting for its writer: its reads wait
  // for the writer and its data, and a signal that stops the run ends that
  // wait.
  struct stat named {};
  const bool waits = ::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (waits ? O_NONBLOCK : 0));
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = errno;
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

// (A pipe that no writer has opened yet reads as ended: its reads wait
// until it has data, or its writer has come and gone.)
std::ptrdiff_t FileSource::read(void* dst, std::size_t n) {
  for (;;) {
    if (waits_) wait_until_ready(fd_, POLLIN);
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
    throw_if_stopped();
  }
}

std::ptrdiff_t FileSource::read_at(void* dst, std::size_t n, std::int64_t offset) const {
  ssize_t got;
  do got = ::pread(fd_, dst, n, static_cast<off_t>(offset));
  while (got < 0 && errno == EINTR);
  return got;
}

bool FileSource::skip(std::int64_t n) {
  if (size_ < 0) return false;  // pipes and devices: the caller reads instead
  return ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1);
}

}  // namespace pg
