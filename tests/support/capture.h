#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace quarn::test {

// Captures what the process writes to standard error (file descriptor 2, on Windows the standard
// error handle) while it lives; the diagnostics of report() bypass stdio, so the capture happens
// at the descriptor through a pipe.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Stops capturing (once) and returns everything written.
  std::string text();

 private:
  void stop();
#ifdef _WIN32
  // The program writes its diagnostics to the standard error handle, not to descriptor 2.
  void* saved_handle_ = nullptr;
  void* write_handle_ = nullptr;
  void* read_handle_ = nullptr;
#else
  int saved_fd_ = -1;
  int read_fd_ = -1;
#endif
  std::string captured_;
  std::thread drain_;
  bool stopped_ = false;
};

// The message part of each diagnostic line (what follows the 33-character prefix), one per line.
std::vector<std::string> messages_of(const std::string& stderr_text);

// The diagnostic lines as "L: message" (level letter, colon, blank, message); a line that is not
// a diagnostic line is kept whole, so that it shows in a failed comparison.
std::vector<std::string> diagnostics_of(const std::string& stderr_text);

// Sets the diagnostics threshold for a scope and puts the old one back.
class ThresholdGuard {
 public:
  explicit ThresholdGuard(std::int32_t threshold);
  ~ThresholdGuard();
  ThresholdGuard(const ThresholdGuard&) = delete;
  ThresholdGuard& operator=(const ThresholdGuard&) = delete;

 private:
  std::int32_t saved_;
};

}  // namespace quarn::test
