// Whole generated logs must come out byte for byte the same whether fields are scanned and lines
// formatted directly or by the C library and stb_sprintf alone.

#include <gtest/gtest.h>

#include <string>

#include "app/input_formats.h"
#include "batch/log_conversion.h"
#include "asc/asc_trace_writer.h"
#include "asc/asc_lines.h"
#include "gen_log.h"
#include "support/temp_dir.h"
#include "textlog/field_scan.h"

namespace quarn {
namespace {

std::string convert(const std::string& dir, bool general_only) {
  textlog_detail::set_library_scans_only(general_only);
  asc_detail::set_general_formatting_only(general_only);
  auto fs = disk_fs_create(sv(dir.c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  int status = convert_log(context, *sink, *input_format_named("txt"), sv("log.txt"), sv("log"));
  textlog_detail::set_library_scans_only(false);
  asc_detail::set_general_formatting_only(false);
  EXPECT_EQ(status, 0);
  return test::read_file(dir + "/log.asc");
}

TEST(FastPathTraceTest, GeneratedLogsGiveTheSameTraceBothWays) {
  test::TempDir dir;
  int seed = 0;
  for (int format = 1; format <= 6; ++format) {
    for (bool crlf : {false, true}) {
      tools::GenLogOptions o;
      o.seed = static_cast<std::uint64_t>(++seed);
      o.frames = 3000;
      o.time_format = static_cast<TimeFormat>(format);
      o.crlf = crlf;
      o.extended_percent = 50;
      o.ids = 300;
      // Wide gaps cross minutes, hours and (for the longer formats) days and months.
      o.mean_gap_us = format <= 2 ? 40000 : format <= 4 ? 60000000 : 2000000000;
      o.start = format == 5 ? "20231231T230000" : "20240229T235500";
      if (format % 2 == 0) o.time_separator = 0;
      std::string text;
      ASSERT_TRUE(tools::gen_log_text(o, text));
      test::write_file(dir / "log.txt", text);
      std::string direct = convert(dir.path(), false);
      std::string general = convert(dir.path(), true);
      ASSERT_GT(direct.size(), 3000u * 100) << "format " << format;
      ASSERT_EQ(direct, general) << "format " << format << (crlf ? " crlf" : "");
    }
  }
}

}  // namespace
}  // namespace quarn
