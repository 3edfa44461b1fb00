// Where the bytes come from. A regular file of trusted size may be searched in place, mapped,
// with a guard against a file that shrinks under the search; everything else (pipes, terminals,
// devices, /proc and /sys, small files) is read in blocks, each searched as soon as it comes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace seekpat_cli {

// One input, open.
struct input {
  std::string name; // as messages and line prefixes show it
  int fd = -1;
  bool is_stdin = false;
  bool sized = false; // a regular file whose size says what reading it gives (not /proc or /sys)
  bool fifo = false;
  std::uint64_t start = 0; // where its bytes begin: standard input's position in a file
  std::uint64_t size = 0;  // sized: the bytes from start to the end when it was opened
  struct stat st = {};     // as it was opened
};

// Opens arg ("-": standard input, from where it stands) into *in. An input that cannot be
// searched gets one line on standard error and false: one that cannot be opened or is a
// directory, and one that is the regular file `output` (when given), which writing would grow
// under its own search.
bool open_input(const std::string& arg, const struct stat* output, input* in);

// Closes a named file; standard input stays open for a later "-", moved past what was searched
// in place (`consumed` bytes from in.start) as a read would have moved it.
void close_input(input& in, std::uint64_t consumed);

// Whether a sized input changed while it was searched: a size now (*at_end) other than when it
// was opened, or a write since (its modification time). An in-place write that keeps the time
// (the clock's grain, or a writer that sets it back) goes unseen.
bool changed_since_open(const input& in, std::uint64_t* at_end);

// Maps the in.size bytes at in.start and runs search(text) on them; false, with nothing run,
// where it cannot be mapped. Pages that vanish under the search (the file shrank: a load from
// them raises SIGBUS, on whichever thread makes it) read as zeros, and *lost says so.
bool with_mapping(const input& in, bool* lost, void (*search)(void*, const char*), void* ctx);
template <class F> bool with_mapping(const input& in, bool* lost, F&& search) {
  using f_t = std::remove_reference_t<F>;
  return with_mapping(
      in, lost, [](void* ctx, const char* text) { (*static_cast<f_t*>(ctx))(text); },
      static_cast<void*>(&search));
}

// A block to read into, held from input to input: as large as an input can use, never larger
// than the machine gives.
class read_block {
public:
  // At least 4 KiB and at most `want` bytes (want >= 4096) where memory allows: each failed
  // allocation halves the request. Throws std::bad_alloc where not even 4 KiB can be had.
  char* get(std::size_t want, std::size_t* got);

private:
  std::unique_ptr<char[]> buf_;
  std::size_t size_ = 0;
};

// The block size for an input: a sized file's size up to 32 MiB (a block keeps every core busy),
// 256 KiB for a stream (a block stays in cache).
std::size_t block_size_for(const input& in);

// Reads the input's next bytes into buf[0, cap): a sized file until buf is full or the file
// ends; anything else as soon as some bytes came and no more are there yet (so a block holds
// what was ready), having called idle(ctx) first when none were there. Returns how many it read, 0
// at the end, -1 with errno on an error.
long read_some(const input& in, char* buf, std::size_t cap, void (*idle)(void*), void* ctx);

} // namespace seekpat_cli
