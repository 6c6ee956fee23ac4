#include "batch/run_report.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "batch/exit_status.h"
#include "support/capture.h"
#include "support/json_reader.h"

namespace quarn {
namespace {

using test::Json;
using test::JsonReader;

std::string encoded(const std::string& bytes) {
  DynString out;
  EXPECT_TRUE(json_append_string(out, StrView{bytes.data(), static_cast<std::int64_t>(bytes.size())}));
  return std::string(dynstr_data(out), static_cast<std::size_t>(dynstr_length(out)));
}

TEST(JsonStringTest, TextPassesAndEverythingElseIsEscaped) {
  const struct {
    std::string bytes;
    std::string json;
  } cases[] = {
      {"logs/a.txt", "logs/a.txt"},
      {"quote \" and \\ back", "quote \\\" and \\\\ back"},
      {"tab\tline\ncr\r", "tab\\tline\\ncr\\r"},
      {std::string("nul\0bell\x07", 9), "nul\\u0000bell\\u0007"},
      {"\x1f\x7f", "\\u001f\x7f"},
      {"Stra\xc3\x9f"
       "e/\xe2\x82\xac/\xf0\x9f\x9a\x97",
       "Stra\xc3\x9f"
       "e/\xe2\x82\xac/\xf0\x9f\x9a\x97"},
      // Latin-1 names, as an old logger writes them: each byte on its own.
      {"Stra\xdf"
       "e.txt",
       "Stra\\udcdfe.txt"},
      {"\xff\xfe", "\\udcff\\udcfe"},
      // Cut short, overlong, a surrogate and beyond U+10FFFF: no valid text, so byte by byte.
      {"a\xc3", "a\\udcc3"},
      {"\xe2\x82", "\\udce2\\udc82"},
      {"\xc0\xaf", "\\udcc0\\udcaf"},
      {"\xe0\x80\xaf", "\\udce0\\udc80\\udcaf"},
      {"\xed\xb3\xbf", "\\udced\\udcb3\\udcbf"},
      {"\xf4\x90\x80\x80", "\\udcf4\\udc90\\udc80\\udc80"},
      {"\x80x", "\\udc80x"},
  };
  for (const auto& c : cases) EXPECT_EQ(encoded(c.bytes), c.json) << c.bytes;
}

TEST(JsonStringTest, DifferentNamesNeverGiveTheSameStringAndTheBytesComeBack) {
  // Pairs a careless escape would merge: a byte and the character of the same number, the text
  // of an escape and the escape itself, an encoded surrogate and the byte escapes of it.
  const std::vector<std::string> names = {
      "\xff",         "\xc3\xbf",
      "\\udcff",      "\\\\udcff",
      "\xed\xb3\xbf", "\xdc",
      "\xc3\x9c",     "a\xc3",
      "a\xc3\x83",    "\xe2\x82\xac",
      "\xe2\x82",     "\x80",
      "\xc2\x80",     std::string("\0", 1),
      "\\u0000",      "\xf0\x9f\x9a\x97",
      "\xf0\x9f\x9a", "\xf4\x90\x80\x80",
      "\"",           "\\\"",
  };
  std::set<std::string> seen;
  for (const std::string& name : names) {
    const std::string json = "\"" + encoded(name) + "\"";
    EXPECT_TRUE(seen.insert(json).second) << "two names give " << json;
    Json value;
    ASSERT_TRUE(JsonReader(json).parse(value)) << json << " is no JSON string";
    EXPECT_EQ(value.text, name) << json;
  }
}

InputFormat text_format() { return InputFormat{"txt", nullptr, nullptr}; }

TEST(LogRecordTest, ALogsLinesTracesAndResultMakeOneLine) {
  test::ThresholdGuard threshold(static_cast<int>(LogLevel::Warning));
  test::StderrCapture capture;
  LogRecord record;
  report(LogLevel::Error, "before the log");  // not the log's
  const std::string name = "a/\xff.txt";
  record.begin(StrView{name.data(), static_cast<std::int64_t>(name.size())}, text_format());
  report(LogLevel::Info, "under the threshold");  // not written, so not recorded either
  report(LogLevel::Warning, "Skipped stray lines in %s: %d", name.c_str(), 2);
  LogRecord::note_trace("a_out/\xff.asc", 420);
  LogRecord::note_trace("a_out/\xff.mf4", 1000);
  LogCounts counts;
  counts.records = 7;
  counts.stray_lines = 2;
  counts.input_removed = true;
  LogRecord::note_result(kStatusConvertFailed, counts);
  report(LogLevel::Error, "Error during conversion of %s", name.c_str());
  record.end();
  report(LogLevel::Error, "after the log");  // not the log's either
  LogRecord::note_trace("later.asc", 1);

  const std::string line(record.line().data, static_cast<std::size_t>(record.line().length));
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
  Json o;
  ASSERT_TRUE(JsonReader(line).parse(o)) << line;
  EXPECT_EQ(o["input"].text, name);
  EXPECT_EQ(o["format"].text, "txt");
  EXPECT_EQ(o["result"].text, "failed");
  EXPECT_EQ(o["frames"].integer(), 7);
  EXPECT_EQ(o["stray_lines"].integer(), 2);
  EXPECT_EQ(o["stepped_back"].integer(), 0);
  EXPECT_TRUE(o["deleted"].boolean);
  ASSERT_EQ(o["traces"].items.size(), 2u) << line;
  EXPECT_EQ(o["traces"][0]["path"].text, "a_out/\xff.asc");
  EXPECT_EQ(o["traces"][0]["size"].integer(), 420);
  EXPECT_EQ(o["traces"][1]["size"].integer(), 1000);
  ASSERT_EQ(o["diagnostics"].items.size(), 2u) << line;
  EXPECT_EQ(o["diagnostics"][0]["level"].text, "warning");
  EXPECT_EQ(o["diagnostics"][0]["text"].text, "Skipped stray lines in " + name + ": 2");
  EXPECT_EQ(o["diagnostics"][1]["level"].text, "error");
  EXPECT_EQ(o["diagnostics"][1]["text"].text, "Error during conversion of " + name);
  EXPECT_FALSE(o.has("incomplete"));

  // The next log starts empty, and a log convert_log never finished is no success.
  record.begin(sv("b.txt"), text_format());
  record.end();
  const std::string next(record.line().data, static_cast<std::size_t>(record.line().length));
  o = Json{};
  ASSERT_TRUE(JsonReader(next).parse(o)) << next;
  EXPECT_EQ(o["input"].text, "b.txt");
  EXPECT_EQ(o["result"].text, "failed");
  EXPECT_TRUE(o["traces"].items.empty());
  EXPECT_TRUE(o["diagnostics"].items.empty());
  EXPECT_FALSE(o["deleted"].boolean);
}

}  // namespace
}  // namespace quarn
