// Writes the seed corpora of the fuzz targets into CORPUS/<target>/, all from gen_log so that
// they look like what loggers write: small logs of every header style for the reader, the
// records of such logs (with LIN, remote and CAN FD frames mixed in, and every fault) for the
// ASC writer, argument lists for the paths, and MDF4 files quarn's writer makes of such records,
// and files laid out as loggers lay them out, for the MDF4 reader (the sample-* files beside
// them come from python-can and are not rewritten). The same build writes the same bytes.
//   fuzz_seeds CORPUS

#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "asc_records.h"
#include "gen_log.h"
#include "io/buffered_stream.h"
#include "io/byte_sink.h"
#include "io/stream.h"
#include "logging/report.h"
#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_writer.h"
#include "support/memory_sink.h"
#include "support/blf_files.h"
#include "support/mdf4_logger_files.h"
#include "support/memory_stream.h"
#include "textlog/text_log_decoder.h"

namespace {

using quarn::tools::GenLogOptions;

bool save(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// The records the reader makes of a generated log.
quarn::fuzz::Log records_of(const GenLogOptions& options) {
  std::string text;
  quarn::tools::gen_log_text(options, text);
  quarn::test::MemoryStream inner(text.data(), text.size());
  auto stream = quarn::bufstream_create(&inner, false, static_cast<std::int64_t>(text.size()));
  quarn::fuzz::Log log;
  auto reader = quarn::textlog_open(stream.get());
  if (!reader || !quarn::textlog_rewind(*reader)) return log;
  quarn::BusRecord r;
  while (quarn::textlog_next_record(*reader, r)) log.push_back(r);
  return log;
}

// The MDF4 file quarn's writer makes of the records; empty when it cannot.
std::string mdf4_of(const quarn::fuzz::Log& records, const quarn::Mdf4WriterOptions& options) {
  quarn::test::MemorySink sink;
  auto writer = quarn::mdf4_writer_create(options);
  if (!writer || records.empty() || !writer->begin(sink, records[0].Timestamp, quarn::sv("2.4.0"))) return {};
  for (const quarn::BusRecord& r : records) {
    if (!writer->add(r)) return {};
  }
  return writer->finish() ? sink.bytes : std::string();
}

// The file with the records of its first data group (one DT block) stored anew the way other
// writers store them: an HL over a DL of variable-length blocks, a deflated one, one transposed
// by 84-byte records with part of a record left over at its end, and a plain one.
std::string with_compressed_data(std::string file) {
  using namespace quarn::mdf4;
  auto at = [&](std::uint64_t offset) { return get_u64(reinterpret_cast<const std::uint8_t*>(file.data()) + offset); };
  const std::uint64_t dg = at(kIdBlockSize + kHeaderSize + hd::kFirstDg * kLinkSize);
  const std::uint64_t dt = at(dg + kHeaderSize + dg::kData * kLinkSize);
  if (dt == 0 || file.compare(dt, 4, "##DT") != 0) return {};
  const std::string data = file.substr(dt + kHeaderSize, at(dt + 8) - kHeaderSize);
  const std::size_t cut1 = data.size() / 3 + 5;
  const std::size_t cut2 = 2 * data.size() / 3 + 11;
  const std::string pieces[3] = {data.substr(0, cut1), data.substr(cut1, cut2 - cut1), data.substr(cut2)};
  file.resize(align8(file.size()), '\0');
  BlockBuffer b(file.size());
  std::uint64_t blocks[3];
  for (int i = 0; i < 2; ++i) {
    std::string raw = pieces[i];
    const std::uint32_t columns = i == 1 ? 84 : 0;
    if (columns != 0) {
      const std::size_t lines = raw.size() / columns;
      for (std::size_t r = 0; r < lines; ++r) {
        for (std::size_t c = 0; c < columns; ++c) raw[c * lines + r] = pieces[i][r * columns + c];
      }
    }
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    std::string z(n, '\0');
    if (compress2(reinterpret_cast<Bytef*>(z.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK) {
      return {};
    }
    z.resize(n);
    blocks[i] = b.add(kTagDz, 0, dz::kDataSize + z.size());
    if (blocks[i] == 0) return {};
    std::uint8_t* d = b.data(blocks[i]);
    d[dz::kOriginalTag] = 'D';
    d[dz::kOriginalTag + 1] = 'T';
    d[dz::kZipType] = columns != 0 ? dz::kTransposedDeflate : dz::kDeflate;
    put_u32(d + dz::kZipParam, columns);
    put_u64(d + dz::kOriginalSize, pieces[i].size());
    put_u64(d + dz::kZipSize, z.size());
    std::memcpy(d + dz::kDataSize, z.data(), z.size());
  }
  blocks[2] = b.add(kTagDt, 0, pieces[2].size());
  const std::uint64_t list = b.add(kTagDl, 4, 8 + 3 * 8);
  const std::uint64_t header_list = b.add(kTagHl, hl::kLinks, 8);
  if (!b.ok()) return {};
  std::memcpy(b.data(blocks[2]), pieces[2].data(), pieces[2].size());
  std::uint64_t offset = 0;
  for (int i = 0; i < 3; ++i) {
    b.set_link(list, 1 + static_cast<std::uint64_t>(i), blocks[i]);
    put_u64(b.data(list) + 8 + 8 * static_cast<std::uint64_t>(i), offset);
    offset += pieces[i].size();
  }
  put_u32(b.data(list) + dl::kCount, 3);
  b.set_link(header_list, hl::kFirstDl, list);
  b.data(header_list)[2] = dz::kTransposedDeflate;  // the compression of the blocks below it
  file.append(reinterpret_cast<const char*>(b.bytes()), b.size());
  put_u64(reinterpret_cast<std::uint8_t*>(file.data()) + dg + kHeaderSize + dg::kData * kLinkSize, header_list);
  return file;
}

GenLogOptions small(std::uint64_t seed, std::int64_t frames) {
  GenLogOptions o;
  o.seed = seed;
  o.frames = frames;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: fuzz_seeds CORPUS\n", stderr);
    return 2;
  }
  quarn::set_log_threshold(7);
  const std::string corpus = argv[1];
  bool ok = true;
  for (const char* target : {"textlog", "asc", "paths", "mdf4", "blf"}) {
    std::error_code ec;
    std::filesystem::create_directories(corpus + "/" + target, ec);
  }

  // The reader: one log per header style, a few KB each.
  struct Style {
    const char* name;
    GenLogOptions options;
  };
  std::vector<Style> styles;
  for (int format = 1; format <= 6; ++format) {
    GenLogOptions o = small(100 + static_cast<std::uint64_t>(format), 60);
    o.time_format = static_cast<quarn::TimeFormat>(format);
    styles.push_back({nullptr, o});
  }
  styles[0].name = "seconds-comma";
  styles[0].options.value_separator = ',';
  styles[0].options.mean_gap_us = 900000;  // wraps around the minute
  styles[1].name = "minutes-crlf";
  styles[1].options.crlf = true;
  styles[2].name = "time-of-day-midnight";
  styles[2].options.start = "20240131T235959";
  styles[2].options.mean_gap_us = 40000;
  styles[3].name = "day-no-separators";
  styles[3].options.time_separator = 0;
  styles[3].options.ms_separator = 0;
  styles[3].options.extended_percent = 100;
  styles[4].name = "month-leap-day";
  styles[4].options.start = "20240229T235958";
  styles[5].name = "full-date-tab-blank";
  styles[5].options.value_separator = '\t';
  styles[5].options.time_date_separator = ' ';
  styles[5].options.crlf = true;
  for (const Style& s : styles) {
    std::string text;
    ok = quarn::tools::gen_log_text(s.options, text) && ok;
    ok = save(corpus + "/textlog/seed-" + s.name, text) && ok;
  }

  // The ASC writer: generated frames, then the kinds and field values no text log makes.
  using quarn::fuzz::Settings;
  quarn::fuzz::Log frames = records_of(small(7, 40));
  quarn::fuzz::Log mixed = records_of(small(8, 12));
  for (std::size_t i = 0; i < mixed.size(); ++i) {
    quarn::BusRecord& r = mixed[i];
    switch (i % 4) {
      case 1: r.Kind = quarn::CAN_RemoteFrame; r.Can.Remote = 1; break;
      case 2: r.Can.EDL = 1; r.Can.BRS = 1; r.Can.ESI = static_cast<std::uint8_t>(i % 3); r.Can.DLC = 15; break;
      case 3: {
        quarn::BusRecord lin{};
        lin.Timestamp = r.Timestamp;
        lin.ID = r.ID & 0x3F;
        lin.Kind = quarn::LIN_Frame;
        lin.Lin.BusChannel = 2;
        lin.Lin.Dir = static_cast<std::uint8_t>(i % 2);
        lin.DataLength = r.DataLength;
        for (std::size_t b = 0; b < r.DataLength && b < 8; ++b) lin.Lin.DataBytes[b] = r.Can.DataBytes[b];
        r = lin;
        break;
      }
      default: break;
    }
  }
  quarn::fuzz::Log odd = records_of(small(9, 4));
  odd[0].Timestamp = std::nan("");
  odd[1].DataLength = 64;
  odd[1].Can.DLC = 15;
  odd[2].Kind = quarn::CAN_ErrorFrame;
  odd[3].Timestamp = quarn::fuzz::kBaseTime - 0.25;  // out of order, and a fraction below the base second
  struct AscSeed {
    const char* name;
    Settings settings;
    std::vector<quarn::fuzz::Log> logs;
  };
  const std::vector<AscSeed> asc = {
      {"generated", {}, {frames}},
      {"two-logs", {}, {frames, mixed}},
      {"mixed-kinds", {}, {mixed}},
      {"odd-fields", {}, {odd, frames}},
      {"durable-earlier", {true, true, quarn::fuzz::kFaultNone, 0}, {mixed}},
      {"short-write", {true, true, quarn::fuzz::kFaultShortWrite, 9}, {frames, mixed}},
      {"close-fails", {false, true, quarn::fuzz::kFaultClose, 0}, {mixed}},
      {"sync-fails", {true, false, quarn::fuzz::kFaultSync, 0}, {mixed}},
      {"rename-fails", {false, true, quarn::fuzz::kFaultRename, 0}, {frames}},
      {"remove-fails", {false, false, quarn::fuzz::kFaultRemove, 0}, {mixed}},
      {"folder-sync-fails", {true, true, quarn::fuzz::kFaultSyncFolder, 0}, {mixed}},
      {"allocation-fails", {false, false, quarn::fuzz::kFaultAllocation, 3}, {frames, mixed}},
      {"logs-failed", {true, true, quarn::fuzz::kFaultNone, 0, true}, {frames}},
  };
  for (const AscSeed& s : asc) ok = save(corpus + "/asc/seed-" + s.name, quarn::fuzz::encode(s.settings, s.logs)) && ok;

  // The MDF4 reader: quarn's files of such records, with an error frame in, one cut into chains
  // of small blocks and lists, and one whose data another writer might have stored.
  quarn::fuzz::Log bus = mixed;
  quarn::BusRecord error{};
  error.Timestamp = bus[2].Timestamp;
  error.Kind = quarn::CAN_ErrorFrame;
  error.Can.BusChannel = 1;
  error.Can.ErrorType = 2;
  error.ID = 0x1F0;
  error.Can.IDE = 1;
  error.Can.DLC = 2;
  error.DataLength = 2;
  error.Can.DataBytes[0] = 0xAB;
  error.DataPointer = error.Can.DataBytes;
  bus.insert(bus.begin() + 3, error);
  // Another writer's compressed blocks are made from the stored ones.
  quarn::Mdf4WriterOptions stored;
  stored.compression = quarn::Mdf4Compression::None;
  quarn::Mdf4WriterOptions lists;
  lists.block_bytes = 200;
  lists.list_links = 2;
  // The loggers' layouts: one unsorted data group whose data bytes are values of a group of their
  // own, in blocks of both kinds under a list; and sorted groups with SD blocks, transposed.
  quarn::test::LoggerLayout unsorted;
  unsorted.block_bytes = 100;
  unsorted.store = quarn::test::Store::kMixed;
  quarn::test::LoggerLayout sorted;
  sorted.id_size = 0;
  sorted.packed = false;
  sorted.block_bytes = 60;
  sorted.hl = true;
  sorted.store = quarn::test::Store::kTransposed;
  const std::vector<std::pair<const char*, std::string>> mdf4 = {
      {"writer-mixed", mdf4_of(bus, {})},
      {"writer-lists", mdf4_of(frames, lists)},
      {"writer-hl-dz", with_compressed_data(mdf4_of(frames, stored))},
      {"logger-unsorted", quarn::test::write_logger_mdf4(bus, unsorted)},
      {"logger-sorted", quarn::test::write_logger_mdf4(bus, sorted)},
  };
  for (const auto& [name, bytes] : mdf4) ok = !bytes.empty() && save(corpus + "/mdf4/seed-" + name, bytes) && ok;

  // BLF logs: each frame object, both header versions and time units, stored and zlib containers
  // with objects cut across them, objects without frames and frames of other kinds, frames a
  // little out of order.
  quarn::test::BlfFileOptions cut;
  cut.container_bytes = 90;
  cut.compression = quarn::blf::kStored;
  quarn::test::BlfObjectStyle v2_fd64;
  v2_fd64.header_version = 2;
  v2_fd64.fd64 = true;
  v2_fd64.fd_for_all = true;
  quarn::test::BlfObjectStyle ten_micros;
  ten_micros.ten_micros = true;
  ten_micros.message2 = true;
  quarn::fuzz::Log unordered = bus;
  if (unordered.size() > 3) std::swap(unordered[1], unordered[3]);
  const std::vector<std::pair<const char*, std::string>> blf = {
      {"zlib-v1", quarn::test::blf_file_of(bus)},
      {"stored-cut-v2-fd64", quarn::test::blf_file_of(bus, cut, v2_fd64)},
      {"ten-micros-message2", quarn::test::blf_file_of(frames, {}, ten_micros)},
      {"out-of-order", quarn::test::blf_file_of(unordered)},
  };
  for (const auto& [name, bytes] : blf) ok = !bytes.empty() && save(corpus + "/blf/seed-" + name, bytes) && ok;

  // The paths: argument lists as users type them, split at line feeds. The fuzz target works in a
  // folder holding logs/ (a.txt, B.TXT, sub/), top.txt, "name with blanks.txt" and -dash.txt.
  const std::vector<std::pair<const char*, std::string>> paths = {
      {"folder-and-file", "logs\ntop.txt"},
      {"backslashes", "logs\\a.txt\nlogs\\B.TXT\\"},
      {"dots", ".\n..\n./logs/../top.txt"},
      {"absolute", "/tmp\n/tmp/"},
      {"different-folders", "logs/a.txt\ntop.txt"},
      {"doubled-slashes", "logs//sub///\nlogs///a.txt"},
      {"top-folder", "/\n//"},
      {"odd-names", "name with blanks.txt\n-dash.txt\nmissing \xc3\xa9t\xc3\xa9.txt"},
      {"empty", std::string("\0\n", 2)},
  };
  for (const auto& [name, text] : paths) ok = save(corpus + "/paths/seed-" + name, text) && ok;

  if (!ok) std::fprintf(stderr, "fuzz_seeds: could not write every seed below %s\n", corpus.c_str());
  return ok ? 0 : 1;
}
