#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mdf4/mdf4_decoder.h"
#include "mdf4/mdf4_writer.h"
#include "batch/bus_record.h"

namespace quarn::test {

// The folder of reference material shared between worktrees: $QUARN_SHARED when set, else the
// build's default (the source tree's ../shared).
std::string shared_dir();
// A file of the MDF4 samples (shared/mdf4/samples/NAME).
std::string mdf4_sample(const std::string& name);

// `count` frames from `seed` in non-decreasing time order, each at a whole microsecond from
// 2024-05-14 08:30:00.252653 UTC on, some at equal times: classic and CAN FD data frames (every
// DLC 0 to 15), remote and error frames, standard and extended identifiers, Rx and Tx, channels 1
// to 3, and LIN frames when `lin`. Each is as a producer makes it (cleared, then filled).
std::vector<BusRecord> generated_frames(std::uint64_t seed, std::size_t count, bool lin = true);

// The frames as readers_check.py takes them: one JSON object per frame, times in whole
// microseconds.
std::string frames_json(const std::vector<BusRecord>& records);

// The whole microseconds of a timestamp (rounded).
std::int64_t micros_of(double timestamp);

// The file the writer makes of `records` (which must be in time order); empty when it fails.
std::string write_mdf4(const std::vector<BusRecord>& records, const Mdf4WriterOptions& options = {},
                       const char* version = "2.4.0", const LogInfo& info = {});

// Every record the reader gives, and its error text ("" when it read to the end; "unread: " and
// the reader's unread() when the data goes on past the frames).
struct Mdf4Read {
  bool opened = false;
  std::vector<BusRecord> records;
  std::string error;
  // Records that broke an invariant of BusRecord when handed out: a DataPointer other than their
  // own DataBytes, a DataLength beyond their kind's room.
  std::vector<std::string> broken;
  std::uint64_t window_peak = 0;  // the reader's
};
Mdf4Read read_mdf4(const std::string& bytes, const Mdf4DecoderLimits& limits = {});
Mdf4Read read_mdf4_file(const std::string& path);

// The records in the order the reader gives back a file of quarn's writer: by time, and at equal
// times in the order of the writer's groups (data, error, remote, LIN frames), each kind in the
// order given.
std::vector<BusRecord> in_read_order(const std::vector<BusRecord>& records);

// One line per record naming every field its kind carries, the time exactly (hex float), so
// that vectors of them compare with readable differences.
std::string describe(const BusRecord& r);
std::vector<std::string> describe(const std::vector<BusRecord>& records);
// The same with the time in whole microseconds, for files whose integer ticks and conversion give
// back the microsecond rather than the very double.
std::vector<std::string> describe_us(const std::vector<BusRecord>& records);

// A block as an independent walk of a file finds it.
struct WalkedBlock {
  std::string id;  // "##DT"
  std::uint64_t length = 0;
  std::vector<std::uint64_t> links;
};

// Every block reachable from the header block through links, by offset. Problems (a block not
// 8-byte aligned, outside the file, without a block id, with a length shorter than its header
// and links, a link into another block's middle) are appended to `problems`, one line each.
std::map<std::uint64_t, WalkedBlock> walk_blocks(const std::string& bytes, std::vector<std::string>& problems);

// Walking a file held in a string by its links, without the reader: the text of a TX or MD
// block ("" for 0), the data groups in the header's chain, the first channel group of a data
// group, the channel named `name` anywhere in the file (0 when none), the offset of a block's
// link `index` and of its data section.
std::string text_at(const std::string& bytes, std::uint64_t offset);
std::vector<std::uint64_t> data_groups(const std::string& bytes);
std::uint64_t channel_group_of(const std::string& bytes, std::uint64_t dg);
std::uint64_t channel_named(const std::string& bytes, const std::string& name);
std::uint64_t link_at(std::uint64_t block, std::uint64_t index);
std::uint64_t data_of(const std::string& bytes, std::uint64_t block);

// Little-endian fields of a file held in a string.
std::uint64_t file_u64(const std::string& bytes, std::uint64_t offset);
void set_file_u64(std::string& bytes, std::uint64_t offset, std::uint64_t value);

}  // namespace quarn::test
