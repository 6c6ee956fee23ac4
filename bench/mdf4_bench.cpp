// The MDF4 writer beside the ASC writer (convert_bench.cpp): the same frames handed in directly,
// and the same generated log converted end to end by a minimal MDF4 sink. Then the reader
// over a file of the writer's, as it is and as asammdf's save(compression=2) stores it.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/input_formats.h"
#include "batch/log_conversion.h"
#include "bench_log.h"
#include "batch/trace_sink.h"
#include "io/byte_sink.h"
#include "io/file_stream.h"
#include "io/file_system.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_decoder.h"
#include "mdf4/mdf4_writer.h"
#include "batch/bus_record.h"

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

// What the MDF4 trace writer does at its core: begin at the first record, add each, finish at the end.
class Mdf4Sink final : public TraceSink {
 public:
  explicit Mdf4Sink(const Mdf4WriterOptions& options = {}) : options_(options) {}
  bool begin_log(const LogContext& run, StrView output_base, const RecordSource& /*source*/) override {
    std::string path(output_base.data, static_cast<std::size_t>(output_base.length));
    stream_ = fs_open(run.output_fs, sv((path + ".mf4").c_str()), FS_OUTPUT_ACCESS);
    if (!stream_) return false;
    sink_ = std::make_unique<StreamSink>(*stream_);
    writer_ = mdf4_writer_create(options_);
    begun_ = false;
    return writer_ != nullptr;
  }
  bool take_record(const BusRecord& record) override {
    if (!begun_) {
      begun_ = true;
      if (!writer_->begin(*sink_, record.Timestamp, sv("2.4.0"))) return false;
    }
    return writer_->add(record);
  }
  TracesEnded end_log(const LogContext& /*run*/, StrView /*output_base*/, bool /*complete*/) override {
    bool ok = writer_ && (!begun_ || writer_->finish());
    return TracesEnded{stream_close(stream_) == 0 && ok, nullptr};
  }

 private:
  std::unique_ptr<Stream> stream_;
  std::unique_ptr<StreamSink> sink_;
  std::unique_ptr<Mdf4Writer> writer_;
  Mdf4WriterOptions options_;
  bool begun_ = false;
};

// The frames of BM_WriteCanTrace into `name` in the scratch folder, as MDF4.
bool write_frames(FileSystem* fs, const char* name, std::int64_t frames, const Mdf4WriterOptions& options = {}) {
  auto stream = fs_open(fs, sv(name), FS_OUTPUT_ACCESS);
  if (!stream) return false;
  StreamSink sink(*stream);
  auto writer = mdf4_writer_create(options);
  std::uint64_t x = 42;
  BusRecord r;
  bool ok = writer->begin(sink, 1706688000.0, sv("2.4.0"));
  for (std::int64_t i = 0; i < frames && ok; ++i) {
    bench_frame(r, x, i);
    ok = writer->add(r);
  }
  return ok && writer->finish() && stream_close(stream) == 0;
}

// The frames of BM_WriteCanTrace, written as MDF4 to a file; the second argument is the
// compression (0 none, 1 deflate, 2 transposed), the third 1 for the compressing thread.
void BM_WriteMdf4(benchmark::State& state) {
  const std::int64_t frames = state.range(0);
  Mdf4WriterOptions options;
  options.compression = static_cast<Mdf4Compression>(state.range(1));
  options.compress_thread = state.range(2) != 0;
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  for (auto _ : state) {
    if (!write_frames(fs.get(), "w.mf4", frames, options)) state.SkipWithError("writing failed");
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
  Mdf4Sink sink;
  const LogContext context{fs.get(), fs.get(), true, &options};
  for (auto _ : state) {
    if (convert_log(context, sink, *input_format_named("txt"), sv("in.txt"), sv("out")) != 0)
      state.SkipWithError("failed");
  }
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(log.size()));
}
BENCHMARK(BM_ConvertFileMdf4)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

std::string slurp(const std::string& path) {
  std::string bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char buffer[1 << 16];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
  std::fclose(f);
  return bytes;
}

std::uint64_t u64_at(const std::string& b, std::uint64_t at) {
  return mdf4::get_u64(reinterpret_cast<const std::uint8_t*>(b.data()) + at);
}

void append_block(std::string& file, const char* id, const std::string& links_and_data, std::uint64_t links) {
  file.resize(mdf4::align8(file.size()), '\0');
  std::uint8_t head[mdf4::kHeaderSize];
  mdf4::encode_header(head,
                      mdf4::BlockHeader{mdf4::tag(id[2], id[3]), mdf4::kHeaderSize + links_and_data.size(), links});
  file.append(reinterpret_cast<const char*>(head), sizeof head);
  file += links_and_data;
}

std::string u64_text(std::uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

// The file with the first data group's records as asammdf's save(compression=2) stores them:
// transposed and deflated (zlib level 1, asammdf's without isal) in DZ blocks of about 4 MiB of
// records, listed by a DL under an HL.
std::string transposed_copy(const std::string& file) {
  const std::uint64_t dg = u64_at(file, 64 + 24);
  const std::uint64_t cg = u64_at(file, dg + 24 + 8);
  const std::uint64_t record = mdf4::data_start(mdf4::cg::kLinks) + mdf4::cg::kDataBytes;
  const std::uint64_t size = mdf4::get_u32(reinterpret_cast<const std::uint8_t*>(file.data()) + cg + record);
  std::string records;
  auto take = [&](std::uint64_t dt) { records.append(file, dt + 24, u64_at(file, dt + 8) - 24); };
  std::uint64_t at = u64_at(file, dg + 24 + 16);
  if (file.compare(at, 4, "##DT") == 0) take(at);
  for (; at != 0 && file.compare(at, 4, "##DL") == 0; at = u64_at(file, at + 24)) {
    const std::uint64_t n = u64_at(file, at + 24 + 8 * u64_at(file, at + 16) + 4) & 0xFFFFFFFFu;
    for (std::uint64_t i = 0; i < n; ++i) take(u64_at(file, at + 24 + 8 * (1 + i)));
  }
  std::string out = file;
  const std::uint64_t piece = (std::uint64_t{4} << 20) / size * size;
  std::string links = u64_text(0);
  std::string offsets;
  for (std::uint64_t from = 0; from < records.size(); from += piece) {
    const std::uint64_t n = std::min<std::uint64_t>(piece, records.size() - from);
    const std::uint64_t lines = n / size;
    std::string t = records.substr(from, n);
    for (std::uint64_t r = 0; r < lines; ++r) {
      for (std::uint64_t c = 0; c < size; ++c) t[c * lines + r] = records[from + r * size + c];
    }
    uLongf zn = compressBound(static_cast<uLong>(n));
    std::string z(zn, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &zn, reinterpret_cast<const Bytef*>(t.data()), static_cast<uLong>(n),
              1);
    z.resize(zn);
    std::string head = "DT";
    head += static_cast<char>(mdf4::dz::kTransposedDeflate);
    head += '\0';
    const std::uint32_t columns = static_cast<std::uint32_t>(size);
    head += std::string(reinterpret_cast<const char*>(&columns), 4) + u64_text(n) + u64_text(z.size());
    out.resize(mdf4::align8(out.size()), '\0');
    links += u64_text(out.size());
    offsets += u64_text(from);
    append_block(out, "##DZ", head + z, 0);
  }
  const std::uint64_t count = links.size() / 8 - 1;
  std::string data = std::string(4, '\0');
  const std::uint32_t count32 = static_cast<std::uint32_t>(count);
  data += std::string(reinterpret_cast<const char*>(&count32), 4) + offsets;
  out.resize(mdf4::align8(out.size()), '\0');
  const std::uint64_t dl = out.size();
  append_block(out, "##DL", links + data, count + 1);
  out.resize(mdf4::align8(out.size()), '\0');
  const std::uint64_t hl = out.size();
  append_block(out, "##HL", u64_text(dl) + std::string("\x01\0\x01\0\0\0\0\0", 8), 1);
  std::memcpy(out.data() + dg + 24 + 16, &hl, 8);
  return out;
}

// The reader over the file the writer makes of a million frames of the generated log (what the
// end-to-end measure converts): range(0) 0 as written, 1 as asammdf's save(compression=2)
// stores it, 2 as written but with every block inflated on the reading thread (no thread ahead).
void BM_ReadMdf4(benchmark::State& state) {
  constexpr std::int64_t kFrames = 1000000;
  const std::string log = bench_log(kFrames, 7);
  std::FILE* in = std::fopen((bench_scratch() + "/r.txt").c_str(), "wb");
  std::fwrite(log.data(), 1, log.size(), in);
  std::fclose(in);
  auto fs = disk_fs_create(sv(bench_scratch().c_str()));
  RunOptions options;
  // The copy in asammdf's way is made of the records of plain DT blocks.
  Mdf4WriterOptions written;
  if (state.range(0) == 1) written.compression = Mdf4Compression::None;
  Mdf4Sink sink(written);
  const LogContext context{fs.get(), fs.get(), true, &options};
  const std::string plain = bench_scratch() + "/r.mf4";
  const std::string path = bench_scratch() + (state.range(0) == 1 ? "/rz.mf4" : "/r.mf4");
  if (convert_log(context, sink, *input_format_named("txt"), sv("r.txt"), sv("r")) != 0) {
    state.SkipWithError("writing failed");
    return;
  }
  if (state.range(0) == 1) {
    const std::string copy = transposed_copy(slurp(plain));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(copy.data(), 1, copy.size(), f);
    std::fclose(f);
  }
  std::uint64_t peak = 0;
  for (auto _ : state) {
    auto stream = file_stream_open(path.c_str(), 0);
    Mdf4DecoderLimits limits;
    limits.inflate_ahead = state.range(0) != 2;
    auto reader = mdf4_decoder_create(limits);
    if (!stream || !reader || !reader->open(stream.get())) {
      state.SkipWithError("cannot open the file");
      break;
    }
    BusRecord r;
    std::int64_t n = 0;
    while (reader->next(r)) ++n;
    if (n != kFrames || reader->error()[0] != '\0') state.SkipWithError("reading failed");
    peak = reader->window_peak();
  }
  state.counters["window_MiB"] = static_cast<double>(peak) / (1 << 20);
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_ReadMdf4)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn
