#include "sinks.h"

#include "sources.h"
#include "terminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace seekpat_cli {

const char stdin_name[] = "(standard input)";

namespace {

// Lists every occurrence in text[0, size) (a mapped file) on `threads` threads, in order: the
// text goes in rounds of one chunk per thread, each thread listing the occurrences that start in
// its chunk (reading up to p - 1 bytes past it) into a buffer of its own; once a round is done
// its buffers are written in order while the threads go on with the next round into a second
// set. So searching and formatting run on every thread, and writing beside them. Memory: two
// buffers per thread, each at most a line per position of a chunk. Stops after the round where
// writing fails; returns the number of lines listed. Throws std::bad_alloc when a thread's
// search or buffer could not get memory.
std::uint64_t list_in_rounds(const char* text, std::uint64_t size, const seekpat_lib::pattern& pat,
                             unsigned threads, const std::string& prefix, output& out,
                             progress& shown) {
  const std::uint64_t chunk = 1u << 20, reach = pat.size() - 1;
  std::vector<line_buffer> bufs[2];
  bufs[0].resize(threads);
  bufs[1].resize(threads);
  std::atomic<bool> no_memory{false};
  // Round r (from 1) gives thread k chunk (r - 1) * threads + k, into buffer set r % 2.
  auto work = [&](std::uint64_t r, unsigned k) {
    line_buffer& into = bufs[r % 2][k];
    into.used = 0;
    into.lines = 0;
    const std::uint64_t c = (r - 1) * threads + k;
    if (c >= (size + chunk - 1) / chunk)
      return;
    const std::uint64_t start = c * chunk, end = std::min(size, start + chunk);
    const std::uint64_t stop = end + reach < size ? end + reach : size;
    try {
      pat.for_each(
          text + start, static_cast<std::size_t>(stop - start),
          [&](std::size_t x) { into.line(prefix, start + x); }, 1);
    } catch (const std::bad_alloc&) {
      no_memory = true;
    }
  };
  std::mutex m;
  std::condition_variable go, done;
  std::uint64_t round = 0;
  unsigned finished = 0, started = 0;
  bool quit = false;
  std::vector<std::thread> pool;
  for (unsigned k = 0; k < threads; ++k) {
    try {
      pool.emplace_back([&, k] {
        std::uint64_t seen = 0;
        for (;;) {
          std::unique_lock<std::mutex> l(m);
          go.wait(l, [&] { return quit || round != seen; });
          if (quit)
            return;
          seen = round;
          l.unlock();
          work(seen, k);
          l.lock();
          if (++finished == started)
            done.notify_one();
        }
      });
    } catch (const std::system_error&) {
      break; // the chunks of threads that could not start are this one's
    }
    const std::lock_guard<std::mutex> l(m);
    started = static_cast<unsigned>(pool.size());
  }
  // Starts round r on the pool, then searches the chunks of threads that did not start.
  auto begin = [&](std::uint64_t r) {
    {
      const std::lock_guard<std::mutex> l(m);
      round = r;
      finished = 0;
    }
    go.notify_all();
    for (unsigned k = started; k < threads; ++k)
      work(r, k);
  };
  const std::uint64_t rounds = (size + chunk * threads - 1) / (chunk * threads);
  std::uint64_t lines = 0;
  if (rounds)
    begin(1);
  for (std::uint64_t r = 1; r <= rounds; ++r) {
    {
      std::unique_lock<std::mutex> l(m);
      done.wait(l, [&] { return finished == started; });
    }
    if (no_memory)
      break;
    // The next round searches into the other set while this one's is written.
    const bool more = r < rounds && out.error() == 0;
    if (more)
      begin(r + 1);
    for (const line_buffer& b : bufs[r % 2]) {
      out.put(b.b.data(), b.used);
      lines += b.lines;
    }
    shown.update(std::min(size, r * threads * chunk));
    if (!more)
      break;
  }
  {
    const std::lock_guard<std::mutex> l(m);
    quit = true;
  }
  go.notify_all();
  for (std::thread& t : pool)
    t.join();
  if (no_memory)
    throw std::bad_alloc();
  return lines;
}

// One line on standard error for a file whose size changed while it was searched; an error.
outcome report_changed(const std::string& name, std::uint64_t size, std::uint64_t at_end) {
  std::fprintf(stderr,
               "seekpat: %s: file changed while it was searched (%llu bytes when opened, %llu at "
               "the end)\n",
               name.c_str(), static_cast<unsigned long long>(size),
               static_cast<unsigned long long>(at_end));
  return outcome::failed;
}

// A large regular file searched in place: counted from its mapping (where it cannot be mapped,
// read in parts on every thread), or its offsets listed from its mapping. Returns false, having
// touched nothing, when offsets were asked of a file that cannot be mapped: the caller then
// reads it as a stream. Else closes fd, prints the result and sets *done.
bool search_in_place(int fd, std::uint64_t size, const options& o, const seekpat_lib::pattern& pat,
                     const std::string& name, const std::string& prefix, output& out,
                     progress& shown, outcome* done) {
  auto finish = [&](outcome r) {
    *done = r;
    return true;
  };
  const unsigned threads =
      o.threads ? o.threads : std::max(1u, std::thread::hardware_concurrency());
  // Offsets, from the mapping where the file can be mapped (else the caller reads it).
  if (o.offsets) {
    std::uint64_t count = 0;
    bool lost = false;
    const bool mapped = with_mapping(fd, size, &lost, [&](const char* text) {
      count = list_in_rounds(text, size, pat, threads, prefix, out, shown);
    });
    if (mapped) {
      const std::uint64_t at_end = size_now(fd, size);
      close(fd);
      if (!out.error() && (lost || at_end != size))
        return finish(report_changed(name, size, at_end));
      return finish(count ? outcome::found : outcome::none);
    }
    return false;
  }
  std::uint64_t count = 0;
  int error = 0;
  bool lost = false;
  // Pieces of 256 MiB through a stream searcher on every thread, so that progress can be shown.
  const bool whole =
      with_mapping(fd, size, &lost,
                   [&](const char* text) {
                     seekpat_lib::stream_searcher stream(pat, o.threads);
                     const std::uint64_t step = 256u << 20;
                     for (std::uint64_t at = 0; at < size; at += step) {
                       count += stream.feed_count(
                           text + at, static_cast<std::size_t>(std::min(size - at, step)));
                       shown.update(stream.offset());
                     }
                   })
          ? !lost
          : count_in_parts(fd, size, pat, threads, shown, &count, &error);
  const std::uint64_t at_end = size_now(fd, size);
  close(fd);
  if (!whole && error) {
    std::fprintf(stderr, "seekpat: %s: %s\n", name.c_str(), std::strerror(error));
    return finish(outcome::failed);
  }
  out.line(prefix, count);
  if (!whole || at_end != size)
    return finish(report_changed(name, size, at_end));
  return finish(count ? outcome::found : outcome::none);
}
} // namespace

outcome search_input(const options& o, const seekpat_lib::pattern& pat, const std::string& arg,
                     bool named, char* buf, std::size_t buf_size, output& out) {
  const bool is_stdin = arg == "-";
  const std::string name = is_stdin ? stdin_name : arg;
  const int fd = is_stdin ? 0 : open(arg.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int e = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno;
    std::fprintf(stderr, "seekpat: %s: %s\n", name.c_str(), std::strerror(e));
    if (fd > 0)
      close(fd);
    return outcome::failed;
  }
  const bool regular = S_ISREG(st.st_mode);
  if (regular)
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  const std::uint64_t size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  const std::string prefix = named ? name + ":" : "";
  progress shown(!o.quiet && isatty(2), name, size);
  auto changed = [&](std::uint64_t at_end) { return report_changed(name, size, at_end); };
  outcome done = outcome::none;
  if (regular && size >= (8u << 20) && !o.quiet &&
      search_in_place(fd, size, o, pat, name, prefix, out, shown, &done))
    return done;
  seekpat_lib::stream_searcher stream(pat, o.threads);
  std::uint64_t count = 0;
  bool stop = false;
  int read_error = 0;
  // Regular files in large blocks, each searched on every core (which pays from a few MiB on);
  // pipes and devices in blocks that stay in cache, with a larger pipe buffer where allowed.
  if (!regular) {
    buf_size = buf_size < (256u << 10) ? buf_size : 256u << 10;
    if (S_ISFIFO(st.st_mode))
      fcntl(fd, F_SETPIPE_SZ, 1 << 20); // a hint: errors ignored
  }
  while (!stop) {
    std::size_t got = 0;
    while (got < buf_size) {
      const ssize_t k = read(fd, buf + got, buf_size - got);
      if (k < 0 && errno == EINTR)
        continue;
      if (k < 0)
        read_error = errno;
      if (k <= 0)
        break;
      got += static_cast<std::size_t>(k);
    }
    if (got == 0)
      break;
    if (o.quiet) {
      stream.feed(buf, got, [&](std::uint64_t) {
        ++count;
        return false;
      });
      stop = count > 0;
    } else if (o.offsets) {
      stream.feed(buf, got, [&](std::uint64_t x) {
        ++count;
        out.line(prefix, x);
        return out.error() == 0;
      });
      stop = out.error() != 0;
    } else {
      count += stream.feed_count(buf, got);
    }
    shown.update(stream.offset());
    if (read_error)
      break;
  }
  if (!is_stdin)
    close(fd);
  if (read_error) {
    std::fprintf(stderr, "seekpat: %s: %s\n", name.c_str(), std::strerror(read_error));
    return outcome::failed;
  }
  if (!o.quiet && !o.offsets)
    out.line(prefix, count);
  // A regular file that changed size while it was read: the count covers the bytes read. (Files
  // that report no size, as under /proc, are read to their end.)
  if (regular && size && !stop && stream.offset() != size)
    return changed(stream.offset());
  return count ? outcome::found : outcome::none;
}
} // namespace seekpat_cli
