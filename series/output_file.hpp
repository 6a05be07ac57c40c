// An output file of the run: replaced only by a complete text, every write
// and the close checked. A failure stops the run (status 2) with a message
// naming the file.
//
// What is written goes to a file beside it, `<name>.unfinished`, which
// close() syncs to the disk and renames over it, then syncs the folder. Until
// then the file keeps what it held, so an interruption, a kill or a full disk
// never costs a finished file; a write that fails leaves the earlier file as
// it was. The unfinished file is made afresh (never through a link, never
// over a file already there), marked as the tool's (an extended attribute)
// and locked while it is written: a second run writing the same name at the
// same moment is refused. A file already at the unfinished name is taken
// over (and so removed) only when it is what a killed run leaves: a regular
// file of one link, the user's, locked by no process, and marked as the
// tool's (or empty, on a file system that keeps no marks). Anything else
// there is left alone and the output refused. A folder that takes no new
// files is refused too: no file is ever rewritten in place, where a stop
// would leave it part-written.
#pragma once

#include <string>
#include <string_view>

#include "base/interrupt.hpp"
#include "base/system.hpp"

namespace pg {

class OutputFile {
 public:
  OutputFile() = default;
  // Prepares to replace `path` (fails at once when that cannot be done).
  explicit OutputFile(std::string path);
  // Removes the unfinished text, if any; call close() to complete the file.
  ~OutputFile();
  OutputFile(OutputFile&& o) noexcept;
  OutputFile& operator=(OutputFile&& o) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const std::string& path() const { return path_; }
  // The unfinished file, where the text is written until it is complete:
  // its name, and its descriptor (for a writer that must not open it again
  // by name: the name may have been swapped for a link meanwhile).
  const std::string& unfinished_path() const { return text_path_; }
  int descriptor() const { return fd_.get(); }
  // Appends to the text of the file.
  void write(std::string_view bytes);
  // Completes the file: it then holds everything written (also what was
  // written through descriptor()).
  void close();
  // Drops what was written and leaves the file empty (created if absent):
  // the mark of a dump that a fault stopped.
  void leave_empty();

 private:
  [[noreturn]] void fail(const char* doing, int error, const char* why = nullptr);
  void discard_text() noexcept;
  bool names_the_text() const noexcept;
  bool open_ = false;
  FileDescriptor fd_;       // the text being written
  FileDescriptor lock_fd_;  // holds the unfinished file's lock until it is renamed
  std::string path_;
  std::string text_path_;  // where it is written until complete
  UnfinishedFile listed_;  // text_path_, for a signal that ends the process
};

// The name `path` is written under until it is complete.
std::string unfinished_name(const std::string& path);

}  // namespace pg
