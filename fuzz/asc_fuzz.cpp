// The ASC writer fed arbitrary records (see asc_records.h for how the bytes become records),
// log after log through one sink, over a file system in memory that fails where the input
// says. Whatever happens, a trace under its real name is either the one from before or complete
// and exactly what the records call for, nothing is left under a temporary name, and a log that
// counted as written has its traces in place.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "asc/asc_trace_writer.h"
#include "asc/asc_lines.h"
#include "base/calendar.h"
#include "base/memory.h"
#include "logging/report.h"
#include "textlog/text_log_decoder.h"
#include "asc_records.h"
#include "memory_fs.h"

namespace {

using quarn::BusRecord;
using quarn::DynString;
using quarn::fuzz::Log;

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "asc_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

bool is_can(const BusRecord& r) { return r.Kind == quarn::CAN_DataFrame || r.Kind == quarn::CAN_RemoteFrame; }
// Error frames go to the CAN trace too, as lines of their own.
bool in_can_trace(const BusRecord& r) { return is_can(r) || r.Kind == quarn::CAN_ErrorFrame; }

std::string text_of(const DynString& s) {
  return std::string(quarn::dynstr_data(s), static_cast<std::size_t>(quarn::dynstr_length(s)));
}

quarn::asc_detail::CanLine can_line(const BusRecord& r, double base) {
  quarn::asc_detail::CanLine f{};
  f.time = r.Timestamp - base;
  f.id = r.ID;
  f.channel = r.Can.BusChannel;
  f.tx = r.Can.Dir == 1;
  f.extended = r.Can.IDE == 1;
  f.brs = r.Can.BRS;
  f.esi = r.Can.ESI;
  f.dlc = r.Can.DLC;
  f.data_length = static_cast<std::uint8_t>(std::min<std::uint64_t>(r.DataLength, 64));
  f.data = r.Can.DataBytes;
  f.with_data = (r.Can.DLC > 0 || r.DataLength > 0) && r.Can.Remote == 0;
  f.flags = (r.Can.EDL != 0 ? 0x1000u : 0u) | (r.Can.BRS != 0 ? 0x2000u : 0u) | (r.Can.ESI != 0 ? 0x4000u : 0u) |
            (r.Can.Remote != 0 ? 0x10u : 0u);
  return f;
}

// The direct CANFD formatter must write what the general one writes whenever it vouches for a line.
void check_line_formatters(const BusRecord& r, double base) {
  quarn::asc_detail::CanLine f = can_line(r, base);
  char direct[quarn::asc_detail::kCanLineMax];
  std::size_t n = quarn::asc_detail::format_can_line(direct, f);
  if (n == 0) return;
  if (n > sizeof direct) fail("direct CANFD line overran its room");
  DynString general;
  if (!quarn::asc_detail::append_can_line_general(general, f)) fail("general CANFD line failed");
  if (std::string(direct, n) != text_of(general)) fail("CANFD formatters differ", std::string(direct, n) + text_of(general));
}

// The whole trace the records call for, built the plain way: stable sort by time (NaN last), the
// general formatter for every line. Empty when no trace can be written (a time outside the
// calendar) or a line cannot be built.
std::string expected_trace(std::vector<BusRecord> records, bool can) {
  std::stable_sort(records.begin(), records.end(), [](const BusRecord& a, const BusRecord& b) {
    if (std::isnan(a.Timestamp)) return false;
    if (std::isnan(b.Timestamp)) return true;
    return a.Timestamp < b.Timestamp;
  });
  // Both traces count from the whole second their date line names.
  double base = std::floor(records[0].Timestamp);
  double day = std::trunc(base);
  if (!(day >= 0.0 && day <= static_cast<double>(quarn::kLastCalendarSecond))) return {};
  std::time_t seconds = static_cast<std::time_t>(day);
  std::tm fields{};
  if (gmtime_r(&seconds, &fields) == nullptr) return {};
  char date[64];
  if (std::strftime(date, sizeof date, can ? "%a %b %d %H:%M:%S" : "%a %b %d %H:%M:%S ", &fields) == 0) return {};
  char year[16];
  std::snprintf(year, sizeof year, " %4d", fields.tm_year + 1900);
  std::string out = std::string("date ") + date + year + "\nbase hex  timestamps absolute\nBegin Triggerblock\n";
  for (const BusRecord& r : records) {
    DynString line;
    if (can && r.Kind == quarn::CAN_ErrorFrame) {
      const bool ok =
          r.Can.EDL != 0
              ? quarn::asc_append_format(line, "% 11.6f CANFD %3d %s ErrorFrame\n", r.Timestamp - base,
                                         r.Can.BusChannel, r.Can.Dir == 1 ? "Tx" : "Rx")
              : quarn::asc_append_format(line, "% 11.6f %d  ErrorFrame\n", r.Timestamp - base, r.Can.BusChannel);
      if (!ok) return {};
    } else if (can) {
      if (!quarn::asc_detail::append_can_line_general(line, can_line(r, base))) return {};
    } else {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(r.DataLength, 8));
      if (!quarn::asc_append_format(line, "% 12.6f %d %x  %s d %d ", r.Timestamp - base, r.Lin.BusChannel, r.ID,
                                    r.Lin.Dir == 1 ? "Tx" : "Rx", static_cast<int>(n)) ||
          !quarn::asc_append_hex_bytes(line, r.Lin.DataBytes, n) || quarn::dynstr_append(line, "\n", 1) == nullptr) {
        return {};
      }
    }
    out += text_of(line);
  }
  return out + "End Triggerblock\n";
}

constexpr char kEarlier[] = "an earlier, complete trace\n";

// `earlier_kept`: the log is deleted once converted, so an earlier trace of other bytes must stay
// and the log fail.
void check_trace(const quarn::fuzz::MemoryFileSystem& fs, const std::string& name,
                 const std::vector<BusRecord>& records, bool can, bool kept_all, bool earlier, bool ended,
                 bool earlier_kept) {
  auto it = fs.files.find(name);
  bool present = it != fs.files.end();
  if (present && it->second->empty()) fail("empty trace under its real name", name);
  bool is_earlier = present && *it->second == kEarlier;
  if (earlier && !present) fail("an earlier trace was destroyed", name);
  if (!earlier && is_earlier) fail("impossible earlier trace", name);
  if (records.empty() || !kept_all) {
    // Nothing to write, or not the whole log: whatever was there stays.
    if (present != earlier || (present && !is_earlier)) fail("a trace appeared without its frames", name);
    if (!kept_all && ended) fail("a log whose frames were not all kept counted as written", name);
    return;
  }
  if (earlier && earlier_kept && !records.empty() && kept_all) {
    if (!is_earlier) fail("an earlier trace of other bytes was replaced under -d", name);
    if (ended) fail("a log that would replace an earlier trace under -d counted as written", name);
    return;
  }
  if (present && !is_earlier) {
    std::string expected = expected_trace(records, can);
    if (*it->second != expected) fail("trace differs from its records", name + "\n" + *it->second + "\n--\n" + expected);
  } else if (ended) {
    fail("a log that counted as written has no new trace", name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::set_log_threshold(7);  // nothing on stderr
  quarn::fuzz::RecordReader input(data, size);
  quarn::fuzz::Settings settings = input.settings();

  quarn::fuzz::MemoryFileSystem fs;
  quarn::RunOptions options;
  options.delete_converted = settings.delete_converted;
  std::unique_ptr<quarn::TraceSink> sink = quarn::asc_only_sink_create();
  const quarn::LogContext context{&fs, &fs, true, &options};
  if (!sink) fail("no sink");
  quarn::fuzz::MemoryFaults& faults = fs.faults;
  switch (settings.fault) {
    case quarn::fuzz::kFaultShortWrite: faults.write_limit = settings.fault_at * 16; break;
    case quarn::fuzz::kFaultClose: faults.fail_close = true; break;
    case quarn::fuzz::kFaultSync: faults.fail_sync = true; break;
    case quarn::fuzz::kFaultRename: faults.fail_rename = true; break;
    case quarn::fuzz::kFaultRemove: faults.fail_remove = true; break;
    case quarn::fuzz::kFaultSyncFolder: faults.fail_sync_folder = true; break;
    default: break;
  }

  for (int k = 0; k < 8 && (k == 0 || !input.done()); ++k) {
    Log log;
    BusRecord r;
    while (!input.done() && input.next(r)) log.push_back(r);

    const std::string base = "out/log" + std::to_string(k);
    if (settings.earlier_traces) {
      fs.files[base + ".asc"] = std::make_shared<std::string>(kEarlier);
      fs.files[base + "_LIN.asc"] = std::make_shared<std::string>(kEarlier);
    }
    for (const BusRecord& record : log) {
      if (is_can(record)) check_line_formatters(record, quarn::fuzz::kBaseTime);
    }

    // The order of the conversion loop: after a failed record no more reach the sink.
    quarn::RecordSource source;
    if (settings.fault == quarn::fuzz::kFaultAllocation) quarn::mem_fail_after(settings.fault_at);
    bool ok = sink->begin_log(context, quarn::sv(base.c_str()), source);
    std::size_t handed = 0;
    bool kept_all = true;
    for (; ok && handed < log.size(); ++handed) {
      if (!sink->take_record(log[handed])) {
        kept_all = false;
        ++handed;
        break;
      }
    }
    const quarn::TracesEnded traces = sink->end_log(context, quarn::sv(base.c_str()), !settings.logs_failed);
    const bool ended = traces.ok;
    quarn::mem_fail_after(-1);
    if (settings.logs_failed && ended) fail("a failed log counted as written");
    kept_all = kept_all && !settings.logs_failed;
    if (!ok) fail("new_file failed");

    std::vector<BusRecord> can, lin;
    for (std::size_t i = 0; i < handed; ++i) {
      if (in_can_trace(log[i])) can.push_back(log[i]);
      if (log[i].Kind == quarn::LIN_Frame) lin.push_back(log[i]);
    }
    // Only an error frame holds what its trace line cannot.
    if (ended && traces.lack != nullptr &&
        std::none_of(can.begin(), can.end(), [](const BusRecord& x) { return x.Kind == quarn::CAN_ErrorFrame; })) {
      fail("a trace said to lack fields without an error frame", base);
    }
    const bool earlier_kept = settings.delete_converted && settings.earlier_traces;
    check_trace(fs, base + ".asc", can, true, kept_all, settings.earlier_traces, ended, earlier_kept);
    check_trace(fs, base + "_LIN.asc", lin, false, kept_all, settings.earlier_traces, ended, earlier_kept);
    if (settings.fault == quarn::fuzz::kFaultNone && !settings.logs_failed && !ended && !earlier_kept) {
      bool writable = (can.empty() || !expected_trace(can, true).empty()) &&
                      (lin.empty() || !expected_trace(lin, false).empty());
      if (writable) fail("a log failed without a fault", base);
    }
    for (const auto& [name, content] : fs.files) {
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0 && settings.fault != quarn::fuzz::kFaultRemove) {
        fail("a temporary file was left behind", name);
      }
    }
  }
  return 0;
}
