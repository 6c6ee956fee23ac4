#include "textlog/text_log_decoder.h"

#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "textlog/textlog_internal.h"

namespace quarn {

using textlog_detail::Field;
using textlog_detail::kLineBuffer;
using textlog_detail::kLineMax;

namespace textlog_detail {

namespace {

#if defined(__SSE2__)
// Bit i set where block[i] is one of the bytes a line splitter must look at: line feed, carriage
// return, NUL.
inline unsigned special_bytes(const unsigned char* block) {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  __m128i hits =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))),
                   _mm_cmpeq_epi8(v, _mm_setzero_si128()));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// The offset in p[0, take) of the first line feed, carriage return or NUL, or `take`.
inline std::size_t first_special(const unsigned char* p, std::size_t take) {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= take; i += 16) {
    unsigned m = special_bytes(p + i);
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
  }
#endif
  for (; i < take; ++i) {
    if (p[i] == '\n' || p[i] == '\r' || p[i] == 0) return i;
  }
  return take;
}

}  // namespace

std::size_t read_line(Stream& stream, char (&line)[kLineBuffer], LineExtent& extent, bool stop_at_zero) {
  std::size_t stored = 0;
  std::size_t consumed = 0;
  bool plain = true;  // no NUL copied: the length is what was stored
  bool line_feed = false;
  bool zero = false;
  std::size_t zero_at = 0;
  while (consumed < kLineMax) {
    const unsigned char* p;
    std::int64_t avail = stream.peek(&p);
    if (avail == kUnsupported) {
      // A stream without a window of its own: one byte per read.
      while (consumed < kLineMax) {
        char c;
        if (stream_read(stream, &c, 1) != 1) break;
        ++consumed;
        if (c == '\r') continue;
        if (c == '\0' && stop_at_zero) {
          zero = true;
          zero_at = consumed - 1;
          break;
        }
        line[stored++] = c;
        if (c == '\n') {
          line_feed = true;
          break;
        }
      }
      plain = false;
      break;
    }
    if (avail <= 0) break;
    std::size_t take = kLineMax - consumed;
    if (static_cast<std::uint64_t>(avail) < take) take = static_cast<std::size_t>(avail);
    std::size_t at = first_special(p, take);
    if (at < take && p[at] == '\n') {
      // The usual line: plain bytes and a line feed.
      std::memcpy(line + stored, p, at + 1);
      stored += at + 1;
      stream.consume(at + 1);
      consumed += at + 1;
      line_feed = true;
      break;
    }
    if (at == take) {
      std::memcpy(line + stored, p, take);
      stored += take;
      stream.consume(take);
      consumed += take;
      continue;
    }
    // A carriage return or a NUL lies before the line feed: the careful way.
    const void* nl = std::memchr(p, '\n', take);
    std::size_t chunk = nl != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nl) - p) + 1 : take;
    if (stop_at_zero) {
      const void* nul = std::memchr(p, 0, chunk);
      if (nul != nullptr) {
        chunk = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - p) + 1;
        nl = nullptr;
        zero = true;
        zero_at = consumed + chunk - 1;
      }
    }
    for (std::size_t i = 0; i < chunk; ++i) {
      if (p[i] != '\r') line[stored++] = static_cast<char>(p[i]);
    }
    plain = false;
    stream.consume(chunk);
    consumed += chunk;
    if (nl != nullptr) {
      line_feed = true;
      break;
    }
    if (zero) break;
  }
  line[stored] = '\0';
  extent.consumed = consumed;
  extent.line_feed = line_feed;
  extent.zero = zero;
  extent.zero_at = zero_at;
  extent.cut = !line_feed && !zero && consumed >= kLineMax;
  // A zero byte in the data ends the line's text there.
  return plain ? stored : std::strlen(line);
}

int count_columns(const char* line, std::size_t length, char separator) {
  std::size_t end = 0;
  while (end < length && line[end] != '\n') ++end;
  int columns = 1;
  if (separator != 0) {
    for (std::size_t i = 0; i < end; ++i) columns += line[i] == separator ? 1 : 0;
  }
  return columns;
}

int split_fields(char* line, std::size_t length, char separator, Field (&fields)[kColumnSlots]) {
  if (separator == 0) {
    fields[0] = Field{line, length};
    return 1;
  }
  char* start = line;
  int n = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // The buffer has room for a whole block past the line; bits beyond its end are masked off.
  const __m128i sep = _mm_set1_epi8(separator);
  const __m128i nl = _mm_set1_epi8('\n');
  for (; i < length; i += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
    unsigned seps = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, sep)));
    unsigned nls = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)));
    if (length - i < 16) {
      unsigned keep = (1u << (length - i)) - 1;
      seps &= keep;
      nls &= keep;
    }
    if (nls != 0) seps &= (nls & -nls) - 1;  // nothing after the line feed counts
    while (seps != 0) {
      char* at = line + i + __builtin_ctz(seps);
      seps &= seps - 1;
      *at = '\0';
      fields[n++] = Field{start, static_cast<std::size_t>(at - start)};
      if (n == kColumnSlots) return n;
      start = at + 1;
    }
    if (nls != 0) {
      char* at = line + i + __builtin_ctz(nls);
      *at = '\0';
      fields[n++] = Field{start, static_cast<std::size_t>(at - start)};
      return n;
    }
  }
  char* p = line + length;
#else
  char* const end = line + length;
  char* p = line;
  for (; p < end && *p != '\n'; ++p) {
    if (*p != separator) continue;
    *p = '\0';
    fields[n++] = Field{start, static_cast<std::size_t>(p - start)};
    if (n == kColumnSlots) return n;
    start = p + 1;
  }
  (void)i;
#endif
  *p = '\0';
  fields[n++] = Field{start, static_cast<std::size_t>(p - start)};
  return n;
}

}  // namespace textlog_detail

namespace {

// The value of a header line: from two characters after the first ": " up to the first carriage
// return, line feed or the end, copied NUL-terminated into `out`.
void header_value(const char* line, char (&out)[kLineBuffer]) {
  out[0] = '\0';
  const char* p = std::strstr(line, ": ");
  if (p == nullptr) return;
  p += 2;
  std::size_t n = std::strcspn(p, "\r\n");
  std::memcpy(out, p, n);
  out[n] = '\0';
}

using HeaderParse = void (*)(LogHeader& header, const char* value);

void parse_logger_type(LogHeader& h, const char* v) {
  if (std::strcmp(v, "TarvikOne") == 0) {
    h.LoggerType = 0;
  } else if (std::strcmp(v, "TarvikTwo") == 0) {
    h.LoggerType = 1;
  } else if (std::strcmp(v, "TarvikThree") == 0) {
    h.LoggerType = 2;
  }
}

// The first blank-delimited word, cut to the field so it can never spill into the next one.
void parse_hw_rev(LogHeader& h, const char* v) { std::sscanf(v, "%4s", h.HwRev); }
void parse_fw_rev(LogHeader& h, const char* v) { std::sscanf(v, "%4s", h.FwRev); }
void parse_logger_id(LogHeader& h, const char* v) { std::sscanf(v, "%21s", h.LoggerId); }
static_assert(sizeof(LogHeader::HwRev) == 5 && sizeof(LogHeader::FwRev) == 5 && sizeof(LogHeader::LoggerId) == 22,
              "the %Ns widths above leave room for the NUL");

void parse_int(std::int32_t& field, const char* v) {
  int value;
  if (std::sscanf(v, "%i", &value) == 1) field = value;
}

void parse_session_no(LogHeader& h, const char* v) { parse_int(h.SessionNo, v); }
void parse_split_no(LogHeader& h, const char* v) { parse_int(h.SplitNo, v); }
void parse_bit_rate(LogHeader& h, const char* v) { parse_int(h.BitRate, v); }

void parse_time(LogHeader& h, const char* v) {
  // A later "Time: " line replaces the whole text: stale digits of a longer earlier value would
  // silently shift every timestamp of the log.
  std::memset(h.TimeText, 0, sizeof h.TimeText);
  std::strncpy(h.TimeText, v, sizeof h.TimeText - 1);
}

// Exactly three characters: a double quote, the separator itself (a blank included), and one
// more (the closing quote). Anything else means "no separator".
char separator_of(const char* v) {
  char c = 0;
  if (std::strlen(v) != 3 || std::sscanf(v, "\"%c\"", &c) != 1) return 0;
  return c;
}

void parse_value_separator(LogHeader& h, const char* v) { h.ValueSeparator = separator_of(v); }
void parse_time_separator(LogHeader& h, const char* v) { h.TimeSeparator = separator_of(v); }
void parse_time_separator_ms(LogHeader& h, const char* v) { h.TimeSeparatorMs = separator_of(v); }
void parse_date_separator(LogHeader& h, const char* v) { h.DateSeparator = separator_of(v); }
void parse_time_date_separator(LogHeader& h, const char* v) { h.TimeDateSeparator = separator_of(v); }

void parse_time_format(LogHeader& h, const char* v) {
  int value = 0;
  h.TimeFormat = std::sscanf(v, "%i", &value) == 1 ? static_cast<std::uint8_t>(value) : 0;
}

void parse_flag(std::int32_t& field, const char* v) {
  if (std::strcmp(v, "true") == 0) {
    field = 1;
  } else if (std::strcmp(v, "false") == 0) {
    field = 0;
  }
}

void parse_silent_mode(LogHeader& h, const char* v) { parse_flag(h.SilentMode, v); }
void parse_cyclic_mode(LogHeader& h, const char* v) { parse_flag(h.CyclicMode, v); }

struct HeaderKey {
  const char* key;
  HeaderParse parse;
};

// Every key is looked for anywhere in each "#" line, in this order; a line holding several keys
// sets several fields (all from the value after the line's first ": ").
constexpr HeaderKey HeaderKeyTable[16] = {
    {"Logger type: ", parse_logger_type},
    {"HW rev: ", parse_hw_rev},
    {"FW rev: ", parse_fw_rev},
    {"Logger ID: ", parse_logger_id},
    {"Session No.: ", parse_session_no},
    {"Split No.: ", parse_split_no},
    {"Time: ", parse_time},
    {"Value separator: ", parse_value_separator},
    {"Time format: ", parse_time_format},
    {"Time separator: ", parse_time_separator},
    {"Time separator ms: ", parse_time_separator_ms},
    {"Date separator: ", parse_date_separator},
    {"Time and date separator: ", parse_time_date_separator},
    {"Bit-rate: ", parse_bit_rate},
    {"Silent mode: ", parse_silent_mode},
    {"Cyclic mode: ", parse_cyclic_mode},
};

// Keeps a "# Key: value" line as a property of the log: "Logger type" and "TarvikTwo" of
// "# Logger type: TarvikTwo". Lines without ": " are passed over.
void keep_property(TextLogDecoder& decoder, const char* line, std::size_t& text_used) {
  const char* key = line + 1;
  if (*key == ' ') ++key;
  const char* colon = std::strstr(key, ": ");
  if (colon == nullptr || decoder.property_count == kMaxLogProperties) return;
  const char* value = colon + 2;
  const std::size_t key_length = static_cast<std::size_t>(colon - key);
  const std::size_t value_length = std::strcspn(value, "\r\n");
  if (kLogPropertyText - text_used < key_length + value_length) return;
  char* text = decoder.property_text + text_used;
  std::memcpy(text, key, key_length);
  std::memcpy(text + key_length, value, value_length);
  text_used += key_length + value_length;
  decoder.properties[decoder.property_count++] =
      LogProperty{StrView{text, static_cast<std::int64_t>(key_length)},
                  StrView{text + key_length, static_cast<std::int64_t>(value_length)}};
}

// Puts the stream at the first byte of the log's text: past a UTF-8 byte order mark, which some
// editors write at the start of a file they save, or at offset 0.
void seek_to_text(Stream& s) {
  stream_seek(s, 0, kSeekSet);
  unsigned char mark[3];
  if (stream_read(s, mark, sizeof mark) == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) return;
  stream_seek(s, 0, kSeekSet);
}

// Finds the column header line (the first line after the "#" block) and gives each of its first
// seven columns the parser of its name. False when the data ends first, when there is no "#"
// line before it, or when no column name is known.
bool read_column_header(TextLogDecoder& decoder) {
  Stream& s = *decoder.stream;
  seek_to_text(s);
  char line[kLineBuffer];
  bool saw_header_line = false;
  std::size_t length;
  textlog_detail::LineExtent extent;
  for (;;) {
    length = textlog_detail::read_line(s, line, extent);
    if (length == 0) return false;
    if (line[0] != '#') break;
    saw_header_line = true;
  }
  if (!saw_header_line) return false;
  decoder.RecordStart = static_cast<std::uint32_t>(stream_tell(s));
  decoder.column_line_cut = extent.cut;

  decoder.column_count = textlog_detail::count_columns(line, length, decoder.header.ValueSeparator);
  Field fields[kColumnSlots];
  int n = textlog_detail::split_fields(line, length, decoder.header.ValueSeparator, fields);
  bool any_known = false;
  for (int i = 0; i < n; ++i) {
    bool known = false;
    decoder.parsers[i] = textlog_detail::column_parser_for(fields[i].text, known);
    any_known = any_known || known;
    const char* name = fields[i].text;
    if (decoder.timestamp_column < 0 && std::strcmp(name, "Timestamp") == 0) decoder.timestamp_column = i;
    if (decoder.length_column < 0 && std::strcmp(name, "Length") == 0) decoder.length_column = i;
    if (decoder.data_column < 0 && std::strcmp(name, "Data") == 0) decoder.data_column = i;
  }
  return any_known;
}

}  // namespace

std::unique_ptr<TextLogDecoder> textlog_open(Stream* stream) {
  if (stream == nullptr) return nullptr;
  std::unique_ptr<TextLogDecoder> decoder(new (std::nothrow) textlog_detail::DecoderState);
  if (!decoder) return nullptr;
  decoder->stream = stream;

  seek_to_text(*stream);
  char line[kLineBuffer];
  char value[kLineBuffer];
  std::size_t text_used = 0;
  for (;;) {
    std::size_t length = textlog_detail::read_line(*stream, line);
    if (length == 0 || line[0] != '#') break;
    keep_property(*decoder, line, text_used);
    for (const HeaderKey& entry : HeaderKeyTable) {
      if (std::strstr(line, entry.key) == nullptr) continue;
      header_value(line, value);
      entry.parse(decoder->header, value);
    }
  }
  if (!read_column_header(*decoder)) return nullptr;
  textlog_detail::prepare_timestamps(*decoder);
  return decoder;
}

bool textlog_rewind(TextLogDecoder& decoder) {
  decoder.continues_cut_line = decoder.column_line_cut;
  decoder.data_ended = false;
  return stream_seek(*decoder.stream, decoder.RecordStart, kSeekSet) == static_cast<std::int64_t>(decoder.RecordStart);
}

bool textlog_ended_cleanly(TextLogDecoder& decoder, std::int64_t size) {
  Stream& s = *decoder.stream;
  std::int64_t at = decoder.end_of_data;
  // A stream that cannot tell where it is cannot be checked; only a file of unknown size was
  // ever taken as read to its end.
  if (at < 0) return size < 0;
  if (size >= 0 && at >= size) return true;
  if (stream_seek(s, at, kSeekSet) != at) return false;
  // In pieces, so that a file padded with gigabytes of zeros needs no more memory than one
  // padded with a few.
  unsigned char piece[4096];
  std::int64_t position = at;
  for (;;) {
    std::int64_t want = static_cast<std::int64_t>(sizeof piece);
    if (size >= 0 && size - position < want) want = size - position;
    if (want <= 0) break;
    std::int64_t got = stream_read(s, piece, static_cast<std::uint64_t>(want));
    if (got <= 0) break;
    for (std::int64_t i = 0; i < got; ++i) {
      if (piece[i] != 0) return false;
    }
    position += got;
  }
  return size < 0 || position >= size;
}

}  // namespace quarn
