#include "output.h"

#include "terminal.h"

#include <unistd.h>

#include <cerrno>
#include <new>

namespace seekpat_cli {

output::output(int fd) : fd_(fd), per_line_(isatty(fd) == 1) {
  // A terminal takes a line at a time: the small block serves.
  if (!per_line_)
    block_.reset(new (std::nothrow) char[1u << 20]);
  buf_ = block_ ? block_.get() : small_;
  size_ = block_ ? 1u << 20 : sizeof small_;
}

void output::write_all(const char* s, std::size_t n) {
  if (n > 0 && per_line_)
    clear_progress();
  while (n > 0 && error_ == 0) {
    const ssize_t k = write(fd_, s, n);
    if (k < 0) {
      if (errno != EINTR)
        error_ = errno;
      continue;
    }
    s += k;
    n -= static_cast<std::size_t>(k);
  }
}

} // namespace seekpat_cli
