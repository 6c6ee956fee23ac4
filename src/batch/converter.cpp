#include "batch/converter.h"

namespace quarn {

bool converter_init(Converter* converter, FileSystem* input_fs, FileSystem* output_fs, bool create_output_dirs,
                    const RunOptions* options) {
  if (converter == nullptr || input_fs == nullptr || output_fs == nullptr || options == nullptr) return false;
  converter->options = options;
  converter->input_fs = input_fs;
  converter->output_fs = output_fs;
  converter->create_output_dirs = create_output_dirs;
  return converter->init();
}

void converter_release(std::unique_ptr<Converter>& converter) { converter.reset(); }

}  // namespace quarn
