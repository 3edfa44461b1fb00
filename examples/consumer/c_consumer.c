/* Counts and lists the occurrences of a pattern through the installed library's C interface;
 * exits 1 when the answer is not the one worked out by hand. */
#include <seekpat.h>

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
  seekpat_pattern_free(needle);
  seekpat("needle", text, map, (int)n); /* the plain entry point, from C */
  printf("C: \"needle\" occurs %zu times, first at %zu\n", count, s.at[0]);
  return ok && map[34] == 1 ? 0 : 1;
}
