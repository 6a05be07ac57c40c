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
  if (const auto again = file_status(fd)) st = *again;
}

}  // namespace

SysResult<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
  using Opened = SysResult<std::unique_ptr<FileSource>>;
  // A named pipe is opened without waiting for its writer: its reads wait
  // for the writer and its data, and a signal that stops the run ends that
  // wait.
  const auto named = file_status(path);
  const bool waits = named && !S_ISREG(named->st_mode);
  auto fd = open_file(path, O_RDONLY | (waits ? O_NONBLOCK : 0));
  if (!fd) return Opened::failed(fd.error());
  auto st = file_status(fd->get());
  if (!st) return Opened::failed(st.error());
  if (S_ISDIR(st->st_mode)) return Opened::failed(EISDIR);
  if (S_ISREG(st->st_mode)) wait_until_settled(fd->get(), *st);
  const std::int64_t size = S_ISREG(st->st_mode) ? static_cast<std::int64_t>(st->st_size) : -1;
  if (size >= 0) ::posix_fadvise(fd->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  auto source = std::unique_ptr<FileSource>(new FileSource(std::move(*fd), size));
  source->waits_ = size < 0;
  source->path_ = path;
  source->opened_ = *st;
  return source;
}

std::string FileSource::changed() const {
  if (!regular()) return {};
  const auto looked = file_status(fd_.get());
  if (!looked) return std::string("it cannot be looked at: ") + std::strerror(looked.error());
  const struct stat& now = *looked;
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

// (A pipe that no writer has opened yet reads as ended: its reads wait
// until it has data, or its writer has come and gone.)
SysResult<std::size_t> FileSource::read(void* dst, std::size_t n) {
  for (;;) {
    if (waits_) wait_until_ready(fd_.get(), POLLIN);
    auto got = read_some(fd_.get(), dst, n);
    if (got || got.error() != EAGAIN) return got;
    throw_if_stopped();
  }
}

SysResult<std::size_t> FileSource::read_at(void* dst, std::size_t n, std::int64_t offset) const {
  return read_some_at(fd_.get(), dst, n, offset);
}

bool FileSource::skip(std::int64_t n) {
  if (size_ < 0) return false;  // pipes and devices: the caller reads instead
  return ::lseek(fd_.get(), static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1);
}

}  // namespace pg
