#include "mdf4/mdf4_log_reader.h"

#include <new>

#include "mdf4/mdf4_decoder.h"

namespace quarn {
namespace {

class Mdf4LogReader final : public LogReader {
 public:
  bool open(Stream& stream) override {
    // A decoder reads one file.
    decoder_ = mdf4_decoder_create();
    if (!decoder_) return false;
    return decoder_->open(&stream);
  }
  bool next(BusRecord& record) override { return decoder_->next(record); }
  // The decoder checks every group's records against the count its channel group declares, and
  // the data past the last of them: records there would be frames no trace gets.
  bool ended_cleanly(std::int64_t /*size*/) override { return decoder_->unread()[0] == '\0'; }
  const char* unread() const override { return decoder_ ? decoder_->unread() : ""; }
  const char* failure() const override {
    return decoder_ ? decoder_->error() : "could not allocate memory for the MDF4 reader";
  }
  // The decoder merges its groups by time, and fails a group that steps back.
  bool time_ordered() const override { return true; }

 private:
  std::unique_ptr<Mdf4Decoder> decoder_;
};

}  // namespace

std::unique_ptr<LogReader> mdf4_log_reader_create() {
  return std::unique_ptr<LogReader>(new (std::nothrow) Mdf4LogReader);
}

}  // namespace quarn
