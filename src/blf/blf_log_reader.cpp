#include "blf/blf_log_reader.h"

#include <cstring>
#include <new>

#include "blf/blf_decoder.h"

namespace quarn {
namespace {

// Copies a record, pointing the copy's data at its own bytes.
void copy_record(BusRecord& to, const BusRecord& from) {
  std::memcpy(static_cast<void*>(&to), &from, sizeof to);
  to.DataPointer = to.Kind == LIN_Frame ? to.Lin.DataBytes : to.Can.DataBytes;
}

class BlfLogReader final : public LogReader {
 public:
  ~BlfLogReader() override { mem_free(window_); }

  bool open(Stream& stream) override {
    // A decoder decodes one file.
    decoder_ = blf_decoder_create();
    if (!decoder_) return false;
    const BlfOpen opened = decoder_->open(stream, stream_size(&stream));
    start_time_failed_ = opened == BlfOpen::StartTime;
    if (opened != BlfOpen::Ok) return false;
    if (window_ == nullptr) {
      window_ = static_cast<BusRecord*>(mem_alloc(kBlfOrderWindow * sizeof(BusRecord)));
      if (window_ == nullptr) {
        out_of_memory_ = true;
        return false;
      }
    }
    head_ = 0;
    held_ = 0;
    drained_ = false;
    have_last_ = false;
    stepped_back_ = 0;
    return true;
  }

  bool next(BusRecord& record) override {
    fill();
    if (decoder_->error()[0] != '\0' || held_ == 0) return false;
    copy_record(record, window_[head_]);
    last_ = record.Timestamp;
    have_last_ = true;
    head_ = (head_ + 1) % kBlfOrderWindow;
    --held_;
    return true;
  }

  bool ended_cleanly(std::int64_t /*size*/) override { return decoder_->unread()[0] == '\0'; }
  const char* unread() const override { return decoder_ ? decoder_->unread() : ""; }
  const char* failure() const override {
    if (!decoder_ || out_of_memory_) return "could not allocate memory for the BLF reader";
    return decoder_->error();
  }
  ReadFailure failure_kind() const override { return start_time_failed_ ? ReadFailure::StartTime : ReadFailure::Log; }
  std::int64_t stepped_back() const override { return stepped_back_; }
  PassedObjects passed_objects() const override {
    PassedObjects passed;
    passed.format = "BLF";
    if (decoder_) {
      passed.no_frame = static_cast<std::int64_t>(decoder_->counts().no_frame);
      passed.other_kinds = static_cast<std::int64_t>(decoder_->counts().other_kind);
    }
    return passed;
  }
  // The window puts frames in order, and those it cannot are skipped.
  bool time_ordered() const override { return true; }

 private:
  std::size_t slot(std::size_t i) const { return (head_ + i) % kBlfOrderWindow; }

  // Decodes frames into the window until it is full or the file ends, each put in its place by
  // time; a frame earlier than one already handed out is skipped.
  void fill() {
    while (!drained_ && held_ < kBlfOrderWindow) {
      BusRecord& incoming = window_[slot(held_)];
      if (!decoder_->next(incoming)) {
        drained_ = true;
        return;
      }
      if (have_last_ && incoming.Timestamp < last_) {
        ++stepped_back_;
        continue;
      }
      // Mostly in order already: the loop seldom runs. A frame goes after those of its own time,
      // so frames of one time keep their file order.
      std::size_t i = held_;
      while (i > 0 && window_[slot(i - 1)].Timestamp > window_[slot(i)].Timestamp) {
        BusRecord t;
        copy_record(t, window_[slot(i)]);
        copy_record(window_[slot(i)], window_[slot(i - 1)]);
        copy_record(window_[slot(i - 1)], t);
        --i;
      }
      ++held_;
    }
  }

  std::unique_ptr<BlfDecoder> decoder_;
  BusRecord* window_ = nullptr;  // a ring of kBlfOrderWindow records, held_ of them from head_ on
  std::size_t head_ = 0;
  std::size_t held_ = 0;
  bool drained_ = false;
  bool have_last_ = false;
  double last_ = 0;
  std::int64_t stepped_back_ = 0;
  bool start_time_failed_ = false;
  bool out_of_memory_ = false;
};

}  // namespace

std::unique_ptr<LogReader> blf_log_reader_create() {
  return std::unique_ptr<LogReader>(new (std::nothrow) BlfLogReader);
}

}  // namespace quarn
