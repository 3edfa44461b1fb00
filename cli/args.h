// The command line: options, the pattern as given (raw, hex or a file's bytes), usage errors.
#pragma once

#include <string>
#include <vector>

namespace seekpat_cli {

extern const char usage_line[];
extern const char help_text[];

struct options {
  std::string pattern;
  bool have_pattern = false, offsets = false, quiet = false, hex = false;
  unsigned threads = 0;
  std::vector<std::string> files;
};

[[noreturn]] void usage_error(const std::string& message);

// The bytes of a string of hexadecimal digits, two per byte; false when it is not one.
bool from_hex(const std::string& digits, std::string& bytes);

// The whole content of the file at path, for -f; exits with a usage error when it cannot be read.
std::string pattern_file(const std::string& path);

options parse(int argc, char** argv);

} // namespace seekpat_cli
