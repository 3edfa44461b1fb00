// What the tool shows on standard error: messages, and the progress line where standard error is
// a terminal. Every message goes through complain, so that a progress line is cleared first.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace seekpat_cli {

// "seekpat: " what, on a line of standard error of its own.
void complain(const std::string& what);

// Erases the progress line where one is drawn. Safe in a signal handler.
void clear_progress() noexcept;

// Has SIGINT, SIGTERM, SIGHUP and SIGPIPE clear the progress line before they end the process as
// they would have (a signal the process ignores stays ignored).
void clear_progress_on_signals();

// A line on standard error, while a search runs longer than a second and standard error is a
// terminal: bytes done, rate, and time left where the size is known. Cleared at the end.
class progress {
public:
  progress(bool shown, const std::string& name, std::uint64_t size)
      : shown_(shown), name_(name), size_(size), start_(clock::now()), last_(start_) {}
  progress(const progress&) = delete;
  progress& operator=(const progress&) = delete;
  ~progress() { clear_progress(); }
  bool shown() const { return shown_; }
  void update(std::uint64_t done);

private:
  using clock = std::chrono::steady_clock;
  bool shown_;
  std::string name_;
  std::uint64_t size_;
  clock::time_point start_, last_;
};

} // namespace seekpat_cli
