#pragma once

#include <atomic>
#include <memory>

namespace quarn {

// The format writer behind a trace writer of one file per log, with what a second thread needs to
// help it (TraceWriter::expect_help and help): W has expect_help() and help(). The writer is made
// when first needed, and again after one that failed and was dropped.
template <typename W>
class HelpedWriter {
 public:
  HelpedWriter() = default;
  explicit HelpedWriter(std::unique_ptr<W> writer) : writer_(std::move(writer)) {}

  W* get() const { return writer_.get(); }
  W* operator->() const { return writer_.get(); }
  explicit operator bool() const { return writer_ != nullptr; }

  // The writer, made with `make` when there is none; null when memory runs out.
  template <typename Make>
  W* get_or_make(Make make) {
    if (!writer_) {
      writer_ = make();
      if (writer_ && helped_) writer_->expect_help();
    }
    return writer_.get();
  }
  void drop() { writer_.reset(); }

  void expect_help() {
    helped_ = true;
    if (writer_) writer_->expect_help();
  }
  // Any thread, while the file may be written on another.
  bool help() {
    W* w = active_.load(std::memory_order_acquire);
    return w != nullptr && w->help();
  }
  // On the writing thread: help() may reach the writer once its file has begun, and no longer once
  // the log has ended and nothing more is written.
  void open_to_help() { active_.store(writer_.get(), std::memory_order_release); }
  void close_to_help() { active_.store(nullptr, std::memory_order_relaxed); }

 private:
  std::unique_ptr<W> writer_;
  bool helped_ = false;
  std::atomic<W*> active_{nullptr};
};

}  // namespace quarn
