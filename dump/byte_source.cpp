#include "dump/byte_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/interrupt.hpp"

namespace pg {

namespace {

bool before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Whether a later change of the file is bound to move its change time: the
// system stamps a change with its coarse clock, so a change within the same
// tick as the last one (or the same second, on a file system that keeps
// whole seconds) would leave the time as it is. A file changed before the
// tick now running is settled.
bool settled(const struct stat& st) {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  if (st.st_ctim.tv_nsec == 0) return st.st_ctim.tv_sec < now.tv_sec;
  return before(st.st_ctim, now);
}

// A file changed this very tick is looked at again once the tick is over
// (once only: a clock that runs ahead, a network file system's, would
// otherwise be waited for at every dump).
void wait_until_settled(int fd, struct stat& st) {
  if (settled(st)) return;
  timespec tick {};
  ::clock_getres(CLOCK_REALTIME_COARSE, &tick);
  if (st.st_ctim.tv_nsec == 0) tick = {1, 0};
  while (::nanosleep(&tick, &tick) != 0 && errno == EINTR) {
  }
  struct stat again {};
  if (::fstat(fd, &again) == 0) st = again;
}

}  // namespace

std::unique_ptr<FileSource> FileSource::open(const std::string& path, int& error) {
  // A named pipe is opened without waiting for its writer: its reads wait
  // for the writer and its data, and a signal that stops the run ends that
  // wait.
  struct stat named {};
  const bool waits = ::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode);
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (waits ? O_NONBLOCK : 0));
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    error = EISDIR;
    return nullptr;
  }
  if (S_ISREG(st.st_mode)) wait_until_settled(fd, st);
  std::int64_t size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
  if (size >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  error = 0;
  auto source = std::unique_ptr<FileSource>(new FileSource(fd, size));
  source->waits_ = size < 0;
  source->path_ = path;
  source->opened_ = st;
  return source;
}

std::string FileSource::changed() const {
  if (!regular()) return {};
  struct stat now {};
  if (::fstat(fd_, &now) != 0) return std::string("it cannot be looked at: ") + std::strerror(errno);
  auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
  std::vector<const char*> differ;
  if (now.st_size != opened_.st_size) differ.push_back("size");
  if (!same(now.st_mtim, opened_.st_mtim)) differ.push_back("modification time");
  // The change time moves with any write, also one whose modification time
  // was set back after it; but also with a new or removed link (a backup
  // made of hard links), a new mode or owner, which change no content.
  const bool other_change = now.st_nlink != opened_.st_nlink || now.st_mode != opened_.st_mode ||
                            now.st_uid != opened_.st_uid || now.st_gid != opened_.st_gid;
  if (!same(now.st_ctim, opened_.st_ctim) && (!differ.empty() || !other_change)) differ.push_back("change time");
  if (differ.empty()) return {};
  std::string why = "its ";
  for (std::size_t k = 0; k < differ.size(); ++k)
    why += std::string(k == 0 ? "" : k + 1 == differ.size() ? " and " : ", ") + differ[k];
  return why + (differ.size() == 1 ? " differs" : " differ");
}

FileSource::~FileSource() { ::close(fd_); }

// (A pipe that no writer has opened yet reads as ended: its reads wait
// until it has data, or its writer has come and gone.)
std::ptrdiff_t FileSource::read(void* dst, std::size_t n) {
  for (;;) {
    if (waits_) wait_until_ready(fd_, POLLIN);
    const ssize_t got = ::read(fd_, dst, n);
    if (got >= 0 || (errno != EINTR && errno != EAGAIN)) return got;
    throw_if_stopped();
  }
}

std::ptrdiff_t FileSource::read_at(void* dst, std::size_t n, std::int64_t offset) const {
  ssize_t got;
  do got = ::pread(fd_, dst, n, static_cast<off_t>(offset));
  while (got < 0 && errno == EINTR);
  return got;
}

bool FileSource::skip(std::int64_t n) {
  if (size_ < 0) return false;  // pipes and devices: the caller reads instead
  return ::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1);
}

}  // namespace pg
