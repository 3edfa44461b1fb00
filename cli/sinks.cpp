#include "sinks.h"

#include "terminal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace seekpat_cli {
namespace {

// Inputs from this size on are searched in place where they can be mapped: below it, reading is
// as fast and maps nothing.
constexpr std::uint64_t in_place_min = 8u << 20;

// One line on standard error for an input that changed while it was searched; an error.
outcome report_changed(const input& in, std::uint64_t at_end) {
  complain(in.name + ": file changed while it was searched (" + std::to_string(in.size) +
           " bytes when opened, " + std::to_string(at_end) + " at the end)");
  return outcome::failed;
}

// Lists every occurrence in the mapped text[0, size) in order: pieces of 1 MiB in rounds, each
// listed and formatted on the thread that searched it into a buffer of its slot, written in
// order while the next round is searched (for_each_piece). So searching and formatting run on
// every thread, and writing beside them. Memory: a buffer per slot (eight per thread), each at
// most a line per position of a piece. Stops after the piece where writing fails; returns the
// number of lines listed.
std::uint64_t list_mapped(const char* text, std::uint64_t size, const seekpat_lib::pattern& pat,
                          unsigned threads, const std::string& prefix, output& out,
                          progress& shown) {
  std::vector<line_buffer> slots;
  std::uint64_t lines = 0;
  pat.for_each_piece(
      text, static_cast<std::size_t>(size), 1u << 20, [&](std::size_t k) { slots.resize(k); },
      [&](std::size_t slot, const std::size_t* at, std::size_t k) {
        line_buffer& into = slots[slot];
        for (std::size_t j = 0; j < k; ++j)
          into.line(prefix, at[j]);
      },
      [&](std::size_t slot, std::size_t end) {
        line_buffer& b = slots[slot];
        out.put(b.b.data(), b.used);
        lines += b.lines;
        b.used = 0;
        b.lines = 0;
        shown.update(end);
        return out.error() == 0;
      },
      threads);
  return lines;
}

// Counts the occurrences in the mapped text[0, size): in one call, or in pieces of 256 MiB where
// progress is shown.
std::uint64_t count_mapped(const char* text, std::uint64_t size, const seekpat_lib::pattern& pat,
                           unsigned threads, progress& shown) {
  if (!shown.shown())
    return pat.count(text, static_cast<std::size_t>(size), threads);
  seekpat_lib::stream_searcher stream(pat, threads);
  std::uint64_t count = 0;
  const std::uint64_t step = 256u << 20;
  for (std::uint64_t at = 0; at < size; at += step) {
    count += stream.feed_count(text + at, static_cast<std::size_t>(std::min(size - at, step)));
    shown.update(stream.offset());
  }
  return count;
}

// A large sized input searched in place: counted or its offsets listed from its mapping. False,
// with nothing done, where it cannot be mapped.
bool search_in_place(const input& in, const options& o, const seekpat_lib::pattern& pat,
                     const std::string& prefix, output& out, progress& shown, outcome* done) {
  std::uint64_t count = 0;
  bool lost = false;
  const bool mapped = with_mapping(in, &lost, [&](const char* text) {
    count = o.offsets ? list_mapped(text, in.size, pat, o.threads, prefix, out, shown)
                      : count_mapped(text, in.size, pat, o.threads, shown);
  });
  if (!mapped)
    return false;
  if (!o.offsets)
    out.line(prefix, count);
  std::uint64_t at_end = 0;
  const bool changed = changed_since_open(in, &at_end);
  *done = out.error()         ? outcome::failed
          : (lost || changed) ? report_changed(in, at_end)
          : count             ? outcome::found
                              : outcome::none;
  return true;
}

// A stream, or a file read in blocks: each block searched as soon as it is read. Output still
// waiting in its buffer goes out before the tool waits on a stream, so that what was found shows
// while the stream is quiet.
outcome search_blocks(const input& in, const options& o, const seekpat_lib::pattern& pat,
                      const std::string& prefix, output& out, read_block& block, progress& shown) {
  std::size_t cap = 0;
  char* buf = block.get(block_size_for(in), &cap);
  seekpat_lib::stream_searcher stream(pat, o.threads);
  std::uint64_t count = 0;
  bool stop = false;
  auto idle = [](void* ctx) {
    output& w = *static_cast<output*>(ctx);
    if (w.pending())
      w.flush();
  };
  int read_error = 0;
  while (!stop) {
    const long got = read_some(in, buf, cap, idle, &out);
    if (got < 0)
      read_error = errno;
    if (got <= 0)
      break;
    const auto n = static_cast<std::size_t>(got);
    if (o.quiet) {
      stream.feed(buf, n, [&](std::uint64_t) {
        ++count;
        return false;
      });
      stop = count > 0;
    } else if (o.offsets) {
      stream.feed(buf, n, [&](std::uint64_t x) {
        ++count;
        out.line(prefix, x);
        return out.error() == 0;
      });
      stop = out.error() != 0;
    } else {
      count += stream.feed_count(buf, n);
    }
    shown.update(stream.offset());
  }
  if (read_error) {
    complain(in.name + ": " + std::strerror(read_error));
    return outcome::failed;
  }
  if (!o.quiet && !o.offsets)
    out.line(prefix, count);
  // A sized file that changed while it was read: the count covers the bytes read. (A stop ends
  // the reading early, on purpose.)
  std::uint64_t at_end = 0;
  if (in.sized && !stop && (stream.offset() != in.size || changed_since_open(in, &at_end)))
    return report_changed(in, stream.offset() != in.size ? stream.offset() : at_end);
  return count ? outcome::found : outcome::none;
}

} // namespace

outcome search_input(const input& in, const options& o, const seekpat_lib::pattern& pat,
                     const std::string& prefix, output& out, read_block& block,
                     std::uint64_t* consumed) {
  *consumed = 0;
  progress shown(!o.quiet && isatty(2) == 1, in.name, in.sized ? in.size : 0);
  outcome done = outcome::none;
  if (in.sized && in.size >= in_place_min && !o.quiet &&
      search_in_place(in, o, pat, prefix, out, shown, &done)) {
    *consumed = in.size;
    return done;
  }
  return search_blocks(in, o, pat, prefix, out, block, shown);
}

} // namespace seekpat_cli
