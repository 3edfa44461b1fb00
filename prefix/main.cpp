// prefix_test: runs the vector prefix comparison beside its byte-loop reference on five sentence
// pairs and prints both results, so a disagreement shows at a glance.
#include "vpref.h"

#include <cstdio>
#include <cstring>

static void test(const char* name, const char* a, const char* b) {
  const int len_a = static_cast<int>(strlen(a));
  const int len_b = static_cast<int>(strlen(b));
  printf("%s:\n   a = %s\n   b = %s\n", name, a, b);
  const int result = vpref(a, b, len_a, len_b);
  const int result_ok = vpref_ok(a, b, len_a, len_b);
  printf("   --- Calcolato: %d\n", result);
  printf("   --- Corretto:  %d\n", result_ok);
}

int main(int, char**) {
  // vpref uses PTEST (SSE4.1); on a CPU without it the first call would die on an illegal
  // instruction. This file is built without SSE4.1 so that the check itself is safe to run.
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("sse4.1")) {
    fprintf(stderr, "prefix_test: this CPU lacks SSE4.1, which the vector comparison needs\n");
    return 1;
  }

  static const char same[] = "Questo e' un quarto test per verificare la correttezza";
  test("Test 1", "Questo e' un primo test per verificare la correttezza",
       "Questo e' un primo test");
  test("Test 2", "Questo e' un secondo test",
       "Questo e' un secondo test per verificare la correttezza");
  test("Test 3", "Questo e' un Terzo test",
       "Questo e' un terzo test per verificare la correttezza");
  test("Test 4", same, same);
  test("Test 5", "Questo e' un quinto test per verificare la correttezza",
       "Questo e' un quinto test per verificare la correttezzA");
  // Output that could not be written (a full disk, a closed pipe) must not end as a success.
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "prefix_test: failed to write output\n");
    return 1;
  }
  return 0;
}
