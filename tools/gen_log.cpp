#include "gen_log.h"

#include <cstring>
#include <vector>

namespace quarn::tools {

namespace {

// splitmix64: tiny, fast, and the same sequence on every platform and compiler.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 <= value < n (n > 0); the slight bias of the modulo does not matter here.
  std::uint64_t below(std::uint64_t n) { return next() % n; }
  bool percent(int p) { return below(100) < static_cast<std::uint64_t>(p); }

 private:
  std::uint64_t state_;
};

// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
  std::int64_t year;
  unsigned month, day, hour, minute, second, millisecond;
};

Civil civil_from_ms(std::int64_t ms) {
  std::int64_t days = ms / 86400000;
  std::int64_t rest = ms % 86400000;
  if (rest < 0) {
    rest += 86400000;
    --days;
  }
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  Civil c{};
  c.day = doy - (153 * mp + 2) / 5 + 1;
  c.month = mp < 10 ? mp + 3 : mp - 9;
  c.year = static_cast<std::int64_t>(yoe) + era * 400 + (c.month <= 2);
  c.hour = static_cast<unsigned>(rest / 3600000);
  c.minute = static_cast<unsigned>(rest / 60000 % 60);
  c.second = static_cast<unsigned>(rest / 1000 % 60);
  c.millisecond = static_cast<unsigned>(rest % 1000);
  return c;
}

// Collects output and hands it on in large pieces.
class Sink {
 public:
  Sink(std::FILE* file, std::string* text) : file_(file), text_(text) {}
  void put(const char* s, std::size_t n) {
    if (text_ != nullptr) {
      text_->append(s, n);
      return;
    }
    buffer_.append(s, n);
    if (buffer_.size() >= (1u << 16)) flush();
  }
  void put(const std::string& s) { put(s.data(), s.size()); }
  bool flush() {
    if (file_ != nullptr && !buffer_.empty()) {
      ok_ = ok_ && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) == buffer_.size();
      buffer_.clear();
    }
    return ok_;
  }

 private:
  std::FILE* file_;
  std::string* text_;
  std::string buffer_;
  bool ok_ = true;
};

// A separator as the header writes it: the character between double quotes, "" for none.
std::string quoted(char c) {
  std::string s = "\"";
  if (c != 0) s += c;
  return s + "\"";
}

void append_sep(std::string& s, char c) {
  if (c != 0) s += c;
}

void append_num(std::string& s, unsigned value, int width) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%0*u", width, value);
  s += digits;
}

// The record's timestamp field: the trailing part of the date and time that the format keeps.
void append_timestamp(std::string& s, const GenLogOptions& o, const Civil& c) {
  if (o.time_format >= TimeFormat::FullDate) {
    append_num(s, static_cast<unsigned>(c.year), 4);
    append_sep(s, o.date_separator);
  }
  if (o.time_format >= TimeFormat::MonthDayAndTime) {
    append_num(s, c.month, 2);
    append_sep(s, o.date_separator);
  }
  if (o.time_format >= TimeFormat::DayAndTime) {
    append_num(s, c.day, 2);
    append_sep(s, o.time_date_separator);
  }
  if (o.time_format >= TimeFormat::TimeOfDay) {
    append_num(s, c.hour, 2);
    append_sep(s, o.time_separator);
  }
  if (o.time_format >= TimeFormat::Minutes) {
    append_num(s, c.minute, 2);
    append_sep(s, o.time_separator);
  }
  append_num(s, c.second, 2);
  append_sep(s, o.ms_separator);
  append_num(s, c.millisecond, 3);
}

struct BusMessage {
  std::uint32_t id;
  bool extended;
  unsigned dlc;
};

bool generate(const GenLogOptions& o, Sink& sink, Sink* candump) {
  int y, mo, d, h, mi, se;
  char t;
  if (o.frames < 0 || o.time_format < kFirstTimeFormat || o.time_format > kLastTimeFormat || o.ids < 1 ||
      o.mean_gap_us < 0)
    return false;
  if (std::sscanf(o.start.c_str(), "%4d%2d%2d%c%2d%2d%2d", &y, &mo, &d, &t, &h, &mi, &se) != 7 || t != 'T') return false;

  const char* eol = o.crlf ? "\r\n" : "\n";
  const char sep = o.value_separator;
  auto line = [&](const std::string& text) {
    sink.put(text);
    sink.put(eol, std::strlen(eol));
  };
  line("# Logger type: " + o.logger_type);
  line("# HW rev: 3.1");
  line("# FW rev: 6.42");
  line("# Logger ID: " + o.logger_id);
  line("# Session No.: " + std::to_string(1 + o.seed % 97));
  line("# Split No.: 1");
  line("# Time: " + o.start);
  line("# Value separator: " + quoted(sep));
  line("# Time format: " + std::to_string(static_cast<int>(o.time_format)));
  line("# Time separator: " + quoted(o.time_separator));
  line("# Time separator ms: " + quoted(o.ms_separator));
  line("# Date separator: " + quoted(o.date_separator));
  line("# Time and date separator: " + quoted(o.time_date_separator));
  line("# Bit-rate: " + std::to_string(o.bit_rate));
  line("# Silent mode: false");
  line("# Cyclic mode: false");
  std::string header = "Timestamp";
  for (const char* column : {"Lost", "Type", "ID", "Length", "Data"}) {
    header += sep;
    header += column;
  }
  line(header);

  Random random(o.seed);
  // A bus carries a fixed set of messages, each with its own identifier and length.
  std::vector<BusMessage> messages;
  for (int i = 0; i < o.ids; ++i) {
    BusMessage m{};
    m.extended = random.percent(o.extended_percent);
    m.id = static_cast<std::uint32_t>(m.extended ? random.below(0x20000000) : random.below(0x800));
    m.dlc = static_cast<unsigned>(random.below(9));
    messages.push_back(m);
  }

  const std::int64_t start_ms = (days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
                                 h * 3600 + mi * 60 + se) * 1000;
  std::int64_t elapsed_us = static_cast<std::int64_t>(random.below(1000000));
  std::string text;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::int64_t f = 0; f < o.frames; ++f) {
    elapsed_us += o.mean_gap_us == 0 ? 0 : static_cast<std::int64_t>(random.below(2 * static_cast<std::uint64_t>(o.mean_gap_us) + 1));
    const BusMessage& m = messages[random.below(messages.size())];
    bool tx = random.percent(o.tx_percent);
    int type = (m.extended ? 1 : 0) + (tx ? 8 : 0);
    text.clear();
    const std::int64_t frame_ms = start_ms + elapsed_us / 1000;
    append_timestamp(text, o, civil_from_ms(frame_ms));
    text += sep;
    text += random.below(1000) == 0 ? '1' : '0';  // the logger lost a frame before this one
    text += sep;
    text += std::to_string(type);
    text += sep;
    char id[16];
    std::snprintf(id, sizeof id, m.extended ? "%08X" : "%03X", m.id);
    text += id;
    text += sep;
    text += std::to_string(m.dlc);
    text += sep;
    const std::size_t data_at = text.size();
    for (unsigned b = 0; b < m.dlc; ++b) {
      unsigned v = static_cast<unsigned>(random.below(256));
      text += kHex[v >> 4];
      text += kHex[v & 15];
    }
    line(text);
    if (candump != nullptr) {
      char head[64];
      int n = std::snprintf(head, sizeof head, m.extended ? "(%lld.%03d000) can0 %08X#" : "(%lld.%03d000) can0 %03X#",
                            static_cast<long long>(frame_ms / 1000), static_cast<int>(frame_ms % 1000), m.id);
      candump->put(head, static_cast<std::size_t>(n));
      candump->put(text.data() + data_at, text.size() - data_at);
      candump->put("\n", 1);
    }
  }
  return sink.flush();
}

}  // namespace

bool gen_log(const GenLogOptions& options, std::FILE* out, std::FILE* candump) {
  Sink sink(out, nullptr);
  if (candump == nullptr) return generate(options, sink, nullptr);
  Sink dump(candump, nullptr);
  return generate(options, sink, &dump) && dump.flush();
}

bool gen_log_text(const GenLogOptions& options, std::string& out) {
  Sink sink(nullptr, &out);
  return generate(options, sink, nullptr);
}

}  // namespace quarn::tools
