// The seekpat command-line tool run as a user would: counts and offsets in files, standard input
// and pipes against the definition, files large enough to be read in parts on every thread with
// occurrences across the parts' bounds, every way of giving the pattern, every failure path with
// its message and exit status, the progress line on a terminal, and the README's sample run.
#include "reference.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string tool = SEEKPAT_TOOL_PATH;

void expect_out(const std::vector<std::string>& args, const std::string& out, int status,
                const run_options& o = {}) {
  const program_result r = run_program(args, o);
  EXPECT_EQ(r.out, out) << args.back();
  EXPECT_EQ(r.err, "") << args.back();
  EXPECT_EQ(r.status, status) << args.back();
}

run_options merged() {
  run_options o;
  o.merge_streams = true;
  return o;
}

void expect_error(const std::vector<std::string>& args, const std::string& out,
                  const std::string& err, int status = 2) {
  const program_result r = run_program(args);
  EXPECT_EQ(r.out, out) << args.back();
  EXPECT_EQ(r.err, err) << args.back();
  EXPECT_EQ(r.status, status) << args.back();
}

const std::string usage =
    "Usage: seekpat [OPTIONS] PATTERN [FILE...]\nTry 'seekpat --help' for more information.\n";

// Starts the tool with the given descriptors as its standard input, output and error.
pid_t spawn(const std::vector<std::string>& args, int in, int out, int err) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
      _exit(126);
    for (int fd = 3; fd < 64; ++fd)
      close(fd);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int exit_status(pid_t pid) {
  int st = -1;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Reads from fd until what was read ends with `until` (or the end); returns it all.
std::string read_until(int fd, const std::string& until) {
  std::string got;
  char c;
  while (
      (got.size() < until.size() || got.compare(got.size() - until.size(), until.size(), until)) &&
      read(fd, &c, 1) == 1)
    got += c;
  return got;
}

// A pseudo-terminal's two ends: the master to read, the slave's path to open.
struct terminal_pair {
  int master = -1;
  std::string slave;
  terminal_pair() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      std::abort();
    slave = ptsname(master);
  }
  ~terminal_pair() { close(master); }
  // What the terminal holds now, once its writers are gone.
  std::string rest() const {
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string shown;
    char buf[4096];
    for (ssize_t k; (k = read(master, buf, sizeof buf)) > 0;)
      shown.append(buf, static_cast<std::size_t>(k));
    return shown;
  }
};

} // namespace

TEST(SeekpatTool, CountsAndOffsetsEveryOccurrence) {
  const std::string a = file_with("a", std::string("aaaa the\0the\n", 13)),
                    b = file_with("b", "xx");
  expect_out({tool, "aa", a}, "3\n", 0);
  expect_out({tool, "zz", a}, "0\n", 1);
  expect_out({tool, "-b", "the", a}, "5\n9\n", 0);
  expect_out({tool, "aa", a, b}, a + ":3\n" + b + ":0\n", 0);
  expect_out({tool, "--offsets", "a", b, a}, a + ":0\n" + a + ":1\n" + a + ":2\n" + a + ":3\n", 0);
  // The pattern as hex, after -e (also one that starts with -), and from a file, NUL included.
  expect_out({tool, "-x", "00746865", a}, "1\n", 0);
  expect_out({tool, "-e", "-x", file_with("dash", "a-x-x")}, "2\n", 0);
  expect_out({tool, "-f", file_with("pat", std::string("e\0t", 3)), a}, "1\n", 0);
  expect_out({tool, "--", "-b", file_with("dash2", "-b")}, "1\n", 0);
  // Standard input, as a file, as "-", and through a pipe; quiet says only by its status.
  run_options in;
  in.stdin_path = a;
  expect_out({tool, "aa"}, "3\n", 0, in);
  expect_out({tool, "aa", "-", b}, "(standard input):3\n" + b + ":0\n", 0, in);
  expect_out({"/bin/sh", "-c", "printf 'abababa' | " + tool + " -b aba"}, "0\n2\n4\n", 0);
  expect_out({tool, "-q", "aa", a}, "", 0);
  expect_out({tool, "-q", "zz", a}, "", 1);
}

// Files of 8 MiB and more are read in parts, one per thread, and listed in chunks of 1 MiB:
// occurrences across every part's and chunk's bound, and at the file's ends.
TEST(SeekpatTool, LargeFilesReadInPartsMissNothing) {
  std::string text((9u << 20) + 5, 'b');
  const std::string pat = "needle in the haystack";
  for (unsigned parts : {2u, 3u, 7u})
    for (unsigned k = 1; k < parts;
         ++k) // from the last position before each bound of `parts` parts
      text.replace(text.size() / parts * k - 1, pat.size(), pat);
  for (std::size_t mib = 1; mib <= 9; ++mib) // a piece's last start, or inside its reach
    text.replace((mib << 20) - (mib % 2 ? 1 : 11), pat.size(), pat);
  text.replace(0, pat.size(), pat);
  text.replace(text.size() - pat.size(), pat.size(), pat);
  const std::string path = file_with("large", text);
  const std::size_t want = reference_positions(pat, text).size();
  for (const char* threads : {"1", "2", "3", "7", "0"})
    expect_out({tool, "-j", threads, pat, path}, std::to_string(want) + "\n", 0);
  std::string offsets;
  for (std::size_t x : reference_positions(pat, text))
    offsets += std::to_string(x) + "\n";
  for (const char* threads : {"1", "2", "3"})
    expect_out({tool, "-j", threads, "-b", pat, path}, offsets, 0);
  unlink(path.c_str());
}

// A sparse file past 2^32 bytes (its hole costs no disk): occurrences at its start, across the
// 2^32 mark and in its last bytes, counted and listed from the file (mapped, on every thread)
// and through a pipe (streamed).
TEST(SeekpatTool, FilesPastFourGigabytes) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "reading 4 GiB twice under ThreadSanitizer takes minutes";
#endif
  const std::string pat = "needle", path = temp_dir() + "/past-4-gib";
  const long long size = (1ll << 32) + 4096 + 3;
  const long long at[] = {0, (1ll << 32) - 3, size - 6};
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  std::string offsets;
  for (long long a : at) {
    ASSERT_EQ(pwrite(fd, pat.data(), pat.size(), a), static_cast<ssize_t>(pat.size()));
    offsets += std::to_string(a) + "\n";
  }
  close(fd);
  expect_out({tool, pat, path}, "3\n", 0);
  expect_out({tool, "-b", pat, path}, offsets, 0);
  expect_out({"/bin/sh", "-c", "cat '" + path + "' | '" + tool + "' -b " + pat}, offsets, 0);
  unlink(path.c_str());
}

// A file searched in place that shrinks under the search: no crash (a mapping past a file's end
// raises SIGBUS, on whichever thread reads there: the library's helpers too), the change reported
// with the size at the end. Truncated at several moments, counting and listing offsets on one
// thread, two and every core; each run either ends before or reports the change.
#ifndef SANITIZED // the sanitizers' own signal handling stays out of this
TEST(SeekpatTool, FilesThatShrinkWhileSearchedAreReported) {
  const std::string path = temp_dir() + "/shrinking";
  int reported = 0;
  for (int round = 0; round < 12; ++round) {
    const bool offsets = round % 2;
    const char* threads[] = {"1", "2", "0"};
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 512ll << 20), 0); // a hole: reads as zeros, costs no disk
    close(fd);
    const pid_t cutter = fork();
    if (cutter == 0) {
      usleep(static_cast<useconds_t>(2000 + 4000 * (round / 6)));
      _exit(truncate(path.c_str(), 4096) == 0 ? 0 : 1);
    }
    const program_result r =
        run_program({tool, "-j", threads[round / 2 % 3], offsets ? "-b" : "--", "x", path});
    int status = -1;
    waitpid(cutter, &status, 0);
    ASSERT_TRUE(r.status == 1 || r.status == 2) << r.status << " " << r.err;
    if (r.status == 2) {
      // Opened as the cut was under way, a file may show its new size and its old time: a
      // change too, of a file that had 4096 bytes when opened.
      const bool cut =
          r.err.find("(536870912 bytes when opened, 4096 at the end)") != std::string::npos;
      EXPECT_EQ(r.out, offsets ? "" : "0\n");
      EXPECT_TRUE(cut ||
                  r.err.find("(4096 bytes when opened, 4096 at the end)") != std::string::npos)
          << r.err;
      EXPECT_EQ(r.err.rfind("seekpat: " + path + ": file changed while it was searched (", 0), 0u)
          << r.err;
      reported += cut;
    }
  }
  EXPECT_GT(reported, 0) << "no run was cut short; the test did not test";
  unlink(path.c_str());
}
#endif

// Standard input in a file is searched from where it stands, offsets counted from there, whether
// it is read (small) or searched in place (large); a second "-" finds it at its end; -q at its
// end is "not found".
TEST(SeekpatTool, StandardInputFromWhereItStands) {
  std::string large((9u << 20) + 100, 'x');
  for (std::size_t at : {std::size_t(0), std::size_t(5u << 20), large.size() - 6})
    large.replace(at, 6, "needle");
  const std::string paths[] = {file_with("in-small", "needle at 0, needle at 13"),
                               file_with("in-large", large)};
  const std::string skips[] = {"3", "4194307"};
  const std::string counts[] = {"1\n", "2\n"}, offsets[] = {"10\n", "1048573\n5242971\n"};
  for (int k = 0; k < 2; ++k) {
    const std::string skip = "dd bs=" + skips[k] + " count=1 of=/dev/null status=none; ";
    const std::string in = " < '" + paths[k] + "'";
    expect_out({"/bin/sh", "-c", "{ " + skip + tool + " needle; }" + in}, counts[k], 0);
    expect_out({"/bin/sh", "-c", "{ " + skip + tool + " -b needle; }" + in}, offsets[k], 0);
    expect_out({"/bin/sh", "-c", tool + " needle - -" + in},
               "(standard input):" + std::to_string(k + 2) + "\n(standard input):0\n", 0);
    expect_out({"/bin/sh", "-c", "{ cat >/dev/null; " + tool + " -q needle; }" + in}, "", 1);
  }
}

// Files of /proc and /sys say a size (0, a page) that is not what reading them gives: read to
// their end, they are no changed files.
TEST(SeekpatTool, PseudoFilesReadToTheirEnd) {
  int tried = 0;
  for (const char* path : {"/proc/version", "/sys/kernel/mm/transparent_hugepage/enabled",
                           "/sys/devices/system/cpu/online"}) {
    const std::string text = slurp(path);
    if (text.empty())
      continue;
    const std::string pat = text.substr(0, 1);
    const std::size_t want = reference_positions(pat, text).size();
    expect_out({tool, pat, path}, std::to_string(want) + "\n", 0);
    ++tried;
  }
  EXPECT_GT(tried, 0) << "no file of /proc or /sys could be read";
}

// A live stream is answered as its data comes, before it ends: -q returns at the first
// occurrence, and offsets go out while the writer waits (a tool that waited for more input or
// for a full block would never return here; the ctest timeout catches that).
TEST(SeekpatTool, LiveStreamsAnsweredAsDataComes) {
  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  const int err = open("/dev/null", O_WRONLY);
  pid_t child = spawn({tool, "-q", "needle"}, in[0], out[1], err);
  ASSERT_EQ(write(in[1], "xx needle xx\n", 13), 13);
  EXPECT_EQ(exit_status(child), 0); // the writer is still there
  close(in[0]);
  close(in[1]);
  ASSERT_EQ(pipe(in), 0);
  child = spawn({tool, "-b", "needle"}, in[0], out[1], err);
  close(in[0]);
  close(out[1]);
  ASSERT_EQ(write(in[1], "needle\n", 7), 7);
  EXPECT_EQ(read_until(out[0], "\n"), "0\n");
  ASSERT_EQ(write(in[1], "a needle\n", 9), 9);
  EXPECT_EQ(read_until(out[0], "\n"), "9\n");
  close(in[1]);
  EXPECT_EQ(read_until(out[0], "(the end)"), "");
  EXPECT_EQ(exit_status(child), 0);
  close(out[0]);
  close(err);
}

// The progress line never runs into what follows it on the same terminal: offsets written there
// and a signal that ends the tool both clear it first.
TEST(SeekpatTool, ProgressLineClearedBeforeOutputAndOnSignals) {
  for (bool signalled : {false, true}) {
    terminal_pair term;
    const int tty = open(term.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(tty, 0);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    const pid_t child = spawn({tool, "-b", "needle"}, in[0], tty, tty);
    close(in[0]);
    close(tty);
    ASSERT_EQ(write(in[1], "needle", 6), 6);
    read_until(term.master, "0\r\n"); // a terminal ends lines with CR LF
    sleep(1);
    ASSERT_EQ(write(in[1], "x", 1), 1); // a second on: the progress line is drawn
    read_until(term.master, " GB/s");
    if (signalled) {
      kill(child, SIGTERM);
      EXPECT_EQ(exit_status(child), 128 + SIGTERM);
      EXPECT_EQ(term.rest(), "\r\033[K");
    } else {
      ASSERT_EQ(write(in[1], "needle", 6), 6);
      EXPECT_EQ(read_until(term.master, "7\r\n"), "\r\033[K7\r\n");
      close(in[1]);
      EXPECT_EQ(exit_status(child), 0);
    }
    close(in[1]);
  }
}

// The tool works where memory is short, as grep does: no block reserved before it is needed,
// and a file that cannot be mapped (a limit below its size) read in blocks, occurrences across
// the blocks' bounds and at its end included. With no limit, an early -q on a large file is no
// change.
TEST(SeekpatTool, ShortOfAddressSpace) {
#ifdef SANITIZED
  GTEST_SKIP() << "the sanitizers reserve more address space than these limits";
#endif
  run_options small;
  small.stdin_path = file_with("abc", "abc\n");
  small.address_space = 40'000'000;
  expect_out({tool, "b"}, "1\n", 0, small);
  const std::string path = temp_dir() + "/unmappable";
  const long long size = 200ll << 20;
  const long long at[] = {0, (32ll << 20) - 1, (64ll << 20) - 5, (100ll << 20) - 1, size - 6};
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  std::string offsets;
  for (long long a : at) {
    ASSERT_EQ(pwrite(fd, "needle", 6, a), 6);
    offsets += std::to_string(a) + "\n";
  }
  close(fd);
  run_options limited;
  limited.address_space = 150ull << 20;
  for (const char* threads : {"1", "2"}) {
    expect_out({tool, "-j", threads, "needle", path}, "5\n", 0, limited);
    expect_out({tool, "-j", threads, "-b", "needle", path}, offsets, 0, limited);
  }
  expect_out({tool, "-q", "needle", path}, "", 0);
  unlink(path.c_str());
}

// A search that runs longer than a second shows its progress on standard error when that is a
// terminal, and clears the line at the end; the count still goes to standard output. Where
// standard error is not a terminal, nothing.
TEST(SeekpatTool, ProgressOnATerminalOnly) {
  const std::string slow = "(printf abc; sleep 1.3; printf abc) | " + tool + " abc";
  expect_out({"/bin/sh", "-c", slow}, "2\n", 0);
  terminal_pair term;
  const int tty = open(term.slave.c_str(), O_RDWR | O_NOCTTY);
  int out[2];
  ASSERT_TRUE(tty >= 0 && pipe(out) == 0);
  const int in = open("/dev/null", O_RDONLY);
  const pid_t child = spawn({"/bin/sh", "-c", slow}, in, out[1], tty);
  close(in);
  close(tty);
  close(out[1]);
  const std::string counted = read_until(out[0], "(the end)");
  EXPECT_EQ(exit_status(child), 0);
  close(out[0]);
  // The child and its pipeline are gone: what the terminal holds can be read without blocking.
  const std::string shown = term.rest();
  EXPECT_EQ(counted, "2\n");
  EXPECT_NE(shown.find("seekpat: (standard input): 0.0 GB, "), std::string::npos) << shown;
  EXPECT_TRUE(shown.size() >= 4 && shown.compare(shown.size() - 4, 4, "\r\033[K") == 0) << shown;
}

TEST(SeekpatTool, FailuresSayWhatAndEndWithStatusTwo) {
  const std::string a = file_with("fa", "aaa");
  // An input that cannot be read: one line naming it; the others are still searched.
  expect_error({tool, "aa", "/no/such/file", a}, a + ":2\n",
               "seekpat: /no/such/file: No such file or directory\n");
  expect_error({tool, "aa", temp_dir()}, "", "seekpat: " + temp_dir() + ": Is a directory\n");
  // As grep -q: found is status 0, whatever failed before; found first, nothing more is opened.
  expect_error({tool, "-q", "aa", "/no/such/file", a}, "",
               "seekpat: /no/such/file: No such file or directory\n", 0);
  expect_error({tool, "-q", "aa", a, "/no/such/file"}, "", "", 0);
  // A file that is also the output would grow under its own search: refused, left as it was.
  const std::string self = file_with("self", "xx");
  expect_out({"/bin/sh", "-c", tool + " -b x '" + self + "' >> '" + self + "'"},
             "seekpat: " + self + ": input file is also the output\n", 2, merged());
  EXPECT_EQ(slurp(self), "xx");
  expect_out({"/bin/sh", "-c", tool + " -q x '" + self + "' >> '" + self + "'"}, "", 0);
  expect_error({tool}, "", "seekpat: no pattern\n" + usage);
  expect_error({tool, "", a}, "", "seekpat: empty pattern\n" + usage);
  expect_error({tool, "-x", "6g", a}, "", "seekpat: malformed hex pattern '6g'\n" + usage);
  expect_error({tool, "-x", "616", a}, "", "seekpat: malformed hex pattern '616'\n" + usage);
  expect_error({tool, "-j", "two", "a", a}, "", "seekpat: invalid thread count 'two'\n" + usage);
  expect_error({tool, "--bogus", "a", a}, "", "seekpat: unknown option '--bogus'\n" + usage);
  expect_error({tool, "-f", "/no/such/file"}, "",
               "seekpat: /no/such/file: No such file or directory\n" + usage);
  // Output that cannot be written is an error, whatever makes the writes fail.
  for (output_to to : {output_to::full_device, output_to::closed, output_to::broken_pipe}) {
    run_options o;
    o.out = to;
    const program_result r = run_program({tool, "a", a}, o);
    EXPECT_EQ(r.err.rfind("seekpat: write error: ", 0), 0u) << r.err;
    EXPECT_EQ(r.status, 2);
  }
  const program_result v = run_program({tool, "--version"});
  EXPECT_EQ(v.out.rfind("seekpat ", 0), 0u);
  EXPECT_EQ(v.status, 0);
}

// The README's sample runs are the tool's real output on the generated sample text: each line
// "$ build/seekpat ..." in it, run, prints the lines that follow it up to the next command.
TEST(SeekpatTool, ReadmeSampleRunsAreTheRealOutput) {
  const std::string readme = slurp(README_PATH);
  if (SAMPLE_MIB != 32)
    GTEST_SKIP() << "this build's sample text is not the README's 32 MiB one";
  int runs = 0;
  for (std::size_t at = readme.find("\n$ build/seekpat "); at != std::string::npos;
       at = readme.find("\n$ build/seekpat ", at + 1)) {
    const std::size_t line_end = readme.find('\n', at + 1);
    std::size_t shown_end = line_end + 1;
    while (readme.compare(shown_end, 2, "$ ") != 0 && readme.compare(shown_end, 3, "```") != 0)
      shown_end = readme.find('\n', shown_end) + 1;
    std::string command = readme.substr(at + 3, line_end - at - 3);
    command.replace(command.find("build/seekpat"), 13, tool);
    const std::size_t sample = command.find("build/sample.txt");
    ASSERT_NE(sample, std::string::npos) << command;
    command.replace(sample, 16, SAMPLE_TEXT_PATH);
    const program_result r = run_program({"/bin/sh", "-c", command});
    EXPECT_EQ(r.out, readme.substr(line_end + 1, shown_end - line_end - 1)) << command;
    ++runs;
  }
  EXPECT_GE(runs, 2) << "the README shows no sample run of seekpat";
}
