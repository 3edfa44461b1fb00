// What the tool shows on a terminal beside its results: the progress line on standard error.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace seekpat_cli {

// A line on standard error, while a search runs longer than a second and standard error is a
// terminal: bytes done, rate, and time left where the size is known.
class progress {
public:
  progress(bool shown, const std::string& name, std::uint64_t size)
      : shown_(shown), name_(name), size_(size), start_(clock::now()), last_(start_) {}
  ~progress();
  void update(std::uint64_t done);

private:
  using clock = std::chrono::steady_clock;
  bool shown_, drawn_ = false;
  std::string name_;
  std::uint64_t size_;
  clock::time_point start_, last_;
};
} // namespace seekpat_cli
