// The line reader and the field splitter scan 16 bytes at a time; they must cut exactly where a
// plain byte-by-byte reading cuts, wherever the special bytes fall.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/buffered_stream.h"
#include "support/memory_stream.h"
#include "textlog/textlog_internal.h"

namespace quarn::textlog_detail {
namespace {

// The rule, written out byte by byte: at most 7 fields, each ending at the separator; the last
// at the line feed or the end.
std::vector<std::string> reference_split(const std::string& line, char sep) {
  if (sep == 0) return {line};
  std::vector<std::string> out;
  std::string field;
  for (char c : line) {
    if (c == '\n') break;
    if (c == sep) {
      out.push_back(field);
      field.clear();
      if (out.size() == 7) return out;
      continue;
    }
    field += c;
  }
  out.push_back(field);
  return out;
}

TEST(LineSplitTest, FieldsMatchAByteByByteSplit) {
  std::mt19937 rng(5);
  const std::string alphabet = ";;;,,\n\r\t abcXYZ0123456789";
  for (int round = 0; round < 200000; ++round) {
    std::size_t len = rng() % (kLineMax + 1);
    std::string line(len, ' ');
    for (char& c : line) c = alphabet[rng() % alphabet.size()];
    if (rng() % 2) {
      std::size_t nl = line.find('\n');
      if (nl != std::string::npos) line.resize(nl + 1);  // a real line ends at its line feed
    }
    char sep = "; ,\t\0"[rng() % 5];
    char buf[kLineBuffer];
    std::memset(buf, '\n', sizeof buf);  // whatever lies past the line must not count
    std::memcpy(buf, line.data(), line.size());
    buf[line.size()] = '\0';
    Field fields[kColumnSlots];
    int n = split_fields(buf, line.size(), sep, fields);
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) got.emplace_back(fields[i].text, fields[i].length);
    ASSERT_EQ(got, reference_split(line, sep)) << "[" << line << "] sep " << int(sep);
    for (int i = 0; i < n; ++i) ASSERT_EQ(fields[i].text[fields[i].length], '\0');
  }
}

TEST(LineSplitTest, LinesMatchAByteByByteReading) {
  std::mt19937 rng(6);
  const std::string alphabet = std::string("\n\r\0abcdefgh;", 12);
  for (int round = 0; round < 3000; ++round) {
    std::string data(rng() % 700, ' ');
    for (char& c : data) c = rng() % 4 ? static_cast<char>('a' + rng() % 26) : alphabet[rng() % alphabet.size()];
    // Header lines read on past a zero byte; record lines stop at it.
    const bool stop_at_zero = round % 2 == 1;
    test::MemoryStream fast_inner(data);
    std::unique_ptr<Stream> fast = bufstream_create(&fast_inner, false, 1 + static_cast<std::int64_t>(rng() % 300));
    test::MemoryStream slow(data);  // no window: one byte per read
    for (;;) {
      char a[kLineBuffer];
      char b[kLineBuffer];
      const std::int64_t start = stream_tell(slow);
      LineExtent ea;
      LineExtent eb;
      std::size_t na = read_line(*fast, a, ea, stop_at_zero);
      std::size_t nb = read_line(slow, b, eb, stop_at_zero);
      ASSERT_EQ(na, nb) << "round " << round;
      ASSERT_EQ(std::string(a, na), std::string(b, nb)) << "round " << round;
      ASSERT_EQ(stream_tell(*fast), stream_tell(slow)) << "round " << round;
      ASSERT_EQ(ea.consumed, eb.consumed) << "round " << round;
      ASSERT_EQ(static_cast<std::int64_t>(eb.consumed), stream_tell(slow) - start) << "round " << round;
      ASSERT_EQ(ea.cut, eb.cut) << "round " << round;
      ASSERT_EQ(ea.line_feed, eb.line_feed) << "round " << round;
      ASSERT_EQ(ea.zero, eb.zero) << "round " << round;
      const std::string taken = data.substr(static_cast<std::size_t>(start), eb.consumed);
      const bool feed = taken.find('\n') != std::string::npos;
      if (stop_at_zero) {
        // A zero byte ends the line: it is the last byte taken, and no other comes before it.
        ASSERT_EQ(eb.zero, !taken.empty() && taken.back() == '\0') << "round " << round;
        if (eb.zero) {
          ASSERT_EQ(eb.zero_at, eb.consumed - 1) << "round " << round;
        }
        ASSERT_EQ(taken.find('\0'), eb.zero ? eb.consumed - 1 : std::string::npos) << "round " << round;
      }
      ASSERT_EQ(eb.cut, eb.consumed == kLineMax && !feed && !eb.zero) << "round " << round;
      if (eb.consumed == 0) break;
      if (na == 0 && !stop_at_zero) {
        if (stream_tell(slow) >= static_cast<std::int64_t>(data.size())) break;
        // A line that starts with NUL reads as the end; step past it the same way on both.
        char c;
        ASSERT_EQ(stream_read(*fast, &c, 1), stream_read(slow, &c, 1));
      }
    }
  }
}

}  // namespace
}  // namespace quarn::textlog_detail
