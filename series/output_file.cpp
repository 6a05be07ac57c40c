#include "series/output_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/error.hpp"
#include "base/system.hpp"

namespace pg {

namespace {

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
  const auto st = file_status(path, false);
  return st && S_ISREG(st->st_mode);
}

// The mark of an unfinished file the tool made: an extended attribute, set
// as it is made and removed as it is completed.
constexpr char mark_name[] = "user.phasegrid";
constexpr char mark_value[] = "unfinished";

enum class Mark { present, absent, unsupported };

Mark mark_of(int fd) {
  char value[sizeof mark_value] = {};
  const ssize_t n = ::fgetxattr(fd, mark_name, value, sizeof value);
  if (n < 0) return errno == ENOTSUP ? Mark::unsupported : Mark::absent;
  return std::string_view(value, static_cast<std::size_t>(n)) == mark_value ? Mark::present : Mark::absent;
}

void set_mark(int fd) { (void)::fsetxattr(fd, mark_name, mark_value, sizeof mark_value - 1, 0); }

// The unfinished file `path`, taken for writing: made afresh, locked and
// marked; or, when a killed run left one, taken over and emptied.
struct Claim {
  FileDescriptor fd;
  int error = 0;
  const char* why = nullptr;  // a reason errno does not say
};

constexpr const char* taken_by_other =
    "the name of its unfinished text is taken by a file phasegrid did not leave there; remove or rename it";

// Whether the file at `path`, found there already, is one a killed run left,
// which may be taken over: the reason it is not ("" to look again), or null.
// `fd` holds it locked when it may.
const char* not_left_by_a_killed_run(int fd, const std::string& path, const struct stat& named) {
  const auto held = file_status(fd);
  if (!held || !same_file(*held, named)) return "";  // replaced meanwhile: again
  if (held->st_nlink != 1)
    return "the name of its unfinished text is a file with other links (another name of it would lose its "
           "content); remove or rename it";
  if (held->st_uid != ::geteuid()) return "the name of its unfinished text is taken by another user's file";
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EINTR))
    return "another run is writing it now";  // (file systems that lock nothing are written all the same)
  const Mark mark = mark_of(fd);
  if (mark != Mark::present && !(mark == Mark::unsupported && held->st_size == 0)) return taken_by_other;
  const auto again = file_status(path, false);
  if (!again || !same_file(*again, *held)) return "";  // renamed or removed meanwhile
  return nullptr;
}

Claim claim(const std::string& path) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    auto made = open_file(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    if (made) {
      (void)::flock(made->get(), LOCK_EX | LOCK_NB);  // nobody else can hold it yet
      set_mark(made->get());
      return {std::move(*made)};
    }
    if (made.error() != EEXIST) return {{}, made.error()};
    // Something is at the name: looked at before it is opened, so that no
    // link is followed and no device or pipe is opened.
    const auto named = file_status(path, false);
    if (!named) {
      if (named.error() == ENOENT) continue;  // removed meanwhile: again
      return {{}, named.error()};
    }
    if (S_ISLNK(named->st_mode)) return {{}, ELOOP, "the name of its unfinished text is taken by a symbolic link"};
    if (!S_ISREG(named->st_mode))
      return {{}, EEXIST, "the name of its unfinished text is taken by something other than a file"};
    auto there = open_file(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    if (!there) {
      if (there.error() == ENOENT || there.error() == ELOOP) continue;  // replaced meanwhile: again
      return {{}, there.error()};
    }
    const int fd = there->get();
    const char* why = not_left_by_a_killed_run(fd, path, *named);
    if (why == nullptr) {
      if (::ftruncate(fd, 0) != 0 || ::fchmod(fd, new_file_mode()) != 0) return {{}, errno};
      set_mark(fd);
      (void)::fcntl(fd, F_SETFL, 0);
      return {std::move(*there)};
    }
    if (*why != '\0') return {{}, EEXIST, why};
  }
  return {{}, EAGAIN, "its unfinished text keeps being replaced by another run"};
}

// Syncs the folder that holds `path`, after a rename into it. Where that
// cannot be done (some file systems sync no folders), the rename is as
// durable as the file system makes it.
void sync_folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (const auto fd = open_file(dir, O_RDONLY | O_DIRECTORY)) (void)sync_file(fd->get());
}

}  // namespace

std::string unfinished_name(const std::string& path) { return path + ".unfinished"; }

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  Claim c;
  {
    // Made and listed for the signal handler with no signal in between.
    const StopSignalsBlocked held;
    const std::string unfinished = unfinished_name(path_);
    c = claim(unfinished);
    if (c.fd) {
      fd_ = std::move(c.fd);
      text_path_ = unfinished;
      listed_ = UnfinishedFile(text_path_);
    }
  }
  if (!fd_) {
    // A folder that takes no new files: the file there is not rewritten in place.
    const bool refused = c.error == EACCES || c.error == EPERM || c.error == EROFS;
    if (refused && c.why == nullptr && exists_as_file(path_)) {
      const std::string why = std::string(std::strerror(c.error)) +
                              " (its folder takes no new files; a file is never rewritten in place, where a "
                              "stop would leave it part-written)";
      fail("cannot create", c.error, why.c_str());
    }
    fail("cannot create", c.error, c.why);
  }
  open_ = true;
}

OutputFile::~OutputFile() { discard_text(); }

// Whether the unfinished name is still the file written.
bool OutputFile::names_the_text() const noexcept {
  const int fd = fd_ ? fd_.get() : lock_fd_.get();
  if (fd < 0) return false;
  const auto held = file_status(fd);
  const auto named = file_status(text_path_, false);
  return held && named && same_file(*held, *named);
}

OutputFile::OutputFile(OutputFile&& o) noexcept
    : open_(std::exchange(o.open_, false)),
      fd_(std::move(o.fd_)),
      lock_fd_(std::move(o.lock_fd_)),
      path_(std::move(o.path_)),
      text_path_(std::exchange(o.text_path_, {})),
      listed_(std::move(o.listed_)) {}

OutputFile& OutputFile::operator=(OutputFile&& o) noexcept {
  if (this != &o) {
    discard_text();
    open_ = std::exchange(o.open_, false);
    fd_ = std::move(o.fd_);
    lock_fd_ = std::move(o.lock_fd_);
    path_ = std::move(o.path_);
    text_path_ = std::exchange(o.text_path_, {});
    listed_ = std::move(o.listed_);
  }
  return *this;
}

// Removes the unfinished text (before its lock goes, so that no other run's
// text is removed): the file keeps what it held.
void OutputFile::discard_text() noexcept {
  if (!text_path_.empty() && names_the_text()) ::unlink(text_path_.c_str());
  fd_.reset();
  lock_fd_.reset();
  listed_.forget();
  text_path_.clear();
  open_ = false;
}

void OutputFile::leave_empty() {
  if (!open_) *this = OutputFile(path_);
  if (::ftruncate(fd_.get(), 0) != 0) fail("cannot empty", errno);
  close();
}

void OutputFile::fail(const char* doing, int error, const char* why) {
  discard_text();
  std::string what = fmt::format("{} output file \"{}\": {}", doing, path_, why != nullptr ? why : std::strerror(error));
  if (exists_as_file(path_)) what += "; it still holds an earlier run's text";
  throw Error(FaultKind::output_failed, what);
}

void OutputFile::write(std::string_view bytes) {
  if (!open_) fail("cannot write", EBADF);
  if (const int error = write_all(fd_.get(), bytes)) fail("cannot write", error);
}

void OutputFile::close() {
  if (!open_) return;
  // The data reach the disk before the name does; a close that fails (a file
  // system that lost written data) leaves the file as it was. A second
  // descriptor holds the lock past the close. The name is still the file
  // written, or nothing is renamed.
  if (const int error = sync_file(fd_.get()); error != 0 && error != EINVAL) fail("cannot complete", error);
  if (!names_the_text()) {
    text_path_.clear();  // (what is at the name now is not removed)
    fail("cannot complete", EEXIST, "its unfinished text was renamed or replaced while it was written");
  }
  lock_fd_ = FileDescriptor(::dup(fd_.get()));
  if (!lock_fd_) fail("cannot complete", errno);
  if (const int error = fd_.close()) fail("cannot close", error);
  if (::rename(text_path_.c_str(), path_.c_str()) != 0) fail("cannot complete", errno);
  text_path_.clear();
  listed_.forget();
  (void)::fremovexattr(lock_fd_.get(), mark_name);
  sync_folder_of(path_);
  lock_fd_.reset();
  open_ = false;
}

}  // namespace pg
