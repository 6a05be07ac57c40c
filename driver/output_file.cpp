#include "driver/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
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

// The unfinished texts, for a signal handler to remove: fixed storage, set
// and cleared by the run, read by the handler.
constexpr int max_unfinished = 8;
constexpr std::size_t max_path = 4096;
char unfinished_path[max_unfinished][max_path];
volatile std::sig_atomic_t unfinished_used[max_unfinished];

int remember_unfinished(const std::string& path) {
  if (path.size() >= max_path) return -1;
  for (int i = 0; i < max_unfinished; ++i) {
    if (unfinished_used[i]) continue;
    std::memcpy(unfinished_path[i], path.c_str(), path.size() + 1);
    unfinished_used[i] = 1;
    return i;
  }
  return -1;
}

void forget_unfinished(int slot) {
  if (slot >= 0) unfinished_used[slot] = 0;
}

extern "C" void remove_unfinished_and_die(int sig) {
  for (int i = 0; i < max_unfinished; ++i)
    if (unfinished_used[i]) ::unlink(unfinished_path[i]);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void remove_unfinished_files_on_interrupt() {
  struct sigaction sa {};
  sa.sa_handler = remove_unfinished_and_die;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGINT);
  sigaddset(&sa.sa_mask, SIGTERM);
  for (int sig : {SIGINT, SIGTERM}) {
    struct sigaction old {};
    // A signal the run was started to ignore stays ignored.
    if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &sa, nullptr);
  }
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  // The text is written beside the file under a name of its own, with the
  // permissions the file itself would get.
  std::string name = path_ + ".XXXXXX";
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) {
    fd_ = fd;
    text_path_ = std::move(name);
    slot_ = remember_unfinished(text_path_);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0644 & ~mask) != 0) fail("cannot create", errno);
  } else if (errno == EACCES || errno == EPERM || errno == EROFS) {
    // A folder that takes no new files may still hold a writable file:
    // the text then goes into it directly (emptied at the first write), and
    // a failure empties it again.
    fd_ = open_retrying(path_.c_str(), O_WRONLY | O_CLOEXEC, 0);
    if (fd_ < 0) fail("cannot create", errno);
  } else {
    fail("cannot create", errno);
  }
  open_ = true;
}

OutputFile::~OutputFile() { discard_text(); }

OutputFile::OutputFile(OutputFile&& o) noexcept
    : open_(std::exchange(o.open_, false)),
      fd_(std::exchange(o.fd_, -1)),
      slot_(std::exchange(o.slot_, -1)),
      in_place_written_(std::exchange(o.in_place_written_, false)),
      path_(std::move(o.path_)),
      text_path_(std::exchange(o.text_path_, {})) {}

OutputFile& OutputFile::operator=(OutputFile&& o) noexcept {
  if (this != &o) {
    discard_text();
    open_ = std::exchange(o.open_, false);
    fd_ = std::exchange(o.fd_, -1);
    slot_ = std::exchange(o.slot_, -1);
    in_place_written_ = std::exchange(o.in_place_written_, false);
    path_ = std::move(o.path_);
    text_path_ = std::exchange(o.text_path_, {});
  }
  return *this;
}

// Closes and removes the unfinished text: the file keeps what it held, but
// a file written in place is emptied again once anything was written.
void OutputFile::discard_text() noexcept {
  if (fd_ >= 0) {
    if (text_path_.empty() && in_place_written_) (void)::ftruncate(fd_, 0);
    ::close(fd_);
  }
  fd_ = -1;
  if (!text_path_.empty()) ::unlink(text_path_.c_str());
  forget_unfinished(std::exchange(slot_, -1));
  text_path_.clear();
  in_place_written_ = false;
  open_ = false;
}

// Drops the text and empties the file (made when missing): 0, or the errno.
int OutputFile::empty_file() noexcept {
  discard_text();
  const int fd = open_retrying(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || (::close(fd) != 0 && errno != EINTR)) return errno;
  return 0;
}

void OutputFile::leave_empty() {
  if (const int error = empty_file(); error != 0) fail("cannot empty", error);
}

void OutputFile::fail(const char* doing, int error) {
  // A file that could not be completed is left empty: an earlier text of the
  // same name would pass for this run's.
  (void)empty_file();
  throw Stop{exit_usage, fmt::format("{} output file \"{}\": {}", doing, path_,
                                     std::strerror(error))};
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
      forget_unfinished(std::exchange(slot_, -1));
      text_path_.clear();
    }
  }
  open_ = false;
}

}  // namespace pg
