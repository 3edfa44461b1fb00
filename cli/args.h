// The command line: options, operands, and the pattern as given (raw bytes, hex, or a file's
// bytes). Options follow grep's habits: flags bundle (-bq), a value follows its letter (-j2,
// -j 2) or a long name (--threads=2, --threads 2), and "--" ends the options.
#pragma once

#include <string>
#include <vector>

namespace seekpat_cli {

extern const char usage_line[];
extern const char help_text[];

struct options {
  enum class action { search, help, version };
  action what = action::search;
  std::string pattern; // the bytes to find (hex decoded), never empty for a search
  bool offsets = false, quiet = false;
  unsigned threads = 0;           // a ceiling (0: every core)
  std::vector<std::string> files; // "-" is standard input; never empty for a search
};

// A command line that cannot be run: the tool says "seekpat: " message, then how it is used, and
// ends with status 2.
struct usage_error {
  std::string message;
};

// The command line argv[1, argc). Throws usage_error.
options parse(int argc, const char* const* argv);

// The bytes of a string of hexadecimal digits (either case), two per byte; false when it is
// not one.
bool from_hex(const std::string& digits, std::string& bytes);

// The whole content of the file at path, for -f. Throws usage_error ("PATH: why") where it
// cannot be read.
std::string pattern_file(const std::string& path);

// The value of -j: decimal digits alone, fitting an unsigned; false otherwise.
bool thread_count(const std::string& digits, unsigned* n);

} // namespace seekpat_cli
