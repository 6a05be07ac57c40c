// A run's progress on standard error while it is a terminal: one passing
// line, "\rdump 37/200 NAME: 45% of 9.3 GB, 2 min 10 s left", redrawn at
// most a few times a second, first drawn once the run has taken half a
// second (a quick run shows nothing). The time left is the run's, from the
// bytes of its dumps read so far. It is wiped (blanks over it, the cursor
// back at the start of the line) before any line of the console or of
// standard error is written, and when a dump is over, so it never leaves a
// half line in front of another. A run whose standard error goes to a file
// or a pipe gets nothing, nor does one told to be quiet; standard output
// never gets anything.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "dump/record.hpp"

namespace pg {

class RunProgress {
 public:
  static constexpr double first_draw = 0.5;     // seconds into the run
  static constexpr double min_interval = 0.25;  // seconds between redraws

  // Seconds from any fixed start.
  using Clock = std::function<double()>;
  static double steady_seconds();
  // Whether a run shows its progress: standard error is a terminal, and the
  // run is not quiet.
  static bool wanted(bool quiet);

  // Progress of a run over dumps of `sizes` bytes (-1: unknown) on `out`, or
  // nothing at all when `enabled` is false. The run starts now.
  RunProgress(std::vector<std::int64_t> sizes, std::FILE* out, bool enabled, Clock clock = steady_seconds);
  ~RunProgress() { wipe(); }
  RunProgress(const RunProgress&) = delete;
  RunProgress& operator=(const RunProgress&) = delete;

  // Dump k (from 0), named `name`, is begun.
  void begin(std::size_t k, std::string name);
  // `offset` bytes of the dump's `size` (-1: unknown) have been read or
  // passed over. Redraws the line when it is due.
  void update(std::int64_t offset, std::int64_t size);
  // The dump's read is over: it is binned.
  void binning();
  // The dump is over: the line is wiped. Idempotent.
  void end_dump();
  // The hook for DumpFile::set_progress_hook; valid while this object lives.
  DumpFile::ProgressHook hook() {
    return [this](std::int64_t offset, std::int64_t size) { update(offset, size); };
  }
  double seconds() const { return clock_() - start_; }
  bool shows() const { return enabled_; }

 private:
  std::string text() const;
  void redraw();
  void draw();
  void wipe();

  std::vector<std::int64_t> sizes_;
  std::FILE* out_ = nullptr;
  bool enabled_ = false;
  Clock clock_;
  double start_ = 0;
  std::int64_t total_ = 0, done_ = 0;  // bytes of the run's dumps, and of those over
  std::size_t k_ = 0;
  std::string name_;
  bool in_dump_ = false, binning_ = false;
  std::int64_t offset_ = 0, size_ = -1;
  bool shown_ = false;  // a line has been begun and not yet ended
  double last_draw_ = 0;
  std::string last_text_;
};

}  // namespace pg
