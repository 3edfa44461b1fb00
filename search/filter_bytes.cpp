// Choosing the filter's bytes: ranked by how common each byte is in typical text, or fitted to a
// sample of the text itself. The planner chooses them for a whole text; the kernel's watch
// chooses them again for the rest of a piece.
#include "filter_bytes.h"

#include <emmintrin.h>

#include <algorithm>
#include <cassert>
#include <cstdint>

namespace seekpat_internal {
namespace {

// How common each byte value is in typical text, 0 (never seen) to 255 (the blank). Only the
// order matters: the filter tests the rarest pattern bytes, so it rarely fires on real text.
struct byte_rank {
  unsigned char r[256];
  constexpr void set(char c, int v) {
    r[static_cast<unsigned char>(c)] = static_cast<unsigned char>(v);
  }
  constexpr byte_rank() : r() {
    for (int b = 0; b < 256; ++b)
      r[b] = b >= 0x80 ? (b < 0xc0 ? 140 : 130) : (b < 0x20 ? 10 : 90);
    r[0] = 50;
    set('\t', 150);
    set('\r', 160);
    set('\n', 200);
    set(' ', 255);
    const char* by_freq = "etaoinshrdlucmfwgypbvkxjqz";
    for (int k = 0; by_freq[k]; ++k) {
      const int lower = static_cast<unsigned char>(by_freq[k]);
      r[lower] = static_cast<unsigned char>(250 - 4 * k);
      r[lower - 'a' + 'A'] = static_cast<unsigned char>(150 - 2 * k);
    }
    for (int d = '0'; d <= '9'; ++d)
      r[d] = 120;
    set(',', 190);
    set('.', 190);
    set('\'', 130);
    set('"', 125);
    set('-', 125);
  }
};
constexpr byte_rank rank_of;

// The number of set bits, without the POPCNT instruction, which this file cannot assume (the
// compiler would call a library routine instead).
inline std::size_t ones(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
  return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
}

// The offsets floor(k (p - 1) / (looks - 1)) for k = 0, 1, ..., looks - 1, one per next(): from
// the first byte of a p-byte pattern to its last, increasing, stepped without a division. Needs
// 2 <= looks <= p.
class spread {
public:
  spread(std::size_t p, std::size_t looks)
      : step_((p - 1) / (looks - 1)), extra_((p - 1) % (looks - 1)), den_(looks - 1) {}
  std::size_t next() {
    const std::size_t at = o_;
    o_ += step_;
    carry_ += extra_;
    if (carry_ >= den_) {
      carry_ -= den_;
      ++o_;
    }
    return at;
  }

private:
  std::size_t o_ = 0, carry_ = 0;
  const std::size_t step_, extra_, den_;
};

} // namespace

void choose_filter(const unsigned char* pattern, std::size_t p, std::size_t fit,
                   std::size_t off[4]) {
  // Offsets spread from the first byte to the last, which often is the pattern's one rare byte.
  const std::size_t looks = std::min(p, std::max<std::size_t>(256, fit));
  for (int chosen = 0; chosen < 4; ++chosen) {
    std::size_t best = 0; // where every offset is taken (p = 3), a repeat: a redundant test
    int best_score = 1 << 30;
    // Neighbouring bytes are often common together (a tab and an asterisk, "th"), so offsets
    // next to a chosen one are passed over unless nothing else is left; a repeated value adds
    // little information.
    for (std::size_t near = 1; near != ~std::size_t(0) && best_score == 1 << 30; --near) {
      spread offsets(p, looks);
      for (std::size_t k = 0; k < looks; ++k) {
        const std::size_t o = offsets.next();
        assert(o < p);
        int score = rank_of.r[pattern[o]];
        bool clash = false;
        for (int c = 0; c < chosen; ++c) {
          clash |= o - off[c] + near <= 2 * near; // |o - off[c]| <= near, in unsigned arithmetic
          score += pattern[o] == pattern[off[c]] ? 256 : 0;
        }
        if (!clash && score < best_score) {
          best_score = score;
          best = o;
        }
      }
    }
    off[chosen] = best;
  }
}

namespace {

// The sample of a text that choose_filter_sampled looks at: `chunks` chunks of 64 positions,
// chunk k from start[k], all below fit; a load for offset o < p reads text[start[k] + o,
// start[k] + o + 64), which ends at or before fit - 1 + p <= n. Set once: a division per load
// would cost more than the sample.
constexpr std::size_t max_chunks = 64, max_offsets = 32;
struct sample {
  const unsigned char* pattern;
  const unsigned char* text;
  std::size_t chunks;
  std::size_t start[max_chunks];

  // Bit i set where text[start[k] + i + o] == pattern[o].
  std::uint64_t mask(std::size_t o, std::size_t k) const {
    const __m128i b = _mm_set1_epi8(static_cast<char>(pattern[o]));
    const unsigned char* t = text + start[k] + o;
    auto part = [&](int j) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 16 * j));
      return static_cast<std::uint64_t>(
          static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, b))));
    };
    return part(0) | part(1) << 16 | part(2) << 32 | part(3) << 48;
  }
};

// The offsets to try, `tries` of them, with the sample's masks of each, and the order to look at
// them in (ord). Rarest first by sample frequency, the static rank breaking ties: every offset when
// there are at most max_offsets, else the rarest of `looks` spread evenly from the first to the
// last (a lone rare byte often ends the pattern).
void offsets_to_try(const sample& s, std::size_t p, std::size_t looks, std::size_t tries,
                    std::size_t cand[max_offsets], std::uint64_t masks[max_offsets][max_chunks],
                    std::size_t ord[max_offsets]) {
  const unsigned char* const pattern = s.pattern;
  const unsigned char* const text = s.text;
  const std::size_t chunks = s.chunks;
  const std::size_t* const start = s.start;
  auto mask = [&](std::size_t o, std::size_t k) { return s.mask(o, k); };
  std::uint64_t score[max_offsets];
  if (looks > tries) {
    // Byte frequencies over the sample rank the byte values; the offsets of the rarest values,
    // `tries` of them in all, get a mask. Four tables, so that repeated bytes do not wait on one
    // counter.
    std::uint32_t counts[4][256] = {};
    for (std::size_t k = 0; k < chunks; ++k)
      for (std::size_t i = 0; i < 64; i += 4)
        for (std::size_t j = 0; j < 4; ++j)
          ++counts[j][text[start[k] + i + j]];
    std::uint64_t freq[256];
    for (int v = 0; v < 256; ++v)
      freq[v] =
          static_cast<std::uint64_t>(counts[0][v] + counts[1][v] + counts[2][v] + counts[3][v])
              << 8 |
          rank_of.r[v];
    std::size_t in_pattern[256] = {};
    spread offsets(p, looks);
    for (std::size_t k = 0; k < looks; ++k)
      ++in_pattern[pattern[offsets.next()]];
    // The values the pattern holds, rarest first; take[v]: how many offsets of v to try.
    unsigned char vals[256];
    int held = 0;
    for (int v = 0; v < 256; ++v)
      if (in_pattern[v])
        vals[held++] = static_cast<unsigned char>(v);
    auto rarer = [&](unsigned char a, unsigned char b) {
      return freq[a] != freq[b] ? freq[a] < freq[b] : a < b;
    };
    std::sort(vals, vals + held, rarer);
    // At most a quarter of the tries per value while others are left: offsets of one value
    // often pass together (line ends a line apart), and the picks need values to choose from.
    std::size_t take[256] = {}, left = tries;
    for (const std::size_t cap : {tries / 4, tries})
      for (int u = 0; u < held && left; ++u) {
        const std::size_t more = std::min(left, std::min(in_pattern[vals[u]], cap) - take[vals[u]]);
        take[vals[u]] += more;
        left -= more;
      }
    std::size_t got = 0;
    spread again(p, looks);
    for (std::size_t k = 0; k < looks && got < tries; ++k) {
      const std::size_t o = again.next();
      if (take[pattern[o]]) {
        --take[pattern[o]];
        cand[got++] = o;
      }
    }
    assert(got == tries);
    auto by_rarity = [&] {
      std::stable_sort(cand, cand + tries,
                       [&](std::size_t a, std::size_t b) { return rarer(pattern[a], pattern[b]); });
    };
    by_rarity();
    // The first and the last byte are always tried, in place of the least rare: a pattern that
    // departs from a periodic text only at its end (one built to fail late) is told apart only
    // by its last byte tested together with another.
    std::size_t kept = tries;
    for (const std::size_t must : {p - 1, std::size_t(0)})
      if (std::find(cand, cand + kept, must) == cand + kept)
        cand[--kept] = must;
    by_rarity();
    for (std::size_t c = 0; c < tries; ++c)
      for (std::size_t k = 0; k < chunks; ++k)
        masks[c][k] = mask(cand[c], k);
  } else {
    // Every offset gets a mask; its ones are the frequency of its byte.
    for (std::size_t c = 0; c < tries; ++c) {
      cand[c] = c;
      std::size_t ones_seen = 0;
      for (std::size_t k = 0; k < chunks; ++k)
        ones_seen += ones(masks[c][k] = mask(cand[c], k));
      score[c] = static_cast<std::uint64_t>(ones_seen) << 8 | rank_of.r[pattern[cand[c]]];
    }
  }
  for (std::size_t c = 0; c < tries; ++c)
    ord[c] = c;
  if (looks == tries)
    std::sort(ord, ord + tries, [&](std::size_t a, std::size_t b) { return score[a] < score[b]; });
}

// Picks four offsets one at a time, each for the fewest sampled positions that pass it together
// with those already picked (into picked[], their passing counts into passing[]); false when
// there are fewer than three to choose from.
bool pick_offsets(const sample& s, std::size_t tries, const std::size_t cand[max_offsets],
                  const std::uint64_t masks[max_offsets][max_chunks],
                  const std::size_t ord[max_offsets], std::size_t picked[4],
                  std::size_t passing[4]) {
  const unsigned char* const pattern = s.pattern;
  const std::size_t chunks = s.chunks;
  std::uint64_t pass[max_chunks];
  std::fill(pass, pass + chunks, ~std::uint64_t(0));
  for (int round = 0; round < 4; ++round) {
    std::size_t best = tries, best_count = ~std::size_t(0);
    bool best_repeats = true;
    // Neighbouring offsets first kept apart (bytes next to each other are often common
    // together), then allowed when nothing else is left.
    for (int relax = 0; relax < 2 && best == tries; ++relax) {
      for (std::size_t u = 0; u < tries; ++u) {
        const std::size_t c = ord[u];
        bool clash = false, repeats = false;
        for (int r = 0; r < round; ++r) {
          const std::size_t d =
              cand[c] > cand[picked[r]] ? cand[c] - cand[picked[r]] : cand[picked[r]] - cand[c];
          clash |= d == 0 || (relax == 0 && d == 1);
          repeats |= pattern[cand[c]] == pattern[cand[picked[r]]];
        }
        if (clash)
          continue;
        // Summed a chunk at a time, given up once it cannot beat the best so far: candidates
        // come rarest first, so most are given up early. On a tie (most often at none passing,
        // the sample too small to tell), a value not picked yet wins: the same byte again, as a
        // line end a line further on, tends to come with the first.
        std::size_t count = 0;
        for (std::size_t k = 0; k < chunks && count <= best_count; ++k)
          count += ones(pass[k] & masks[c][k]);
        if (count < best_count || (count == best_count && best_repeats && !repeats)) {
          best_count = count;
          best = c;
          best_repeats = repeats;
        }
      }
    }
    if (best == tries && round < 3) // fewer than three offsets to choose from
      return false;
    if (best == tries) { // three offsets in all: the fourth repeats the first
      best = picked[0];
      best_count = passing[2];
    }
    picked[round] = best;
    passing[round] = best_count;
    for (std::size_t k = 0; k < chunks; ++k)
      pass[k] &= masks[best][k];
  }
  return true;
}

} // namespace

double choose_filter_sampled(const unsigned char* pattern, std::size_t p, const unsigned char* text,
                             std::size_t fit, std::size_t min_fit, std::size_t spacing,
                             std::size_t off[4], double* confirmed, std::size_t* loop_bytes,
                             double* matched) {
  const sample_layout at = lay_out_sample(fit, spacing, 64);
  const std::size_t chunks = at.chunks, gap = at.gap;
  static_assert(max_chunks == 64, "a sample holds at most 64 chunks");
  if (fit < min_fit || chunks < 2 || p < 3)
    return -1;
  sample s{pattern, text, chunks, {}};
  for (std::size_t k = 0; k < chunks; ++k)
    s.start[k] = gap * k;

  // The offsets to try (a look costs two table updates: at most max(256, fit / 1024) of them stay
  // a small fraction of one scan), then the four picked among them.
  const std::size_t looks = std::min(p, std::max<std::size_t>(256, fit / 1024));
  const std::size_t tries = std::min(looks, max_offsets);
  std::size_t cand[max_offsets], ord[max_offsets], picked[4], passing[4] = {};
  std::uint64_t masks[max_offsets][max_chunks];
  offsets_to_try(s, p, looks, tries, cand, masks, ord);
  if (!pick_offsets(s, tries, cand, masks, ord, picked, passing))
    return -1;
  for (int r = 0; r < 4; ++r) {
    off[r] = cand[picked[r]];
    assert(off[r] < p);
  }
  const double sampled = static_cast<double>(64 * chunks);
  if (confirmed)
    *confirmed = static_cast<double>(passing[3]) / sampled;
  // Fewer bytes in the loop only on the evidence of a full sample: 4096 positions none of which
  // pass put the rate under about 1 in 1400 (where three would be expected), so that at most
  // about one step of 64 positions in 22 passes them in vain; the watch takes the loop back to
  // three bytes if the text then lets more through.
  // All four where three let through one position in 1024 or more and the fourth cuts that by
  // four or more (small alphabets): a step that passes leaves the loop, which costs many times
  // the fourth compare (docs/design.md, measurements: "Quiet loop").
  if (loop_bytes)
    *loop_bytes = chunks == max_chunks && passing[0] == 0                            ? 1
                  : chunks == max_chunks && passing[1] == 0                          ? 2
                  : passing[2] * 1024 >= 64 * chunks && passing[3] * 4 <= passing[2] ? 4
                                                                                     : 3;
  if (matched) { // with a mask for every offset, their AND is the sample's exact map
    *matched = -1;
    if (tries == p) {
      std::size_t found = 0;
      for (std::size_t k = 0; k < chunks; ++k) {
        std::uint64_t all = ~std::uint64_t(0);
        for (std::size_t c = 0; c < tries; ++c)
          all &= masks[c][k];
        found += ones(all);
      }
      *matched = static_cast<double>(found) / sampled;
    }
  }
  return static_cast<double>(passing[2]) / sampled;
}

} // namespace seekpat_internal
