#pragma once

// The blocks of an MDF4 bus-logging file that describe its groups rather than hold their records:
// a group's DG, CG and channel blocks in the layout of mdf4_internal.h, and the source blocks its
// bus shares. Built in a BlockBuffer at the place the writer puts them; the links that only the
// end of a file can fill in (data, cycle count, source name) are left 0.

#include <cstdint>

#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_internal.h"

namespace quarn::mdf4 {

// The blocks shared by the groups of one bus: the source, the acquisition name, "time", "s".
struct SharedBlocks {
  std::uint64_t source;
  std::uint64_t acq_name;
  std::uint64_t time_name;
  std::uint64_t time_unit;
};

// A source block for the bus `bus_type` and the text of its acquisition name, into `shared`,
// sharing the path text block `path`. False when memory runs out.
bool add_source(BlockBuffer& b, std::uint8_t bus_type, const char* acq_name, std::uint64_t path, SharedBlocks& shared);

// A source's name: the bus and its channel ("CAN1"), or the bus alone when the frames came from
// several channels.
void source_name(char (&out)[16], const char* bus, int channel);

// One group's DG, CG and channels, with the data link and the cycle count left 0 for later.
bool add_group(BlockBuffer& b, const GroupLayout& layout, const SharedBlocks& shared, std::uint64_t& dg_out,
               std::uint64_t& cg_out);

}  // namespace quarn::mdf4
