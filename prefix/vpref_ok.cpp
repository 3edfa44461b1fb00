#include "vpref.h"

int vpref_ok(const char* a, const char* b, int len_a, int len_b) {
  const int m = len_a < len_b ? len_a : len_b;
  for (int i = 0; i < m; ++i)
    if (a[i] != b[i])
      return 0;
  return 1;
}
