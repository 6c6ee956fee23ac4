#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/input_formats.h"
#include "batch/log_conversion.h"
#include "asc/asc_trace_writer.h"
#include "bench_log.h"
#include "io/file_system.h"
#include "batch/bus_record.h"
#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

// Formatting and writing: end_file over frames handed in directly, as the reader would give them.
void BM_WriteCanTrace(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  std::uint64_t x = 42;
  RecordSource source;
  for (auto _ : state) {
    state.PauseTiming();
    BusRecord r;
    sink->begin_log(context, sv("w"), source);
    for (std::int64_t i = 0; i < frames; ++i) {
      bench_frame(r, x, i);
      sink->take_record(r);
    }
    state.ResumeTiming();
    if (!sink->end_log(context, sv("w"), true).ok) state.SkipWithError("end_file failed");
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_WriteCanTrace)->Arg(100000)->Unit(benchmark::kMillisecond);

// The whole per-file loop on a generated log on disk: open, read, keep, sort, format, write.
void BM_ConvertFile(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  const std::string log = bench_log(frames, 7);
  std::string path = bench_scratch() + "/in.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(log.data(), 1, log.size(), f);
  std::fclose(f);
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  RunOptions options;
  auto sink = asc_only_sink_create();
  const LogContext context{fs.get(), fs.get(), true, &options};
  for (auto _ : state) {
    if (convert_log(context, *sink, *input_format_named("txt"), sv("in.txt"), sv("out")) != 0)
      state.SkipWithError("failed");
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ConvertFile)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn
