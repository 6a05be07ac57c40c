// An output file of the run: created or replaced, every write and the close
// checked. A failure stops the run (status 2) with a message naming the file.
#pragma once

#include <string>
#include <string_view>

namespace pg {

class OutputFile {
 public:
  OutputFile() = default;
  // Creates `path`, or empties it when present.
  explicit OutputFile(std::string path);
  ~OutputFile();  // closes without checking; call close() to check
  OutputFile(OutputFile&& o) noexcept;
  OutputFile& operator=(OutputFile&& o) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  void write(std::string_view bytes);
  void close();

 private:
  [[noreturn]] void fail(const char* doing, int error) const;
  int fd_ = -1;
  std::string path_;
};

}  // namespace pg
