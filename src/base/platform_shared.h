#pragma once

// What every platform's file does alike, kept once. Only the platform files include this.

#include <cstdint>

namespace quarn::platform_detail {

// Whether the terminal calls itself "dumb" (TERM), as editors' shell windows do: it takes no
// cursor controls, whatever else it is.
bool term_is_dumb();
// A processor count as the system gave it, made at least 1 and at most 65536.
int clamp_cores(std::int64_t n);

}  // namespace quarn::platform_detail
