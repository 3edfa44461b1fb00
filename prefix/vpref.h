// Prefix comparison: do two byte strings agree over the length of the shorter one?
#pragma once

// 1 when the first min(len_a, len_b) bytes of a and b are equal, else 0. A compared length of 0
// or less compares nothing and yields 1. Reads only a[0, m) and b[0, m), m = min(len_a, len_b);
// needs SSE2 and SSE4.1 (the caller checks the CPU before the first call).
int vpref(const char* a, const char* b, int len_a, int len_b);

// The byte-loop reference: the same answer as vpref for every input, on any CPU.
int vpref_ok(const char* a, const char* b, int len_a, int len_b);
