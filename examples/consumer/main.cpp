// Counts and lists the occurrences of a pattern with the installed library; exits 1 when the
// answer is not the one worked out by hand.
#include <seekpat.hpp>

#include <cstdio>
#include <string>

int main() {
  const std::string text = "a needle, a haystack, and another needle; needles";
  const seekpat_lib::pattern needle("needle");
  const std::size_t count = needle.count(text.data(), text.size());
  const std::vector<std::size_t> at = needle.find_all(text.data(), text.size());
  std::printf("seekpat %s: \"needle\" occurs %zu times, first at %zu\n", SEEKPAT_VERSION, count,
              at.empty() ? text.size() : at.front());
  return count == 3 && at == std::vector<std::size_t>{2, 34, 42} ? 0 : 1;
}
