// search_bench's parts, apart from its entry point (main.cpp), so that the tests and the
// benchmark link the very functions the program runs.
#pragma once

#include <cstddef>
#include <cstdio>

// Wall-clock seconds.
double get_real_time();

// Prints "Error: msg" on standard error and exits with status 1. Standard output is not flushed
// first: exit() flushes it after the error line.
[[noreturn]] void panic(const char* msg);

// The reference map: out[i] = 1 where pattern (a C string) starts at text[i], else 0, for
// i < n; every position tested on its own with one memcmp.
void seekpat_seq(const char* pattern, const char* text, char* out, int n);

// The number of nonzero bytes of str[0, n); 0 for n <= 0.
int count_non_zero(const char* str, int n);

// The size of the file behind f, its position left as it was; -1 when it cannot be positioned
// (a pipe). Past what an int holds: "input file too large".
int get_file_size(FILE* f);

// Asks for 2 MiB pages for the part of buf[0, n) that covers whole huge pages, from 4 MiB on;
// changes no byte.
void advise_huge_pages(char* buf, std::size_t n);

// Reads f to its end into a block that grows as it fills, replacing *text (freed); returns its
// length. Past what an int holds: "input file too large"; a read error: "failed to read text".
int read_to_end(FILE* f, char** text);

// Runs the sequential and the parallel search on text[0, n), times both, and prints the report
// headed by msg.
void run_test(const char* pattern, const char* text, int n, const char* msg);
