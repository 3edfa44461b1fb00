/* seekpat's C interface: the parallel pattern search that search_bench times and checks against
 * its sequential search, and prepared patterns for programs in C and for other languages'
 * bindings. Every function here has C linkage. */
#ifndef SEEKPAT_H
#define SEEKPAT_H

#include <stddef.h>
#include <stdint.h>

#define SEEKPAT_C_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the match map of `pattern` (NUL-terminated) over text[0, n) into out[0, n): out[i] is 1
 * when the pattern starts at text + i and 0 everywhere else, the last p - 1 positions included
 * (p = strlen(pattern)). Overlapping occurrences are all marked. Reads only text[0, n) and the
 * pattern, writes only out[0, n), and returns when the map is complete; `out` may be
 * uninitialised and must not overlap the text or the pattern. The work is shared with helper
 * threads that the library starts on first need and keeps, blocked, for later calls (see
 * seekpat.hpp); none of them is still at work on this call when it returns. n <= 0, or a null
 * pattern, text or out, writes nothing. */
SEEKPAT_C_API void seekpat(const char* pattern, const char* text, char* out, int n);

/* A pattern prepared once for any number of searches: any bytes, NUL included. Immutable, so
 * one handle may serve several threads at once. */
typedef struct seekpat_pattern seekpat_pattern;

/* Return codes. */
#define SEEKPAT_OK 0
#define SEEKPAT_STOPPED 1 /* seekpat_pattern_positions: the callback asked to stop */
/* A bad argument: a null handle, a null out-pointer (pat, stream, count) or callback, a null
 * text, data, bytes or map with a nonzero length, or a map that overlaps its text. */
#define SEEKPAT_EINVAL (-1)
#define SEEKPAT_ENOMEM (-2) /* memory ran out; a stream searcher stays exact for later chunks */

/* Copies bytes[0, p) and prepares them; *pat is the new handle, or null on an error. */
SEEKPAT_C_API int seekpat_pattern_new(const void* bytes, size_t p, seekpat_pattern** pat);
/* Frees a handle from seekpat_pattern_new; null is ignored. */
SEEKPAT_C_API void seekpat_pattern_free(seekpat_pattern* pat);

/* `threads` as in seekpat.hpp: at most that many, 0 for up to every hardware thread, 1 for the
 * calling thread alone. Every search reads only text[0, n), and takes time linear in n + p. */

/* The number of (overlapping) occurrences in text[0, n), into *count. */
SEEKPAT_C_API int seekpat_pattern_count(const seekpat_pattern* pat, const void* text, size_t n,
                                        unsigned threads, size_t* count);
/* The match map of text[0, n) into out[0, n), which must not overlap the text. */
SEEKPAT_C_API int seekpat_pattern_map(const seekpat_pattern* pat, const void* text, size_t n,
                                      void* out, unsigned threads);
/* Calls fn(ctx, position) for the start of every occurrence, in increasing order, on the calling
 * thread; a nonzero return from fn stops the search, and the call returns SEEKPAT_STOPPED. */
SEEKPAT_C_API int seekpat_pattern_positions(const seekpat_pattern* pat, const void* text, size_t n,
                                            unsigned threads, int (*fn)(void* ctx, size_t position),
                                            void* ctx);

/* A stream searched in successive chunks of any size exactly as the whole stream would be as one
 * text: every occurrence once, with its offset from the stream's first byte. Holds the last
 * p - 1 bytes fed; serves one stream from one thread at a time. */
typedef struct seekpat_stream seekpat_stream;

/* A stream searcher for pat, which must outlive it; *stream is the new handle, or null on an
 * error. */
SEEKPAT_C_API int seekpat_stream_new(const seekpat_pattern* pat, unsigned threads,
                                     seekpat_stream** stream);
/* Frees a handle from seekpat_stream_new; null is ignored. */
SEEKPAT_C_API void seekpat_stream_free(seekpat_stream* stream);
/* Feeds data[0, n) and calls fn(ctx, offset) for each occurrence it completes, in increasing
 * order; a nonzero return from fn stops the reports of this chunk (the chunk is taken whole all
 * the same), and the call returns SEEKPAT_STOPPED. */
SEEKPAT_C_API int seekpat_stream_feed(seekpat_stream* stream, const void* data, size_t n,
                                      int (*fn)(void* ctx, uint64_t offset), void* ctx);
/* Feeds data[0, n) and adds the number of occurrences it completes to *count. */
SEEKPAT_C_API int seekpat_stream_count(seekpat_stream* stream, const void* data, size_t n,
                                       uint64_t* count);

#ifdef __cplusplus
}
#endif

#endif
