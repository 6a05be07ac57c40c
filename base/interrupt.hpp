// SIGINT, SIGTERM and SIGHUP, and the unfinished files a signal must not
// leave behind.
//
// Until the run's dumps begin, such a signal ends the process at once, as it
// would without a handler, after removing the unfinished files. Once they
// have begun (stop_gently()), the first signal only asks the run to stop at
// the next safe point: the reader between two reads, the run between two
// steps. The run then finishes its files and ends by the same signal. A
// second signal ends the process at once.
#pragma once

#include <signal.h>

#include <string>

namespace pg {

// Installs the handlers (a signal the process was started to ignore stays
// ignored).
void catch_stop_signals();
// From now on the first signal asks the run to stop instead of ending it.
void stop_gently();
// Throws an Error of kind `interrupted` when a signal asked the run to stop.
void throw_if_stopped();
// Ends the process by `signal`, as its default action does.
[[noreturn]] void die_by_signal(int signal);
// "SIGTERM", "SIGINT", "SIGHUP".
std::string signal_name(int signal);

// Waits until descriptor `fd` is ready for `events` (as poll(2) says: a
// pipe's data, or its writer gone) or a failure that the next call on it
// will report. A signal that asks the run to stop ends the wait: it throws
// as throw_if_stopped() does. The stop is looked at with the signals held
// back, and they are let in only within the wait itself, so that none falls
// between the look and the wait and is missed until a second one.
void wait_until_ready(int fd, short events);

// While alive, the stop signals are held back from this thread (threads
// started meanwhile keep them held back, so that they reach the main
// thread).
class StopSignalsBlocked {
 public:
  StopSignalsBlocked();
  ~StopSignalsBlocked();
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;
  // The mask the thread had before.
  const sigset_t& before() const { return old_; }

 private:
  sigset_t old_;
};

// A file being written that a signal ending the process removes. Make the
// file and list it under one StopSignalsBlocked, so that no signal finds it
// made but not yet listed. At most eight at a time; a path too long for the
// list is not removed by a signal.
class UnfinishedFile {
 public:
  UnfinishedFile() = default;
  // Lists `path` (already made).
  explicit UnfinishedFile(const std::string& path);
  ~UnfinishedFile() { forget(); }
  UnfinishedFile(UnfinishedFile&& o) noexcept : slot_(o.slot_) { o.slot_ = -1; }
  UnfinishedFile& operator=(UnfinishedFile&& o) noexcept;
  UnfinishedFile(const UnfinishedFile&) = delete;
  UnfinishedFile& operator=(const UnfinishedFile&) = delete;
  // No longer removed by a signal (the file is complete, or gone).
  void forget();

 private:
  int slot_ = -1;
};

}  // namespace pg
