#include "mdf4/mdf4_record_layout.h"

namespace quarn::mdf4 {

LiveColumns columns_written(int kind, std::uint32_t length) {
  BusRecord probe{};
  probe.DataLength = length;
  LiveColumns live;
  live.bits[0] = live.bits[1] = 0;
  auto mark = [&live](std::uint32_t c, std::uint32_t n) {
    for (std::uint32_t k = c; k < c + n; ++k) live.bits[k / 64] |= std::uint64_t{1} << (k % 64);
  };
  lay_out(
      probe, kind, 0, [&mark](std::uint32_t c, std::uint64_t, std::uint32_t n) { mark(c, n); },
      [&mark](std::uint32_t c, const std::uint8_t*, std::uint32_t n) { mark(c, n); });
  return live;
}

}  // namespace quarn::mdf4
