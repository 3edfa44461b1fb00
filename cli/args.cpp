#include "args.h"

#include "seekpat_version.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace seekpat_cli {

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

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "seekpat: %s\n%sTry 'seekpat --help' for more information.\n",
               message.c_str(), usage_line);
  std::exit(2);
}

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
} // namespace seekpat_cli
