#include "app/input_formats.h"

#include "app/format_lists.h"
#include "blf/blf_log_reader.h"
#include "mdf4/mdf4_log_reader.h"
#include "textlog/text_log_reader.h"

namespace quarn {
namespace {

constexpr const char* kTextLogSuffixes[] = {"txt", nullptr};
constexpr const char* kMdf4LogSuffixes[] = {"mf4", nullptr};
constexpr const char* kBlfLogSuffixes[] = {"blf", nullptr};

// A new input format is one more row here (its bit follows from its place), its reader's folder,
// and the documentation; the option's usage text follows from the table.
constexpr InputFormat kInputFormats[] = {
    {"txt", kTextLogSuffixes, text_log_reader_create},
    {"mf4", kMdf4LogSuffixes, mdf4_log_reader_create},
    {"blf", kBlfLogSuffixes, blf_log_reader_create},
};

constexpr int kFormatCount = static_cast<int>(sizeof kInputFormats / sizeof kInputFormats[0]);

}  // namespace

bool input_formats_parse(const char* text, std::uint32_t& formats) {
  return format_list_parse(text, kInputFormats, formats);
}

bool input_formats_help(FormatHelp& help) {
  return format_list_help(kInputFormats, kDefaultInputFormats, "log formats a folder walk converts", false,
                          "a file named here converts by its suffix", help);
}

void print_input_formats_error(std::FILE* out, const char* program_name, const char* value) {
  print_format_list_error(out, program_name, "input format", value, kInputFormats);
}

const InputFormat* input_format_named(const char* name) {
  for (const InputFormat& format : kInputFormats) {
    if (sv_equal(sv(name), sv(format.name))) return &format;
  }
  return nullptr;
}

void input_formats_use(RunOptions& options, std::uint32_t walked) {
  options.input_formats = kInputFormats;
  options.input_format_count = kFormatCount;
  options.walked_formats = walked;
}

}  // namespace quarn
