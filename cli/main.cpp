// seekpat: counts or lists every occurrence of a byte string, overlapping ones included, in files
// of any size and in standard input, on every core. A large regular file is searched in place,
// mapped, its offsets listed and formatted on every thread; a file that shrinks under the search
// is reported, never a fault. Pipes, terminals, devices, small files and files that cannot be
// mapped are read in blocks, each searched as it comes. No input is ever held whole. The rooms:
// args (the command line), sources (opening, mapping, reading), sinks (count, offsets, status),
// terminal (messages and progress), output.
#include "args.h"
#include "output.h"
#include "seekpat_version.h"
#include "sinks.h"
#include "sources.h"
#include "terminal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

using namespace seekpat_cli;

namespace {

// --help and --version: status 2 where the text could not be written.
int print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
}

} // namespace

int main(int argc, char** argv) {
  options o;
  try {
    o = parse(argc, argv);
  } catch (const usage_error& e) {
    std::fprintf(stderr, "seekpat: %s\n%sTry 'seekpat --help' for more information.\n",
                 e.message.c_str(), usage_line);
    return 2;
  }
  if (o.what == options::action::help)
    return print(std::string(usage_line) + help_text);
  if (o.what == options::action::version)
    return print(std::string("seekpat ") + SEEKPAT_VERSION + "\n");
  output out(1);
  bool found = false, failed = false;
  try {
    const seekpat_lib::pattern pat(o.pattern);
    // A regular file as standard output: searching it would grow it under its own search.
    struct stat out_st;
    const bool out_is_file = !o.quiet && fstat(1, &out_st) == 0 && S_ISREG(out_st.st_mode);
    if (!o.quiet && isatty(2) == 1)
      clear_progress_on_signals();
    read_block block;
    for (const std::string& f : o.files) {
      input in;
      std::uint64_t consumed = 0;
      const outcome r = open_input(f, out_is_file ? &out_st : nullptr, &in)
                            ? search_input(in, o, pat, o.files.size() > 1 ? in.name + ":" : "", out,
                                           block, &consumed)
                            : outcome::failed;
      close_input(in, consumed);
      found |= r == outcome::found;
      failed |= r == outcome::failed;
      if ((o.quiet && found) || out.error())
        break;
    }
  } catch (const std::bad_alloc&) {
    // What was written before is right and in order; the rest is not there, and this says so.
    out.flush();
    complain("out of memory");
    return 2;
  }
  out.flush();
  if (out.error()) {
    complain(std::string("write error: ") + std::strerror(out.error()));
    return 2;
  }
  // As grep -q: an occurrence found is status 0, whatever failed beside it.
  if (o.quiet && found)
    return 0;
  return failed ? 2 : found ? 0 : 1;
}
