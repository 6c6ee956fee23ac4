#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_log.h"
#include "io/buffered_stream.h"
#include "io/stream.h"
#include "support/memory_stream.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

void BM_ReadRecords(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  const std::string log = bench_log(frames, 42);
  for (auto _ : state) {
    test::MemoryStream inner(log.data(), log.size());  // behind the converter's buffered stream
    auto buffered = bufstream_create(&inner, false, static_cast<std::int64_t>(log.size()));
    auto decoder = textlog_open(buffered.get());
    textlog_rewind(*decoder);
    BusRecord r;
    std::int64_t n = 0;
    while (textlog_next_record(*decoder, r)) ++n;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ReadRecords)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn
