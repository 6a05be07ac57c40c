// A progress line on standard error while a large dump is read:
// "\rdump 37/200 NAME:  45% of 9.3 GB", redrawn at most a few times a second.
// It is a passing line: wiped (blanks over it, the cursor back at the start
// of the line) before any line of the console or of standard error is
// written, and when the read is over, so it never leaves a half line in
// front of another. Shown only for dumps larger than `min_bytes` and only
// when standard error is a terminal: a run whose standard error goes to a
// file or a pipe gets nothing, and standard output never gets anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "dump/record.hpp"

namespace pg {

class ReadProgress {
 public:
  static constexpr std::int64_t min_bytes = 1'000'000'000;
  static constexpr double min_interval = 0.25;  // seconds between redraws

  // Seconds from any fixed start.
  using Clock = std::function<double()>;
  static double steady_seconds();

  // Progress for the dump `name`, the `number`th (from 1) of `dumps`, on
  // standard error when that is a terminal.
  ReadProgress(std::string name, std::size_t number, std::size_t dumps);
  // Progress on `out`, or nothing at all when `enabled` is false.
  ReadProgress(std::string name, std::size_t number, std::size_t dumps, std::FILE* out, bool enabled,
               Clock clock = steady_seconds);
  ~ReadProgress() { finish(); }
  ReadProgress(const ReadProgress&) = delete;
  ReadProgress& operator=(const ReadProgress&) = delete;

  // `offset` bytes of a file of `size` bytes (-1: unknown) have been read or
  // passed over. Redraws the line when it is due.
  void update(std::int64_t offset, std::int64_t size);
  // The hook for DumpFile::set_progress_hook; valid while this object lives.
  DumpFile::ProgressHook hook() {
    return [this](std::int64_t offset, std::int64_t size) { update(offset, size); };
  }
  // Wipes the line, if one is shown; the read is over. Idempotent.
  void finish();

 private:
  std::string text() const;
  void draw();
  void wipe();

  std::string name_;
  std::size_t number_ = 1, dumps_ = 1;
  std::FILE* out_ = nullptr;
  bool enabled_ = false;
  Clock clock_;
  bool shown_ = false;  // a line has been begun and not yet ended
  double last_draw_ = 0;
  std::int64_t offset_ = 0, size_ = -1;
  std::string last_text_;
};

}  // namespace pg
