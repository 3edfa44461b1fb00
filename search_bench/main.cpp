// search_bench: loads a file, marks every occurrence of a pattern once with a plain sequential
// search and once with the parallel seekpat, times both and checks that the maps agree.
#include "search_bench.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc < 3) {
    printf("Usage: %s <input-file> <pattern-string>\n", argv[0]);
    return 1;
  }
  const char* in_path = argv[1];
  const char* pattern = argv[2];
  if (pattern[0] == '\0')
    panic("empty pattern");

  printf("Opening text file: %s\n", in_path);
  FILE* f = fopen(in_path, "rb");
  // A directory opens for reading on Linux but holds no text; refuse it as unloadable rather
  // than report it as an empty file.
  struct stat st;
  if (f == nullptr || (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)))
    panic("failed to load input text file");

  int n = get_file_size(f);
  // A size of -1 (the file cannot be positioned) is an allocation no allocator can satisfy.
  // The text block lives until the process exits; held in a static it stays reachable to the
  // end, so leak checkers do not mistake it for a leak.
  static char* text;
  text = n < 0 ? nullptr : static_cast<char*>(malloc(static_cast<size_t>(n)));
  if (text == nullptr)
    panic("failed to allocate text block");
  if (fread(text, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n))
    panic("failed to read text");
  // Files under /proc and character devices report a size of 0 whatever they hold: read them to
  // their end, or the search would report none of what they hold as a success. (A true empty
  // file reads nothing here.)
  if (n == 0)
    n = read_to_end(f, &text);
  printf("Loaded text file of %d bytes\n", n);
  fclose(f);

  // The preview never reads past the text: a shorter text is shown whole.
  printf("------\n");
  fwrite(text, 1, n < 256 ? static_cast<size_t>(n) : 256, stdout);
  printf(" [...] \n------\n");

  run_test(pattern, text, n, "Running test");
  // A report that could not be written (a full disk, a closed pipe, a closed standard output)
  // must not end as a success.
  if (fflush(stdout) != 0 || ferror(stdout))
    panic("failed to write output");
  return 0;
}
