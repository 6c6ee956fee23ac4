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
  struct File {
    const char* name;
    std::vector<BusRecord> records;
    quarn::Mdf4WriterOptions options;
  };
  const std::vector<File> files = {
      {"mixed", quarn::test::generated_frames(31, 3000), {}},
      {"lists", quarn::test::generated_frames(32, 4000), lists},
      {"classic_only", classic, {}},
  };
  bool ok = true;
  for (const File& f : files) {
    const std::string mf4 = quarn::test::write_mdf4(f.records, f.options);
    ok = !mf4.empty() && save(dir + "/" + f.name + ".mf4", mf4) && save(dir + "/" + f.name + ".json", quarn::test::frames_json(f.records)) && ok;
  }
  if (!ok) std::fprintf(stderr, "mdf4_readers_files: could not write the files into %s\n", dir.c_str());
  return ok ? 0 : 1;
}
