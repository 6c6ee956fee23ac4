#pragma once

namespace quarn {

// Points libdeflate's allocations at quarn's own, so that they meet the same failure hook as
// everything else (a compressor or decompressor that cannot be had is then a failure the caller
// reports). Once per process, from any thread; before the first libdeflate_alloc_*.
void deflate_use_quarn_memory();

}  // namespace quarn
