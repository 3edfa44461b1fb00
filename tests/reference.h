// The match map by its definition, position by position: what every fast search is checked
// against.
#pragma once

#include <string>
#include <vector>

inline std::string reference_map(const std::string& pattern, const std::string& text) {
  std::string map(text.size(), '\0');
  for (std::size_t i = 0; i + pattern.size() <= text.size(); ++i)
    map[i] = text.compare(i, pattern.size(), pattern) == 0;
  return map;
}

// The positions where the pattern starts, in increasing order, by the same definition.
inline std::vector<std::size_t> reference_positions(const std::string& pattern,
                                                    const std::string& text) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + pattern.size() <= text.size(); ++i)
    if (text.compare(i, pattern.size(), pattern) == 0)
      at.push_back(i);
  return at;
}
