// The parallel pattern search that search_bench times and checks against its sequential search.
#pragma once

// Writes the match map of `pattern` (NUL-terminated) over text[0, n) into out[0, n): out[i] is 1
// when the pattern starts at text + i and 0 everywhere else, the last p - 1 positions included
// (p = strlen(pattern)). Overlapping occurrences are all marked. Reads only text[0, n) and the
// pattern, writes only out[0, n), and returns when the map is complete; `out` may be uninitialised.
// Whatever threads it uses are started and joined inside the call. n <= 0 writes nothing.
void seekpat(const char* pattern, const char* text, char* out, int n);
