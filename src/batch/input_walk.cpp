#include "batch/input_walk.h"

#include <cstring>
#include <utility>

#include "base/platform.h"
#include "batch/log_conversion.h"
#include "batch/parallel_run.h"
#include "batch/run_totals.h"
#include "io/dir_listing.h"
#include "logging/report.h"

namespace quarn {

namespace {

// One folder on the way from a top-level input down to the folder being walked. The chain lives
// on the stack of the recursion, so it costs no allocation and is exactly as deep as the walk.
struct WalkAncestor {
  std::uint64_t device;
  std::uint64_t inode;
  const WalkAncestor* parent;
};

// A file system that knows no identities reports them as 0; such folders are never taken for
// one another.
bool is_on_walk_path(const WalkAncestor* chain, const PathInfo& folder) {
  if (folder.device == 0 && folder.inode == 0) return false;
  for (const WalkAncestor* a = chain; a != nullptr; a = a->parent) {
    if (a->device == folder.device && a->inode == folder.inode) return true;
  }
  return false;
}

// The input format of a file, by its suffix in any letter case: among the walked formats, or any
// format for a file named on the command line. Null: the file is no log.
const InputFormat* format_of(const RunOptions* options, StrView path, bool named) {
  if (options == nullptr) return nullptr;
  StrView ext = path_extension(path);
  if (ext.data == nullptr) return nullptr;
  for (int i = 0; i < options->input_format_count; ++i) {
    const InputFormat& format = options->input_formats[i];
    if (!named && (options->walked_formats & (std::uint32_t{1} << i)) == 0) continue;
    if (sv_equal_ignoring_case(ext, sv(format.name))) return &format;
  }
  return nullptr;
}

// parent, then "/" unless parent is empty or already ends in "/", then name. False when memory
// runs out: a path cut short would name another file or folder (the parent itself, a name below
// the root), which must never be converted, nor written to, in its place.
[[nodiscard]] bool child_path(DynString& out, StrView parent, const DynString& name) {
  dynstr_from(out, parent);
  if (dynstr_length(out) != parent.length) return false;
  if (parent.length > 0 && parent.data[parent.length - 1] != '/' && dynstr_append(out, "/", 1) == nullptr) return false;
  return dynstr_append(out, dynstr_view(name)) != nullptr;
}

// Lends a run's record of written files and its totals to the converter for as long as the run
// lasts.
class RunScope {
 public:
  RunScope(Converter& converter, WrittenFiles& written, RunTotals& totals)
      : converter_(converter), outer_written_(converter.written), outer_totals_(converter.totals) {
    converter_.written = &written;
    converter_.totals = &totals;
  }
  ~RunScope() {
    converter_.written = outer_written_;
    converter_.totals = outer_totals_;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  Converter& converter_;
  WrittenFiles* outer_written_;
  RunTotals* outer_totals_;
};

// The walk proper. `stop` is raised when a path cannot be examined at all: the run must end
// there, as it does for a top-level input whose query fails.
// What one walk carries along: where logs go, and the output folder it made last.
struct Walk {
  Converter* converter;
  ParallelRun* parallel;  // null: each log is converted where the walk finds it
  // The logs of one folder share their output folder: made (or found) once, it is not asked for
  // again at every log.
  DynString made_folder;
};

int walk(Walk& w, StrView input_path, StrView output_path, const WalkAncestor* ancestors, bool& stop) {
  Converter* const converter = w.converter;
  PathInfo info;
  if (!fs_stat(converter->input_fs, input_path, info)) {
    report(LogLevel::Fatal, "Error during stat of %.*s, exiting", sv_len(input_path), input_path.data);
    stop = true;
    return kStatusBadPath;
  }

  switch (info.kind) {
    case PathKind::Missing:
      report(LogLevel::Warning, "Could not find input file/folder %.*s", sv_len(input_path), input_path.data);
      return kStatusInputMissing;
    case PathKind::Other:
      return kStatusBadPath;
    case PathKind::Folder: {
      // A link back to a folder we are already inside would make the walk endless; everything
      // behind it is being converted through the real path anyway.
      if (is_on_walk_path(ancestors, info)) return kStatusOk;
      const WalkAncestor self{info.device, info.inode, ancestors};
      DirListing listing;
      int status = kStatusOk;
      // What could be listed is still converted; the rest must not pass for an empty folder.
      if (!fs_list(converter->input_fs, input_path, listing)) {
        report(LogLevel::Error, "Could not list folder %.*s", sv_len(input_path), input_path.data);
        status = kStatusConvertFailed;
      }
      DirListingCursor cursor;
      DynString child_in;
      DynString child_out;
      while (const DirEntry* entry = dirlisting_next(listing, cursor)) {
        if (!child_path(child_in, input_path, entry->name) || !child_path(child_out, output_path, entry->name)) {
          report(LogLevel::Error, "Could not allocate memory for the path of %s in %.*s", dynstr_data(entry->name),
                 sv_len(input_path), input_path.data);
          status |= kStatusConvertFailed;
          continue;
        }
        status |= walk(w, dynstr_view(child_in), dynstr_view(child_out), &self, stop);
        if (stop) return kStatusBadPath;
      }
      return status;
    }
    case PathKind::File:
      break;
  }

  // A file named on the command line converts by its suffix, whatever the walk takes.
  const InputFormat* format = format_of(converter->options, input_path, ancestors == nullptr);
  if (format == nullptr) return kStatusOk;
  // The output ends in the same name as the input, without its suffix.
  const std::int64_t suffix = path_extension(input_path).length + 1;
  StrView base{output_path.data, output_path.length >= suffix ? output_path.length - suffix : 0};
  StrView folder = path_parent(base);
  if (converter->create_output_dirs && !sv_equal(folder, dynstr_view(w.made_folder))) {
    // A folder that cannot be made shows up as an output that cannot be opened.
    if (fs_make_dirs(converter->output_fs, folder)) {
      dynstr_from(w.made_folder, folder);
    } else {
      dynstr_clear(w.made_folder);
    }
  }
  // Beside others, its status comes when all are done.
  if (w.parallel != nullptr) {
    w.parallel->submit(*format, input_path, base);
    return kStatusOk;
  }
  int status = convert_log(converter, *format, input_path, base);
  if (status != kStatusOk) {
    report(LogLevel::Error, "Error during conversion of %.*s", sv_len(input_path), input_path.data);
  }
  return status;
}

// "logs/" -> "logs_out/", "trip" -> "trip_out": "_out" goes in front of the first "/". False
// when memory runs out (the traces would land among the logs).
[[nodiscard]] bool append_out_suffix(DynString& out, StrView input) {
  std::int64_t cut = input.length;
  const void* slash = input.length > 0 ? std::memchr(input.data, '/', static_cast<std::size_t>(input.length)) : nullptr;
  if (slash != nullptr) cut = static_cast<const char*>(slash) - input.data;
  dynstr_clear(out);
  return dynstr_reserve(out, input.length + 4) != nullptr && dynstr_append(out, input.data, cut) != nullptr &&
         dynstr_append(out, "_out", 4) != nullptr && dynstr_append(out, input.data + cut, input.length - cut) != nullptr;
}

}  // namespace

bool find_common_root(DynStringList& inputs, DynString& root, int& status) {
  StrView parent{};
  bool have_parent = false;
  bool parents_differ = false;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView s = dynstr_view(inputs.items[k]);
    std::int64_t i = s.length - 1;
    if (s.length > 1 && s.data[s.length - 1] == '/') i = s.length - 2;
    // The path must have a folder to be relative to. Where "/" is the root folder, inputs directly
    // below it have it as their root; "/" itself has none, nor has a share ("//host/share/"),
    // whose root is never "//host/".
    while (i >= 0 && s.data[i] != '/') --i;
    if (i < 0 || (i == 0 && !(kPlatformSlashIsRoot && s.length > 1)) || i + 1 < path_root_length(s)) {
      report(LogLevel::Fatal, "Could not find root for %.*s", sv_len(s), s.data);
      status = kStatusNoCommonRoot;
      return false;
    }
    StrView p{s.data, i + 1};
    if (!have_parent) {
      parent = p;
      have_parent = true;
    } else if (!sv_equal(parent, p)) {
      parents_differ = true;
    }
  }
  if (!have_parent) {
    status = kStatusNoCommonRoot;
    return false;
  }
  if (parents_differ) {
    report(LogLevel::Fatal, "No common root detected for all inputs");
    status = kStatusNoCommonRoot;
    return false;
  }

  dynstr_from(root, parent);
  // Every input begins with the root, so cutting it off in place needs no new strings.
  std::int64_t root_length = dynstr_length(root);
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    DynString& s = inputs.items[k];
    std::int64_t n = dynstr_length(s);
    std::int64_t cut = root_length < n ? root_length : n;
    char* p = dynstr_data(s);
    std::memmove(p, p + cut, static_cast<std::size_t>(n - cut));
    dynstr_set_length(s, n - cut);
  }
  return true;
}

namespace {

int run_inputs(Converter* converter, ParallelRun* parallel, const DynStringList& inputs) {
  Walk w{converter, parallel, DynString{}};
  bool append_root = converter->options == nullptr || !converter->options->no_append_root;
  int status = kStatusOk;
  DynString output;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView input = dynstr_view(inputs.items[k]);
    dynstr_from(output, input);
    bool formed = dynstr_length(output) == input.length;
    if (append_root) {
      PathInfo info;
      if (!fs_stat(converter->input_fs, input, info)) {
        report(LogLevel::Fatal, "Could not query %.*s for information", sv_len(input), input.data);
        return kStatusBadPath;
      }
      if (info.kind == PathKind::Folder) formed = append_out_suffix(output, input);
    }
    if (!formed) {
      report(LogLevel::Error, "Could not allocate memory for the output path of %.*s", sv_len(input), input.data);
      status |= kStatusConvertFailed;
      continue;
    }
    bool stop = false;
    status |= walk(w, input, dynstr_view(output), nullptr, stop);
    if (stop) return kStatusBadPath;
  }
  return status;
}

}  // namespace

int converter_run(Converter* converter, const DynStringList& inputs) {
  return converter_run_parallel(converter, 1, nullptr, nullptr, inputs);
}

int converter_run_parallel(Converter* walker, int jobs, ConverterFactory make, void* context,
                           const DynStringList& inputs) {
  if (inputs.count == 0) return kStatusOk;
  if (walker == nullptr) return kStatusConvertFailed;
  if (jobs > kMaxParallelJobs) jobs = kMaxParallelJobs;
  RunTotals totals;
  // What this run puts in place, so that no later log of it replaces an earlier one's trace.
  WrittenFiles written;
  int status;
  {
    RunScope scope(*walker, written, totals);
    std::unique_ptr<ParallelRun> parallel;
    if (jobs > 1) {
      parallel = parallel_run_start(*walker, jobs, make, context, written, totals);
      if (!parallel) {
        report(LogLevel::Error, "Could not start %d conversions at once, converting one log at a time", jobs);
      }
    }
    // Without workers the walk converts each log where it finds it.
    status = run_inputs(walker, parallel.get(), inputs);
    if (parallel) status |= parallel->finish();
  }
  run_totals_report(totals);
  return status;
}

int converter_process_path(Converter* converter, StrView input_path, StrView output_path) {
  if (converter == nullptr) return kStatusConvertFailed;
  bool stop = false;
  Walk w{converter, nullptr, DynString{}};
  return walk(w, input_path, output_path, nullptr, stop);
}

}  // namespace quarn
