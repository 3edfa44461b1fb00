#include "output.h"

#include <unistd.h>

#include <cerrno>

namespace seekpat_cli {

void output::write_all(const char* s, std::size_t n) {
  while (n > 0 && error_ == 0) {
    const ssize_t k = write(1, s, n);
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
