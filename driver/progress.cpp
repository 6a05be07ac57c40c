#include "driver/progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "base/console.hpp"

namespace pg {

double ReadProgress::steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ReadProgress::ReadProgress(std::string name, std::size_t number, std::size_t dumps)
    : ReadProgress(std::move(name), number, dumps, stderr, ::isatty(2) == 1) {}

ReadProgress::ReadProgress(std::string name, std::size_t number, std::size_t dumps, std::FILE* out,
                           bool enabled, Clock clock)
    : name_(std::move(name)),
      number_(number),
      dumps_(dumps),
      out_(out),
      enabled_(enabled && out != nullptr),
      clock_(std::move(clock)) {}

std::string ReadProgress::text() const {
  const std::int64_t percent =
      std::clamp<std::int64_t>(size_ > 0 ? static_cast<std::int64_t>(
                                               static_cast<double>(offset_) / static_cast<double>(size_) * 100.0)
                                         : 0,
                               0, 100);
  return fmt::format("dump {}/{} {}: {:3d}% of {:.1f} GB", number_, dumps_, name_, percent,
                     static_cast<double>(size_) / 1e9);
}

void ReadProgress::draw() {
  std::string t = text();
  if (shown_ && t == last_text_) return;
  if (!shown_) set_passing_line_wiper([this] { wipe(); });
  // A shorter text than the last one is padded to cover it.
  const std::size_t cover = last_text_.size() > t.size() ? last_text_.size() - t.size() : 0;
  fmt::print(out_, "\r{}{:{}}", t, "", cover);
  std::fflush(out_);
  last_text_ = std::move(t);
  shown_ = true;
}

void ReadProgress::wipe() {
  if (!shown_) return;
  fmt::print(out_, "\r{:{}}\r", "", last_text_.size());
  std::fflush(out_);
  set_passing_line_wiper(nullptr);
  shown_ = false;
  last_text_.clear();
}

void ReadProgress::update(std::int64_t offset, std::int64_t size) {
  if (!enabled_ || size <= min_bytes) return;
  offset_ = offset;
  size_ = size;
  const double now = clock_();
  if (shown_ && now - last_draw_ < min_interval) return;
  last_draw_ = now;
  draw();
}

void ReadProgress::finish() { wipe(); }

}  // namespace pg
