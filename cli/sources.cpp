#include "sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace seekpat_cli {

// The file mapped while a mapped search runs, and whether a page of it was found gone (the file
// shrank). A load from a page past a file's new end raises SIGBUS: the handler puts a page of
// zeros there instead, notes it, and the load retries, so the search ends and the change is
// reported. A fault anywhere else takes the default action.
std::atomic<std::uintptr_t> mapped_lo{0}, mapped_hi{0};
std::atomic<bool> mapped_lost{false};
void on_sigbus(int sig, siginfo_t* info, void*) {
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  if (at >= mapped_lo.load() && at < mapped_hi.load() &&
      mmap(reinterpret_cast<void*>(at & ~(page - 1)), page, PROT_READ,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
    mapped_lost = true;
    return;
  }
  signal(sig, SIG_DFL); // the load faults again, now with the default action
}
// Counts the occurrences in a regular file of `size` bytes on every thread: each reads its own
// part with pread into a buffer of its own and feeds it to a stream searcher of its own, reading
// p - 1 bytes past the part's end, so that it sees every occurrence that starts in its part and
// no other. Reading on every core brings the file in faster than one reader can. Returns false,
// with the error in *error (0 when the file ended early), when a part could not be read whole.
bool count_in_parts(int fd, std::uint64_t size, const seekpat_lib::pattern& pat, unsigned threads,
                    progress& shown, std::uint64_t* count, int* error) {
  const std::uint64_t parts = threads, reach = pat.size() ? pat.size() - 1 : 0;
  std::vector<std::uint64_t> counts(parts, 0);
  std::vector<int> errors(parts, -1); // -1: read whole; 0: ended early; else errno
  std::atomic<std::uint64_t> done{0};
  auto part = [&](std::uint64_t k) {
    const std::uint64_t start = size / parts * k,
                        end = k + 1 == parts ? size : size / parts * (k + 1);
    const std::uint64_t stop = end + reach < size ? end + reach : size;
    const std::size_t block = 1u << 20; // a block stays in L2 between the read and the search
    const std::unique_ptr<char[]> buf(new (std::nothrow) char[block]);
    if (!buf) {
      errors[k] = ENOMEM;
      return;
    }
    seekpat_lib::stream_searcher stream(pat, 1);
    for (std::uint64_t at = start; at < stop;) {
      const std::size_t want = stop - at < block ? static_cast<std::size_t>(stop - at) : block;
      const ssize_t got = pread(fd, buf.get(), want, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0) {
        errors[k] = got < 0 ? errno : 0;
        return;
      }
      counts[k] += stream.feed_count(buf.get(), static_cast<std::size_t>(got));
      at += static_cast<std::uint64_t>(got);
      // Bytes past the part's end are another part's.
      const std::uint64_t own = at < end ? static_cast<std::uint64_t>(got)
                                : at - static_cast<std::uint64_t>(got) < end
                                    ? end - (at - static_cast<std::uint64_t>(got))
                                    : 0;
      done += own;
      if (k == 0)
        shown.update(done.load());
    }
  };
  std::vector<std::thread> pool;
  for (std::uint64_t k = 1; k < parts; ++k) {
    try {
      pool.emplace_back(part, k);
    } catch (const std::system_error&) { // no thread: this one reads that part too
      part(k);
    }
  }
  part(0);
  for (std::thread& t : pool)
    t.join();
  *count = 0;
  for (std::uint64_t k = 0; k < parts; ++k) {
    *count += counts[k];
    if (errors[k] != -1) {
      *error = errors[k];
      return false;
    }
  }
  return true;
}
} // namespace seekpat_cli
