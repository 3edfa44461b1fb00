// seekpat: counts or lists every occurrence of a byte string, overlapping ones included, in files
// of any size and in standard input, on every core. A large regular file is searched in place,
// mapped (where it cannot be mapped, every thread reads a part of its own to count it), its
// offsets listed and formatted on every thread (list_in_rounds); a file that shrinks under the
// search is reported, never a fault (see on_sigbus). Pipes, devices and small files are read in
// blocks and fed to a stream searcher. No input is ever held whole.
#include "args.h"
#include "output.h"
#include "sinks.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

using namespace seekpat_cli;

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
