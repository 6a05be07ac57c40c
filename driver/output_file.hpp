// An output file of the run: created or replaced, every write and the close
// checked. A failure stops the run (status 2) with a message naming the file.
//
// The file is created (or emptied) at once, but what is written goes to a new
// file beside it, which close() renames over it only once every byte is
// written and closed. A file that cannot be completed is left as created:
// empty, never a text cut short that looks whole.
#pragma once

#include <string>
#include <string_view>

namespace pg {

class OutputFile {
 public:
  OutputFile() = default;
  // Creates `path`, or empties it when present.
  explicit OutputFile(std::string path);
  // Closes without checking and removes the unfinished text, if any; call
  // close() to complete the file.
  ~OutputFile();
  OutputFile(OutputFile&& o) noexcept;
  OutputFile& operator=(OutputFile&& o) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  // Appends to the text of the file.
  void write(std::string_view bytes);
  // Completes the file: it then holds everything written.
  void close();

 private:
  [[noreturn]] void fail(const char* doing, int error);
  void discard_text() noexcept;
  bool open_ = false;
  int fd_ = -1;            // the text being written, once there is any
  std::string path_;
  std::string text_path_;  // where it is written until complete
};

}  // namespace pg
