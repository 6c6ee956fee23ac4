#include "app/options.h"

#include <cstring>

#include "app/build_info.h"
#include "app/input_formats.h"
#include "app/trace_formats.h"
#include "base/platform.h"
#include "batch/input_list.h"
#include "batch/input_walk.h"
#include "batch/shard.h"
#include "io/input_path.h"
#include "logging/report.h"
#include "mdf4/mdf4_writer.h"

namespace quarn {

namespace {

// The program always names itself so, whatever argv[0] holds.
constexpr char kProgramName[] = "quarn";

// argtable's error codes that decide the exit status.
constexpr int kArgBadInteger = 3;  // arg_int: the value is not an integer
constexpr int kArgMissingValue = ARG_EMISSARG;

// Store failures are recorded in argtable's error list as code x 256, above every code that
// argtable uses itself.
constexpr int kStoreErrorScale = 256;
constexpr int kStoreOutOfMemory = 3;
constexpr int kStorePathRefused = 4;

// What the program adds to argtable's file entry: where the values go, and the entry's own
// check and error functions, which the wrappers below run first. The entry reaches it through
// hdr.priv, which argtable's file entry leaves unused.
struct PathOption {
  DynStringList* destination;
  bool output;  // the output directory's: a refused path is reported as an invalid output path
  // The positional inputs are required unless this option is given (--files-from); null: always.
  const arg_str* required_unless;
  arg_checkfn* base_check;
  arg_errorfn* base_error;
};

int check_path_option(void* parent) {
  auto* entry = static_cast<arg_file*>(parent);
  auto* extension = static_cast<PathOption*>(entry->hdr.priv);
  int r = extension->base_check(parent);
  // The minimum count is the only check that fails with no value given.
  if (r != 0 && entry->count == 0 && extension->required_unless != nullptr && extension->required_unless->count > 0) {
    r = 0;
  }
  if (r != 0) return r;
  r = store_paths(entry, *extension->destination, extension->output);
  return r == 0 ? 0 : r * kStoreErrorScale;
}

void print_path_option_error(void* parent, std::FILE* out, int error, const char* value, const char* program_name) {
  auto* entry = static_cast<arg_file*>(parent);
  auto* extension = static_cast<PathOption*>(entry->hdr.priv);
  if (error < kStoreErrorScale) {
    extension->base_error(parent, out, error, value, program_name);
    return;
  }
  if (error / kStoreErrorScale == kStorePathRefused) return;  // reported as it was met
  std::fprintf(out, "%s: ", program_name);
  print_store_error(entry, extension->destination, out, error / kStoreErrorScale, value, program_name);
}

void extend_path_option(arg_file* entry, PathOption& extension, DynStringList& destination, bool output) {
  extension.destination = &destination;
  extension.output = output;
  extension.base_check = entry->hdr.checkfn;
  extension.base_error = entry->hdr.errorfn;
  entry->hdr.priv = &extension;
  entry->hdr.checkfn = check_path_option;
  entry->hdr.errorfn = print_path_option_error;
}

// Applies --shard: false (with the status) for a value of another form, or an automatic one that
// the scheduler's variables do not settle.
bool apply_shard(const char* value, RunOptions& options, int& status) {
  Shard shard;
  bool automatic = false;
  if (!shard_parse(value, shard, automatic)) {
    std::printf("%s: invalid shard \"%s\", expected %s\n", kProgramName, value, kShardForms);
    status = kStatusParseError;
    return false;
  }
  if (automatic) {
    char message[512];
    if (!shard_resolve_auto(shard.count, platform_environment, shard, message, sizeof message)) {
      std::printf("%s: %s\n", kProgramName, message);
      status = kStatusParseError;
      return false;
    }
  }
  options.shard_index = shard.index;
  options.shard_count = shard.count;
  return true;
}

// "verbosity" 0..5 as the log threshold; -1 for a value outside that range.
int threshold_of_verbosity(int verbosity) {
  static constexpr int kThresholds[] = {6, 5, 4, 3, 1, 1};
  if (verbosity < 0 || verbosity > 5) return -1;
  return kThresholds[verbosity];
}

// The file systems of the run. False (with status 133) when either cannot be had: converting
// nothing must not look like success.
bool open_file_systems(ToolContext& context, int& status) {
  context.input_fs = disk_fs_create(dynstr_view(context.root));
  if (!context.input_fs) {
    report(LogLevel::Error, "Invalid input path: %s", dynstr_data(context.root));
    status = kStatusSetupFailed;
    return false;
  }
  if (context.output_directory.count == 1) {
    const DynString& folder = context.output_directory.items[0];
    context.own_output_fs = disk_fs_create(dynstr_view(folder));
    if (!context.own_output_fs) {
      // Named as typed: made absolute from a working folder at the top, it would read "//nope".
      report(LogLevel::Error, "Invalid output path: %s", dynstr_data(context.output_as_typed));
      status = kStatusSetupFailed;
      return false;
    }
    context.output_fs = context.own_output_fs.get();
  } else {
    context.output_fs = context.input_fs.get();
  }
  return true;
}

// The long name of a flag as a user types it: "--input-files" of "input-files=<file(s)/folder(s)>".
StrView flag_name(const arg_lit* flag) {
  const char* name = flag->hdr.longopts;
  return StrView{name, static_cast<std::int64_t>(std::strcspn(name, "="))};
}

// Whether `arg` is "--NAME=VALUE" where NAME is a flag's long name or a prefix of it (getopt takes
// unambiguous prefixes); the flag, or null.
const arg_lit* flag_given_a_value(const char* arg, arg_lit* const* flags, int flag_count) {
  if (std::strncmp(arg, "--", 2) != 0) return nullptr;
  const char* equals = std::strchr(arg + 2, '=');
  if (equals == nullptr || equals == arg + 2) return nullptr;
  const std::size_t n = static_cast<std::size_t>(equals - (arg + 2));
  for (int i = 0; i < flag_count; ++i) {
    StrView name = flag_name(flags[i]);
    if (n <= static_cast<std::size_t>(name.length) && std::strncmp(arg + 2, name.data, n) == 0) return flags[i];
  }
  return nullptr;
}

// arg_print_errors, except for a flag given a value ("--delete-converted=1", or "--input-files=logs"
// as the usage text spells that option): getopt refuses it, and argtable has no readable text for
// it (an empty or cut option name), so the line names the option and what was given.
void print_parse_errors(std::FILE* out, struct arg_end* errors, arg_lit* const* flags, int flag_count, int argc,
                        char** argv) {
  int next_arg = 1;
  for (int i = 0; i < errors->count; ++i) {
    auto* parent = static_cast<arg_hdr*>(errors->parent[i]);
    const bool unreadable =
        parent == &errors->hdr && (errors->error[i] == ARG_ELONGOPT || errors->argval[i] == nullptr);
    const arg_lit* flag = nullptr;
    if (unreadable) {
      for (; next_arg < argc && flag == nullptr; ++next_arg) {
        if (std::strcmp(argv[next_arg], "--") == 0) next_arg = argc;
        if (next_arg < argc) flag = flag_given_a_value(argv[next_arg], flags, flag_count);
      }
    }
    if (flag != nullptr) {
      StrView name = flag_name(flag);
      std::fprintf(out, "%s: option \"--%.*s\" takes no value, but was given one in \"%s\"\n", kProgramName,
                   sv_len(name), name.data, argv[next_arg - 1]);
    } else if (parent != nullptr && parent->errorfn != nullptr) {
      parent->errorfn(parent, out, errors->error[i], errors->argval[i], kProgramName);
    }
  }
}

}  // namespace

int store_paths(arg_file* entry, DynStringList& destination, bool output) {
  int result = 0;
  for (int i = 0; i < entry->count; ++i) {
    DynString path;
    dynstr_from(path, entry->filename[i]);
    if (!normalize_input_path(path)) {
      // Named as typed: its normal form would be another path.
      if (output) {
        report(LogLevel::Error, "Invalid output path: %s", entry->filename[i]);
      } else {
        report(LogLevel::Error, "Invalid input path: %s", entry->filename[i]);
      }
      if (result == 0) result = kStorePathRefused;
      continue;
    }
    if (!dynstr_list_push(destination, path)) result = kStoreOutOfMemory;
  }
  return result;
}

void print_store_error(arg_file* /*entry*/, const DynStringList* /*destination*/, std::FILE* out, int error_number,
                       const char* /*value*/, const char* /*program_name*/) {
  // The line break keeps a following error on a line of its own.
  if (error_number == kStoreOutOfMemory) std::fputs("internal error, could not allocate memory\n", out);
}

void print_version(std::FILE* out) {
  std::fprintf(out, "Version: %s\n", kQuarnVersion);
  std::fprintf(out, "Build date: %s\n", kBuildDate);
  std::fprintf(out, "GIT SHA: %s", kBuildGitSha);
  if (kBuildDirty) std::fputs("*", out);
  std::fputs("\n", out);
}

bool parse_command_line(ToolContext& context, int argc, char** argv, int& status) {
  arg_lit* help = arg_lit0(nullptr, "help", "display this help and exit");
  arg_lit* version = arg_lit0("v", "version", "display tool version and exit");
  arg_int* verbosity = arg_int0(nullptr, "verbosity", "<n>",
                                "verbosity of logging messages from 0 to 4, with 0 being fatal messages only 4 being "
                                "all messages including debug information. defaults to 1");
  arg_lit* non_interactive = arg_lit0(nullptr, "non-interactive", "does not print any progress output");
  arg_lit* delete_converted = arg_lit0("d", "delete-converted", "deletes files after conversion if specified");
  arg_lit* no_append_root = arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders");
  arg_int* buffer = arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file");
  arg_file* output_directory = arg_file0("O", "output-directory", "<file>", "where to place the converted files");
  // The format options' texts follow from the format tables.
  FormatHelp format_help;
  FormatHelp input_help;
  // Both fit, as a test checks; a text cut short would still name the formats it holds.
  static_cast<void>(trace_formats_help(format_help));
  static_cast<void>(input_formats_help(input_help));
  arg_str* format = arg_str0("F", "format", format_help.values, format_help.glossary);
  arg_str* mf4_compression =
      arg_str0(nullptr, "mf4-compression", "<kind>",
               "how MDF4 data blocks are compressed: none, deflate or transposed. defaults to transposed");
  arg_int* jobs = arg_int0("j", "jobs", "<n>", "logs converted at once. 0 takes one per core. defaults to 1");
  arg_file* report_file = arg_file0(nullptr, "report", "<file>", "write a JSON Lines record of the run to this file");
  arg_str* input_format = arg_str0("I", "input-format", input_help.values, input_help.glossary);
  // Only shows the inputs in the usage text; the inputs are always the positional arguments.
  arg_str* files_from = arg_str0(nullptr, "files-from", "<file>",
                                 "also convert the paths listed in <file>, one a line; - reads standard input");
  arg_str* shard = arg_str0(nullptr, "shard", "<K/N|auto|auto/N>",
                            "convert only the logs of shard K of N; auto takes K and N from the job scheduler");
  arg_lit* input_files = arg_lit0("i", "input-files=<file(s)/folder(s)>",
                                  "list of input files/folders, must have common root");
  arg_file* inputs = arg_filen(nullptr, nullptr, "file(s)/folder(s)", 1, argc - 1 > 1 ? argc - 1 : 1, nullptr);
  struct arg_end* errors = arg_end(20);
  void* table[] = {help, version, verbosity, non_interactive, delete_converted, no_append_root, buffer,
                   output_directory, format, mf4_compression, input_format, jobs, files_from, shard, report_file,
                   input_files, inputs, errors};
  constexpr int kEntries = static_cast<int>(sizeof table / sizeof table[0]);

  if (arg_nullcheck(table) != 0) {
    std::fputs("Out of memory!\n", stderr);
    status = 1;
    arg_freetable(table, kEntries);
    return false;
  }

  PathOption output_extension{};
  PathOption report_extension{};
  PathOption input_extension{};
  extend_path_option(output_directory, output_extension, context.output_directory, true);
  extend_path_option(report_file, report_extension, context.report_file, true);
  extend_path_option(inputs, input_extension, context.inputs, false);
  input_extension.required_unless = files_from;

  arg_parse(argc, argv, table);
  if (output_directory->count == 1) dynstr_from(context.output_as_typed, output_directory->filename[0]);

  bool run = false;
  if (help->count > 0 || argc == 1) {
    std::printf("Usage: %s", kProgramName);
    arg_print_syntaxv(stdout, table, "\n\n");
    arg_print_glossary(stdout, table, "  %-40s %s\n");
  } else if (version->count > 0) {
    print_version(stdout);
    status = kStatusOk;
  } else if (errors->count > 0) {
    int first = errors->error[0];
    if (first == ARG_EMALLOC && errors->parent[0] == errors) {
      std::fputs("Out of memory!\n", stderr);
      status = 1;
    } else if (first == kArgBadInteger) {
      status = kStatusBadInteger;
    } else if (first == kArgMissingValue) {
      status = kStatusMissingValue;
    } else if (first == kStorePathRefused * kStoreErrorScale) {
      status = kStatusSetupFailed;
    } else {
      arg_lit* const flags[] = {help, version, non_interactive, delete_converted, no_append_root, input_files};
      print_parse_errors(stdout, errors, flags, static_cast<int>(sizeof flags / sizeof flags[0]), argc, argv);
      status = kStatusParseError;
    }
  } else {
    int threshold = verbosity->count > 0 ? threshold_of_verbosity(verbosity->ival[0]) : 5;
    std::uint32_t formats = kDefaultTraceFormats;
    std::uint32_t walked = kDefaultInputFormats;
    Mdf4Compression compression = Mdf4Compression::Transposed;
    if (threshold < 0 || (jobs->count > 0 && jobs->ival[0] < 0)) {
      status = kStatusBadInteger;
    } else if (format->count > 0 && !trace_formats_parse(format->sval[0], formats)) {
      print_trace_formats_error(stdout, kProgramName, format->sval[0]);
      status = kStatusParseError;
    } else if (mf4_compression->count > 0 && !mdf4_compression_parse(mf4_compression->sval[0], compression)) {
      std::printf("%s: invalid MDF4 compression \"%s\", expected none, deflate or transposed\n", kProgramName,
                  mf4_compression->sval[0]);
      status = kStatusParseError;
    } else if (input_format->count > 0 && !input_formats_parse(input_format->sval[0], walked)) {
      print_input_formats_error(stdout, kProgramName, input_format->sval[0]);
      status = kStatusParseError;
    } else if (!trace_formats_use(context.options, formats)) {
      status = kStatusSetupFailed;
    } else {
      input_formats_use(context.options, walked);
      context.mf4_compression = compression;
      context.options.jobs = jobs->count > 0 ? jobs->ival[0] : 1;
      set_log_threshold(threshold);
      context.options.delete_converted = delete_converted->count == 1;
      context.options.no_append_root = no_append_root->count == 1;
      context.options.non_interactive = non_interactive->count == 1;
      context.options.buffer_size = buffer->count > 0 ? static_cast<std::int64_t>(buffer->ival[0]) : -1;
      context.options.inputs_listed = files_from->count > 0;
      bool ready = shard->count == 0 || apply_shard(shard->sval[0], context.options, status);
      if (ready && files_from->count > 0) {
        status = read_input_list(files_from->sval[0], context.inputs);
        ready = status == kStatusOk;
        // A nightly list of new logs may be empty: there is nothing to do, and nothing failed.
        if (ready && context.inputs.count == 0) {
          report(LogLevel::Info, "No inputs listed in %s", files_from->sval[0]);
          ready = false;
        }
      }
      // A list names logs at any depth; the command line alone keeps to one folder.
      if (ready) {
        ready = files_from->count > 0 ? find_deepest_root(context.inputs, context.root, status)
                                      : find_common_root(context.inputs, context.root, status);
      }
      run = ready && open_file_systems(context, status);
    }
  }

  arg_freetable(table, kEntries);
  return run;
}

}  // namespace quarn
