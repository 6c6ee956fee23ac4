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

// What an option's usage text says of its values, made from the names in table order without
// the heap, so that the command line parses in as little memory as before: `values` is
// "<asc|mf4|asc,mf4>" (each name alone, then all in one list), and `glossary` is `what` ("trace
// formats to write"), then ", comma-separated; both come from one reading" ("all" for more than
// two) when `one_reading`, else ", comma-separated; " and `note`, then ". defaults to " and the
// default's name.
struct FormatHelp {
  char values[96];
  char glossary[192];
};

// Fills `help`; false when a text would not fit, which only a much longer table could cause.
bool format_list_help(const char* const* names, int count, const char* what, bool one_reading, const char* note,
                      const char* default_name, FormatHelp& help);

// The same over a table whose rows have a `name`, in table order.
template <typename Row, std::size_t N>
bool format_list_parse(const char* text, const Row (&rows)[N], std::uint32_t& chosen) {
  const char* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = rows[i].name;
  return format_list_parse(text, names, static_cast<int>(N), chosen);
}
template <typename Row, std::size_t N>
bool format_list_help(const Row (&rows)[N], std::uint32_t default_bits, const char* what, bool one_reading,
                      const char* note, FormatHelp& help) {
  const char* names[N];
  const char* default_name = "";
  for (std::size_t i = 0; i < N; ++i) {
    names[i] = rows[i].name;
    if ((default_bits & (std::uint32_t{1} << i)) != 0) default_name = rows[i].name;
  }
  return format_list_help(names, static_cast<int>(N), what, one_reading, note, default_name, help);
}
template <typename Row, std::size_t N>
void print_format_list_error(std::FILE* out, const char* program_name, const char* what, const char* value,
                             const Row (&rows)[N]) {
  const char* names[N];
  for (std::size_t i = 0; i < N; ++i) names[i] = rows[i].name;
  print_format_list_error(out, program_name, what, value, names, static_cast<int>(N));
}

}  // namespace quarn
