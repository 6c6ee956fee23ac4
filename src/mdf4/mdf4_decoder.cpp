#include "mdf4/mdf4_decoder.h"

#include <cstring>
#include <new>

#include "mdf4/mdf4_blocks.h"
#include "mdf4/mdf4_data.h"
#include "mdf4/mdf4_groups.h"
#include "mdf4/mdf4_merge.h"
#include "mdf4/mdf4_records.h"

namespace quarn {

using namespace mdf4;

// The file's identification and header, and the parts that do the rest: the catalog of its
// bus-logging groups, the reader of their records and the merge of their frames by time.
struct Mdf4Decoder::Impl {
  explicit Impl(const Mdf4DecoderLimits& limits)
      : file(error),
        windows(file, limits.window_bytes, limits.inflated_bytes, limits.inflate_ahead),
        catalog(file, error),
        records(windows, catalog, error, unread),
        merge(records, catalog, error) {}

  bool open(Mdf4Decoder& decoder, Stream* stream);

  ErrorText error;
  ErrorText unread;  // why the data goes on past the records read, once they all were
  FileAccess file;
  DataWindows windows;
  GroupCatalog catalog;
  RecordReader records;
  FrameMerge merge;  // last: it lets go of its windows before they go
  bool opened = false;
};

std::unique_ptr<Mdf4Decoder> mdf4_decoder_create(const Mdf4DecoderLimits& limits) {
  std::unique_ptr<Mdf4Decoder> decoder(new (std::nothrow) Mdf4Decoder);
  if (!decoder) return nullptr;
  void* impl = mem_alloc(sizeof(Mdf4Decoder::Impl));
  if (impl == nullptr) return nullptr;
  decoder->impl_ = new (impl) Mdf4Decoder::Impl(limits);
  return decoder;
}

Mdf4Decoder::~Mdf4Decoder() {
  if (impl_ != nullptr) {
    impl_->~Impl();
    mem_free(impl_);
  }
}

const char* Mdf4Decoder::error() const { return impl_->error.text(); }

const char* Mdf4Decoder::unread() const { return impl_->unread.text(); }

std::uint64_t Mdf4Decoder::window_peak() const { return impl_->windows.peak(); }

std::uint64_t Mdf4Decoder::inflated_ahead() const { return impl_->windows.inflated_ahead(); }

bool Mdf4Decoder::open(Stream* stream) {
  if (impl_->opened) return impl_->error.fail("the reader has opened a file already");
  impl_->opened = true;
  return impl_->open(*this, stream);
}

bool Mdf4Decoder::next(BusRecord& record) { return impl_->merge.next(record); }

bool Mdf4Decoder::Impl::open(Mdf4Decoder& decoder, Stream* stream) {
  if (stream == nullptr) return error.fail("no input");
  std::int64_t size = stream_size(stream);
  if (size < 0) return error.fail("cannot tell the size of the file");
  file.attach(*stream, static_cast<std::uint64_t>(size));
  if (file.size() < kIdBlockSize) return error.fail("not an MDF file");
  std::uint8_t id[kIdBlockSize];
  if (!file.read_at(0, id, sizeof id)) return false;
  if (std::memcmp(id, "UnFinMF ", 8) == 0) return error.fail("unfinalized MDF file is not supported");
  if (std::memcmp(id, "MDF     ", 8) != 0) return error.fail("not an MDF file");
  const std::uint16_t version = get_u16(id + id_block::kVersion);
  decoder.version_ = version;
  if (version < 400 || version >= 500) {
    return error.fail("MDF version %u.%02u is not supported", static_cast<unsigned>(version / 100),
                      static_cast<unsigned>(version % 100));
  }
  if (get_u16(id + id_block::kUnfinalizedStandard) != 0 || get_u16(id + id_block::kUnfinalizedCustom) != 0) {
    return error.fail("unfinalized MDF file is not supported");
  }
  if (!records.allocate()) return error.fail("out of memory");

  Block hd;
  if (!file.load(kIdBlockSize, kTagHd, hd::kLinks, hd::kTimeFlags + 1, hd)) return false;
  const std::uint64_t start_ns = get_u64(hd.data + hd::kStartTimeNs);
  decoder.start_ns_ = start_ns;
  records.set_start(start_ns);

  if (!catalog.read(version, hd.links[hd::kFirstDg])) return false;
  if (catalog.count() == 0) return error.fail("no bus-logging data group");
  if (!merge.allocate()) return error.fail("out of memory");
  decoder.group_count_ = catalog.count();
  for (std::int64_t i = 0; i < catalog.count(); ++i) decoder.declared_ += catalog.groups()[i].cycles;
  return true;
}

}  // namespace quarn
