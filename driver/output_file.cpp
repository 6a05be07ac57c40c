#include "driver/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/stop.hpp"

namespace pg {

namespace {

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do fd = ::open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  const int fd = open_retrying(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail("cannot create", errno);
  if (::close(fd) != 0 && errno != EINTR) fail("cannot create", errno);
  open_ = true;
}

OutputFile::~OutputFile() { discard_text(); }

OutputFile::OutputFile(OutputFile&& o) noexcept
    : open_(std::exchange(o.open_, false)),
      fd_(std::exchange(o.fd_, -1)),
      path_(std::move(o.path_)),
      text_path_(std::exchange(o.text_path_, {})) {}

OutputFile& OutputFile::operator=(OutputFile&& o) noexcept {
  if (this != &o) {
    discard_text();
    open_ = std::exchange(o.open_, false);
    fd_ = std::exchange(o.fd_, -1);
    path_ = std::move(o.path_);
    text_path_ = std::exchange(o.text_path_, {});
  }
  return *this;
}

// Closes and removes the unfinished text: the file is left empty, as created.
void OutputFile::discard_text() noexcept {
  if (fd_ >= 0) {
    if (text_path_.empty()) (void)::ftruncate(fd_, 0);  // written in place
    ::close(fd_);
  }
  fd_ = -1;
  if (!text_path_.empty()) ::unlink(text_path_.c_str());
  text_path_.clear();
  open_ = false;
}

void OutputFile::fail(const char* doing, int error) {
  discard_text();
  throw Stop{exit_usage, fmt::format("{} output file \"{}\": {}", doing, path_,
                                     std::strerror(error))};
}

void OutputFile::write(std::string_view bytes) {
  if (!open_) fail("cannot write", EBADF);
  if (fd_ < 0) {
    // The text is written beside the file under a name of its own, with the
    // permissions the file itself would get.
    std::string name = path_ + ".XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
      fd_ = fd;
      text_path_ = std::move(name);
      const mode_t mask = ::umask(0);
      ::umask(mask);
      if (::fchmod(fd_, 0644 & ~mask) != 0) fail("cannot write", errno);
    } else if (errno == EACCES || errno == EPERM || errno == EROFS) {
      // A folder that takes no new files may still hold a writable file:
      // the text then goes into it directly, and a failure empties it again.
      fd_ = open_retrying(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
      if (fd_ < 0) fail("cannot write", errno);
    } else {
      fail("cannot write", errno);
    }
  }
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
  if (!open_) return;
  if (fd_ >= 0) {
    if (text_path_.empty()) {
      // Written in place: a failing close may have lost some of the text.
      const int fd = std::exchange(fd_, -1);
      if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        (void)::truncate(path_.c_str(), 0);
        fail("cannot close", error);
      }
    } else {
      const int fd = std::exchange(fd_, -1);
      if (::close(fd) != 0 && errno != EINTR) fail("cannot close", errno);
      if (::rename(text_path_.c_str(), path_.c_str()) != 0) fail("cannot complete", errno);
      text_path_.clear();
    }
  }
  open_ = false;
}

}  // namespace pg
