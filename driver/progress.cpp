#include "driver/progress.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/console.hpp"

namespace pg {

namespace {

std::string bytes_text(double bytes) {
  if (bytes >= 1e9) return fmt::format("{:.1f} GB", bytes / 1e9);
  if (bytes >= 1e6) return fmt::format("{:.1f} MB", bytes / 1e6);
  return fmt::format("{:.0f} kB", std::ceil(bytes / 1e3));
}

std::string seconds_text(double s) {
  const auto whole = static_cast<std::int64_t>(std::ceil(s));
  if (whole < 60) return fmt::format("{} s", whole);
  if (whole < 3600) return fmt::format("{} min {} s", whole / 60, whole % 60);
  return fmt::format("{} h {} min", whole / 3600, whole % 3600 / 60);
}

}  // namespace

double RunProgress::steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool RunProgress::wanted(bool quiet) { return !quiet && ::isatty(2) == 1; }

RunProgress::RunProgress(std::vector<std::int64_t> sizes, std::FILE* out, bool enabled, Clock clock)
    : sizes_(std::move(sizes)), out_(out), enabled_(enabled && out != nullptr), clock_(std::move(clock)) {
  start_ = clock_();
  for (const std::int64_t s : sizes_) total_ += std::max<std::int64_t>(s, 0);
}

void RunProgress::begin(std::size_t k, std::string name) {
  k_ = k;
  name_ = std::move(name);
  in_dump_ = true;
  binning_ = false;
  offset_ = 0;
  size_ = k < sizes_.size() ? sizes_[k] : -1;
  redraw();
}

void RunProgress::update(std::int64_t offset, std::int64_t size) {
  offset_ = offset;
  size_ = size;
  redraw();
}

void RunProgress::binning() {
  binning_ = true;
  redraw();
}

void RunProgress::end_dump() {
  if (!in_dump_) return;
  in_dump_ = false;
  done_ += k_ < sizes_.size() ? std::max<std::int64_t>(sizes_[k_], 0) : 0;
  wipe();
}

std::string RunProgress::text() const {
  std::string t = fmt::format("dump {}/{} {}: ", k_ + 1, sizes_.size(), name_);
  if (binning_) {
    t += "binning";
  } else if (size_ > 0) {
    const auto percent = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(static_cast<double>(offset_) / static_cast<double>(size_) * 100.0), 0, 100);
    t += fmt::format("{:3d}% of {}", percent, bytes_text(static_cast<double>(size_)));
  } else {
    t += "reading";
  }
  // The time left, once the bytes so far say something of it: the dumps
  // over, and as much of this one as its read has passed.
  const std::int64_t size = std::max<std::int64_t>(size_, 0);
  const double read = static_cast<double>(done_ + (binning_ ? size : std::clamp<std::int64_t>(offset_, 0, size)));
  const double elapsed = seconds();
  if (total_ > 0 && read > 0 && elapsed >= 1)
    t += fmt::format(", {} left", seconds_text(elapsed * (static_cast<double>(total_) - read) / read));
  return t;
}

void RunProgress::redraw() {
  if (!enabled_ || !in_dump_) return;
  const double now = clock_();
  if (now - start_ < first_draw || (shown_ && now - last_draw_ < min_interval)) return;
  last_draw_ = now;
  draw();
}

void RunProgress::draw() {
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

void RunProgress::wipe() {
  if (!shown_) return;
  fmt::print(out_, "\r{:{}}\r", "", last_text_.size());
  std::fflush(out_);
  set_passing_line_wiper(nullptr);
  shown_ = false;
  last_text_.clear();
}

}  // namespace pg
