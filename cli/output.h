// Standard output in large blocks, and the lines of offsets one thread formats for it.
#pragma once

#include "decimal.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace seekpat_cli {

// Standard output, written in large blocks; the first error sticks and is reported once, at the
// end, as an error of the whole run.
class output {
public:
  output() : buf_(new char[size]) {}

  // s may be null when n is 0 (a thread's buffer that listed nothing).
  void put(const char* s, std::size_t n) {
    if (n == 0)
      return;
    if (n > size - used_)
      flush();
    if (n > size) {
      write_all(s, n);
      return;
    }
    std::memcpy(buf_.get() + used_, s, n);
    used_ += n;
  }
  void put(const std::string& s) { put(s.data(), s.size()); }

  // "prefix" then the decimal value and a newline.
  void line(const std::string& prefix, std::uint64_t v) {
    if (!prefix.empty())
      put(prefix);
    if (size - used_ < 21)
      flush();
    used_ += decimal_line(buf_.get() + used_, v);
  }

  void flush() {
    write_all(buf_.get(), used_);
    used_ = 0;
  }
  int error() const { return error_; }

private:
  void write_all(const char* s, std::size_t n);

  static constexpr std::size_t size = 1u << 20;
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  int error_ = 0;
};
// Lines of offsets formatted by one thread, to be written later.
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
