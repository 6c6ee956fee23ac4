#pragma once

// A generator of logger text logs for examples, tests and benchmarks. The same options always
// give the same bytes: the only source of variety is the seed, fed to a fixed generator
// (splitmix64), and every number is formatted with the C library's printf.

#include <cstdint>
#include <cstdio>
#include <string>

#include "textlog/time_format.h"

namespace quarn::tools {

struct GenLogOptions {
  std::uint64_t seed = 1;
  std::int64_t frames = 100;
  // Which part of the date and time each record's timestamp holds, with the separators below; the
  // log header's start time supplies the rest.
  TimeFormat time_format = TimeFormat::TimeOfDay;
  std::string start = "20240131T120000";  // header "Time: ", YYYYmmDDThhMMSS (read as UTC digits)
  char value_separator = ';';
  char time_separator = ':';       // 0: none
  char ms_separator = '.';         // 0: none
  char date_separator = '-';       // 0: none
  char time_date_separator = 'T';  // 0: none
  bool crlf = false;               // line ends "\r\n" instead of "\n"
  int extended_percent = 30;       // share of frames with 29-bit identifiers
  int tx_percent = 5;              // share of frames sent by the logger itself
  int ids = 24;                    // how many distinct identifiers the bus carries
  int mean_gap_us = 2000;          // mean time between frames, in microseconds (ms resolution kept)
  std::string logger_type = "TarvikTwo";
  std::string logger_id = "4F2A11C0";
  int bit_rate = 500000;
};

// Writes the log to `out`, and when `candump` is given the same frames there as a candump log
// ("(1706702400.466000) can0 123#0102"), so other converters can be measured on them. False when
// a write fails or the options make no sense (an unknown time format, a start time that does not
// read as YYYYmmDDThhMMSS, fewer than 0 frames).
bool gen_log(const GenLogOptions& options, std::FILE* out, std::FILE* candump = nullptr);

// The same into a string, for tests and benchmarks that read from memory.
bool gen_log_text(const GenLogOptions& options, std::string& out);

}  // namespace quarn::tools
