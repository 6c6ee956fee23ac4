// The MDF4 writer beside the ASC writer (convert_bench.cpp): the same frames handed in directly,
// and the same generated log converted end to end by a minimal MDF4 converter.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_log.h"
#include "batch/converter.h"
#include "io/byte_sink.h"
#include "io/file_system.h"
#include "mdf4/mdf4_writer.h"
#include "textlog/bus_record.h"

namespace quarn {
namespace {

// A ByteSink over a seekable output stream, enough for measuring.
class StreamSink final : public ByteSink {
 public:
  explicit StreamSink(Stream& s) : stream_(s) {}
  bool write(const void* data, std::size_t n) override {
    if (stream_write(stream_, data, n) != static_cast<std::int64_t>(n)) return false;
    size_ += n;
    return true;
  }
  bool rewrite(std::uint64_t offset, const void* data, std::size_t n) override {
    bool ok = stream_seek(stream_, static_cast<std::int64_t>(offset), kSeekSet) >= 0 &&
              stream_write(stream_, data, n) == static_cast<std::int64_t>(n);
    return stream_seek(stream_, static_cast<std::int64_t>(size_), kSeekSet) >= 0 && ok;
  }
  std::uint64_t size() const override { return size_; }

 private:
  Stream& stream_;
  std::uint64_t size_ = 0;
};

// What the MDF4 converter will do: begin at the first record, add each, finish at the end.
class Mdf4Converter final : public Converter {
 public:
  bool new_file(StrView output_base, const RecordSource& /*source*/) override {
    std::string path(output_base.data, static_cast<std::size_t>(output_base.length));
    stream_ = fs_open(output_fs, sv((path + ".mf4").c_str()), FS_WRITE | 4);
    if (!stream_) return false;
    sink_ = std::make_unique<StreamSink>(*stream_);
    writer_ = mdf4_writer_create();
    begun_ = false;
    return writer_ != nullptr;
  }
  bool handle_record(const BusRecord& record) override {
    if (!begun_) {
      begun_ = true;
      if (!writer_->begin(*sink_, record.Timestamp, sv("2.4.0"))) return false;
    }
    return writer_->add(record);
  }
  bool end_file(StrView /*output_base*/) override {
    bool ok = writer_ && (!begun_ || writer_->finish());
    return stream_close(stream_) == 0 && ok;
  }

 private:
  std::unique_ptr<Stream> stream_;
  std::unique_ptr<StreamSink> sink_;
  std::unique_ptr<Mdf4Writer> writer_;
  bool begun_ = false;
};

// The frames of BM_WriteCanTrace, written as MDF4 to a file; the second argument is the
// compression (0 none, 1 deflate, 2 transposed), the third 1 for the compressing thread.
void BM_WriteMdf4(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  Mdf4WriterOptions options;
  options.compression = static_cast<Mdf4Compression>(state.range(1));
  options.compress_thread = state.range(2) != 0;
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  for (auto _ : state) {
    auto stream = fs_open(fs.get(), sv("w.mf4"), FS_WRITE | 4);
    if (!stream) {
      state.SkipWithError("cannot open the output");
      break;
    }
    StreamSink sink(*stream);
    auto writer = mdf4_writer_create(options);
    std::uint64_t x = 42;
    BusRecord r{};
    r.Kind = CAN_DataFrame;
    r.Can.BusChannel = 1;
    r.DataPointer = r.Can.DataBytes;
    bool ok = writer->begin(sink, 1706688000.0, sv("2.4.0"));
    for (std::int64_t i = 0; i < frames && ok; ++i) {
      x = x * 6364136223846793005ull + 1442695040888963407ull;
      r.Timestamp = 1706688000.0 + static_cast<double>(i) * 0.001;
      r.Can.IDE = (x >> 60) % 3 == 0;
      r.ID = static_cast<std::uint32_t>(x >> 20) & (r.Can.IDE ? 0x1FFFFFFF : 0x7FF);
      r.Can.DLC = static_cast<std::uint8_t>((x >> 8) % 9);
      r.DataLength = r.Can.DLC;
      for (int b = 0; b < 8; ++b) r.Can.DataBytes[b] = static_cast<std::uint8_t>(x >> (8 * b));
      ok = writer->add(r);
    }
    ok = ok && writer->finish() && stream_close(stream) == 0;
    if (!ok) state.SkipWithError("writing failed");
  }
  state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_WriteMdf4)
    ->Args({100000, 0, 0})
    ->Args({100000, 1, 0})
    ->Args({100000, 2, 0})
    ->Args({100000, 2, 1})
    ->Unit(benchmark::kMillisecond);

// The whole per-file loop of BM_ConvertFile, with MDF4 out instead of ASC.
void BM_ConvertFileMdf4(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  const std::string log = bench_log(frames, 7);
  const std::string path = bench_scratch() + "/in.txt";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(log.data(), 1, log.size(), f);
  std::fclose(f);
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  RunOptions options;
  std::unique_ptr<Converter> converter(new (std::nothrow) Mdf4Converter);
  converter_init(converter.get(), fs.get(), fs.get(), false, &options);
  for (auto _ : state) {
    if (converter_convert_file(converter.get(), sv("in.txt"), sv("out")) != 0) state.SkipWithError("failed");
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ConvertFileMdf4)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn
