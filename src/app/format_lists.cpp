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

namespace {

// Appends to a text of `size` bytes; false once it no longer fits.
bool append(char* text, std::size_t size, const char* tail) {
  const std::size_t used = std::strlen(text);
  const std::size_t n = std::strlen(tail);
  if (used + n >= size) return false;
  std::memcpy(text + used, tail, n + 1);
  return true;
}

}  // namespace

bool format_list_help(const char* const* names, int count, const char* what, bool one_reading, const char* note,
                      const char* default_name, FormatHelp& help) {
  bool ok = true;
  auto values = [&ok, &help](const char* text) { ok = append(help.values, sizeof help.values, text) && ok; };
  auto glossary = [&ok, &help](const char* text) { ok = append(help.glossary, sizeof help.glossary, text) && ok; };
  help.values[0] = '\0';
  help.glossary[0] = '\0';
  values("<");
  for (int i = 0; i < count; ++i) {
    if (i > 0) values("|");
    values(names[i]);
  }
  for (int i = 0; count > 1 && i < count; ++i) {
    values(i == 0 ? "|" : ",");
    values(names[i]);
  }
  values(">");
  glossary(what);
  glossary(", comma-separated; ");
  if (one_reading) {
    glossary(count == 2 ? "both" : "all");
    glossary(" come from one reading");
  } else {
    glossary(note);
  }
  glossary(". defaults to ");
  glossary(default_name);
  return ok;
}

void print_format_list_error(std::FILE* out, const char* program_name, const char* what, const char* value,
                             const char* const* names, int count) {
  std::fprintf(out, "%s: invalid %s \"%s\", expected", program_name, what, value);
  for (int i = 0; i < count; ++i) std::fprintf(out, "%s %s", i == 0 ? "" : ",", names[i]);
  std::fputs(" or a comma-separated list of them\n", out);
}

}  // namespace quarn
