#pragma once

#include <cstdint>

#include "base/memory.h"
#include "base/str_view.h"
#include "batch/bus_record.h"
#include "batch/log_info.h"
#include "io/stream.h"

namespace quarn {

// What a log holds besides its frames, counted as a reader passes over it, for formats that
// hold more than frames.
struct PassedObjects {
  const char* format = "";       // the format's name in messages ("BLF")
  std::int64_t no_frame = 0;     // markers, statistics, texts: nothing of them belongs in a trace
  std::int64_t other_kinds = 0;  // frames of kinds quarn does not convert: the traces lack them
};

// What a reader's failure() is about, so that the loop can word its message.
enum class ReadFailure : std::uint8_t {
  Log,        // the log as a whole: "Could not read log ...: <failure()>"
  StartTime,  // the start time its frames are dated from; failure() is the log's text of it
};

// The reader of one input format over one log at a time; the per-log loop (convert_log) drives
// it. A reader prints nothing: the loop reports what it says.
class LogReader : public HeapObject {
 public:
  virtual ~LogReader() = default;

  // Reads what comes before the records from `stream` (borrowed until the next open or the
  // reader's end; it reads, seeks and tells). False when the file is no log this reader can read;
  // failure() then says why, or is "" when the format has nothing more to say than that.
  [[nodiscard]] virtual bool open(Stream& stream) = 0;

  // Fills `record` with the next record (cleared first). False at the end of the records, and
  // when reading failed: failure() then says why.
  [[nodiscard]] virtual bool next(BusRecord& record) = 0;

  // Once next has returned false without a failure: whether the records ended where the log's
  // data does, given the file's size when it was opened (negative: unknown). A log whose data
  // goes on past where its records ended may hold frames its traces would lack.
  [[nodiscard]] virtual bool ended_cleanly(std::int64_t size) = 0;
  // Once ended_cleanly said no: what lies past the records, where the format can tell ("data group
  // 0 (CAN_DataFrame): the data holds records past the 100 its channel group counts"); "" otherwise.
  virtual const char* unread() const { return ""; }

  // Why open or next failed ("unsupported: column-oriented data groups"); "" when nothing failed
  // or there is nothing to add.
  virtual const char* failure() const { return ""; }
  virtual ReadFailure failure_kind() const { return ReadFailure::Log; }
  // Once open succeeded: whether the log's own start time was missing or unreadable and passed
  // over, since every frame carries its full date and time. The loop warns of it.
  virtual bool start_time_passed_over() const { return false; }

  // Lines the log holds that its writer never meant as frames, passed over so far.
  virtual std::int64_t stray_lines() const { return 0; }
  // Frames skipped so far because their time lay before an earlier frame's.
  virtual std::int64_t stepped_back() const { return 0; }
  // Objects of the log other than the frames it hands out, passed over so far.
  virtual PassedObjects passed_objects() const { return PassedObjects{}; }
  // Whether next hands out records in non-decreasing time order, so that traces can be written
  // as they come; known once open succeeded.
  virtual bool time_ordered() const = 0;
  // What the log says about itself; valid once open succeeded, until the next open. The source
  // path and name are left to the caller.
  virtual LogInfo info() const { return LogInfo{}; }
};

}  // namespace quarn
