#pragma once

#include <cstdint>
#include <memory>

#include "base/str_view.h"
#include "batch/log_reader.h"

namespace quarn {

// One input format: its name, the suffixes of its files and their reader.
struct InputFormat {
  const char* name;                        // as --input-format names it ("txt")
  const char* const* suffixes;             // of its files, without the dot, null-terminated ("txt")
  std::unique_ptr<LogReader> (*create)();  // null when memory runs out
};

// Every format of a table, as the `among` of input_format_of.
inline constexpr std::uint32_t kEveryInputFormat = ~std::uint32_t{0};

// The format of `path`, by its suffix in any letter case, among the formats of `formats` whose bit
// (bit i for formats[i]) is set in `among`; null when no such format takes that suffix.
const InputFormat* input_format_of(const InputFormat* formats, int count, std::uint32_t among, StrView path);

}  // namespace quarn
