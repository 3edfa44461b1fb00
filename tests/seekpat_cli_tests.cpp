// The tool's rooms on their own: every way of writing the command line and every error in it
// with its message, hex and pattern files, decimal digits of every length, and how an input is
// opened (standard input where it stands, a file that is also the output, a change in place).
#include "args.h"
#include "decimal.h"
#include "run_program.h"
#include "sources.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using seekpat_cli::options;
using seekpat_cli::parse;
using seekpat_cli::usage_error;

options parsed(std::vector<std::string> args) {
  args.insert(args.begin(), "seekpat");
  std::vector<const char*> argv;
  for (const std::string& a : args)
    argv.push_back(a.c_str());
  return parse(static_cast<int>(argv.size()), argv.data());
}

std::string error_of(const std::vector<std::string>& args) {
  try {
    parsed(args);
  } catch (const usage_error& e) {
    return e.message;
  }
  return "(no error)";
}

} // namespace

TEST(SeekpatCli, CommandLinesAsGrepWritesThem) {
  const std::string pat = file_with("cli-pattern", std::string("a\0b\n", 4));
  struct accepted {
    std::vector<std::string> args;
    std::string pattern;
    std::vector<std::string> files;
    bool offsets, quiet;
    unsigned threads;
  };
  const accepted cases[] = {
      {{"abc"}, "abc", {"-"}, false, false, 0},
      {{"-bq", "abc", "f", "-"}, "abc", {"f", "-"}, true, true, 0},
      {{"-j3", "abc"}, "abc", {"-"}, false, false, 3},
      {{"-j", "0", "abc"}, "abc", {"-"}, false, false, 0},
      {{"--threads=12", "abc"}, "abc", {"-"}, false, false, 12},
      {{"--threads", "4294967295", "abc"}, "abc", {"-"}, false, false, UINT_MAX},
      {{"-bj2", "abc"}, "abc", {"-"}, true, false, 2},
      {{"--offsets", "--quiet", "abc"}, "abc", {"-"}, true, true, 0},
      {{"--silent", "abc"}, "abc", {"-"}, false, true, 0},
      {{"-e", "-b", "f"}, "-b", {"f"}, false, false, 0},
      {{"-e=x", "f"}, "=x", {"f"}, false, false, 0}, // a short option's value is all that follows
      {{"-be", "x", "f"}, "x", {"f"}, true, false, 0},
      {{"--", "-b", "-q"}, "-b", {"-q"}, false, false, 0},
      {{"-x", "4a4B00ff", "f"}, std::string("JK\0\xff", 4), {"f"}, false, false, 0},
      {{"-f", pat}, std::string("a\0b\n", 4), {"-"}, false, false, 0},
      {{"-f" + pat, "g", "h"}, std::string("a\0b\n", 4), {"g", "h"}, false, false, 0},
      {{"-", "f"}, "-", {"f"}, false, false, 0},
  };
  for (const accepted& c : cases) {
    const options o = parsed(c.args);
    const std::string what = c.args.front() + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(o.what, options::action::search) << what;
    EXPECT_EQ(o.pattern, c.pattern) << what;
    EXPECT_EQ(o.files, c.files) << what;
    EXPECT_EQ(o.offsets, c.offsets) << what;
    EXPECT_EQ(o.quiet, c.quiet) << what;
    EXPECT_EQ(o.threads, c.threads) << what;
  }
  EXPECT_EQ(parsed({"--version", "--bogus"}).what, options::action::version);
  EXPECT_EQ(parsed({"-b", "--help"}).what, options::action::help);
}

TEST(SeekpatCli, EveryCommandLineErrorSaysWhat) {
  const std::string dir = temp_dir();
  const std::string empty = file_with("cli-empty", "");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no pattern"},
      {{"-b", "-q"}, "no pattern"},
      {{""}, "empty pattern"},
      {{"-f", empty, "f"}, "empty pattern"},
      {{"-x", ""}, "empty pattern"},
      {{"-x", "616"}, "malformed hex pattern '616'"},
      {{"-x", "6g"}, "malformed hex pattern '6g'"},
      {{"-x", "0x61"}, "malformed hex pattern '0x61'"},
      {{"-x", "61 62"}, "malformed hex pattern '61 62'"},
      {{"-j", "two", "a"}, "invalid thread count 'two'"},
      {{"-j", " 3", "a"}, "invalid thread count ' 3'"},
      {{"-j", "+3", "a"}, "invalid thread count '+3'"},
      {{"-j", "-1", "a"}, "invalid thread count '-1'"},
      {{"-j", "4294967296", "a"}, "invalid thread count '4294967296'"},
      {{"-j", "3x", "a"}, "invalid thread count '3x'"},
      {{"--threads=", "a"}, "invalid thread count ''"},
      {{"-j=3", "a"}, "invalid thread count '=3'"},
      {{"--threads3", "a"}, "unknown option '--threads3'"},
      {{"--offsets=1", "a"}, "unknown option '--offsets=1'"},
      {{"--bogus", "a"}, "unknown option '--bogus'"},
      {{"-bz", "a"}, "unknown option '-z'"},
      {{"a", "-e"}, "option -e needs a value"},
      {{"-f"}, "option -f needs a value"},
      {{"a", "-j"}, "option -j needs a value"},
      {{"a", "--threads"}, "option --threads needs a value"},
      {{"-f", "/no/such/file"}, "/no/such/file: No such file or directory"},
      {{"-f", dir}, dir + ": Is a directory"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(error_of(c.first), c.second) << (c.first.empty() ? "(none)" : c.first.front());
}

TEST(SeekpatCli, HexEitherCase) {
  std::string bytes = "kept";
  EXPECT_TRUE(seekpat_cli::from_hex("00ffFF7aA9", bytes));
  EXPECT_EQ(bytes, std::string("\0\xff\xff\x7a\xa9", 5));
  for (const char* bad : {"f", "fg", "g0", "0G", " 0", "0-", "+1"})
    EXPECT_FALSE(seekpat_cli::from_hex(bad, bytes)) << bad;
}

// Every length from 1 to 20 digits, at both of its ends; what follows the digits is untouched.
TEST(SeekpatCli, DecimalLinesOfEveryLength) {
  std::vector<std::uint64_t> values = {0, UINT64_MAX};
  for (std::uint64_t p = 1, k = 0; k < 20; ++k, p *= 10) {
    values.push_back(p);
    if (p > 1)
      values.push_back(p - 1);
    values.push_back(p + p / 2);
  }
  for (std::uint64_t v : values) {
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    const std::size_t k = seekpat_cli::decimal_line(buf, v);
    EXPECT_EQ(std::string(buf, k), std::to_string(v) + "\n");
    EXPECT_EQ(buf[k], '#') << v;
  }
}

// Standard input in a file counts from where it stands; a file that is also the output is
// refused; a write in place that keeps the size is a change.
TEST(SeekpatCli, InputsAsTheyStand) {
  const std::string path = file_with("cli-input", "0123456789");
  const int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const int saved = dup(0);
  ASSERT_EQ(dup2(fd, 0), 0);
  ASSERT_EQ(lseek(0, 4, SEEK_SET), 4);
  seekpat_cli::input in;
  ASSERT_TRUE(seekpat_cli::open_input("-", nullptr, &in));
  EXPECT_TRUE(in.sized && in.is_stdin);
  EXPECT_EQ(in.start, 4u);
  EXPECT_EQ(in.size, 6u);
  seekpat_cli::close_input(in, 6); // searched in place: moved past, as a read would be
  EXPECT_EQ(lseek(0, 0, SEEK_CUR), 10);
  dup2(saved, 0);
  close(saved);

  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  seekpat_cli::input same;
  EXPECT_FALSE(seekpat_cli::open_input(path, &st, &same));

  // Set back in time first, so that the write's own time cannot fall in the same tick.
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(futimens(fd, old), 0);
  seekpat_cli::input named;
  ASSERT_TRUE(seekpat_cli::open_input(path, nullptr, &named));
  std::uint64_t at_end = 0;
  EXPECT_FALSE(seekpat_cli::changed_since_open(named, &at_end));
  ASSERT_EQ(pwrite(fd, "x", 1, 3), 1);
  EXPECT_TRUE(seekpat_cli::changed_since_open(named, &at_end));
  EXPECT_EQ(at_end, 10u);
  seekpat_cli::close_input(named, 0);
  close(fd);
}
