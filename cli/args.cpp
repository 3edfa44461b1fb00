#include "args.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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
    "With several files each line starts with the file's name and a colon. Standard input is\n"
    "searched from where it stands, and offsets count from there.\n"
    "Exit status: 0 when PATTERN occurs (with -q, also where another input failed), 1 when it\n"
    "does not, 2 on any error.\n";

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
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  int error = fd < 0 ? errno : fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  std::string bytes;
  char buf[65536];
  while (error == 0) {
    const ssize_t k = read(fd, buf, sizeof buf);
    if (k < 0 && errno == EINTR)
      continue;
    if (k < 0)
      error = errno;
    if (k <= 0)
      break;
    bytes.append(buf, static_cast<std::size_t>(k));
  }
  if (fd >= 0)
    close(fd);
  if (error)
    throw usage_error{path + ": " + std::strerror(error)};
  return bytes;
}

bool thread_count(const std::string& digits, unsigned* n) {
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long long v = std::stoull(digits);
  if (v > UINT_MAX)
    return false;
  *n = static_cast<unsigned>(v);
  return true;
}

options parse(int argc, const char* const* argv) {
  options o;
  bool only_operands = false, have_pattern = false, hex = false;
  std::vector<std::string> operands;
  // The value of an option: what follows it in its own argument, else the next argument.
  auto value = [&](int& a, const std::string& option, const std::string& rest) {
    if (!rest.empty())
      return rest;
    if (a + 1 >= argc)
      throw usage_error{"option " + option + " needs a value"};
    return std::string(argv[++a]);
  };
  auto set = [&](char letter, const std::string& v) {
    if (letter == 'e') {
      o.pattern = v;
      have_pattern = true;
    } else if (letter == 'f') {
      o.pattern = pattern_file(v);
      have_pattern = true;
    } else if (!thread_count(v, &o.threads)) {
      throw usage_error{"invalid thread count '" + v + "'"};
    }
  };
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
    } else if (arg == "--") {
      only_operands = true;
    } else if (arg[1] == '-') {
      const std::size_t eq = arg.find('=');
      const std::string name = arg.substr(0, eq);
      if (arg == "--help" || arg == "--version") {
        o.what = arg == "--help" ? options::action::help : options::action::version;
        return o;
      } else if (arg == "--offsets") {
        o.offsets = true;
      } else if (arg == "--quiet" || arg == "--silent") {
        o.quiet = true;
      } else if (arg == "--hex") {
        hex = true;
      } else if (name == "--threads") {
        set('j', eq == std::string::npos ? value(a, name, "") : arg.substr(eq + 1));
      } else {
        throw usage_error{"unknown option '" + arg + "'"};
      }
    } else {
      for (std::size_t k = 1; k < arg.size(); ++k) {
        const char c = arg[k];
        if (c == 'b') {
          o.offsets = true;
        } else if (c == 'q') {
          o.quiet = true;
        } else if (c == 'x') {
          hex = true;
        } else if (c == 'e' || c == 'f' || c == 'j') { // takes the rest of the argument
          set(c, value(a, std::string("-") + c, arg.substr(k + 1)));
          break;
        } else {
          throw usage_error{"unknown option '-" + std::string(1, c) + "'"};
        }
      }
    }
  }
  // With -e or -f every operand is a file; else the first is the pattern.
  if (!have_pattern) {
    if (operands.empty())
      throw usage_error{"no pattern"};
    o.pattern = operands.front();
    operands.erase(operands.begin());
  }
  o.files = operands;
  if (hex) {
    std::string bytes;
    if (!from_hex(o.pattern, bytes))
      throw usage_error{"malformed hex pattern '" + o.pattern + "'"};
    o.pattern = bytes;
  }
  if (o.pattern.empty())
    throw usage_error{"empty pattern"};
  if (o.files.empty())
    o.files.push_back("-");
  return o;
}

} // namespace seekpat_cli
