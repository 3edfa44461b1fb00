#include "run_program.h"

#include <gtest/gtest.h>

namespace {

TEST(PrefixTestProgram, PrintsTheFiveReportsExactly) {
  const program_result r = run_program({PREFIX_TEST_PATH, "ignored", "arguments"});
  const char* expected = "Test 1:\n"
                         "   a = Questo e' un primo test per verificare la correttezza\n"
                         "   b = Questo e' un primo test\n"
                         "   --- Calcolato: 1\n"
                         "   --- Corretto:  1\n"
                         "Test 2:\n"
                         "   a = Questo e' un secondo test\n"
                         "   b = Questo e' un secondo test per verificare la correttezza\n"
                         "   --- Calcolato: 1\n"
                         "   --- Corretto:  1\n"
                         "Test 3:\n"
                         "   a = Questo e' un Terzo test\n"
                         "   b = Questo e' un terzo test per verificare la correttezza\n"
                         "   --- Calcolato: 0\n"
                         "   --- Corretto:  0\n"
                         "Test 4:\n"
                         "   a = Questo e' un quarto test per verificare la correttezza\n"
                         "   b = Questo e' un quarto test per verificare la correttezza\n"
                         "   --- Calcolato: 1\n"
                         "   --- Corretto:  1\n"
                         "Test 5:\n"
                         "   a = Questo e' un quinto test per verificare la correttezza\n"
                         "   b = Questo e' un quinto test per verificare la correttezzA\n"
                         "   --- Calcolato: 0\n"
                         "   --- Corretto:  0\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

} // namespace
