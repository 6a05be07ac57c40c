// The one seam between the program and the system's file calls: a file
// descriptor the program owns, every call retried when a signal interrupts
// it (EINTR), and a failure that keeps the errno of the call that failed,
// taken at the call, so that nothing done in between can change it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace pg {

// A failed system call, for those who throw it: what was being done, and
// the call's errno. what() is "<doing>: <the system's reason>".
class SystemError : public std::runtime_error {
 public:
  SystemError(const std::string& doing, int error);
  int error() const { return error_; }

 private:
  int error_;
};

// What a call gives: its value, or the errno of its failure.
template <class T>
class [[nodiscard]] SysResult {
 public:
  SysResult(T value) : value_(std::move(value)) {}  // NOLINT: a call's value converts
  static SysResult failed(int error) {
    SysResult r{T{}};
    r.error_ = error;
    return r;
  }
  explicit operator bool() const { return error_ == 0; }
  int error() const { return error_; }
  T& value() { return value_; }
  const T& value() const { return value_; }
  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

 private:
  T value_;
  int error_ = 0;
};

// A file descriptor the program owns: closed when it goes; move-only.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Closes it, and says how that went: 0, or close(2)'s errno (a file
  // system that lost written data says so only here).
  [[nodiscard]] int close() noexcept;
  void reset() noexcept;  // closes it, whatever close(2) says

 private:
  int fd_ = -1;
};

// open(2); `mode` for a file it creates.
SysResult<FileDescriptor> open_file(const std::string& path, int flags, mode_t mode = 0);
// stat(2), or lstat(2) when `follow_links` is false; fstat(2).
SysResult<struct stat> file_status(const std::string& path, bool follow_links = true);
SysResult<struct stat> file_status(int fd);
// realpath(3): the absolute path of `path`, every link resolved.
SysResult<std::string> real_path(const std::string& path);
// read(2) and pread(2): how many bytes came (0 at the end of the data).
SysResult<std::size_t> read_some(int fd, void* dst, std::size_t n);
SysResult<std::size_t> read_some_at(int fd, void* dst, std::size_t n, std::int64_t offset);
// The first n bytes of the file at `path` (fewer when it is shorter), opened
// without waiting (a named pipe with no writer gives none).
SysResult<std::string> file_start(const std::string& path, std::size_t n);
// write(2) until every byte is written: 0, or the errno of the write that failed.
[[nodiscard]] int write_all(int fd, std::string_view bytes);
// fsync(2): 0 or its errno.
[[nodiscard]] int sync_file(int fd);
// Whether the two are one file (device and inode).
inline bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace pg
