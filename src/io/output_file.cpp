#include "io/output_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/memory.h"
#include "base/platform.h"
#include "base/temp_files.h"
#include "io/path_names.h"

namespace quarn {
namespace {

// fs_open access for an output, and for reading one back: FS_WRITE or FS_READ, plus the bit
// every caller passes along.

// Counts the files of this process, so that temporary names never repeat within it.
std::atomic<std::uint64_t> file_counter{0};

// The temporary name: `full` with ".<pid>.<n>.part" behind it. A file whose own name the system
// takes must not fail for its temporary name: where that would be too long an element or too
// long a path, the name is cut (at a character boundary) to make room for the tail. A log named
// with 250 bytes is no rarity. Returns how many bytes of `full` to keep.
std::int64_t kept_length(StrView full, std::int64_t tail_length) {
  std::int64_t element = path_file_name(full).length;
  std::int64_t parent = full.length - element;
  std::int64_t keep =
      std::min<std::int64_t>({element, kPlatformNameMax - tail_length, kPlatformPathMax - 1 - parent - tail_length});
  // When even the file's own name is refused, or nothing of it would be left, the open fails and
  // is reported.
  if (keep < 1 || element > kPlatformNameMax || full.length > kPlatformPathMax) keep = element;
  while (keep < element && keep > 1 && (static_cast<unsigned char>(full.data[parent + keep]) & 0xC0) == 0x80) --keep;
  return parent + keep;
}

}  // namespace

OutputFile::~OutputFile() {
  if (stream_ || finished_) discard();
  release_block();
}

bool OutputFile::open(FileSystem& fs, StrView base, const char* suffix, std::size_t block_size, WrittenFiles* written) {
  if (stream_ || finished_) discard();
  failure_.call = nullptr;
  fs_ = &fs;
  registry_ = written;
  already_written_ = false;
  failed_ = false;
  used_ = 0;
  written_ = 0;
  dynstr_clear(temp_full_);
  dynstr_from(name_, base);
  if (dynstr_length(name_) != base.length || dynstr_append(name_, suffix) == nullptr) return false;
  const StrView name = dynstr_view(name_);
  if (block_ == nullptr || capacity_ != block_size) {
    release_block();
    block_ = static_cast<char*>(mem_alloc(block_size > 0 ? block_size : 1));
    if (block_ == nullptr) return false;
    capacity_ = block_size;
  }

  char tail[48];
  int tail_length = std::snprintf(tail, sizeof tail, ".%d.%llu.part", static_cast<int>(platform_process_id()),
                                  static_cast<unsigned long long>(++file_counter));
  if (tail_length <= 0 || tail_length >= static_cast<int>(sizeof tail)) return false;
  DynString& full = full_;
  if (!fs_full_path(fs, name, full)) return false;
  if (written != nullptr && written->contains(dynstr_view(full))) {
    already_written_ = true;
    return false;
  }
  std::int64_t keep = kept_length(dynstr_view(full), tail_length);
  std::int64_t cut = dynstr_length(full) - keep;  // bytes of the name given up for the tail
  dynstr_from(temp_full_, dynstr_data(full), keep);
  if (dynstr_length(temp_full_) != keep || dynstr_append(temp_full_, tail) == nullptr) return false;
  dynstr_from(temp_, name.data, name.length - cut);
  if (dynstr_length(temp_) != name.length - cut || dynstr_append(temp_, tail) == nullptr) return false;

  // Published before the file exists, so that no moment passes in which a signal would leave it.
  slot_ = temp_file_publish(dynstr_view(temp_full_));
  stream_ = fs.open(dynstr_view(temp_full_), FS_OUTPUT_ACCESS);
  if (!stream_) {
    keep_failure();
    retry_in_missing_folder(name);
  }
  if (!stream_) {
    forget();
    return false;
  }
  return true;
}

void OutputFile::retry_in_missing_folder(StrView name) {
  // The walk makes each output folder once for all the logs in it, so a folder it could not make
  // shows only as files that cannot be opened in it. Asking for the folder again names the call
  // that really failed (a mkdir and its reason), and opens the file after all should the folder
  // exist by now.
  StrView parent = path_parent(name);
  PathInfo info;
  if (parent.length == 0 || !fs_stat(fs_, parent, info) || info.kind != PathKind::Missing) {
    platform_clear_failure();
    return;
  }
  if (!fs_make_dirs(fs_, parent)) {
    keep_failure();
    return;
  }
  stream_ = fs_->open(dynstr_view(temp_full_), FS_OUTPUT_ACCESS);
  if (!stream_) keep_failure();
}

char* OutputFile::make_room(std::size_t n) {
  if (failed_ || n > capacity_) {
    failed_ = true;
    return nullptr;
  }
  if (!flush()) return nullptr;
  return block_;
}

bool OutputFile::write_out(const void* data, std::size_t n) {
  if (failed_ || !stream_) return false;
  if (n == 0) return true;
  // The C library's writes leave their reason in errno only; a stale one must not pass for it.
  errno = 0;
  if (stream_write(*stream_, data, n) != static_cast<std::int64_t>(n)) {
    keep_write_failure(errno);
    failed_ = true;
    return false;
  }
  written_ += n;
  return true;
}

bool OutputFile::flush() {
  if (failed_ || !stream_) return false;
  std::size_t n = used_;
  used_ = 0;
  return write_out(block_, n);
}

bool OutputFile::write(const void* data, std::size_t n) {
  if (failed_ || !stream_) return false;
  const char* bytes = static_cast<const char*>(data);
  while (n > 0) {
    if (used_ == capacity_ && !flush()) return false;
    // Whole blocks of the caller's go straight out when nothing is waiting before them.
    if (used_ == 0 && n >= capacity_) return write_out(bytes, n);
    std::size_t k = std::min(n, capacity_ - used_);
    std::memcpy(block_ + used_, bytes, k);
    used_ += k;
    bytes += k;
    n -= k;
  }
  return true;
}

bool OutputFile::rewrite(std::uint64_t offset, const void* data, std::size_t n) {
  if (failed_ || !stream_) return false;
  if (offset > size() || n > size() - offset) return false;
  const char* bytes = static_cast<const char*>(data);
  // The part that is still in the block is patched there.
  if (offset + n > written_) {
    std::uint64_t from = std::max(offset, written_);
    std::size_t k = static_cast<std::size_t>(offset + n - from);
    std::memcpy(block_ + (from - written_), bytes + (from - offset), k);
    n -= k;
  }
  if (n == 0) return true;
  // The rest went out already: write it again in place, then go back to the end.
  errno = 0;
  if (stream_seek(*stream_, static_cast<std::int64_t>(offset), kSeekSet) < 0 ||
      stream_write(*stream_, bytes, n) != static_cast<std::int64_t>(n) ||
      stream_seek(*stream_, static_cast<std::int64_t>(written_), kSeekSet) < 0) {
    keep_write_failure(errno);
    failed_ = true;
    return false;
  }
  return true;
}

OutputFile::CommitResult OutputFile::commit(bool durable) {
  CommitResult finished = finish(durable);
  return finished == CommitResult::Done ? put_in_place(durable) : finished;
}

OutputFile::CommitResult OutputFile::finish(bool durable) {
  if (!flush()) {
    discard();
    return CommitResult::WriteFailed;
  }
  if (durable && !stream_->sync()) {
    discard();
    return CommitResult::SyncFailed;
  }
  if (stream_close(stream_) != 0) {
    discard();
    return CommitResult::CloseFailed;
  }
  finished_ = true;
  return CommitResult::Done;
}

std::unique_ptr<Stream> OutputFile::open_existing() const {
  if (fs_ == nullptr) return nullptr;
  return fs_open(fs_, dynstr_view(name_), FS_INPUT_ACCESS);
}

OutputFile::Existing OutputFile::compare_with_existing() {
  if (!finished_ || fs_ == nullptr) return Existing::None;
  // A file this run put there is not an earlier trace: put_in_place refuses to replace it.
  if (registry_ != nullptr && registry_->contains(dynstr_view(full_))) return Existing::None;
  PathInfo info;
  if (!fs_stat(fs_, dynstr_view(name_), info)) {
    keep_failure();
    return Existing::Unreadable;
  }
  platform_clear_failure();
  if (info.kind != PathKind::File) return Existing::None;
  if (static_cast<std::uint64_t>(info.size) != written_) return Existing::Different;
  std::unique_ptr<Stream> earlier = fs_open(fs_, dynstr_view(name_), FS_INPUT_ACCESS);
  if (!earlier) {
    keep_failure();
    return Existing::Unreadable;
  }
  std::unique_ptr<Stream> ours = fs_open(fs_, dynstr_view(temp_), FS_INPUT_ACCESS);
  if (!ours) {
    keep_failure();
    stream_close(earlier);
    return Existing::Unreadable;
  }
  // The block is free once the file is finished: half of it for each side.
  std::size_t half = capacity_ / 2;
  Existing result = Existing::Same;
  for (std::uint64_t left = written_; left > 0 && result == Existing::Same;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, half));
    std::int64_t a = stream_read_fully(*earlier, block_, n);
    std::int64_t b = stream_read_fully(*ours, block_ + half, n);
    if (a != static_cast<std::int64_t>(n) || b != static_cast<std::int64_t>(n)) {
      // The earlier file shrank while it was read, or either read failed: no proof of sameness.
      result = a == b ? Existing::Unreadable : Existing::Different;
    } else if (std::memcmp(block_, block_ + half, n) != 0) {
      result = Existing::Different;
    }
    left -= n;
  }
  // One byte more than expected means the earlier file grew while it was read.
  char extra;
  if (result == Existing::Same && stream_read_fully(*earlier, &extra, 1) != 0) result = Existing::Different;
  stream_close(earlier);
  stream_close(ours);
  return result;
}

OutputFile::CommitResult OutputFile::put_in_place(bool durable) {
  if (!finished_) {
    discard();
    return CommitResult::WriteFailed;
  }
  if (registry_ != nullptr && registry_->contains(dynstr_view(full_))) {
    discard();
    return CommitResult::AlreadyWritten;
  }
  if (!fs_rename(fs_, dynstr_view(temp_), dynstr_view(name_))) {
    keep_failure();
    discard();
    return CommitResult::RenameFailed;
  }
  finished_ = false;
  temp_file_withdraw(slot_);
  slot_ = -1;
  // A path that cannot be noted for want of memory only loses the protection against a later
  // log of the same trace name.
  if (registry_ != nullptr) static_cast<void>(registry_->add(dynstr_view(full_)));
  if (durable && !fs_sync_folder(fs_, path_parent(dynstr_view(name_)))) {
    keep_failure();
    return CommitResult::FolderSyncFailed;
  }
  return CommitResult::Done;
}

void OutputFile::discard() {
  finished_ = false;
  if (stream_) {
    stream_close(stream_);
    // A failed close keeps the object, whose file is already released: drop it.
    stream_.reset();
  }
  if (fs_ != nullptr && dynstr_length(temp_full_) > 0) fs_->remove(dynstr_view(temp_full_));
  forget();
}

void OutputFile::keep_failure() {
  const PlatformFailure* pending = platform_pending_failure();
  if (pending != nullptr) {
    failure_ = *pending;
  } else {
    failure_.call = nullptr;
  }
}

void OutputFile::keep_write_failure(int error) {
  // A short write without a reason (a stream that is no file) has no call to name.
  if (error == 0) {
    failure_.call = nullptr;
    return;
  }
  failure_.call = "write";
  failure_.error = error;
  const std::size_t n =
      std::min<std::size_t>(static_cast<std::size_t>(dynstr_length(temp_full_)), sizeof failure_.path - 1);
  std::memcpy(failure_.path, dynstr_data(temp_full_), n);
  failure_.path[n] = '\0';
  failure_.target[0] = '\0';
}

void OutputFile::explain_failure() const {
  if (failure_.call != nullptr) platform_set_failure(failure_);
}

void OutputFile::forget() {
  temp_file_withdraw(slot_);
  slot_ = -1;
  used_ = 0;
}

void OutputFile::release_block() {
  mem_free(block_);
  block_ = nullptr;
  capacity_ = 0;
}

}  // namespace quarn
