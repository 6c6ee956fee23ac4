#pragma once

#include <memory>

#include "base/dyn_string.h"
#include "base/memory.h"
#include "batch/run_options.h"
#include "io/file_system.h"
#include "mdf4/mdf4_writer.h"

namespace quarn {

// Everything one run of the program owns, from the parse of the command line until the end.
// The run's log context borrows the file systems and the options, so the context outlives it.
struct ToolContext : HeapObject {
  ToolContext() = default;
  // Releases the strings and lists, then the root, then output_fs when it is a file system of
  // its own, then input_fs. A partly filled context is released just as well.
  ~ToolContext();
  ToolContext(const ToolContext&) = delete;
  ToolContext& operator=(const ToolContext&) = delete;

  RunOptions options;               // buffer_size -1, flags false until the options are applied
  Mdf4Compression mf4_compression = Mdf4Compression::Transposed;  // --mf4-compression
  DynString root;                   // the common folder of the inputs, ending in "/"
  DynStringList inputs;             // absolute while parsing, relative to root afterwards
  DynStringList output_directory;   // 0 or 1 entries
  DynString output_as_typed;        // the -O value as the user typed it, for messages
  DynStringList report_file;        // 0 or 1 entries: --report, absolute
  std::unique_ptr<FileSystem> input_fs;         // rooted at root
  std::unique_ptr<FileSystem> own_output_fs;    // rooted at the output directory, when one is given
  FileSystem* output_fs = nullptr;  // own_output_fs, or input_fs itself when there is none
};

// A new, empty context; null when memory runs out.
std::unique_ptr<ToolContext> tool_context_create();

}  // namespace quarn
