#include "app/format_lists.h"

#include <cstring>

#include "base/str_view.h"

namespace quarn {

bool format_list_parse(const char* text, const char* const* names, int count, std::uint32_t& chosen) {
  if (text == nullptr) return false;
  std::uint32_t bits = 0;
  const char* piece = text;
  for (;;) {
    const char* comma = std::strchr(piece, ',');
    StrView name{piece, comma != nullptr ? comma - piece : static_cast<std::int64_t>(std::strlen(piece))};
    std::uint32_t bit = 0;
    for (int i = 0; i < count; ++i) {
      if (sv_equal(name, sv(names[i]))) bit = std::uint32_t{1} << i;
    }
    if (bit == 0 || (bits & bit) != 0) return false;
    bits |= bit;
    if (comma == nullptr) break;
    piece = comma + 1;
  }
  chosen = bits;
  return true;
}

void print_format_list_error(std::FILE* out, const char* program_name, const char* what, const char* value,
                             const char* const* names, int count) {
  std::fprintf(out, "%s: invalid %s \"%s\", expected", program_name, what, value);
  for (int i = 0; i < count; ++i) std::fprintf(out, "%s %s", i == 0 ? "" : ",", names[i]);
  std::fputs(" or a comma-separated list of them\n", out);
}

}  // namespace quarn
