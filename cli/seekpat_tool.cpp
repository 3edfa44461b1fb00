// seekpat: counts or lists every occurrence of a byte string, overlapping ones included, in files
// of any size and in standard input, on every core. A large regular file is searched in place,
// mapped (where it cannot be mapped, every thread reads a part of its own to count it), its
// offsets listed and formatted on every thread (list_in_rounds); a file that shrinks under the
// search is reported, never a fault (see on_sigbus). Pipes, devices and small files are read in
// blocks and fed to a stream searcher. No input is ever held whole.
#include "seekpat.hpp"
#include "seekpat_version.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

const char usage_line[] = "Usage: seekpat [OPTIONS] PATTERN [FILE...]\n";

const char help_text[] =
    "Counts every occurrence of PATTERN, a string of bytes, in each FILE (standard input when\n"
    "there is none, or for -), overlapping occurrences included: \"aa\" occurs 3 times in "
    "\"aaaa\".\n"
    "\n"
    "Options:\n"
    "  -b, --offsets      print the byte offset of every occurrence, one per line, in order\n"
    "  -q, --quiet        print nothing; the exit status says whether PATTERN occurs\n"
    "  -x, --hex          PATTERN is hexadecimal digits, two per byte (504b0304)\n"
    "  -e PATTERN         the pattern, also one that starts with -\n"
    "  -f FILE            the pattern is the bytes of FILE, all of them\n"
    "  -j, --threads N    search on at most N threads (0, the default: every core)\n"
    "      --help         print this help\n"
    "      --version      print the version\n"
    "\n"
    "With several files each line starts with the file's name and a colon.\n"
    "Exit status: 0 when PATTERN occurs, 1 when it does not, 2 on any error.\n";

const char stdin_name[] = "(standard input)";

// Writes v in decimal and a newline at dst, which has room for 21 bytes; returns how many it
// wrote. Listing offsets, this is where the time goes: the digits go straight to dst, two at a
// time from the last, once their number is known (a copy from a scratch buffer would load what
// was just stored in pieces, which the processor cannot forward), and eight at a time in four
// independent pairs, so that the divisions do not wait on one another.
inline std::size_t decimal_line(char* dst, std::uint64_t v) {
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233"
      "34353637383940414243444546474849505152535455565758596061626364656667"
      "6869707172737475767778798081828384858687888990919293949596979899";
  static constexpr std::uint64_t pow10[20] = {1ull,
                                              10ull,
                                              100ull,
                                              1000ull,
                                              10000ull,
                                              100000ull,
                                              1000000ull,
                                              10000000ull,
                                              100000000ull,
                                              1000000000ull,
                                              10000000000ull,
                                              100000000000ull,
                                              1000000000000ull,
                                              10000000000000ull,
                                              100000000000000ull,
                                              1000000000000000ull,
                                              10000000000000000ull,
                                              100000000000000000ull,
                                              1000000000000000000ull,
                                              10000000000000000000ull};
  // The digits: t = floor(log10(2^bits)) (1233 / 4096 just above log10 2), one more when v
  // reaches 10^t; 0 has one.
  const unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v | 1));
  const std::size_t t = bits * 1233u >> 12;
  const std::size_t len = std::max<std::size_t>(1, t + (v >= pow10[t]));
  char* at = dst + len;
  auto two = [&](std::uint32_t x) {
    at -= 2;
    std::memcpy(at, pairs + 2 * x, 2);
  };
  while (v >= 100000000) {
    const auto low = static_cast<std::uint32_t>(v % 100000000);
    v /= 100000000;
    const std::uint32_t a = low / 10000, b = low % 10000;
    two(b % 100);
    two(b / 100);
    two(a % 100);
    two(a / 100);
  }
  auto w = static_cast<std::uint32_t>(v);
  for (; w >= 100; w /= 100)
    two(w % 100);
  if (w >= 10)
    two(w);
  else
    *--at = static_cast<char>('0' + w);
  dst[len] = '\n';
  return len + 1;
}

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
  void write_all(const char* s, std::size_t n) {
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

  static constexpr std::size_t size = 1u << 20;
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  int error_ = 0;
};

struct options {
  std::string pattern;
  bool have_pattern = false, offsets = false, quiet = false, hex = false;
  unsigned threads = 0;
  std::vector<std::string> files;
};

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "seekpat: %s\n%sTry 'seekpat --help' for more information.\n",
               message.c_str(), usage_line);
  std::exit(2);
}

// The bytes of a string of hexadecimal digits, two per byte; false when it is not one.
bool from_hex(const std::string& digits, std::string& bytes) {
  auto value = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  if (digits.size() % 2)
    return false;
  bytes.clear();
  for (std::size_t k = 0; k < digits.size(); k += 2) {
    const int hi = value(digits[k]), lo = value(digits[k + 1]);
    if (hi < 0 || lo < 0)
      return false;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

// The whole content of the file at path, for -f; exits with a usage error when it cannot be read.
std::string pattern_file(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
    usage_error(path + ": " + std::strerror(fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : errno));
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t k = read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0)
      usage_error(path + ": " + std::strerror(errno));
    if (k == 0)
      break;
    bytes.append(buf, static_cast<std::size_t>(k));
  }
  close(fd);
  return bytes;
}

options parse(int argc, char** argv) {
  options o;
  bool only_operands = false;
  std::string pattern_arg;
  bool pattern_given = false;
  auto value_of = [&](int& a, const std::string& arg, std::size_t skip) {
    if (arg.size() > skip) // -jN, --threads=N
      return arg.substr(skip + (arg[skip] == '=' ? 1 : 0));
    if (a + 1 >= argc)
      usage_error("option " + arg + " needs a value");
    return std::string(argv[++a]);
  };
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      if (!pattern_given && !o.have_pattern) {
        pattern_arg = arg;
        pattern_given = true;
      } else {
        o.files.push_back(arg);
      }
    } else if (arg == "--") {
      only_operands = true;
    } else if (arg == "--help") {
      std::fputs(usage_line, stdout);
      std::fputs(help_text, stdout);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2);
    } else if (arg == "--version") {
      std::printf("seekpat %s\n", SEEKPAT_VERSION);
      std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2);
    } else if (arg == "-b" || arg == "--offsets") {
      o.offsets = true;
    } else if (arg == "-q" || arg == "--quiet") {
      o.quiet = true;
    } else if (arg == "-x" || arg == "--hex") {
      o.hex = true;
    } else if (arg.compare(0, 2, "-e") == 0) {
      o.pattern = value_of(a, arg, 2);
      o.have_pattern = true;
    } else if (arg.compare(0, 2, "-f") == 0) {
      o.pattern = pattern_file(value_of(a, arg, 2));
      o.have_pattern = true;
    } else if (arg.compare(0, 2, "-j") == 0 || arg.compare(0, 9, "--threads") == 0) {
      const std::string v = value_of(a, arg, arg[1] == 'j' ? 2 : 9);
      char* end = nullptr;
      errno = 0;
      const unsigned long n = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end || errno || v[0] == '-' || n > 4096)
        usage_error("invalid thread count '" + v + "'");
      o.threads = static_cast<unsigned>(n);
    } else {
      usage_error("unknown option '" + arg + "'");
    }
  }
  if (o.have_pattern && pattern_given) // -e or -f: the first operand is a file
    o.files.insert(o.files.begin(), pattern_arg);
  else if (pattern_given)
    o.pattern = pattern_arg;
  else if (!o.have_pattern)
    usage_error("no pattern");
  if (o.hex) {
    std::string bytes;
    if (!from_hex(o.pattern, bytes))
      usage_error("malformed hex pattern '" + o.pattern + "'");
    o.pattern = bytes;
  }
  if (o.pattern.empty())
    usage_error("empty pattern");
  if (o.files.empty())
    o.files.push_back("-");
  return o;
}

// A line on standard error, while a search runs longer than a second and standard error is a
// terminal: bytes done, rate, and time left where the size is known.
class progress {
public:
  progress(bool shown, const std::string& name, std::uint64_t size)
      : shown_(shown), name_(name), size_(size), start_(clock::now()), last_(start_) {}
  ~progress() {
    if (drawn_)
      std::fputs("\r\033[K", stderr);
  }
  void update(std::uint64_t done) {
    if (!shown_)
      return;
    const clock::time_point now = clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < 1 || std::chrono::duration<double>(now - last_).count() < 0.25)
      return;
    last_ = now;
    const double rate = static_cast<double>(done) / elapsed;
    std::fprintf(stderr, "\r\033[Kseekpat: %s: %.1f", name_.c_str(),
                 static_cast<double>(done) / 1e9);
    if (size_)
      std::fprintf(stderr, " of %.1f", static_cast<double>(size_) / 1e9);
    std::fprintf(stderr, " GB, %.1f GB/s", rate / 1e9);
    if (size_ > done && rate > 0)
      std::fprintf(stderr, ", %.0f s left", static_cast<double>(size_ - done) / rate);
    drawn_ = true;
  }

private:
  using clock = std::chrono::steady_clock;
  bool shown_, drawn_ = false;
  std::string name_;
  std::uint64_t size_;
  clock::time_point start_, last_;
};

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

// Searches a regular file of `size` bytes in place, mapped: search(text) with the file at text,
// no copy, so faster than reading it into buffers (bench/tool.txt, from scripts/bench_tool.sh).
// Returns false when the file cannot be mapped (the caller then reads it); sets *lost when pages
// went missing under the search.
template <class F> bool with_mapping(int fd, std::uint64_t size, bool* lost, F&& search) {
  void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (m == MAP_FAILED)
    return false;
  madvise(m, size, MADV_SEQUENTIAL); // advice only: errors ignored
  struct sigaction sa = {}, old = {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  mapped_lost = false;
  mapped_lo = reinterpret_cast<std::uintptr_t>(m);
  mapped_hi = reinterpret_cast<std::uintptr_t>(m) + size;
  sigaction(SIGBUS, &sa, &old);
  search(static_cast<const char*>(m));
  sigaction(SIGBUS, &old, nullptr);
  mapped_lo = mapped_hi = 0;
  munmap(m, size);
  *lost = mapped_lost;
  return true;
}

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

enum class outcome { none, found, failed };

// The size of the open file fd now, or `was` where it cannot be told.
std::uint64_t size_now(int fd, std::uint64_t was) {
  struct stat now;
  return fstat(fd, &now) == 0 ? static_cast<std::uint64_t>(now.st_size) : was;
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

// Searches one input: reads it in blocks, feeds them to a stream searcher and prints the count or
// the offsets. An input that cannot be read gets one line on standard error.
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

} // namespace

int main(int argc, char** argv) {
  const options o = parse(argc, argv);
  try {
    const seekpat_lib::pattern pat(o.pattern);
    // One block for every input: 32 MiB, so that a block keeps every core busy.
    const std::size_t buf_size = 32u << 20;
    const std::unique_ptr<char[]> buf(new char[buf_size]);
    output out;
    bool found = false, failed = false;
    for (const std::string& f : o.files) {
      const outcome r = search_input(o, pat, f, o.files.size() > 1, buf.get(), buf_size, out);
      found |= r == outcome::found;
      failed |= r == outcome::failed;
      if ((o.quiet && found) || out.error())
        break;
    }
    out.flush();
    if (out.error()) {
      std::fprintf(stderr, "seekpat: write error: %s\n", std::strerror(out.error()));
      return 2;
    }
    if (o.quiet && found)
      return 0;
    return failed ? 2 : found ? 0 : 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "seekpat: out of memory\n");
    return 2;
  }
}
