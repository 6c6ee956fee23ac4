#include "textlog/text_log_reader.h"

#include <new>

#include "textlog/text_log_decoder.h"

namespace quarn {
namespace {

class TextLogReader final : public LogReader {
 public:
  bool open(Stream& stream) override {
    decoder_ = textlog_open(&stream);
    if (!decoder_) return false;
    // Frames dated from a start time that cannot be read would all carry a made-up date.
    if (decoder_->start_time == StartTimeUse::Unreadable) return false;
    // A rewind that fails leaves the stream past the column line, where the records are anyway.
    static_cast<void>(textlog_rewind(*decoder_));
    return true;
  }
  bool next(BusRecord& record) override { return textlog_next_record(*decoder_, record); }
  // The header's own text, so that the user sees what could not be read; a log that gives none
  // says so rather than ending the message on its colon.
  const char* failure() const override {
    if (!decoder_ || decoder_->start_time != StartTimeUse::Unreadable) return "";
    return decoder_->header.TimeText[0] != '\0' ? decoder_->header.TimeText : "none given";
  }
  ReadFailure failure_kind() const override {
    return decoder_ && decoder_->start_time == StartTimeUse::Unreadable ? ReadFailure::StartTime : ReadFailure::Log;
  }
  bool start_time_passed_over() const override { return decoder_ && decoder_->start_time == StartTimeUse::PassedOver; }
  bool ended_cleanly(std::int64_t size) override { return textlog_ended_cleanly(*decoder_, size); }
  std::int64_t stray_lines() const override { return decoder_ ? decoder_->stray_lines : 0; }
  std::int64_t stepped_back() const override { return decoder_ ? decoder_->stepped_back : 0; }
  // The decoder skips every frame earlier than the last one it handed out.
  bool time_ordered() const override { return true; }
  LogInfo info() const override {
    LogInfo info;
    if (decoder_) {
      info.properties = decoder_->properties;
      info.property_count = static_cast<std::size_t>(decoder_->property_count);
    }
    return info;
  }

 private:
  std::unique_ptr<TextLogDecoder> decoder_;
};

}  // namespace

std::unique_ptr<LogReader> text_log_reader_create() {
  return std::unique_ptr<LogReader>(new (std::nothrow) TextLogReader);
}

}  // namespace quarn
