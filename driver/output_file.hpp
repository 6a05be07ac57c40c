// An output file of the run: replaced only by a complete text, every write
// and the close checked. A failure stops the run (status 2) with a message
// naming the file.
//
// What is written goes to a new file beside it (`<name>.XXXXXX`, made when
// the OutputFile is), which close() renames over it only once every byte is
// written and closed. Until then the file keeps what it held, so an
// interruption never costs a finished file. A file that cannot be completed
// (a failed write or close) is left empty, never a text cut short or an
// earlier run's text that would pass for this run's. In a folder that takes
// no new files, an existing writable file is written in place instead, and
// emptied again when that fails.
#pragma once

#include <string>
#include <string_view>

namespace pg {

class OutputFile {
 public:
  OutputFile() = default;
  // Prepares to replace `path` (fails at once when that cannot be done).
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
  // Drops what was written and leaves the file empty (created if absent):
  // the mark of a dump that a fault stopped.
  void leave_empty();

 private:
  [[noreturn]] void fail(const char* doing, int error);
  void discard_text() noexcept;
  int empty_file() noexcept;
  bool open_ = false;
  int fd_ = -1;            // the text being written
  int slot_ = -1;          // where a signal handler finds text_path_
  bool in_place_written_ = false;  // written in place, and emptied first
  std::string path_;
  std::string text_path_;  // where it is written until complete
};

// On SIGINT or SIGTERM, removes the unfinished texts of the output files,
// then ends the process by the signal, as it would have ended without this.
void remove_unfinished_files_on_interrupt();

}  // namespace pg
