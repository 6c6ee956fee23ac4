// gen_log: writes one generated logger text log. See --help.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gen_log.h"

namespace {

constexpr char kUsage[] =
    "Usage: gen_log [options] -o FILE   (FILE \"-\" is standard output)\n"
    "  --frames N          frames to write (default 100)\n"
    "  --seed N            seed; the same options and seed give the same bytes (default 1)\n"
    "  --time-format F     1 SS.mmm, 2 MM:SS.mmm, 3 hh:MM:SS.mmm, 4 DDThh:MM:SS.mmm,\n"
    "                      5 mm-DDThh:MM:SS.mmm, 6 full date and time (default 3)\n"
    "  --start T           header start time YYYYmmDDThhMMSS (default 20240131T120000)\n"
    "  --value-sep C       column separator: one character, or \"tab\" (default ;)\n"
    "  --time-sep C        between hh, MM, SS; \"none\" for no separator (default :)\n"
    "  --ms-sep C          before the milliseconds, or \"none\" (default .)\n"
    "  --date-sep C        between date parts, or \"none\" (default -)\n"
    "  --td-sep C          between date and time, or \"none\" (default T)\n"
    "  --crlf              end lines with CR LF (default LF)\n"
    "  --extended P        percent of frames with 29-bit identifiers (default 30)\n"
    "  --ids N             distinct identifiers on the bus (default 24)\n"
    "  --gap-us N          mean time between frames in microseconds (default 2000)\n"
    "  --logger NAME       logger type: TarvikOne, TarvikTwo, TarvikThree (default TarvikTwo)\n"
    "  --logger-id ID      logger identifier (default 4F2A11C0)\n"
    "  --candump FILE      also write the same frames as a candump log\n";

bool separator_of(const char* text, char& out) {
  if (std::strcmp(text, "none") == 0) {
    out = 0;
  } else if (std::strcmp(text, "tab") == 0) {
    out = '\t';
  } else if (std::strlen(text) == 1) {
    out = text[0];
  } else {
    return false;
  }
  return true;
}

bool number_of(const char* text, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end != text && *end == 0;
}

}  // namespace

int main(int argc, char** argv) {
  quarn::tools::GenLogOptions o;
  const char* output = nullptr;
  const char* candump_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--crlf") {
      o.crlf = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "gen_log: %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    const char* v = argv[++i];
    long long n = 0;
    bool ok = true;
    if (a == "-o") {
      output = v;
    } else if (a == "--candump") {
      candump_path = v;
    } else if (a == "--frames") {
      ok = number_of(v, n) && n >= 0;
      o.frames = n;
    } else if (a == "--seed") {
      ok = number_of(v, n);
      o.seed = static_cast<std::uint64_t>(n);
    } else if (a == "--time-format") {
      ok = number_of(v, n) && n >= 1 && n <= 6;
      o.time_format = static_cast<quarn::TimeFormat>(n);
    } else if (a == "--start") {
      o.start = v;
    } else if (a == "--value-sep") {
      ok = separator_of(v, o.value_separator) && o.value_separator != 0;
    } else if (a == "--time-sep") {
      ok = separator_of(v, o.time_separator);
    } else if (a == "--ms-sep") {
      ok = separator_of(v, o.ms_separator);
    } else if (a == "--date-sep") {
      ok = separator_of(v, o.date_separator);
    } else if (a == "--td-sep") {
      ok = separator_of(v, o.time_date_separator);
    } else if (a == "--extended") {
      ok = number_of(v, n) && n >= 0 && n <= 100;
      o.extended_percent = static_cast<int>(n);
    } else if (a == "--ids") {
      ok = number_of(v, n) && n >= 1 && n <= 100000;
      o.ids = static_cast<int>(n);
    } else if (a == "--gap-us") {
      ok = number_of(v, n) && n >= 0 && n <= 1000000000;
      o.mean_gap_us = static_cast<int>(n);
    } else if (a == "--logger") {
      o.logger_type = v;
    } else if (a == "--logger-id") {
      o.logger_id = v;
    } else {
      std::fprintf(stderr, "gen_log: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "gen_log: bad value for %s: %s\n", a.c_str(), v);
      return 2;
    }
  }
  if (output == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::FILE* out = std::strcmp(output, "-") == 0 ? stdout : std::fopen(output, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "gen_log: cannot create %s\n", output);
    return 1;
  }
  std::FILE* candump = nullptr;
  if (candump_path != nullptr && (candump = std::fopen(candump_path, "wb")) == nullptr) {
    std::fprintf(stderr, "gen_log: cannot create %s\n", candump_path);
    return 1;
  }
  bool ok = quarn::tools::gen_log(o, out, candump);
  if (out != stdout) ok = std::fclose(out) == 0 && ok;
  if (candump != nullptr) ok = std::fclose(candump) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "gen_log: could not write %s (is the start time YYYYmmDDThhMMSS?)\n", output);
    return 1;
  }
  return 0;
}
