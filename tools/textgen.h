// Deterministic test texts: English-like prose, uniformly random bytes over an alphabet, and
// runs of one byte. The same seed gives the same bytes on every machine, so benchmark figures
// and failures can be reproduced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace textgen {

// splitmix64: tiny, fast and good enough to drive test data.
struct rng {
  std::uint64_t s;
  explicit rng(std::uint64_t seed) : s(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t k) { return static_cast<std::size_t>(next() % k); }
};

// Words roughly in order of English frequency; word k is drawn with weight about 1 / (k + 1),
// which gives prose-like byte and word statistics (" the " is frequent, "q" is rare).
// Kept as written: a column per word would triple the list.
// clang-format off
inline const char* const words[] = {
    "the", "of", "and", "to", "a", "in", "is", "that", "it", "was", "for", "on", "are", "as",
    "with", "his", "they", "at", "be", "this", "from", "I", "have", "or", "by", "one", "had",
    "not", "but", "what", "all", "were", "when", "we", "there", "can", "an", "your", "which",
    "their", "said", "if", "do", "will", "each", "about", "how", "up", "out", "them", "then",
    "she", "many", "some", "so", "these", "would", "other", "into", "has", "more", "her", "two",
    "like", "him", "see", "time", "could", "no", "make", "than", "first", "been", "its", "who",
    "now", "people", "my", "made", "over", "did", "down", "only", "way", "find", "use", "may",
    "water", "long", "little", "very", "after", "words", "called", "just", "where", "most",
    "know", "get", "through", "back", "much", "before", "go", "good", "new", "write", "our",
    "used", "me", "man", "too", "any", "day", "same", "right", "look", "think", "also", "around",
    "another", "came", "come", "work", "three", "word", "must", "because", "does", "part",
    "even", "place", "well", "such", "here", "take", "why", "things", "help", "put", "years",
    "different", "away", "again", "off", "went", "old", "number", "great", "tell", "men", "say",
    "small", "every", "found", "still", "between", "name", "should", "home", "big", "give",
    "air", "line", "set", "own", "under", "read", "last", "never", "us", "left", "end", "along",
    "while", "might", "next", "sound", "below", "saw", "something", "thought", "both", "few",
    "those", "always", "looked", "show", "large", "often", "together", "asked", "house",
    "world", "going", "want", "school", "important", "until", "form", "food", "keep", "children",
    "feet", "land", "side", "without", "boy", "once", "animals", "life", "enough", "took",
    "sometimes", "four", "head", "above", "kind", "began", "almost", "live", "page", "got",
    "earth", "need", "far", "hand", "high", "year", "mother", "light", "parts", "country",
    "father", "let", "night", "following", "picture", "being", "study", "second", "eyes",
    "soon", "times", "story", "boys", "since", "white", "days", "ever", "paper", "hard", "near",
    "sentence", "better", "best", "across", "during", "today", "others", "however", "sure",
    "means", "knew", "its", "try", "told", "young", "miles", "sun", "ways", "thing", "whole",
    "hear", "example", "heard", "several", "change", "answer", "room", "sea", "against", "top",
    "turned", "learn", "point", "city", "play", "toward", "five", "using", "himself", "usually",
    "Holmes", "Watson", "London", "quixotic", "jazz", "zephyr", "vex", "Baker", "Street"};
// clang-format on
inline constexpr std::size_t word_count = sizeof(words) / sizeof(words[0]);

// Fills buf[0, n) with prose: sentences of 4 to 18 words, a capital after each full stop, commas
// now and then, lines of about 72 characters.
inline void english(char* buf, std::size_t n, std::uint64_t seed) {
  rng r(seed);
  // Cumulative Zipf weights, scaled to integers.
  static std::uint32_t cum[word_count];
  static bool ready = false;
  if (!ready) {
    double acc = 0;
    for (std::size_t k = 0; k < word_count; ++k) {
      acc += 1.0 / static_cast<double>(k + 1);
      cum[k] = static_cast<std::uint32_t>(acc * 1e6);
    }
    ready = true;
  }
  std::size_t i = 0, col = 0, in_sentence = 0, sentence_len = 4 + r.below(15);
  while (i < n) {
    const std::uint32_t x = static_cast<std::uint32_t>(r.below(cum[word_count - 1]));
    std::size_t lo = 0, hi = word_count - 1;
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (cum[mid] <= x)
        lo = mid + 1;
      else
        hi = mid;
    }
    std::string w = words[lo];
    if (in_sentence == 0 && w[0] >= 'a' && w[0] <= 'z')
      w[0] = static_cast<char>(w[0] - 'a' + 'A');
    if (++in_sentence == sentence_len) {
      w += '.';
      in_sentence = 0;
      sentence_len = 4 + r.below(15);
    } else if (r.below(12) == 0) {
      w += ',';
    }
    if (col > 0) {
      const char sep = col + w.size() >= 72 ? '\n' : ' ';
      if (i < n)
        buf[i++] = sep;
      col = sep == '\n' ? 0 : col + 1;
    }
    for (char c : w) {
      if (i == n)
        break;
      buf[i++] = c;
    }
    col += w.size();
  }
}

// Fills buf[0, n) with bytes drawn uniformly from alphabet[0, k).
inline void random_over(char* buf, std::size_t n, const char* alphabet, std::size_t k,
                        std::uint64_t seed) {
  rng r(seed);
  for (std::size_t i = 0; i < n; ++i)
    buf[i] = alphabet[r.below(k)];
}

} // namespace textgen
