#include "driver/output_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/error.hpp"

namespace pg {

namespace {

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The permissions a new file gets under the process's umask.
mode_t new_file_mode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0644 & ~mask;
  }();
  return mode;
}

bool exists_as_file(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The unfinished file `path`, taken for writing: created when absent (never
// through a link), locked, emptied. An unlocked one that a killed run left is
// taken over.
struct Claim {
  int fd = -1;
  int error = 0;
  const char* why = nullptr;  // a reason errno does not say
};

Claim claim(const std::string& path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = open_retrying(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == ELOOP) return {-1, ELOOP, "the name of its unfinished text is taken by a symbolic link"};
      return {-1, errno};
    }
    struct stat held {}, named {};
    Claim c;
    if (::fstat(fd, &held) != 0) {
      c = {-1, errno};
    } else if (!S_ISREG(held.st_mode)) {
      c = {-1, EEXIST, "the name of its unfinished text is taken by something other than a file"};
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
      // (File systems that lock nothing are written all the same.)
      c = {-1, EWOULDBLOCK, "another run is writing it now"};
    } else if (::lstat(path.c_str(), &named) != 0 || named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
      ::close(fd);  // renamed or removed by its last writer meanwhile: again
      continue;
    } else if (::ftruncate(fd, 0) != 0 || ::fchmod(fd, new_file_mode()) != 0) {
      c = {-1, errno};
    } else {
      (void)::fcntl(fd, F_SETFL, 0);
      return {fd, 0};
    }
    ::close(fd);
    return c;
  }
  return {-1, EAGAIN, "its unfinished text keeps being replaced by another run"};
}

// Syncs the folder that holds `path`, after a rename into it. Where that
// cannot be done (some file systems sync no folders), the rename is as
// durable as the file system makes it.
void sync_folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

OutputFile::OutputFile(std::string path, bool in_place) : path_(std::move(path)) {
  Claim c;
  {
    // Made and listed for the signal handler with no signal in between.
    const StopSignalsBlocked held;
    const std::string unfinished = path_ + ".unfinished";
    c = claim(unfinished);
    if (c.fd >= 0) {
      fd_ = c.fd;
      text_path_ = unfinished;
      listed_ = UnfinishedFile(text_path_);
    }
  }
  if (fd_ < 0) {
    const bool refused = c.error == EACCES || c.error == EPERM || c.error == EROFS;
    if (!in_place || !refused) fail("cannot create", c.error, c.why);
    open_in_place(c.error);
  }
  open_ = true;
}

// A folder that takes no new files may still hold a writable file: the text
// then goes into it directly (emptied at the first write), and a failure
// empties it again. Only a regular file is written so, never through a link.
void OutputFile::open_in_place(int create_error) {
  fd_ = open_retrying(path_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    // A name the folder holds no file under is refused as the folder refused it.
    if (errno == ENOENT) fail("cannot create", create_error);
    if (errno == ELOOP)
      fail("cannot create", create_error,
           "its folder takes no new files, and the name is a symbolic link, never written through");
    fail("cannot create", errno);
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) fail("cannot create", errno);
  if (!S_ISREG(st.st_mode))
    fail("cannot create", create_error, "its folder takes no new files, and the name is not a regular file");
  (void)::fcntl(fd_, F_SETFL, 0);
}

OutputFile::~OutputFile() { discard_text(); }

OutputFile::OutputFile(OutputFile&& o) noexcept
    : open_(std::exchange(o.open_, false)),
      fd_(std::exchange(o.fd_, -1)),
      lock_fd_(std::exchange(o.lock_fd_, -1)),
      in_place_written_(std::exchange(o.in_place_written_, false)),
      path_(std::move(o.path_)),
      text_path_(std::exchange(o.text_path_, {})),
      listed_(std::move(o.listed_)) {}

OutputFile& OutputFile::operator=(OutputFile&& o) noexcept {
  if (this != &o) {
    discard_text();
    open_ = std::exchange(o.open_, false);
    fd_ = std::exchange(o.fd_, -1);
    lock_fd_ = std::exchange(o.lock_fd_, -1);
    in_place_written_ = std::exchange(o.in_place_written_, false);
    path_ = std::move(o.path_);
    text_path_ = std::exchange(o.text_path_, {});
    listed_ = std::move(o.listed_);
  }
  return *this;
}

// Removes the unfinished text (before its lock goes, so that no other run's
// text is removed): the file keeps what it held, but a file written in place
// is emptied again once anything was written.
void OutputFile::discard_text() noexcept {
  if (!text_path_.empty()) ::unlink(text_path_.c_str());
  if (text_path_.empty() && in_place_written_) (void)::ftruncate(fd_ >= 0 ? fd_ : lock_fd_, 0);
  if (fd_ >= 0) ::close(fd_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
  fd_ = lock_fd_ = -1;
  listed_.forget();
  text_path_.clear();
  in_place_written_ = false;
  open_ = false;
}

void OutputFile::leave_empty() {
  if (!open_) *this = OutputFile(path_);
  if (::ftruncate(fd_, 0) != 0) fail("cannot empty", errno);
  in_place_written_ = text_path_.empty();
  close();
}

void OutputFile::fail(const char* doing, int error, const char* why) {
  const bool emptied = text_path_.empty() && in_place_written_;
  discard_text();
  std::string what = fmt::format("{} output file \"{}\": {}", doing, path_, why != nullptr ? why : std::strerror(error));
  if (emptied)
    what += "; it is left empty (its folder takes no new files, so it was written in place)";
  else if (exists_as_file(path_))
    what += "; it still holds an earlier run's text";
  throw Error(FaultKind::output_failed, what);
}

void OutputFile::write(std::string_view bytes) {
  if (!open_) fail("cannot write", EBADF);
  if (text_path_.empty() && !in_place_written_) {
    if (::ftruncate(fd_, 0) != 0) fail("cannot write", errno);
    in_place_written_ = true;
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
  // The data reach the disk before the name does; a close that fails (a file
  // system that lost written data) leaves the file as it was. A second
  // descriptor holds the lock (or, in place, the file) past the close.
  if (::fsync(fd_) != 0 && errno != EINVAL) fail("cannot complete", errno);
  lock_fd_ = ::dup(fd_);
  if (lock_fd_ < 0) fail("cannot complete", errno);
  if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) fail("cannot close", errno);
  if (!text_path_.empty()) {
    if (::rename(text_path_.c_str(), path_.c_str()) != 0) fail("cannot complete", errno);
    text_path_.clear();
    listed_.forget();
    sync_folder_of(path_);
  }
  ::close(std::exchange(lock_fd_, -1));
  in_place_written_ = false;
  open_ = false;
}

}  // namespace pg
