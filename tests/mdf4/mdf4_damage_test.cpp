// Damaged MDF4 logs never convert in part. Files of N known frames, as quarn's writer and as
// loggers lay them out, are damaged the ways files get damaged (cycle counts, block lengths,
// channel lists, times, channel widths, truncation, stray bytes), and each is converted as a log
// with -d to ASC and MDF4 traces in memory. Either the conversion succeeds, the log is gone and
// its MDF4 trace holds all N frames, or it fails with status 8 and the log stays as it was.
//
// A normal run takes a few hundred files; QUARN_MDF4_DAMAGE_RUNS=10000 (or more) takes that many.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/input_formats.h"
#include "asc/asc_trace_writer.h"
#include "batch/exit_status.h"
#include "batch/log_conversion.h"
#include "batch/trace_writer.h"
#include "logging/report.h"
#include "mdf4/mdf4_trace_writer.h"
#include "memory_fs.h"
#include "support/mdf4_files.h"
#include "support/mdf4_logger_files.h"
#include "support/temp_dir.h"

namespace quarn {
namespace {

using test::file_u64;
using test::set_file_u64;
using test::WalkedBlock;

constexpr std::size_t kFrames = 60;

struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : next() % n; }
};

// A file to damage and what its blocks are.
struct Base {
  std::string name;
  std::string bytes;
  std::map<std::uint64_t, WalkedBlock> blocks;
  // quarn's plain files: where data group 0's records (84 bytes, time last) lie; 0 for others.
  std::uint64_t records0 = 0;
  std::uint64_t cycles0 = 0;
};

std::uint64_t data_section(std::uint64_t at, const WalkedBlock& b) { return at + 24 + 8 * b.links.size(); }

std::vector<std::uint64_t> blocks_of(const Base& base, std::initializer_list<const char*> ids) {
  std::vector<std::uint64_t> out;
  for (const auto& [at, b] : base.blocks) {
    for (const char* id : ids) {
      if (b.id == id) out.push_back(at);
    }
  }
  return out;
}

// Fields of a file that an earlier damage may have cut short: what lies past its end reads 0 and
// takes nothing.
std::uint64_t get_u64(const std::string& f, std::uint64_t at) { return at + 8 <= f.size() ? file_u64(f, at) : 0; }
void put_u8(std::string& f, std::uint64_t at, std::uint8_t v) {
  if (at < f.size()) f[at] = static_cast<char>(v);
}
void put_u32(std::string& f, std::uint64_t at, std::uint32_t v) {
  if (at + 4 <= f.size()) std::memcpy(f.data() + at, &v, 4);
}
void put_f64(std::string& f, std::uint64_t at, double v) {
  if (at + 8 <= f.size()) std::memcpy(f.data() + at, &v, 8);
}
void put_u64(std::string& f, std::uint64_t at, std::uint64_t v) {
  if (at + 8 <= f.size()) set_file_u64(f, at, v);
}

double odd_time(Random& rng) {
  const double times[] = {std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          std::numeric_limits<double>::quiet_NaN(),
                          1e12,
                          1e300,
                          -1e300,
                          -2e9,
                          4e10,
                          0.0,
                          1e-3};
  return times[rng.below(sizeof times / sizeof times[0])];
}

// One damage of a kind chosen by `rng`; says what it did.
std::string damage(const Base& base, std::string& f, Random& rng) {
  auto pick = [&](const std::vector<std::uint64_t>& v) { return v.empty() ? 0 : v[rng.below(v.size())]; };
  switch (rng.below(8)) {
    case 0: {  // a channel group's cycle count
      const std::uint64_t cg = pick(blocks_of(base, {"##CG"}));
      const std::uint64_t at = data_section(cg, base.blocks.at(cg)) + 8;
      const std::uint64_t n = get_u64(f, at);
      const std::uint64_t values[] = {0, n - 1, n / 2, n + 1, n + 7, 2 * n, rng.next()};
      put_u64(f, at, values[rng.below(7)]);
      return "cycle count at " + std::to_string(at);
    }
    case 1: {  // a block's length
      const std::uint64_t b = pick(blocks_of(base, {"##DT", "##SD", "##DZ", "##DL", "##HL", "##CG", "##CN"}));
      const std::uint64_t n = get_u64(f, b + 8);
      const std::uint64_t delta = 1 + rng.below(100);
      put_u64(f, b + 8, rng.below(2) == 0 ? n + delta : n - delta);
      return "length of the block at " + std::to_string(b);
    }
    case 2: {  // a channel list cut short
      const std::uint64_t cn = pick(blocks_of(base, {"##CN"}));
      put_u64(f, cn + 24 + 8 * rng.below(2), 0);  // the next channel or the composition
      return "channel list cut at " + std::to_string(cn);
    }
    case 3: {  // times
      if (base.records0 != 0 && rng.below(2) == 0) {
        const std::uint64_t k = rng.below(base.cycles0);
        put_f64(f, base.records0 + k * 84 + 76, odd_time(rng));
        return "time of record " + std::to_string(k);
      }
      // A linear conversion of a time channel's values.
      std::vector<std::uint64_t> masters;
      for (const auto& [at, b] : base.blocks) {
        if (b.id == "##CN" && data_section(at, b) < f.size() && f[data_section(at, b)] == 2) masters.push_back(at);
      }
      const std::uint64_t cn = pick(masters);
      std::string cc = std::string("##CC", 4) + std::string(4, '\0');
      const std::uint64_t length = 24 + 4 * 8 + 24 + 16;
      cc += std::string(reinterpret_cast<const char*>(&length), 8);
      const std::uint64_t links = 4;
      cc += std::string(reinterpret_cast<const char*>(&links), 8) + std::string(32, '\0');
      std::string data(24 + 16, '\0');
      data[0] = 1;  // linear
      data[6] = 2;  // two values
      const double offset = rng.below(2) == 0 ? odd_time(rng) : 0.0;
      const double factor = rng.below(2) == 0 ? odd_time(rng) : 1e-6;
      std::memcpy(data.data() + 24, &offset, 8);
      std::memcpy(data.data() + 32, &factor, 8);
      f.resize((f.size() + 7) / 8 * 8, '\0');
      const std::uint64_t at = f.size();
      f += cc + data;
      put_u64(f, cn + 24 + 8 * 4, at);
      return "time conversion of the channel at " + std::to_string(cn);
    }
    case 4: {  // a channel's width or bit offset
      const std::uint64_t cn = pick(blocks_of(base, {"##CN"}));
      const std::uint64_t d = data_section(cn, base.blocks.at(cn));
      if (rng.below(4) == 0) {
        put_u8(f, d + 3, static_cast<std::uint8_t>(rng.below(8)));
      } else {
        const std::uint32_t widths[] = {1, 7, 8, 9, 15, 16, 24, 31, 32, 33, 63, 64, 65, 512, 520};
        put_u32(f, d + 8, widths[rng.below(sizeof widths / sizeof widths[0])]);
      }
      return "width of the channel at " + std::to_string(cn);
    }
    case 5: {  // the file cut short
      const std::uint64_t n = rng.below(f.size());
      f.resize(static_cast<std::size_t>(n));
      return "cut to " + std::to_string(n) + " bytes";
    }
    case 6: {  // data past the records: a data block grown over what follows it
      const std::uint64_t b = pick(blocks_of(base, {"##DT", "##SD"}));
      const std::uint64_t grow = 1 + rng.below(200);
      put_u64(f, b + 8, get_u64(f, b + 8) + grow);
      return "data block at " + std::to_string(b) + " grown by " + std::to_string(grow);
    }
    default: {  // stray bytes, but not in names and bus types: those tell which groups hold frames
      std::string what = "bytes changed at";
      const std::uint64_t count = 1 + rng.below(8);
      for (std::uint64_t i = 0; i < count; ++i) {
        if (f.empty()) break;
        const std::uint64_t at = rng.below(f.size());
        auto it = base.blocks.upper_bound(at);
        bool spared = false;
        if (it != base.blocks.begin()) {
          --it;
          const WalkedBlock& b = it->second;
          spared = at < it->first + b.length && (b.id == "##TX" || b.id == "##MD" || b.id == "##SI");
        }
        if (spared) continue;
        f[at] = static_cast<char>(f[at] ^ static_cast<char>(1 + rng.below(255)));
        what += " " + std::to_string(at);
      }
      return what;
    }
  }
}

std::vector<Base> bases() {
  std::vector<Base> out;
  auto add = [&](const std::string& name, const std::string& bytes) {
    Base b;
    b.name = name;
    b.bytes = bytes;
    std::vector<std::string> problems;
    b.blocks = test::walk_blocks(bytes, problems);
    EXPECT_EQ(problems, std::vector<std::string>{}) << name;
    const std::uint64_t dg0 = test::data_groups(bytes)[0];
    const std::uint64_t data = file_u64(bytes, test::link_at(dg0, 2));
    if (name.rfind("quarn", 0) == 0 && bytes.compare(data, 4, "##DT") == 0) {
      b.records0 = data + 24;
      b.cycles0 = file_u64(bytes, test::data_of(bytes, test::channel_group_of(bytes, dg0)) + 8);
    }
    out.push_back(b);
  };
  const std::vector<BusRecord> frames = test::generated_frames(31, kFrames);
  Mdf4WriterOptions options;
  options.compress_thread = false;
  options.compression = Mdf4Compression::None;
  add("quarn plain", test::write_mdf4(frames, options));
  options.block_bytes = 400;
  options.list_links = 2;
  add("quarn plain lists", test::write_mdf4(frames, options));
  options.compression = Mdf4Compression::Deflate;
  add("quarn deflated lists", test::write_mdf4(frames, options));
  options = {};
  options.compress_thread = false;
  add("quarn transposed", test::write_mdf4(frames, options));

  test::LoggerLayout l;
  add("logger unsorted", test::write_logger_mdf4(frames, l));
  l.id_size = 0;
  add("logger sorted", test::write_logger_mdf4(frames, l));
  l.signal_data = false;
  l.packed = false;
  l.store = test::Store::kTransposed;
  add("logger sorted transposed", test::write_logger_mdf4(frames, l));
  l = {};
  l.id_size = 2;
  l.block_bytes = 300;
  l.hl = true;
  l.store = test::Store::kMixed;
  add("logger unsorted mixed", test::write_logger_mdf4(frames, l));
  l = {};
  l.signal_data = false;
  l.share_values = true;
  l.short_names = true;
  add("logger unsorted fixed bytes", test::write_logger_mdf4(frames, l));
  return out;
}

// Converts `bytes` as the log in.mf4 with -d to ASC and MDF4 traces beside it; the status.
struct Conversion {
  fuzz::MemoryFileSystem fs;
  RunOptions options;
  std::unique_ptr<TraceSink> sink;

  Conversion() {
    input_formats_use(options);
    options.delete_converted = true;
    std::unique_ptr<TraceWriter> writers[2] = {asc_trace_writer_create(), mdf4_trace_writer_create(sv("0.0.0"))};
    sink = trace_fan_out_create(writers, 2);
  }

  int run(const std::string& bytes) {
    fs.files.clear();
    fs.files["in.mf4"] = std::make_shared<std::string>(bytes);
    const LogContext context{&fs, &fs, true, &options};
    return convert_log(context, *sink, *input_format_named("mf4"), sv("in.mf4"), sv("out"));
  }
};

long long runs_asked() {
  const char* env = std::getenv("QUARN_MDF4_DAMAGE_RUNS");
  return env != nullptr ? std::atoll(env) : 600;
}

TEST(Mdf4DamageTest, ADamagedLogConvertsWholeOrFailsAndStays) {
  Conversion conversion;
  ASSERT_TRUE(conversion.sink);
  const std::vector<Base> files = bases();

  // Undamaged, every file converts whole: the property is not met by failing everything.
  for (const Base& base : files) {
    SCOPED_TRACE(base.name);
    ASSERT_EQ(conversion.run(base.bytes), kStatusOk);
    const test::Mdf4Read trace = test::read_mdf4(*conversion.fs.files.at("out.mf4"));
    ASSERT_EQ(trace.error, "");
    ASSERT_EQ(trace.records.size(), kFrames);
  }

  set_log_threshold(7);  // the failures below are expected; their messages would fill the output
  const long long runs = runs_asked();
  long long converted = 0;
  long long failed = 0;
  long long problems = 0;
  for (long long run = 0; run < runs && problems < 10; ++run) {
    Random rng{static_cast<std::uint64_t>(run) * 7919 + 1};
    const Base& base = files[rng.below(files.size())];
    std::string file = base.bytes;
    std::string what = damage(base, file, rng);
    if (rng.below(3) == 0) what += "; " + damage(base, file, rng);
    const int status = conversion.run(file);
    const auto& fs = conversion.fs.files;
    const auto in = fs.find("in.mf4");
    std::string problem;
    if (status == kStatusOk) {
      ++converted;
      const auto trace = fs.find("out.mf4");
      const test::Mdf4Read read = trace == fs.end() ? test::Mdf4Read{} : test::read_mdf4(*trace->second);
      if (in != fs.end()) {
        problem = "converted, but the log stayed";
      } else if (!read.opened || read.records.size() != kFrames) {
        problem = "converted with " + std::to_string(read.records.size()) + " frames";
      }
    } else {
      ++failed;
      if (status != kStatusConvertFailed) problem = "status " + std::to_string(status);
      if (in == fs.end() || *in->second != file) problem += " the log did not stay as it was";
    }
    for (const auto& [name, content] : fs) {
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0) problem += " " + name + " left behind";
    }
    if (!problem.empty()) {
      ++problems;
      ADD_FAILURE() << "run " << run << ", " << base.name << ", " << what << ": " << problem;
      if (const char* keep = std::getenv("QUARN_MDF4_DAMAGE_KEEP")) {
        test::write_file(std::string(keep) + "/run" + std::to_string(run) + ".mf4", file);
      }
    }
  }
  std::printf("%lld damaged files: %lld converted whole, %lld failed and stayed\n", converted + failed, converted,
              failed);
  EXPECT_EQ(problems, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace quarn
