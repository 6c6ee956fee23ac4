#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace quarn {

// A comma-separated list of format names ("asc", "mf4,asc"), as --format and --input-format take
// it: each name of `names` (lower case) at most once, bit i for names[i]. False, leaving `chosen`
// as it was, for anything else (an unknown or repeated name, an empty piece).
bool format_list_parse(const char* text, const char* const* names, int count, std::uint32_t& chosen);

// Prints the line that says which values an option takes, for a value it does not:
// quarn: invalid trace format "x", expected asc, mf4 or a comma-separated list of them
void print_format_list_error(std::FILE* out, const char* program_name, const char* what, const char* value,
                             const char* const* names, int count);

// The same over a table whose rows have a `name`, in table order.
template <typename Row, std::size_t N>
bool format_list_parse(const char* text, const Row (&rows)[N], std::uint32_t& chosen) {
  const char* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = rows[i].name;
  return format_list_parse(text, names, static_cast<int>(N), chosen);
}
template <typename Row, std::size_t N>
void print_format_list_error(std::FILE* out, const char* program_name, const char* what, const char* value,
                             const Row (&rows)[N]) {
  const char* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = rows[i].name;
  print_format_list_error(out, program_name, what, value, names, static_cast<int>(N));
}

}  // namespace quarn
