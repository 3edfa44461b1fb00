// search_bench run as a user would: exact output, every failure path with its message, stream
// and exit status.
#include "run_program.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

const std::string bench = SEARCH_BENCH_PATH;

// A file of `size` bytes that takes no disk space: all of it a hole that reads as zeros.
std::string sparse_file(const std::string& name, long long size) {
  const std::string path = temp_dir() + "/" + name;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ftruncate(fd, size), 0);
  close(fd);
  return path;
}

std::string load_lines(const std::string& path, const std::string& text) {
  return "Opening text file: " + path + "\nLoaded text file of " + std::to_string(text.size()) +
         " bytes\n------\n" + text.substr(0, 256) + " [...] \n------\n";
}

std::string report(const std::string& pattern, int count) {
  const std::string c = std::to_string(count);
  return "Running test\n    CPU took T msec\n    Device took T msec\n    Pattern \"" + pattern +
         "\" found " + c + " times sequentially\n    Pattern \"" + pattern + "\" found " + c +
         " times in parallel\n    Correctness test: PASSED\n";
}

void expect_run(const std::string& text, const std::string& pattern, int count,
                std::vector<std::string> extra = {}) {
  const std::string path = file_with("text" + std::to_string(text.size()), text);
  std::vector<std::string> args = {bench, path, pattern};
  args.insert(args.end(), extra.begin(), extra.end());
  const program_result r = run_program(args);
  EXPECT_EQ(mask_times(r.out), load_lines(path, text) + report(pattern, count));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

void expect_error(const program_result& r, const std::string& out, const std::string& message) {
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "Error: " + message + "\n");
  EXPECT_EQ(r.status, 1);
}

TEST(SearchBenchRuns, ShortAndBoundaryTextsShowTheirPreviewExactly) {
  expect_run("", "x", 0);
  expect_run("abracadabra", "abra", 2);
  expect_run(std::string(255, 'a'), "aa", 254);
  expect_run(std::string(256, 'b'), "b", 256);
  std::string t257(257, '-');
  t257[256] = 'Z'; // beyond the preview, still searched
  expect_run(t257, "Z", 1);
}

TEST(SearchBenchRuns, OverlappingMatchesNulAndHighBytes) {
  expect_run("aaaa", "aa", 3);
  std::string binary("\0\xff\x80zz\0\xffzz", 9);
  expect_run(binary, "\xff", 2);
  expect_run(binary, "zz", 2);
  expect_run("the cat saw the theme", " the", 2); // " the " and " theme"
  expect_run("pattern longer than text", "pattern longer than text, really", 0);
}

TEST(SearchBenchRuns, ExtraArgumentsChangeNothing) {
  expect_run("one two one", "one", 2, {"x", "y"});
}

TEST(SearchBenchRuns, LargeGeneratedTextPasses) {
  const program_result r = run_program({bench, SAMPLE_TEXT_PATH, " the "});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("    Correctness test: PASSED\n"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

// On a CPU without AVX2 seekpat must pick its SSE2 kernel: run under a user-mode emulator's
// Core 2 model, which has SSE2 only.
TEST(SearchBenchRuns, CpuWithoutAvx2UsesTheSse2Kernel) {
  if (const std::string why = no_emulator(); !why.empty())
    GTEST_SKIP() << why;
  // Each 5-byte unit holds "abca" once and none spans two units: 1000 occurrences.
  std::string text;
  for (int k = 0; text.size() < 5000; ++k)
    text += k % 7 ? "abcab" : "aabca";
  const std::string path = file_with("emulated", text);
  const program_result r = run_program({emulator, "-cpu", "core2duo", bench, path, "abca"});
  EXPECT_EQ(mask_times(r.out), load_lines(path, text) + report("abca", 1000));
  EXPECT_EQ(r.status, 0);
}

// The README's sample run is the program's real output on the generated sample text.
TEST(SearchBenchRuns, ReadmeSampleRunIsTheRealOutput) {
  const std::string readme = slurp(README_PATH);
  const std::string command = "$ build/search_bench build/sample.txt \" the \"\n";
  const std::size_t from = readme.find(command), to = readme.find("```", from);
  ASSERT_NE(from, std::string::npos) << "no sample run in the README";
  ASSERT_NE(to, std::string::npos);
  const std::string shown = readme.substr(from + command.size(), to - from - command.size());
  if (SAMPLE_MIB != 32)
    GTEST_SKIP() << "this build's sample text is not the README's 32 MiB one";
  const program_result r = run_program({bench, SAMPLE_TEXT_PATH, " the "});
  std::string want = mask_times(shown);
  const std::string path = "build/sample.txt";
  want.replace(want.find(path), path.size(), SAMPLE_TEXT_PATH);
  EXPECT_EQ(mask_times(r.out), want);
}

// Threads that cannot be started (each would need a 4 GiB stack, under a 1 GiB address-space cap)
// leave their shares to the calling thread: nothing is lost.
#ifndef SANITIZED // sanitizers reserve address space of their own, so a cap breaks them
TEST(SearchBenchRuns, SharesOfThreadsThatCannotStartAreStillSearched) {
  std::string text;
  int needles = 0;
  for (int k = 0; text.size() < (16u << 20); ++k) {
    needles += k % 5 == 0;
    text += k % 5 ? "lorem ipsum dolor sit amet " : "lorem ipsum needle sit amet ";
  }
  const std::string path = file_with("threadless", text);
  run_options o;
  o.address_space = 1ull << 30;
  o.stack = 4ull << 30;
  const program_result r = run_program({bench, path, "needle"}, o);
  EXPECT_EQ(mask_times(r.out), load_lines(path, text) + report("needle", needles));
  EXPECT_EQ(r.status, 0);
  unlink(path.c_str());
}
#endif

TEST(SearchBenchFailures, TooFewArgumentsPrintUsageOnly) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{bench}, std::vector<std::string>{bench, "file-only"}}) {
    const program_result r = run_program(args);
    EXPECT_EQ(r.out, "Usage: " + bench + " <input-file> <pattern-string>\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(SearchBenchFailures, EmptyPatternIsRefusedBeforeTheFileIsTouched) {
  expect_error(run_program({bench, "/no/such/file", ""}), "", "empty pattern");
}

TEST(SearchBenchFailures, MissingFile) {
  expect_error(run_program({bench, "/no/such/file", "x"}), "Opening text file: /no/such/file\n",
               "failed to load input text file");
  // Standard output is not flushed before the error, so in one stream the error comes first.
  const program_result both = run_program({bench, "/no/such/file", "x"}, {"", 0, 0, true});
  EXPECT_EQ(both.out, "Error: failed to load input text file\nOpening text file: /no/such/file\n");
}

TEST(SearchBenchFailures, DirectoryIsNotAText) {
  expect_error(run_program({bench, temp_dir(), "x"}), "Opening text file: " + temp_dir() + "\n",
               "failed to load input text file");
}

TEST(SearchBenchFailures, PipeCannotBeSized) {
  expect_error(run_program({bench, "/dev/stdin", "x"}, {"|"}), "Opening text file: /dev/stdin\n",
               "failed to allocate text block");
}

// /proc files report a size of 0 whatever they hold: they are read to their end, not taken for
// empty texts that hold no match.
TEST(SearchBenchFailures, FilesThatReportNoSizeAreReadToTheirEnd) {
  std::ifstream in("/proc/cpuinfo", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int count = 0;
  for (std::size_t at = text.find("processor"); at != std::string::npos;
       at = text.find("processor", at + 1))
    ++count;
  ASSERT_GT(count, 0);
  const program_result r = run_program({bench, "/proc/cpuinfo", "processor"});
  // "cpu MHz" may change between two reads, the number of processors does not.
  EXPECT_NE(r.out.find("Loaded text file of "), std::string::npos);
  EXPECT_EQ(r.out.find("Loaded text file of 0 bytes"), std::string::npos);
  EXPECT_NE(mask_times(r.out).find(report("processor", count)), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 0);
}

TEST(SearchBenchFailures, FileShorterThanItsSizeFailsToRead) {
  // sysfs reports a size of one page for files that hold a few bytes.
  const std::string path = "/sys/kernel/mm/transparent_hugepage/enabled";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || st.st_size <= 64)
    GTEST_SKIP() << "no sysfs file whose size overstates its content";
  expect_error(run_program({bench, path, "x"}), "Opening text file: " + path + "\n",
               "failed to read text");
}

TEST(SearchBenchFailures, FilesTooLargeForAnIntAreRefused) {
  for (long long size : {(1ll << 31), (4ll << 30) + 10}) {
    const std::string path = sparse_file("huge" + std::to_string(size), size);
    expect_error(run_program({bench, path, "x"}), "Opening text file: " + path + "\n",
                 "input file too large");
    unlink(path.c_str());
  }
}

// A report that cannot be written ends as a failure, whatever makes the writes fail.
TEST(SearchBenchFailures, OutputThatCannotBeWritten) {
  const std::string path = file_with("lost", "a text whose report is lost");
  for (output_to to : {output_to::full_device, output_to::closed, output_to::broken_pipe}) {
    run_options o;
    o.out = to;
    const program_result r = run_program({bench, path, "text"}, o);
    EXPECT_EQ(r.err, "Error: failed to write output\n") << static_cast<int>(to);
    EXPECT_EQ(r.status, 1) << static_cast<int>(to);
  }
}

#ifndef SANITIZED // sanitizers reserve address space of their own, so a cap breaks them
// Up to the largest size an int holds, a file is taken: its text block is then asked for.
TEST(SearchBenchFailures, TextBlockThatCannotBeAllocated) {
  for (long long size : {1ll << 30, (1ll << 31) - 1}) {
    const std::string path = sparse_file("big-text", size);
    expect_error(run_program({bench, path, "x"}, {"", 512ull << 20}),
                 "Opening text file: " + path + "\n", "failed to allocate text block");
    unlink(path.c_str());
  }
}

TEST(SearchBenchFailures, MatchMapsThatCannotBeAllocated) {
  // The 200 MiB text fits under the cap; the text plus both maps do not.
  const long long n = 200ll << 20;
  const std::string path = sparse_file("map-text", n);
  const program_result r = run_program({bench, path, "x"}, {"", 520ull << 20});
  EXPECT_EQ(r.out, "Opening text file: " + path + "\nLoaded text file of " + std::to_string(n) +
                       " bytes\n------\n" + std::string(256, '\0') + " [...] \n------\n");
  EXPECT_EQ(r.err, "Error: out of memory\n");
  EXPECT_EQ(r.status, 1);
  unlink(path.c_str());
}
#endif

} // namespace
