// gen_text english MIB FILE: writes MIB MiB of deterministic English-like text to FILE.
#include "textgen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "english") != 0 || std::atoi(argv[2]) <= 0) {
    std::fprintf(stderr, "usage: %s english MIB FILE\n", argv[0]);
    return 2;
  }
  const std::size_t n = static_cast<std::size_t>(std::atoi(argv[2])) << 20;
  std::vector<char> buf(n);
  textgen::english(buf.data(), n, 42);
  FILE* f = std::fopen(argv[3], "wb");
  if (f == nullptr || std::fwrite(buf.data(), 1, n, f) != n || std::fclose(f) != 0) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
