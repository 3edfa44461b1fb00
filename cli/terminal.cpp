#include "terminal.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace seekpat_cli {
namespace {

std::atomic<bool> drawn{false}; // a progress line stands on standard error

void on_stop(int sig) {
  clear_progress();
  signal(sig, SIG_DFL);
  raise(sig); // delivered, with the default action, once this handler returns
}

} // namespace

void complain(const std::string& what) {
  clear_progress();
  std::fprintf(stderr, "seekpat: %s\n", what.c_str());
}

void clear_progress() noexcept {
  if (drawn.exchange(false)) {
    const ssize_t k = write(2, "\r\033[K", 4);
    (void)k; // nothing to do about a terminal that takes no more
  }
}

void clear_progress_on_signals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction sa = {}, old = {};
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
      continue;
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
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
  char line[512];
  int k = std::snprintf(line, sizeof line, "\r\033[Kseekpat: %s: %.1f", name_.c_str(),
                        static_cast<double>(done) / 1e9);
  auto more = [&](const char* format, double v) {
    if (k > 0 && static_cast<std::size_t>(k) < sizeof line)
      k += std::snprintf(line + k, sizeof line - static_cast<std::size_t>(k), format, v);
  };
  if (size_)
    more(" of %.1f", static_cast<double>(size_) / 1e9);
  more(" GB, %.1f GB/s", rate / 1e9);
  if (size_ > done && rate > 0)
    more(", %.0f s left", static_cast<double>(size_ - done) / rate);
  if (k <= 0)
    return;
  // One write, so that a signal's clearing comes before or after the line, never inside it.
  drawn = true;
  const ssize_t w =
      write(2, line, std::min<std::size_t>(static_cast<std::size_t>(k), sizeof line - 1));
  (void)w;
}

} // namespace seekpat_cli
