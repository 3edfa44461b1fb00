// Standard output, and the lines of offsets one thread formats for it.
#pragma once

#include "decimal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace seekpat_cli {

// Standard output: in blocks of 1 MiB, or a line at a time where it is a terminal, so that each
// result shows as soon as it is known (the progress line, on the same terminal, is cleared
// first). The first error sticks: nothing more is written, and the run reports it once, at the
// end. Where 1 MiB cannot be had, a small block of its own serves: it never fails for want of
// memory.
class output {
public:
  explicit output(int fd = 1);

  // s may be null when n is 0 (a thread's buffer that listed nothing).
  void put(const char* s, std::size_t n) {
    append(s, n);
    if (per_line_)
      flush();
  }
  void put(const std::string& s) { put(s.data(), s.size()); }

  // "prefix" then the decimal value and a newline.
  void line(const std::string& prefix, std::uint64_t v) {
    append(prefix.data(), prefix.size());
    if (size_ - used_ < 21) // the block holds at least 4096
      flush();
    used_ += decimal_line(buf_ + used_, v);
    if (per_line_)
      flush();
  }

  void flush() {
    write_all(buf_, used_);
    used_ = 0;
  }
  bool pending() const { return used_ > 0; }
  int error() const { return error_; }

private:
  void append(const char* s, std::size_t n) {
    if (n == 0)
      return;
    if (n > size_ - used_)
      flush();
    if (n > size_) {
      write_all(s, n);
      return;
    }
    std::memcpy(buf_ + used_, s, n);
    used_ += n;
  }
  void write_all(const char* s, std::size_t n);

  int fd_;
  bool per_line_;
  std::unique_ptr<char[]> block_;
  char small_[4096];
  char* buf_ = nullptr;
  std::size_t size_ = 0, used_ = 0;
  int error_ = 0;
};

// Lines of offsets formatted by one thread, to be written later. Throws std::bad_alloc.
struct line_buffer {
  std::vector<char> b;
  std::size_t used = 0;
  std::uint64_t lines = 0;

  void line(const std::string& prefix, std::uint64_t v) {
    if (b.size() - used < prefix.size() + 21)
      b.resize(std::max(2 * b.size(), used + prefix.size() + 21 + (64u << 10)));
    if (!prefix.empty()) {
      std::memcpy(b.data() + used, prefix.data(), prefix.size());
      used += prefix.size();
    }
    used += decimal_line(b.data() + used, v);
    ++lines;
  }
};

} // namespace seekpat_cli
