/* Counts and lists the occurrences of a pattern through the installed library's C interface, in
 * one text and in a stream fed a byte at a time; exits 1 when an answer is not the one worked out
 * by hand. */
#include <seekpat.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

struct seen {
  size_t at[8];
  size_t k;
};

static int record(void* ctx, size_t position) {
  struct seen* s = (struct seen*)ctx;
  if (s->k < 8)
    s->at[s->k++] = position;
  return 0;
}

static int record_offset(void* ctx, uint64_t offset) { return record(ctx, (size_t)offset); }

static int stop_at_first(void* ctx, size_t position) {
  (void)ctx;
  (void)position;
  return 1;
}

int main(void) {
  const char* text = "a needle, a haystack, and another needle; needles";
  const size_t n = strlen(text);
  seekpat_pattern* needle = NULL;
  size_t count = 0;
  struct seen s = {{0}, 0};
  char map[64];
  if (seekpat_pattern_new("needle", 6, &needle) != SEEKPAT_OK ||
      seekpat_pattern_count(needle, text, n, 0, &count) != SEEKPAT_OK ||
      seekpat_pattern_positions(needle, text, n, 0, record, &s) != SEEKPAT_OK ||
      seekpat_pattern_map(needle, text, n, map, 1) != SEEKPAT_OK)
    return 1;
  const int ok =
      count == 3 && s.k == 3 && s.at[0] == 2 && s.at[1] == 34 && s.at[2] == 42 && map[2] == 1 &&
      map[3] == 0 &&
      seekpat_pattern_positions(needle, text, n, 0, stop_at_first, NULL) == SEEKPAT_STOPPED &&
      seekpat_pattern_count(needle, NULL, 1, 0, &count) == SEEKPAT_EINVAL &&
      seekpat_pattern_map(needle, text, n, (char*)text + 1, 0) == SEEKPAT_EINVAL;
  /* The same text as a stream: offsets a byte at a time, a count five bytes at a time. */
  seekpat_stream* stream = NULL;
  seekpat_stream* counter = NULL;
  struct seen fed = {{0}, 0};
  uint64_t streamed = 0;
  int streams_ok = seekpat_stream_new(needle, 1, &stream) == SEEKPAT_OK &&
                   seekpat_stream_new(needle, 0, &counter) == SEEKPAT_OK;
  for (size_t at = 0; streams_ok && at < n; ++at)
    streams_ok = seekpat_stream_feed(stream, text + at, 1, record_offset, &fed) == SEEKPAT_OK;
  for (size_t at = 0; streams_ok && at < n; at += 5)
    streams_ok =
        seekpat_stream_count(counter, text + at, n - at < 5 ? n - at : 5, &streamed) == SEEKPAT_OK;
  streams_ok = streams_ok && fed.k == 3 && fed.at[0] == 2 && fed.at[1] == 34 && fed.at[2] == 42 &&
               streamed == 3;
  seekpat_stream_free(stream);
  seekpat_stream_free(counter);
  seekpat_pattern_free(needle);
  seekpat("needle", text, map, (int)n); /* the plain entry point, from C */
  printf("C: \"needle\" occurs %zu times, first at %zu\n", count, s.at[0]);
  return ok && streams_ok && map[34] == 1 ? 0 : 1;
}
