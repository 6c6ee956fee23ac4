#include "mdf4/mdf4_log_input.h"

#include <new>

#include "mdf4/mdf4_reader.h"

namespace quarn {
namespace {

class Mdf4LogInput final : public LogReader {
 public:
  bool open(Stream& stream) override {
    // A reader reads one file.
    reader_ = mdf4_reader_create();
    if (!reader_) return false;
    return reader_->open(&stream);
  }
  bool next(BusRecord& record) override { return reader_->next(record); }
  // The reader checks every group's records against the count its channel group declares, and
  // the data past the last of them: records there would be frames no trace gets.
  bool ended_cleanly(std::int64_t /*size*/) override { return reader_->unread()[0] == '\0'; }
  const char* unread() const override { return reader_ ? reader_->unread() : ""; }
  const char* failure() const override {
    return reader_ ? reader_->error() : "could not allocate memory for the MDF4 reader";
  }
  // The reader merges its groups by time, and fails a group that steps back.
  bool time_ordered() const override { return true; }

 private:
  std::unique_ptr<Mdf4Reader> reader_;
};

}  // namespace

std::unique_ptr<LogReader> mdf4_log_input_create() {
  return std::unique_ptr<LogReader>(new (std::nothrow) Mdf4LogInput);
}

}  // namespace quarn
