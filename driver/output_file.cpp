#include "driver/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "driver/quit.hpp"

namespace pg {

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  do fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) fail("cannot create", errno);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

OutputFile::OutputFile(OutputFile&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)), path_(std::move(o.path_)) {}

OutputFile& OutputFile::operator=(OutputFile&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
    path_ = std::move(o.path_);
  }
  return *this;
}

void OutputFile::fail(const char* doing, int error) const {
  throw Stop{exit_usage, fmt::format("{} output file \"{}\": {}", doing, path_,
                                     std::strerror(error))};
}

void OutputFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write", errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void OutputFile::close() {
  if (fd_ < 0) return;
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) fail("cannot close", errno);
}

}  // namespace pg
