// What becomes of the occurrences of one input: a count, offsets, or the status alone.
#pragma once

#include "args.h"
#include "output.h"
#include "seekpat.hpp"

#include <cstddef>
#include <string>

namespace seekpat_cli {

extern const char stdin_name[];

enum class outcome { none, found, failed };

// Searches one input: reads it in blocks, feeds them to a stream searcher and prints the count or
// the offsets. An input that cannot be read gets one line on standard error.
outcome search_input(const options& o, const seekpat_lib::pattern& pat, const std::string& arg,
                     bool named, char* buf, std::size_t buf_size, output& out);

} // namespace seekpat_cli
