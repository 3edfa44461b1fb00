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

// Output that cannot be written ends as a failure, whatever makes the writes fail.
TEST(PrefixTestProgram, OutputThatCannotBeWritten) {
  for (output_to to : {output_to::full_device, output_to::closed, output_to::broken_pipe}) {
    run_options o;
    o.out = to;
    const program_result r = run_program({PREFIX_TEST_PATH}, o);
    EXPECT_EQ(r.err, "prefix_test: failed to write output\n") << static_cast<int>(to);
    EXPECT_EQ(r.status, 1) << static_cast<int>(to);
  }
}

// On a CPU without SSE4.1 the vector comparison would die on an illegal instruction; the program
// must say so and exit 1 instead. Emulated here with a user-mode emulator's Core 2 model, which
// has SSE2 and SSSE3 but not SSE4.1.
TEST(PrefixTestProgram, CpuWithoutSse41IsRefusedWithOneLine) {
  if (const std::string why = no_emulator(); !why.empty())
    GTEST_SKIP() << why;
  const program_result r = run_program({emulator, "-cpu", "core2duo", PREFIX_TEST_PATH});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "prefix_test: this CPU lacks SSE4.1, which the vector comparison needs\n");
  EXPECT_EQ(r.status, 1);
}

} // namespace
