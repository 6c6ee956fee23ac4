#include "io/path_names.h"

namespace quarn {

StrView path_file_name(StrView path) {
  std::int64_t i = path.length;
  while (i > 0 && path.data[i - 1] != '/') --i;
  return StrView{path.data + i, path.length - i};
}

StrView path_extension(StrView path) {
  StrView name = path_file_name(path);
  for (std::int64_t i = name.length; i > 0; --i) {
    if (name.data[i - 1] == '.') return StrView{name.data + i, name.length - i};
  }
  return StrView{};
}

StrView path_parent(StrView path) { return StrView{path.data, path.length - path_file_name(path).length}; }

}  // namespace quarn
