#include "driver/progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace pg {

double ReadProgress::steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ReadProgress::ReadProgress(std::string name)
    : ReadProgress(std::move(name), stderr, ::isatty(2) == 1) {}

ReadProgress::ReadProgress(std::string name, std::FILE* out, bool enabled, Clock clock)
    : name_(std::move(name)), out_(out), enabled_(enabled && out != nullptr), clock_(std::move(clock)) {}

std::string ReadProgress::text() const {
  const std::int64_t percent =
      std::clamp<std::int64_t>(size_ > 0 ? static_cast<std::int64_t>(
                                               static_cast<double>(offset_) / static_cast<double>(size_) * 100.0)
                                         : 0,
                               0, 100);
  return fmt::format("reading {}: {:3d}% of {:.1f} GB", name_, percent,
                     static_cast<double>(size_) / 1e9);
}

void ReadProgress::draw() {
  std::string t = text();
  if (shown_ && t == last_text_) return;
  std::fputc('\r', out_);
  std::fwrite(t.data(), 1, t.size(), out_);
  std::fflush(out_);
  last_text_ = std::move(t);
  shown_ = true;
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

void ReadProgress::finish() {
  if (!shown_) return;
  draw();
  std::fputc('\n', out_);
  std::fflush(out_);
  shown_ = false;
  last_text_.clear();
}

}  // namespace pg
