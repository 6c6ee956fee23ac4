#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/dyn_string.h"
#include "base/platform.h"
#include "base/str_view.h"
#include "io/byte_sink.h"
#include "io/file_system.h"
#include "io/stream.h"
#include "io/written_files.h"

namespace quarn {

// A file that appears complete or not at all. It is written under a temporary name beside its
// real one and renamed only once it is complete and closed, so that a run stopped at any moment
// never leaves a truncated file under the real name, nor destroys a complete one from an earlier
// run. The temporary name holds the process id and a counter, so that neither two quarn processes
// sharing an output folder nor two files of one run ever share one; while the file is open, that
// name is published where a signal handler finds it (base/temp_files.h).
//
// Bytes are gathered in one block and written a block at a time (large writes cost the kernel far
// less per byte). Until the commit, bytes already written may be overwritten (rewrite), which is
// how binary formats fill in lengths and links known only at the end.
//
// A write that fails is remembered: every later write, flush and commit fails too, so a writer
// may test once, where it reports.
class OutputFile final : public ByteSink {
 public:
  OutputFile() = default;
  // Discards a file that was neither committed nor discarded.
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Names the file `base` + `suffix` (relative to the root of `fs`, which must outlive this
  // object) and creates it under its temporary name, with a block of `block_size` bytes. False
  // when the names, the block or the file cannot be had; nothing is left on disk then and the
  // caller reports. The name (as far as it could be made) is kept either way, for that report.
  // With `written`, a file that the run already put in place under that name is not opened again
  // (already_written() then tells so), and a committed file is noted there.
  [[nodiscard]] bool open(FileSystem& fs, StrView base, const char* suffix, std::size_t block_size,
                          WrittenFiles* written = nullptr);
  // Whether the last open failed because the run already wrote a file of that name.
  bool already_written() const { return already_written_; }

  // The file's name as given to open, NUL-terminated, for messages.
  const char* name() const { return dynstr_data(name_); }
  // Whether a temporary file is held: open for writing, or finished and not yet put in place.
  bool is_open() const { return stream_ != nullptr || finished_; }
  // False once a write failed.
  bool good() const { return !failed_; }

  bool write(const void* data, std::size_t n) override;
  bool rewrite(std::uint64_t offset, const void* data, std::size_t n) override;
  std::uint64_t size() const override { return written_ + used_; }

  // Room for `n` bytes (at most the block size) at the end of the block, writing the block out
  // first when they would not fit; null when that write failed. Fill at most n bytes and pass
  // how many to append_done.
  char* append_space(std::size_t n) {
    if (capacity_ - used_ >= n && !failed_) return block_ + used_;
    return make_room(n);
  }
  void append_done(std::size_t n) { used_ += n; }

  // Writes out what the block holds; false when it could not be written whole (or failed before).
  bool flush();

  enum class CommitResult {
    Done,
    WriteFailed,
    SyncFailed,
    CloseFailed,
    RenameFailed,
    FolderSyncFailed,
    AlreadyWritten
  };
  // Flushes, syncs the data when `durable`, closes and renames the file into place; when `durable`,
  // also makes the new entry of its folder durable. Every failure but FolderSyncFailed discards
  // the file (only an earlier file of that name is left); after FolderSyncFailed the file is in
  // place, but may not survive a crash. AlreadyWritten: another file of the run took the name
  // while this one was written. The same as finish, then put_in_place.
  CommitResult commit(bool durable);

  // The first half of commit: flushes, syncs the data when `durable` and closes the file, which
  // stays under its temporary name, complete. Done, WriteFailed, SyncFailed or CloseFailed; every
  // failure discards the file.
  CommitResult finish(bool durable);

  // What lies under the file's name before a finished file takes it.
  enum class Existing {
    None,       // nothing; or something that is no file, or a file this run wrote (put_in_place decides)
    Same,       // a file of exactly the finished file's bytes
    Different,  // a file of other bytes
    Unreadable  // a file that could not be read to compare (explain_failure names the call)
  };
  // Compares a finished file with what its name holds now, reading both in pieces through the
  // block. Changes nothing on disk.
  Existing compare_with_existing();
  // What the file's name holds now, opened for reading; null when it cannot be opened.
  std::unique_ptr<Stream> open_existing() const;

  // The second half of commit, for a finished file: renames it into place and notes it as written;
  // when `durable`, makes the folder's new entry durable. Done, AlreadyWritten, RenameFailed (both
  // discard the file) or FolderSyncFailed (the file is in place).
  CommitResult put_in_place(bool durable);

  // Closes the file if open and removes it. Needs no memory: it may be memory that ran out.
  void discard();

  // Makes the failed system call behind the last failure of open, a write or commit the pending
  // one of the calling thread, so that the report made there names it: the call may have failed
  // on another thread, and other calls (removing the temporary file) came after it. A write names
  // the temporary file and the reason the C library gave (a full disk: "No space left on device").
  void explain_failure() const;

 private:
  char* make_room(std::size_t n);
  void retry_in_missing_folder(StrView name);
  void keep_failure();
  void keep_write_failure(int error);
  bool write_out(const void* data, std::size_t n);
  void release_block();
  void forget();

  FileSystem* fs_ = nullptr;  // borrowed
  DynString name_;            // relative to the root of fs_
  DynString temp_;            // the temporary name, relative to the root of fs_
  DynString temp_full_;       // the temporary name joined to the root, removable without memory
  DynString full_;            // the name joined to the root, for registry_
  WrittenFiles* registry_ = nullptr;  // borrowed; may be null
  std::unique_ptr<Stream> stream_;
  int slot_ = -1;  // where temp_full_ is published
  char* block_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t written_ = 0;  // bytes handed to the stream
  bool failed_ = false;
  bool finished_ = false;  // closed and complete under its temporary name
  bool already_written_ = false;
  PlatformFailure failure_{};  // of the last open, write or commit that failed in a system call
};

}  // namespace quarn
