// Writes MDF4 files with quarn's writer from generated frames, each with a JSON list of the frames
// it holds, for readers_check.py to read with python-can and asammdf:
//   mdf4_readers_files OUTDIR
// The same build writes the same files.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/bus_records.h"
#include "support/mdf4_files.h"

namespace {

using quarn::BusRecord;

// A JSON string of UTF-8 text.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

bool save(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: mdf4_readers_files OUTDIR\n", stderr);
    return 2;
  }
  const std::string dir = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);

  quarn::Mdf4WriterOptions lists;
  lists.block_bytes = 1000;  // chains of data lists
  lists.list_links = 3;
  std::vector<BusRecord> classic;
  for (int i = 0; i < 300; ++i) {
    classic.push_back(quarn::test::can_frame(1715675400.5 + i * 0.000731, static_cast<std::uint32_t>(0x100 + i),
                                             {static_cast<std::uint8_t>(i), 0xA5}));
  }
  quarn::Mdf4WriterOptions deflate;
  deflate.compression = quarn::Mdf4Compression::Deflate;
  quarn::Mdf4WriterOptions stored;
  stored.compression = quarn::Mdf4Compression::None;
  // What a log says about itself, and what a reader must make of it: markup escaped, bytes that
  // are not UTF-8 replaced.
  const quarn::LogProperty properties[] = {
      {quarn::sv("Logger type"), quarn::sv("TarvikTwo")},
      {quarn::sv("Value separator"), quarn::sv("\";\"")},
      {quarn::sv("Site <A&B>"), quarn::sv("Gr\xC3\xBCnwald \xFC")},
  };
  quarn::LogInfo info;
  info.source_name = quarn::sv("LOG00001.TXT");
  info.properties = properties;
  info.property_count = 3;
  const std::string header = "\"description\": " + json_string("Converted by quarn from LOG00001.TXT") +
                             ", \"properties\": [[\"Logger type\", " + json_string("TarvikTwo") +
                             "], [\"Value separator\", " + json_string("\";\"") + "], [" + json_string("Site <A&B>") +
                             ", " + json_string("Gr\xC3\xBCnwald \xEF\xBF\xBD") + "]], \"can_source\": \"CAN1\", ";
  struct File {
    const char* name;
    std::vector<BusRecord> records;
    quarn::Mdf4WriterOptions options;
    const quarn::LogInfo* info;
  };
  const std::vector<File> files = {
      {"mixed", quarn::test::generated_frames(31, 3000), {}, nullptr},
      {"lists", quarn::test::generated_frames(32, 4000), lists, nullptr},  // several DZ blocks a group
      {"classic_only", classic, {}, &info},
      {"deflate", quarn::test::generated_frames(33, 3000), deflate, nullptr},
      {"stored", quarn::test::generated_frames(34, 3000), stored, nullptr},
      {"one_frame", quarn::test::generated_frames(35, 1), {}, nullptr},
  };
  bool ok = true;
  for (const File& f : files) {
    const std::string mf4 = quarn::test::write_mdf4(f.records, f.options, "2.4.0", f.info ? *f.info : quarn::LogInfo{});
    std::string json = quarn::test::frames_json(f.records);
    if (f.info != nullptr) json.insert(1, header);
    ok = !mf4.empty() && save(dir + "/" + f.name + ".mf4", mf4) && save(dir + "/" + f.name + ".json", json) && ok;
  }
  if (!ok) std::fprintf(stderr, "mdf4_readers_files: could not write the files into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
