// What becomes of the occurrences in one input: its count, its offsets, or only whether it has
// one (-q); each as soon as it is known where the input is a stream.
#pragma once

#include "args.h"
#include "output.h"
#include "seekpat.hpp"
#include "sources.h"

#include <string>

namespace seekpat_cli {

enum class outcome { none, found, failed };

// Searches one open input as o asks and prints what it finds to out, each line after `prefix`;
// a change or a read error gets a line on standard error (failed). Returns the outcome and, in
// *consumed, how many of its bytes were searched in place (standard input then moves past them).
// Throws std::bad_alloc.
outcome search_input(const input& in, const options& o, const seekpat_lib::pattern& pat,
                     const std::string& prefix, output& out, read_block& block,
                     std::uint64_t* consumed);

} // namespace seekpat_cli
