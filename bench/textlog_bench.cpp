#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_log.h"
#include "io/buffered_stream.h"
#include "io/stream.h"
#include "textlog/text_log_reader.h"

namespace quarn {
namespace {

// A whole log in memory behind the same buffered stream the converter uses.
class StringStream final : public Stream {
 public:
  explicit StringStream(const std::string& s) : s_(s) {}
  std::int64_t read(void* dst, std::uint64_t n) override {
    std::uint64_t left = s_.size() - static_cast<std::uint64_t>(pos_);
    if (n > left) n = left;
    std::memcpy(dst, s_.data() + pos_, n);
    pos_ += static_cast<std::int64_t>(n);
    return static_cast<std::int64_t>(n);
  }
  std::int64_t tell() override { return pos_; }
  std::int64_t seek(std::int64_t offset, int origin) override {
    pos_ = origin == kSeekEnd ? static_cast<std::int64_t>(s_.size()) + offset : origin == kSeekCur ? pos_ + offset : offset;
    return pos_;
  }

 private:
  const std::string& s_;
  std::int64_t pos_ = 0;
};

void BM_ReadRecords(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  const std::string log = bench_log(frames, 42);
  for (auto _ : state) {
    StringStream inner(log);
    auto buffered = bufstream_create(&inner, false, static_cast<std::int64_t>(log.size()));
    auto reader = textlog_open(buffered.get());
    textlog_rewind(*reader);
    BusRecord r;
    std::int64_t n = 0;
    while (textlog_next_record(*reader, r)) ++n;
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ReadRecords)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn
