#include "batch/input_walk.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "base/platform.h"
#include "batch/log_conversion.h"
#include "batch/named_inputs.h"
#include "batch/parallel_run.h"
#include "batch/run_report.h"
#include "batch/run_totals.h"
#include "batch/shard.h"
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
  return input_format_of(options->input_formats, options->input_format_count,
                         named ? kEveryInputFormat : options->walked_formats, path);
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

// The folder where the traces of a top-level folder input go, so that no walk enters it: with
// "-O" inside an input, a walk would otherwise convert the traces it has just written, again and
// again, ever deeper. It may not exist when the run starts, so its identity is learnt once it does.
struct OutputRoot {
  DynString path;        // relative to the output file system
  PathInfo info;         // kind Missing until the folder has been seen
  bool settled = false;  // no longer looked for: seen, or its input's walk is over without it
  bool walked = false;   // the input folder itself (-X): its traces go among its logs
};

// Whether the folder `input_path` (`info`) is the output root of a top-level input; learns the
// identities of roots that have come into being since they were last looked for.
bool is_output_root(const LogContext& run, OutputRoot* roots, std::int64_t count, StrView input_path,
                    const PathInfo& info) {
  DynString full;
  DynString root_full;
  bool have_full = false;
  for (std::int64_t k = 0; k < count; ++k) {
    OutputRoot& r = roots[k];
    if (!r.settled) {
      PathInfo now;
      if (fs_stat(run.output_fs, dynstr_view(r.path), now) && now.kind == PathKind::Folder) {
        r.info = now;
        r.settled = true;
      }
      platform_clear_failure();
    }
    if (r.info.kind != PathKind::Folder) continue;
    if ((r.info.device != 0 || r.info.inode != 0) && (info.device != 0 || info.inode != 0)) {
      if (r.info.device == info.device && r.info.inode == info.inode) return true;
      continue;
    }
    // A file system without identities: the full paths decide, without the trailing "/".
    if (!have_full) {
      if (!fs_full_path(*run.input_fs, input_path, full)) return false;
      while (dynstr_length(full) > 1 && dynstr_data(full)[dynstr_length(full) - 1] == '/') dynstr_pop_char(full);
      have_full = true;
    }
    if (!fs_full_path(*run.output_fs, dynstr_view(r.path), root_full)) continue;
    while (dynstr_length(root_full) > 1 && dynstr_data(root_full)[dynstr_length(root_full) - 1] == '/') {
      dynstr_pop_char(root_full);
    }
    if (path_equal(dynstr_view(full), dynstr_view(root_full))) return true;
  }
  return false;
}

// The walk proper. `stop` is raised when a path cannot be examined at all: the run must end
// there, as it does for a top-level input whose query fails.
// What one walk carries along: where logs go, and the output folder it made last.
struct Walk {
  const LogContext* run;
  TraceSink* sink;
  ParallelRun* parallel;  // null: each log is converted where the walk finds it
  // The logs of one folder share their output folder: made (or found) once, it is not asked for
  // again at every log.
  DynString made_folder;
  OutputRoot* roots = nullptr;  // those of the inputs walked so far and the one being walked
  std::int64_t root_count = 0;
  LogRecord record{};              // the log in hand's, when the run is reported
  std::int64_t other_shards = 0;  // logs passed over as another shard's
};

// Whether the log whose traces go behind `base` is another shard's.
bool of_other_shard(const LogContext& run, StrView base) {
  const RunOptions* options = run.options;
  return options != nullptr && options->shard_count > 0 && shard_of(base, options->shard_count) != options->shard_index;
}

// `output_path` without the suffix of its file name.
StrView output_base(StrView output_path) {
  StrView ext = path_extension(output_path);
  if (ext.data == nullptr) return output_path;
  return StrView{output_path.data, output_path.length - ext.length - 1};
}

// Whether a listed input that is gone was converted and deleted by an earlier run of this task:
// a trace of this run's formats is there where its traces go. A path that was never there has none.
bool converted_before(const LogContext& run, StrView input_path, StrView output_path) {
  const RunOptions* options = run.options;
  if (options == nullptr || !options->inputs_listed || !options->delete_converted) return false;
  if (format_of(options, input_path, true) == nullptr) return false;
  StrView base = output_base(output_path);
  DynString trace;
  for (int i = 0; i < options->trace_suffix_count; ++i) {
    dynstr_from(trace, base);
    if (dynstr_append(trace, options->trace_suffixes[i],
                      static_cast<std::int64_t>(std::strlen(options->trace_suffixes[i]))) == nullptr) {
      return false;
    }
    PathInfo info;
    const bool known = fs_stat(run.output_fs, dynstr_view(trace), info);
    platform_clear_failure();
    if (known && info.kind == PathKind::File) return true;
  }
  return false;
}

int walk(Walk& w, StrView input_path, StrView output_path, const WalkAncestor* ancestors, bool& stop) {
  const LogContext& run = *w.run;
  PathInfo info;
  if (!fs_stat(run.input_fs, input_path, info)) {
    report(LogLevel::Fatal, "Error during stat of %.*s, exiting", sv_len(input_path), input_path.data);
    stop = true;
    return kStatusBadPath;
  }

  switch (info.kind) {
    case PathKind::Missing:
      if (ancestors == nullptr) {
        // A listed path reaches every shard; only the one its traces would belong to speaks of it.
        if (of_other_shard(run, output_base(output_path))) return kStatusOk;
        if (converted_before(run, input_path, output_path)) {
          report(LogLevel::Info, "%.*s is gone and its traces are there: converted by an earlier run",
                 sv_len(input_path), input_path.data);
          return kStatusOk;
        }
      }
      report(LogLevel::Warning, "Could not find input file/folder %.*s", sv_len(input_path), input_path.data);
      return kStatusInputMissing;
    case PathKind::Other:
      // Named on the command line, it must not end the run with a status and no word of why.
      if (ancestors == nullptr) {
        report(LogLevel::Error, "Path is neither a file nor a folder: %.*s", sv_len(input_path), input_path.data);
      }
      return kStatusBadPath;
    case PathKind::Folder: {
      // A link back to a folder we are already inside would make the walk endless; everything
      // behind it is being converted through the real path anyway.
      if (is_on_walk_path(ancestors, info)) return kStatusOk;
      if (ancestors != nullptr && is_output_root(run, w.roots, w.root_count, input_path, info)) {
        report(LogLevel::Debug, "Passed over the output folder %.*s", sv_len(input_path), input_path.data);
        return kStatusOk;
      }
      const WalkAncestor self{info.device, info.inode, ancestors};
      DirListing listing;
      int status = kStatusOk;
      // What could be listed is still converted; the rest must not pass for an empty folder.
      if (!fs_list(run.input_fs, input_path, listing)) {
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
  const InputFormat* format = format_of(run.options, input_path, ancestors == nullptr);
  if (format == nullptr) return kStatusOk;
  // The output ends in the same name as the input, without its suffix.
  const std::int64_t suffix = path_extension(input_path).length + 1;
  StrView base{output_path.data, output_path.length >= suffix ? output_path.length - suffix : 0};
  if (of_other_shard(run, base)) {
    ++w.other_shards;
    run_totals_pass_over(run.totals);
    return kStatusOk;
  }
  StrView folder = path_parent(base);
  if (run.create_output_dirs && !sv_equal(folder, dynstr_view(w.made_folder))) {
    // A folder that cannot be made shows up as an output that cannot be opened.
    if (fs_make_dirs(run.output_fs, folder)) {
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
  RunReport* run_report = run.report;
  if (run_report != nullptr) w.record.begin(input_path, *format);
  int status = convert_log(run, *w.sink, *format, input_path, base);
  if (status != kStatusOk) {
    report(LogLevel::Error, "Error during conversion of %.*s", sv_len(input_path), input_path.data);
  }
  if (run_report != nullptr) {
    w.record.end();
    run_report->add(w.record);
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

namespace {

// The folder that holds the input `s`, with its "/"; false (reported, with `status`) when it has
// none to be relative to. Where "/" is the root folder, inputs directly below it have it as their
// root; "/" itself has none, nor has a share ("//host/share/"), whose root is never "//host/".
bool parent_of_input(StrView s, StrView& parent, int& status) {
  std::int64_t i = s.length - 1;
  if (s.length > 1 && s.data[s.length - 1] == '/') i = s.length - 2;
  while (i >= 0 && s.data[i] != '/') --i;
  if (i < 0 || (i == 0 && !(kPlatformSlashIsRoot && s.length > 1)) || i + 1 < path_root_length(s)) {
    report(LogLevel::Fatal, "Could not find root for %.*s", sv_len(s), s.data);
    status = kStatusNoCommonRoot;
    return false;
  }
  parent = StrView{s.data, i + 1};
  return true;
}

// Makes `common` the root and cuts it off the front of every input, all of which begin with it,
// in place: no new strings. False (reported) when memory runs out.
bool take_root(DynStringList& inputs, StrView common, DynString& root, int& status) {
  dynstr_from(root, common);
  const std::int64_t root_length = dynstr_length(root);
  if (root_length != common.length) {
    report(LogLevel::Fatal, "Could not allocate memory for the root of the inputs");
    status = kStatusSetupFailed;
    return false;
  }
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

}  // namespace

bool find_common_root(DynStringList& inputs, DynString& root, int& status) {
  StrView parent{};
  bool have_parent = false;
  bool parents_differ = false;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView p;
    if (!parent_of_input(dynstr_view(inputs.items[k]), p, status)) return false;
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
  return take_root(inputs, parent, root, status);
}

bool find_deepest_root(DynStringList& inputs, DynString& root, int& status) {
  StrView common{};
  bool have_common = false;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView parent;
    if (!parent_of_input(dynstr_view(inputs.items[k]), parent, status)) return false;
    if (!have_common) {
      common = parent;
      have_common = true;
      continue;
    }
    // The longest stretch both begin with that ends at a "/".
    std::int64_t n = common.length < parent.length ? common.length : parent.length;
    std::int64_t same = 0;
    while (same < n && common.data[same] == parent.data[same]) ++same;
    if (same < common.length) {
      while (same > 0 && common.data[same - 1] != '/') --same;
      common.length = same;
    }
  }
  if (!have_common) {
    status = kStatusNoCommonRoot;
    return false;
  }
  // Nothing in common, or only what lies above a root folder ("//host/" of two shares): no folder
  // holds them all.
  const std::int64_t root_folder = path_root_length(common);
  if (root_folder == 0 || common.length < root_folder) {
    report(LogLevel::Fatal, "No common root detected for all inputs");
    status = kStatusNoCommonRoot;
    return false;
  }
  return take_root(inputs, common, root, status);
}

namespace {

// The output path of a top-level input: the input itself, or for a folder with "_out" appended
// unless the options say otherwise. False when memory runs out.
[[nodiscard]] bool output_of(const LogContext& run, StrView input, const PathInfo& info, DynString& output) {
  const bool append_root = run.options == nullptr || !run.options->no_append_root;
  if (append_root && info.kind == PathKind::Folder) return append_out_suffix(output, input);
  dynstr_from(output, input);
  return dynstr_length(output) == input.length;
}

// Looks at every top-level input before the first log converts: the files it names, which no
// trace may replace, and the output roots of its folders, which no walk enters. A query that fails
// here is left to the walk, which reports it in its turn. False when memory runs out.
[[nodiscard]] bool survey_inputs(const LogContext& run, const DynStringList& inputs, NamedInputs& named,
                                 OutputRoot* roots) {
  DynString full;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView input = dynstr_view(inputs.items[k]);
    PathInfo info;
    const bool known = fs_stat(run.input_fs, input, info);
    platform_clear_failure();
    if (!known) continue;
    if (info.kind == PathKind::File) {
      if (!fs_full_path(*run.input_fs, input, full)) return false;
      named.add(info, dynstr_view(full));
      continue;
    }
    if (info.kind != PathKind::Folder) continue;
    OutputRoot& r = roots[k];
    if (!output_of(run, input, info, r.path)) return false;
    PathInfo now;
    r.settled = true;  // a root missing now can come into being only while its own input is walked
    if (!fs_stat(run.output_fs, dynstr_view(r.path), now) || now.kind != PathKind::Folder) {
      platform_clear_failure();
      continue;
    }
    DynString in_full;
    DynString out_full;
    const bool identities = (now.device != 0 || now.inode != 0) && (info.device != 0 || info.inode != 0);
    bool itself = identities && now.device == info.device && now.inode == info.inode;
    if (!identities) {
      if (!fs_full_path(*run.input_fs, input, in_full) ||
          !fs_full_path(*run.output_fs, dynstr_view(r.path), out_full)) {
        return false;
      }
      itself = path_equal(dynstr_view(in_full), dynstr_view(out_full));
    }
    // Traces that go into the very folder that is walked (-X) are walked past, not into.
    if (itself) {
      r.walked = true;
    } else {
      r.info = now;
    }
  }
  named.seal();
  return true;
}

// Closes the run report, if one is asked for, with the run's totals and status; the status, with 8
// OR-ed in when the report could not be put in place: a run whose record is lost did not succeed.
int finish_report(const LogContext& walker, const RunTotals& totals, int status) {
  if (walker.report == nullptr) return status;
  const RunOptions* options = walker.options;
  const int index = options != nullptr ? options->shard_index : 0;
  const int count = options != nullptr ? options->shard_count : 0;
  if (!walker.report->finish(totals, status, index, count)) status |= kStatusConvertFailed;
  return status;
}

int run_inputs(const LogContext& run, TraceSink& sink, ParallelRun* parallel, const DynStringList& inputs,
               OutputRoot* roots, std::int64_t& other_shards) {
  Walk w{&run, &sink, parallel, DynString{}};
  w.roots = roots;
  bool append_root = run.options == nullptr || !run.options->no_append_root;
  int status = kStatusOk;
  DynString output;
  for (std::int64_t k = 0; k < inputs.count; ++k) {
    StrView input = dynstr_view(inputs.items[k]);
    PathInfo info;
    if (append_root && !fs_stat(run.input_fs, input, info)) {
      report(LogLevel::Fatal, "Could not query %.*s for information", sv_len(input), input.data);
      return kStatusBadPath;
    }
    if (!output_of(run, input, info, output)) {
      report(LogLevel::Error, "Could not allocate memory for the output path of %.*s", sv_len(input), input.data);
      status |= kStatusConvertFailed;
      continue;
    }
    // This input's own root may come into being while it is walked; it is looked for at every
    // folder until then, and once more when the walk is over.
    OutputRoot& own = roots[k];
    const bool watch = dynstr_length(own.path) > 0 && !own.walked && own.info.kind == PathKind::Missing;
    if (watch) own.settled = false;
    w.root_count = k + 1;
    bool stop = false;
    status |= walk(w, input, dynstr_view(output), nullptr, stop);
    if (stop) return kStatusBadPath;
    if (watch && !own.settled) {
      PathInfo now;
      if (fs_stat(run.output_fs, dynstr_view(own.path), now) && now.kind == PathKind::Folder) own.info = now;
      platform_clear_failure();
      own.settled = true;
    }
  }
  other_shards = w.other_shards;
  return status;
}

}  // namespace

int convert_inputs(const LogContext& run, TraceSink& sink, const DynStringList& inputs) {
  return convert_inputs_parallel(run, sink, 1, nullptr, nullptr, inputs);
}

int convert_inputs_parallel(const LogContext& walker, TraceSink& sink, int jobs, TraceSinkFactory make, void* context,
                            const DynStringList& inputs) {
  RunTotals totals;
  // A run of nothing still closes its report: a shard given no logs must account for itself too.
  if (inputs.count == 0) return finish_report(walker, totals, kStatusOk);
  if (!log_context_usable(walker)) return kStatusConvertFailed;
  if (jobs > kMaxParallelJobs) jobs = kMaxParallelJobs;
  // What this run puts in place, so that no later log of it replaces an earlier one's trace.
  WrittenFiles written;
  NamedInputs named;
  std::unique_ptr<OutputRoot[]> roots(new (std::nothrow) OutputRoot[static_cast<std::size_t>(inputs.count)]);
  if (!roots || !survey_inputs(walker, inputs, named, roots.get())) {
    // Without them no trace could be told from a log, nor a walk kept out of its own traces.
    report(LogLevel::Error, "Could not allocate memory for the inputs of the run");
    run_totals_report(totals);
    return finish_report(walker, totals, kStatusConvertFailed);
  }
  // The run's own records, lent to every log for as long as the run lasts.
  LogContext run = walker;
  run.written = &written;
  run.named = &named;
  run.totals = &totals;
  int status;
  {
    std::unique_ptr<ParallelRun> parallel;
    if (jobs > 1) {
      parallel = parallel_run_start(run, jobs, make, context);
      if (!parallel) {
        report(LogLevel::Error, "Could not start %d conversions at once, converting one log at a time", jobs);
      }
    }
    // Without workers the walk converts each log where it finds it.
    std::int64_t other_shards = 0;
    status = run_inputs(run, sink, parallel.get(), inputs, roots.get(), other_shards);
    if (parallel) status |= parallel->finish();
    // After every log's own lines, which a parallel run holds back until its turn.
    if (other_shards > 0) {
      report(LogLevel::Debug, "Passed over %lld logs of other shards than %d/%d", static_cast<long long>(other_shards),
             run.options->shard_index, run.options->shard_count);
    }
  }
  run_totals_report(totals);
  return finish_report(walker, totals, status);
}

int convert_path(const LogContext& run, TraceSink& sink, StrView input_path, StrView output_path) {
  if (!log_context_usable(run)) return kStatusConvertFailed;
  bool stop = false;
  Walk w{&run, &sink, nullptr, DynString{}};
  return walk(w, input_path, output_path, nullptr, stop);
}

}  // namespace quarn
