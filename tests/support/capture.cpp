#include "support/capture.h"

#include "logging/report.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <regex>

namespace quarn::test {

#ifdef _WIN32

StderrCapture::StderrCapture() {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (CreatePipe(&read_end, &write_end, nullptr, 0) == 0) {
    ADD_FAILURE() << "CreatePipe failed";
    stopped_ = true;
    return;
  }
  std::fflush(stderr);
  saved_handle_ = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, write_end);
  write_handle_ = write_end;
  read_handle_ = read_end;
  // A reader thread drains the pipe so that large outputs cannot block the writer.
  drain_ = std::thread([read_end, out = &captured_] {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(read_end, buf, sizeof buf, &n, nullptr) != 0 && n > 0) out->append(buf, n);
  });
}

StderrCapture::~StderrCapture() { stop(); }

void StderrCapture::stop() {
  if (stopped_) return;
  stopped_ = true;
  std::fflush(stderr);
  SetStdHandle(STD_ERROR_HANDLE, saved_handle_);
  CloseHandle(write_handle_);  // the pipe's only write end: the reader sees the end
  drain_.join();
  CloseHandle(read_handle_);
}

#else

namespace {
// A reader thread drains the pipe so that large outputs cannot block the writer.
struct Drain {
  int fd;
  std::string* out;
  void operator()() const {
    char buf[4096];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      out->append(buf, static_cast<std::size_t>(n));
    }
  }
};
}  // namespace

StderrCapture::StderrCapture() {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    stopped_ = true;
    return;
  }
  std::fflush(stderr);
  saved_fd_ = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  close(fds[1]);
  read_fd_ = fds[0];
  drain_ = std::thread(Drain{read_fd_, &captured_});
}

StderrCapture::~StderrCapture() { stop(); }

void StderrCapture::stop() {
  if (stopped_) return;
  stopped_ = true;
  std::fflush(stderr);
  dup2(saved_fd_, STDERR_FILENO);  // closes the pipe's last write end: the reader sees EOF
  close(saved_fd_);
  drain_.join();
  close(read_fd_);
}

#endif

std::string StderrCapture::text() {
  stop();
  return captured_;
}

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return out;
}

}  // namespace

std::vector<std::string> messages_of(const std::string& stderr_text) {
  std::vector<std::string> out;
  for (const std::string& line : lines_of(stderr_text)) out.push_back(line.size() >= 33 ? line.substr(33) : line);
  return out;
}

std::vector<std::string> diagnostics_of(const std::string& stderr_text) {
  // "MM-DD HH:MM:SS.mmm PPPPP TTTTT L message"; ids wider than five columns widen the prefix.
  static const std::regex kLine(R"(^\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} +-?\d+ +-?\d+ ([VDIWEF?]) (.*)$)");
  std::vector<std::string> out;
  for (const std::string& line : lines_of(stderr_text)) {
    std::smatch m;
    out.push_back(std::regex_match(line, m, kLine) ? m[1].str() + ": " + m[2].str() : line);
  }
  return out;
}

ThresholdGuard::ThresholdGuard(std::int32_t threshold) : saved_(log_threshold) { set_log_threshold(threshold); }

ThresholdGuard::~ThresholdGuard() { set_log_threshold(saved_); }

}  // namespace quarn::test
