#include "terminal.h"

#include <cstdio>

namespace seekpat_cli {

progress::~progress() {
  if (drawn_)
    std::fputs("\r\033[K", stderr);
}

void progress::update(std::uint64_t done) {
  if (!shown_)
    return;
  const clock::time_point now = clock::now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (elapsed < 1 || std::chrono::duration<double>(now - last_).count() < 0.25)
    return;
  last_ = now;
  const double rate = static_cast<double>(done) / elapsed;
  std::fprintf(stderr, "\r\033[Kseekpat: %s: %.1f", name_.c_str(), static_cast<double>(done) / 1e9);
  if (size_)
    std::fprintf(stderr, " of %.1f", static_cast<double>(size_) / 1e9);
  std::fprintf(stderr, " GB, %.1f GB/s", rate / 1e9);
  if (size_ > done && rate > 0)
    std::fprintf(stderr, ", %.0f s left", static_cast<double>(size_ - done) / rate);
  drawn_ = true;
}

} // namespace seekpat_cli
