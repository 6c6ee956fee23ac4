// The text-log decoder over arbitrary bytes: open, rewind, every record.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "io/buffered_stream.h"
#include "logging/report.h"
#include "support/memory_stream.h"
#include "textlog/text_log_decoder.h"

namespace {


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quarn::set_log_threshold(7);  // nothing on stderr
  quarn::test::MemoryStream inner(data, size);
  // The first byte picks the window, so small refills and whole-file windows both get exercised.
  std::int64_t window = size > 0 ? (data[0] % 4 == 0 ? 7 : static_cast<std::int64_t>(size)) : 1;
  auto stream = quarn::bufstream_create(&inner, false, window);
  auto decoder = quarn::textlog_open(stream.get());
  if (!decoder) return 0;
  quarn::textlog_rewind(*decoder);
  quarn::BusRecord record;
  double last = 0;
  while (quarn::textlog_next_record(*decoder, record)) {
    if (record.DataLength > 8 || record.Timestamp < last) __builtin_trap();
    if (record.DataLength > 0 && record.DataPointer != record.Can.DataBytes) __builtin_trap();
    last = record.Timestamp;
  }
  return 0;
}
