// The one seam between the dump reader and the operating system.
//
// Every system call the reader makes goes through a ByteSource, so that tests
// can fake short reads, failures and files of any size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "base/system.hpp"
#include "state/file_values.hpp"

namespace pg {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes at the current position: the number read (0 only at
  // the end of the data), or the errno of the read that failed.
  virtual SysResult<std::size_t> read(void* dst, std::size_t n) = 0;
  // Moves the position forward by n bytes without reading them. Returns false
  // (errno set) when the source cannot seek; the caller then reads instead.
  virtual bool skip(std::int64_t n) = 0;
  // Size in bytes when known (a regular file), else -1.
  virtual std::int64_t size() const = 0;
};

// A read-only file. Move-only; closes the descriptor when it goes. A regular
// file can also be read at an offset, where values the store leaves in it
// are read back, and tells whether it has changed since it was opened.
class FileSource final : public ByteSource, public FileAt {
 public:
  // Opens `path`, or says why it cannot (a directory is refused with
  // EISDIR). A named pipe's reads wait for its writer and data; a signal
  // that stops the run throws from that wait. A regular file is looked at as
  // it is opened (see changed()).
  static SysResult<std::unique_ptr<FileSource>> open(const std::string& path);
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  SysResult<std::size_t> read(void* dst, std::size_t n) override;
  bool skip(std::int64_t n) override;
  std::int64_t size() const override { return size_; }
  SysResult<std::size_t> read_at(void* dst, std::size_t n, std::int64_t offset) const override;
  // A regular file, which read_at() can read.
  bool regular() const { return size_ >= 0; }
  // What differs between the file as it is now and as it was when opened:
  // its size, its modification time, or its change time (which any write
  // moves, also one whose modification time was set back) where no new link,
  // mode or owner explains it; "" when nothing does. A pipe or a device
  // never changes.
  std::string changed() const override;
  std::string name() const override { return path_; }

 private:
  FileSource(FileDescriptor fd, std::int64_t size) : fd_(std::move(fd)), size_(size) {}
  FileDescriptor fd_;
  std::int64_t size_;
  bool waits_ = false;  // a pipe or a device: reads may wait for data
  std::string path_;
  struct stat opened_ {};  // the regular file as it was opened
};

}  // namespace pg
