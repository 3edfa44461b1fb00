// The seekpat command-line tool run as a user would: counts and offsets in files, standard input
// and pipes against the definition, files large enough to be read in parts on every thread with
// occurrences across the parts' bounds, every way of giving the pattern, every failure path with
// its message and exit status, the progress line on a terminal, and the README's sample run.
#include "reference.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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

void expect_error(const std::vector<std::string>& args, const std::string& out,
                  const std::string& err, int status = 2) {
  const program_result r = run_program(args);
  EXPECT_EQ(r.out, out) << args.back();
  EXPECT_EQ(r.err, err) << args.back();
  EXPECT_EQ(r.status, status) << args.back();
}

const std::string usage =
    "Usage: seekpat [OPTIONS] PATTERN [FILE...]\nTry 'seekpat --help' for more information.\n";

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
  for (std::size_t mib = 1; mib <= 9; ++mib)
    text.replace((mib << 20) - 11, pat.size(), pat);
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
// raises SIGBUS), the change reported with the size at the end. Truncated at several moments,
// counting and listing offsets in turn; each run either ends before or reports the change.
#ifndef SANITIZED // the sanitizers' own signal handling stays out of this
TEST(SeekpatTool, FilesThatShrinkWhileSearchedAreReported) {
  const std::string path = temp_dir() + "/shrinking";
  int reported = 0;
  for (int round = 0; round < 6; ++round) {
    const bool offsets = round % 2;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 256ll << 20), 0); // a hole: reads as zeros, costs no disk
    close(fd);
    const pid_t cutter = fork();
    if (cutter == 0) {
      usleep(static_cast<useconds_t>(1000 + 3000 * round));
      _exit(truncate(path.c_str(), 4096) == 0 ? 0 : 1);
    }
    const program_result r = run_program({tool, "-j", "1", offsets ? "-b" : "-j1", "x", path});
    int status = -1;
    waitpid(cutter, &status, 0);
    ASSERT_TRUE(r.status == 1 || r.status == 2) << r.status << " " << r.err;
    if (r.status == 2) {
      EXPECT_EQ(r.out, offsets ? "" : "0\n");
      EXPECT_NE(r.err.find("file changed while it was searched (268435456 bytes when opened, "
                           "4096 at the end)"),
                std::string::npos)
          << r.err;
      ++reported;
    }
  }
  EXPECT_GT(reported, 0) << "no run was cut short; the test did not test";
  unlink(path.c_str());
}
#endif

// A search that runs longer than a second shows its progress on standard error when that is a
// terminal, and clears the line at the end; the count still goes to standard output. Where
// standard error is not a terminal, nothing.
TEST(SeekpatTool, ProgressOnATerminalOnly) {
  const std::string slow = "(printf abc; sleep 1.3; printf abc) | " + tool + " abc";
  expect_out({"/bin/sh", "-c", slow}, "2\n", 0);
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave_path = ptsname(master);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t child = fork();
  if (child == 0) {
    const int slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0 || dup2(slave, 2) < 0 || dup2(out[1], 1) < 0)
      _exit(127);
    close(master);
    close(out[0]);
    execl("/bin/sh", "sh", "-c", slow.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string shown, counted;
  char buf[4096];
  for (ssize_t k; (k = read(out[0], buf, sizeof buf)) > 0;)
    counted.append(buf, static_cast<std::size_t>(k));
  int status = -1;
  waitpid(child, &status, 0);
  // The child and its pipeline are gone: what the terminal holds can be read without blocking.
  fcntl(master, F_SETFL, O_NONBLOCK);
  for (ssize_t k; (k = read(master, buf, sizeof buf)) > 0;)
    shown.append(buf, static_cast<std::size_t>(k));
  close(master);
  close(out[0]);
  EXPECT_EQ(counted, "2\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(shown.find("seekpat: (standard input): 0.0 GB, "), std::string::npos) << shown;
  EXPECT_TRUE(shown.size() >= 4 && shown.compare(shown.size() - 4, 4, "\r\033[K") == 0) << shown;
}

TEST(SeekpatTool, FailuresSayWhatAndEndWithStatusTwo) {
  const std::string a = file_with("fa", "aaa");
  // An input that cannot be read: one line naming it; the others are still searched.
  expect_error({tool, "aa", "/no/such/file", a}, a + ":2\n",
               "seekpat: /no/such/file: No such file or directory\n");
  expect_error({tool, "aa", temp_dir()}, "", "seekpat: " + temp_dir() + ": Is a directory\n");
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
