#pragma once

#include <cstddef>

#include "base/str_view.h"

namespace quarn {

// One "Key: value" line of what a log says about itself (a text log's "#" header block).
struct LogProperty {
  StrView key;
  StrView value;
};

// What a log says about itself, for trace formats that carry it along. Everything is borrowed
// from the reader and stays valid until the log's traces are ended.
struct LogInfo {
  StrView source_path;                      // the log's path as the run's messages name it
  StrView source_name;                      // the log's file name, without its folders
  const LogProperty* properties = nullptr;  // in the order the log gives them
  std::size_t property_count = 0;
};

}  // namespace quarn
