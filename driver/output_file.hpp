// An output file of the run: replaced only by a complete text, every write
// and the close checked. A failure stops the run (status 2) with a message
// naming the file.
//
// What is written goes to a file beside it, `<name>.unfinished`, which
// close() syncs to the disk and renames over it, then syncs the folder. Until
// then the file keeps what it held, so an interruption, a kill or a full disk
// never costs a finished file; a write that fails leaves the earlier file as
// it was. The unfinished file is locked while it is written: a second run
// writing the same name at the same moment is refused, and the unfinished
// file that a killed run left is taken over (and so removed) by the next run
// that writes the name. No open of an output path follows a symbolic link: a
// link at the name is replaced, its target never written.
//
// In a folder that takes no new files, an existing writable regular file is
// written in place instead, and emptied again when that fails.
#pragma once

#include <string>
#include <string_view>

#include "base/interrupt.hpp"

namespace pg {

class OutputFile {
 public:
  OutputFile() = default;
  // Prepares to replace `path` (fails at once when that cannot be done).
  // `in_place`: whether a folder that takes no new files may have an
  // existing file written in place.
  explicit OutputFile(std::string path, bool in_place = true);
  // Removes the unfinished text, if any; call close() to complete the file.
  ~OutputFile();
  OutputFile(OutputFile&& o) noexcept;
  OutputFile& operator=(OutputFile&& o) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  // Where the text is written until it is complete (empty: in place).
  const std::string& unfinished_path() const { return text_path_; }
  // Appends to the text of the file.
  void write(std::string_view bytes);
  // Completes the file: it then holds everything written (or what another
  // writer put at unfinished_path()).
  void close();
  // Drops what was written and leaves the file empty (created if absent):
  // the mark of a dump that a fault stopped.
  void leave_empty();

 private:
  [[noreturn]] void fail(const char* doing, int error, const char* why = nullptr);
  void discard_text() noexcept;
  void open_in_place(int create_error);
  bool open_ = false;
  int fd_ = -1;            // the text being written
  int lock_fd_ = -1;       // holds the unfinished file's lock until it is renamed
  bool in_place_written_ = false;  // written in place, and emptied first
  std::string path_;
  std::string text_path_;  // where it is written until complete
  UnfinishedFile listed_;  // text_path_, for a signal that ends the process
};

}  // namespace pg
