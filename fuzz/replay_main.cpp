// Runs a fuzz target over the files of its corpus folders, for builds without libFuzzer (the
// regular sanitizer build), so that every saved input keeps being checked.

#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    DIR* d = opendir(argv[i]);
    if (d == nullptr) {
      std::fprintf(stderr, "cannot open corpus %s\n", argv[i]);
      return 2;
    }
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++files;
    }
    closedir(d);
  }
  std::printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
