#include "batch/input_format.h"

#include "io/path_names.h"

namespace quarn {

const InputFormat* input_format_of(const InputFormat* formats, int count, std::uint32_t among, StrView path) {
  StrView ext = path_extension(path);
  if (ext.data == nullptr || formats == nullptr) return nullptr;
  for (int i = 0; i < count && i < 32; ++i) {
    if ((among & (std::uint32_t{1} << i)) == 0) continue;
    for (const char* const* suffix = formats[i].suffixes; *suffix != nullptr; ++suffix) {
      if (sv_equal_ignoring_case(ext, sv(*suffix))) return &formats[i];
    }
  }
  return nullptr;
}

}  // namespace quarn
