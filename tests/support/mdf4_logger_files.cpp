#include "support/mdf4_logger_files.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mdf4/mdf4_blocks.h"

namespace quarn::test {
namespace {

using namespace mdf4;

constexpr double kTick = 1e-6;

std::int64_t micros_of(double timestamp) { return std::llround(timestamp * 1e6); }

// A member of a kind's records: where it lies and what it holds.
struct Member {
  const char* name;
  std::uint32_t byte;
  std::uint8_t bit;
  std::uint32_t bits;
};

// One kind of frame as a group of these files holds it, in file order.
struct Kind {
  const char* name;
  std::uint32_t record_kind;
  std::uint8_t bus;
  std::vector<Member> members;  // DataBytes last, when the kind carries data
  std::uint32_t size;           // bytes of a record after its id
  std::uint32_t bytes_at;       // where DataBytes (or the offset of the signal value) lies
  std::uint32_t bytes_room;     // fixed data bytes: how many
};

bool carries_data(std::uint32_t kind) { return kind == CAN_DataFrame || kind == LIN_Frame; }

std::vector<Kind> kinds_of(const LoggerLayout& l) {
  const bool p = l.packed;
  const std::uint32_t can_bytes = l.signal_data ? 8 : 64;
  const std::uint32_t lin_bytes = 8;
  std::vector<Kind> kinds;
  // Time in bytes 0 to 7 of every kind.
  if (p) {
    kinds.push_back({"CAN_DataFrame",
                     CAN_DataFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 29},
                      {"IDE", 12, 7, 1},
                      {"DLC", 13, 0, 4},
                      {"Dir", 13, 4, 1},
                      {"EDL", 13, 5, 1},
                      {"BRS", 13, 6, 1},
                      {"ESI", 13, 7, 1},
                      {"DataLength", 14, 0, 7}},
                     15 + can_bytes,
                     15,
                     can_bytes});
    kinds.push_back({"CAN_RemoteFrame",
                     CAN_RemoteFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 29},
                      {"IDE", 12, 7, 1},
                      {"DLC", 13, 0, 4},
                      {"Dir", 13, 4, 1},
                      {"DataLength", 14, 0, 7}},
                     15,
                     0,
                     0});
    kinds.push_back({"CAN_ErrorFrame",
                     CAN_ErrorFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8}, {"ID", 9, 0, 29}, {"IDE", 12, 7, 1}, {"ErrorType", 13, 0, 4}},
                     14,
                     0,
                     0});
    kinds.push_back({"LIN_Frame",
                     LIN_Frame,
                     si::kBusLin,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 6},
                      {"Dir", 9, 7, 1},
                      {"DataLength", 10, 0, 4},
                      {"ReceivedDataByteCount", 11, 0, 8}},
                     12 + lin_bytes,
                     12,
                     lin_bytes});
  } else {
    kinds.push_back({"CAN_DataFrame",
                     CAN_DataFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 32},
                      {"IDE", 13, 0, 8},
                      {"DLC", 14, 0, 8},
                      {"Dir", 15, 0, 8},
                      {"EDL", 16, 0, 8},
                      {"BRS", 17, 0, 8},
                      {"ESI", 18, 0, 8},
                      {"DataLength", 19, 0, 8}},
                     20 + can_bytes,
                     20,
                     can_bytes});
    kinds.push_back({"CAN_RemoteFrame",
                     CAN_RemoteFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 32},
                      {"IDE", 13, 0, 8},
                      {"DLC", 14, 0, 8},
                      {"Dir", 15, 0, 8},
                      {"DataLength", 16, 0, 8}},
                     17,
                     0,
                     0});
    kinds.push_back({"CAN_ErrorFrame",
                     CAN_ErrorFrame,
                     si::kBusCan,
                     {{"BusChannel", 8, 0, 8}, {"ID", 9, 0, 32}, {"IDE", 13, 0, 8}, {"ErrorType", 14, 0, 8}},
                     15,
                     0,
                     0});
    kinds.push_back({"LIN_Frame",
                     LIN_Frame,
                     si::kBusLin,
                     {{"BusChannel", 8, 0, 8},
                      {"ID", 9, 0, 8},
                      {"Dir", 10, 0, 8},
                      {"DataLength", 11, 0, 8},
                      {"ReceivedDataByteCount", 12, 0, 8}},
                     13 + lin_bytes,
                     13,
                     lin_bytes});
  }
  if (!l.signal_data) {
    kinds[0].members.push_back({"DataBytes", kinds[0].bytes_at, 0, can_bytes * 8});
    kinds[3].members.push_back({"DataBytes", kinds[3].bytes_at, 0, lin_bytes * 8});
  } else {
    kinds[0].members.push_back({"DataBytes", kinds[0].bytes_at, 0, 64});
    kinds[3].members.push_back({"DataBytes", kinds[3].bytes_at, 0, 64});
  }
  return kinds;
}

std::uint64_t member_value(const BusRecord& r, const std::string& m) {
  const bool lin = r.Kind == LIN_Frame;
  if (m == "BusChannel") return lin ? r.Lin.BusChannel : r.Can.BusChannel;
  if (m == "ID") return r.ID;
  if (m == "IDE") return r.Can.IDE;
  if (m == "DLC") return r.Can.DLC;
  if (m == "DataLength") return r.DataLength;
  if (m == "Dir") return lin ? r.Lin.Dir : r.Can.Dir;
  if (m == "EDL") return r.Can.EDL;
  if (m == "BRS") return r.Can.BRS;
  if (m == "ESI") return r.Can.ESI;
  if (m == "ErrorType") return static_cast<std::uint32_t>(r.Can.ErrorType);
  if (m == "ReceivedDataByteCount") return r.Lin.ReceivedDataByteCount;
  return 0;
}

void put_bits(std::string& record, std::uint32_t byte, std::uint8_t bit, std::uint32_t bits, std::uint64_t value) {
  if (bits < 64) value &= (std::uint64_t{1} << bits) - 1;
  for (std::uint32_t i = 0; i < bits; ++i) {
    if (((value >> i) & 1) == 0) continue;
    const std::uint32_t at = bit + i;
    record[byte + at / 8] = static_cast<char>(record[byte + at / 8] | (1 << (at % 8)));
  }
}

std::string u64_bytes(std::uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }
std::string u32_bytes(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string deflated(const std::string& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::string out(n, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(raw.data()),
            static_cast<uLong>(raw.size()), 6);
  out.resize(n);
  return out;
}

// A block whose data section is `data`, and its offset.
std::uint64_t add_block(BlockBuffer& b, std::uint32_t id, const std::vector<std::uint64_t>& links,
                        const std::string& data) {
  const std::uint64_t at = b.add(id, links.size(), data.size());
  if (at == 0) return 0;
  for (std::size_t i = 0; i < links.size(); ++i) b.set_link(at, i, links[i]);
  if (!data.empty()) std::memcpy(b.data(at), data.data(), data.size());
  return at;
}

// `bytes` in data blocks of the layout's kind (tag DT or SD); the link to them, 0 for none.
// `columns` is the record size a transposition takes.
std::uint64_t store(BlockBuffer& b, const std::string& bytes, std::uint32_t tag, const LoggerLayout& l,
                    std::uint64_t columns) {
  std::vector<std::string> pieces;
  const std::uint64_t cut = l.block_bytes == 0 ? std::max<std::uint64_t>(bytes.size(), 1) : l.block_bytes;
  for (std::uint64_t at = 0; at < bytes.size(); at += cut) pieces.push_back(bytes.substr(at, cut));
  if (pieces.empty()) pieces.push_back("");
  const char* letters = tag == kTagDt ? "DT" : "SD";
  std::vector<std::uint64_t> blocks;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    Store s = l.store == Store::kMixed ? (i % 2 == 0 ? Store::kPlain : Store::kDeflate) : l.store;
    if (s == Store::kTransposed && columns == 0) s = Store::kDeflate;
    if (s == Store::kPlain) {
      blocks.push_back(add_block(b, tag, {}, piece));
      continue;
    }
    std::string data = piece;
    const std::uint64_t lines = s == Store::kTransposed ? piece.size() / columns : 0;
    for (std::uint64_t r = 0; r < lines; ++r) {
      for (std::uint64_t c = 0; c < columns; ++c) data[c * lines + r] = piece[r * columns + c];
    }
    const std::string z = deflated(data);
    std::string head = letters;
    head += static_cast<char>(s == Store::kTransposed ? dz::kTransposedDeflate : dz::kDeflate);
    head += '\0';
    head += u32_bytes(s == Store::kTransposed ? static_cast<std::uint32_t>(columns) : 0) + u64_bytes(piece.size()) +
            u64_bytes(z.size());
    blocks.push_back(add_block(b, kTagDz, {}, head + z));
  }
  if (blocks.size() == 1 && l.block_bytes == 0 && !l.hl) return blocks[0];
  std::vector<std::uint64_t> links = {0};
  links.insert(links.end(), blocks.begin(), blocks.end());
  std::string data = std::string(1, l.equal_lengths ? 1 : 0) + std::string(3, '\0') +
                     u32_bytes(static_cast<std::uint32_t>(blocks.size()));
  if (l.equal_lengths) {
    data += u64_bytes(cut);
  } else {
    for (std::size_t i = 0; i < blocks.size(); ++i) data += u64_bytes(i * cut);
  }
  const std::uint64_t dl = add_block(b, kTagDl, links, data);
  if (!l.hl) return dl;
  std::string hl_data = std::string(1, l.equal_lengths ? 1 : 0) + std::string(1, '\0') +
                        std::string(1, l.store == Store::kTransposed ? 1 : 0) + std::string(5, '\0');
  return add_block(b, kTagHl, {dl}, hl_data);
}

std::uint64_t add_text(BlockBuffer& b, const char* text) { return b.add_text(kTagTx, sv(text)); }

// A channel block, linked into place by the caller.
std::uint64_t add_channel(BlockBuffer& b, const char* name, std::uint8_t type, std::uint8_t sync,
                          std::uint8_t data_type, std::uint32_t byte, std::uint8_t bit, std::uint32_t bits,
                          std::uint64_t conversion, std::uint64_t signal, std::uint64_t source) {
  std::string data(cn::kDataSize, '\0');
  data[cn::kType] = static_cast<char>(type);
  data[cn::kSyncType] = static_cast<char>(sync);
  data[cn::kDataType] = static_cast<char>(data_type);
  data[cn::kBitOffset] = static_cast<char>(bit);
  std::memcpy(data.data() + cn::kByteOffset, &byte, 4);
  std::memcpy(data.data() + cn::kBitCount, &bits, 4);
  const std::uint64_t name_block = add_text(b, name);
  return add_block(b, kTagCn, {0, 0, name_block, source, conversion, signal, 0, 0}, data);
}

struct Group {
  std::uint64_t cg = 0;
  std::uint64_t first_cn = 0;  // the time channel
  std::uint64_t bytes_cn = 0;  // the DataBytes channel, for its signal data link
};

// A channel group of `kind` (or of the other signal when `kind` is null) with its channels.
Group add_group(BlockBuffer& b, const Kind* kind, const LoggerLayout& l, std::uint64_t record_id, std::uint64_t cycles,
                std::uint64_t time_cc, std::uint64_t source, std::uint64_t acq_name) {
  Group g;
  g.first_cn = add_channel(b, "t", cn::kTypeMaster, cn::kSyncTime, cn::kDataUnsignedLe, 0, 0, 64, time_cc, 0, 0);
  std::uint32_t size = 10;
  if (kind == nullptr) {
    b.set_link(g.first_cn, cn::kNextCn,
               add_channel(b, "EngineSpeed", cn::kTypeValue, cn::kSyncNone, cn::kDataUnsignedLe, 8, 0, 16, 0, 0, 0));
  } else {
    size = kind->size;
    const std::uint64_t composed = add_channel(b, kind->name, cn::kTypeValue, cn::kSyncNone, cn::kDataBytes, 8, 0,
                                               (kind->size - 8) * 8, 0, 0, source);
    b.set_link(g.first_cn, cn::kNextCn, composed);
    std::uint64_t previous = 0;
    for (const Member& m : kind->members) {
      const std::string full = l.short_names ? std::string(m.name) : std::string(kind->name) + "." + m.name;
      const bool bytes = std::strcmp(m.name, "DataBytes") == 0;
      const bool variable = bytes && l.signal_data;
      const std::uint64_t cn =
          add_channel(b, full.c_str(), variable ? cn::kTypeVlsd : cn::kTypeValue, cn::kSyncNone,
                      bytes ? cn::kDataBytes : cn::kDataUnsignedLe, m.byte, m.bit, m.bits, 0, 0, source);
      if (bytes) g.bytes_cn = cn;
      b.set_link(previous == 0 ? composed : previous, previous == 0 ? cn::kComposition : cn::kNextCn, cn);
      previous = cn;
    }
  }
  std::string data(cg::kDataSize, '\0');
  std::memcpy(data.data() + cg::kRecordId, &record_id, 8);
  std::memcpy(data.data() + cg::kCycleCount, &cycles, 8);
  const std::uint16_t flags = kind == nullptr ? 0 : cg::kFlagBusEvent | cg::kFlagPlainBusEvent;
  std::memcpy(data.data() + cg::kFlags, &flags, 2);
  data[cg::kPathSeparator] = '.';
  std::memcpy(data.data() + cg::kDataBytes, &size, 4);
  g.cg = add_block(b, kTagCg, {0, g.first_cn, acq_name, source, 0, 0}, data);
  return g;
}

// A channel group holding variable-length values, each its length and its bytes.
std::uint64_t add_value_group(BlockBuffer& b, std::uint64_t record_id, std::uint64_t cycles, std::uint64_t bytes) {
  std::string data(cg::kDataSize, '\0');
  std::memcpy(data.data() + cg::kRecordId, &record_id, 8);
  std::memcpy(data.data() + cg::kCycleCount, &cycles, 8);
  const std::uint16_t flags = cg::kFlagVlsd;
  std::memcpy(data.data() + cg::kFlags, &flags, 2);
  // The total length of the values takes the data and invalidation byte counts together.
  std::memcpy(data.data() + cg::kDataBytes, &bytes, 8);
  return add_block(b, kTagCg, {0, 0, 0, 0, 0, 0}, data);
}

int logger_rank(std::uint32_t kind) {
  switch (kind) {
    case CAN_DataFrame: return 0;
    case CAN_RemoteFrame: return 1;
    case CAN_ErrorFrame: return 2;
    default: return 3;
  }
}

}  // namespace

std::string write_logger_mdf4(const std::vector<BusRecord>& records, const LoggerLayout& l) {
  if (records.empty()) return {};
  const std::vector<Kind> kinds = kinds_of(l);
  const std::int64_t start_us = static_cast<std::int64_t>(std::floor(records[0].Timestamp)) * 1000000;
  const std::uint64_t base_id = l.id_base;
  auto id_of = [&](std::size_t k) { return base_id + 1 + k; };
  auto value_id_of = [&](std::size_t k) { return base_id + 11 + k; };
  const std::uint64_t other_id = base_id + 9;
  auto id_bytes = [&](std::uint64_t id) { return std::string(reinterpret_cast<const char*>(&id), l.id_size); };

  // The records and signal values of each kind, and the run of records of an unsorted group.
  std::vector<std::string> data(kinds.size());
  std::vector<std::string> values(kinds.size());
  std::vector<std::uint64_t> cycles(kinds.size(), 0);
  std::vector<std::uint64_t> value_count(kinds.size(), 0);
  std::vector<std::string> last_value(kinds.size());
  std::vector<std::uint64_t> last_offset(kinds.size(), ~std::uint64_t{0});
  std::string run;
  std::string other;
  std::uint64_t others = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const BusRecord& r = records[i];
    const std::uint64_t ticks = static_cast<std::uint64_t>(micros_of(r.Timestamp) - start_us);
    if (l.other_signals && i % 50 == 0) {
      std::string o(10, '\0');
      std::memcpy(o.data(), &ticks, 8);
      o[8] = static_cast<char>(i);
      (l.id_size == 0 ? other : run) += (l.id_size == 0 ? "" : id_bytes(other_id)) + o;
      ++others;
    }
    std::size_t k = 0;
    while (k < kinds.size() && kinds[k].record_kind != r.Kind) ++k;
    if (k == kinds.size()) continue;
    const Kind& kind = kinds[k];
    std::string rec(kind.size, '\0');
    std::memcpy(rec.data(), &ticks, 8);
    for (const Member& m : kind.members) {
      if (std::strcmp(m.name, "DataBytes") != 0) put_bits(rec, m.byte, m.bit, m.bits, member_value(r, m.name));
    }
    if (carries_data(r.Kind)) {
      const std::uint8_t* bytes = r.Kind == LIN_Frame ? r.Lin.DataBytes : r.Can.DataBytes;
      const std::string value(reinterpret_cast<const char*>(bytes), r.DataLength);
      if (!l.signal_data) {
        std::memcpy(rec.data() + kind.bytes_at, value.data(), value.size());
      } else {
        std::uint64_t offset = last_offset[k];
        if (!(l.share_values && offset != ~std::uint64_t{0} && value == last_value[k])) {
          offset = values[k].size();
          const std::string v = u32_bytes(static_cast<std::uint32_t>(value.size())) + value;
          values[k] += v;
          ++value_count[k];
          if (l.id_size != 0) run += id_bytes(value_id_of(k)) + v;
        }
        last_offset[k] = offset;
        last_value[k] = value;
        std::memcpy(rec.data() + kind.bytes_at, &offset, 8);
      }
    }
    (l.id_size == 0 ? data[k] : run) += (l.id_size == 0 ? "" : id_bytes(id_of(k))) + rec;
    ++cycles[k];
  }

  BlockBuffer b(kIdBlockSize);
  const std::uint64_t hd = b.add(kTagHd, hd::kLinks, hd::kDataSize);
  std::string cc_data(cc::kValues + 16, '\0');
  cc_data[cc::kType] = static_cast<char>(cc::kTypeLinear);
  cc_data[cc::kValueCount] = 2;
  std::memcpy(cc_data.data() + cc::kValues + 8, &kTick, 8);
  const std::uint64_t time_cc = add_block(b, kTagCc, {0, 0, 0, 0}, cc_data);
  std::uint64_t sources[2];
  std::uint64_t names[2];
  for (int bus = 0; bus < 2; ++bus) {
    std::string si_data(si::kDataSize, '\0');
    si_data[si::kSourceType] = static_cast<char>(si::kSourceBus);
    si_data[si::kBusType] = static_cast<char>(bus == 0 ? si::kBusCan : si::kBusLin);
    names[bus] = add_text(b, bus == 0 ? "CAN" : "LIN");
    sources[bus] = add_block(b, kTagSi, {names[bus], 0, 0}, si_data);
  }
  auto source_of = [&](const Kind& k) { return sources[k.bus == si::kBusLin ? 1 : 0]; };
  auto name_of = [&](const Kind& k) { return names[k.bus == si::kBusLin ? 1 : 0]; };

  std::vector<std::uint64_t> dgs;
  auto new_dg = [&](std::uint8_t id_size) {
    std::string d(dg::kDataSize, '\0');
    d[dg::kRecordIdSize] = static_cast<char>(id_size);
    dgs.push_back(add_block(b, kTagDg, {0, 0, 0, 0}, d));
    if (dgs.size() > 1) b.set_link(dgs[dgs.size() - 2], dg::kNextDg, dgs.back());
    return dgs.back();
  };
  if (l.id_size == 0) {
    if (l.other_signals) {
      const std::uint64_t dg = new_dg(0);
      b.set_link(dg, dg::kFirstCg, add_group(b, nullptr, l, 0, others, time_cc, 0, 0).cg);
      b.set_link(dg, dg::kData, store(b, other, kTagDt, l, 10));
    }
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      if (cycles[k] == 0 && !l.empty_groups) continue;
      const std::uint64_t dg = new_dg(0);
      const Group g = add_group(b, &kinds[k], l, 0, cycles[k], time_cc, source_of(kinds[k]), name_of(kinds[k]));
      b.set_link(dg, dg::kFirstCg, g.cg);
      b.set_link(dg, dg::kData, store(b, data[k], kTagDt, l, kinds[k].size));
      if (g.bytes_cn != 0 && l.signal_data) b.set_link(g.bytes_cn, cn::kSignalData, store(b, values[k], kTagSd, l, 0));
    }
  } else {
    const std::uint64_t dg = new_dg(l.id_size);
    std::vector<std::uint64_t> cgs;
    if (l.other_signals) cgs.push_back(add_group(b, nullptr, l, other_id, others, time_cc, 0, 0).cg);
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      if (cycles[k] == 0 && !l.empty_groups) continue;
      const Group g = add_group(b, &kinds[k], l, id_of(k), cycles[k], time_cc, source_of(kinds[k]), name_of(kinds[k]));
      cgs.push_back(g.cg);
      if (g.bytes_cn != 0 && l.signal_data) {
        const std::uint64_t value_group = add_value_group(b, value_id_of(k), value_count[k], values[k].size());
        b.set_link(g.bytes_cn, cn::kSignalData, value_group);
        cgs.push_back(value_group);
      }
    }
    for (std::size_t i = 1; i < cgs.size(); ++i) b.set_link(cgs[i - 1], cg::kNextCg, cgs[i]);
    b.set_link(dg, dg::kFirstCg, cgs[0]);
    b.set_link(dg, dg::kData, store(b, run, kTagDt, l, 0));
  }
  b.set_link(hd, hd::kFirstDg, dgs[0]);
  const std::uint64_t start_ns = static_cast<std::uint64_t>(start_us) * 1000;
  if (!b.ok()) return {};
  std::memcpy(b.data(hd) + hd::kStartTimeNs, &start_ns, 8);

  std::string file(kIdBlockSize, '\0');
  char version_text[16];
  std::snprintf(version_text, sizeof version_text, "%u.%02u    ", (l.version / 100u) % 10u, l.version % 100u);
  file.replace(0, 16, std::string("MDF     ") + std::string(version_text, 8));
  file.replace(16, 8, "logger  ");
  std::memcpy(file.data() + id_block::kVersion, &l.version, 2);
  file.append(reinterpret_cast<const char*>(b.bytes()), b.size());
  return file;
}

std::vector<BusRecord> in_logger_order(const std::vector<BusRecord>& records) {
  std::vector<BusRecord> out = records;
  for (BusRecord& r : out) {
    if (r.Kind != CAN_ErrorFrame) continue;
    BusRecord kept{};
    kept.Timestamp = r.Timestamp;
    kept.ID = r.ID;
    kept.Kind = r.Kind;
    kept.DataPointer = kept.Can.DataBytes;
    kept.Can.BusChannel = r.Can.BusChannel;
    kept.Can.IDE = r.Can.IDE;
    kept.Can.ErrorType = r.Can.ErrorType;
    r = kept;
  }
  std::stable_sort(out.begin(), out.end(), [](const BusRecord& a, const BusRecord& b) {
    return a.Timestamp < b.Timestamp || (a.Timestamp == b.Timestamp && logger_rank(a.Kind) < logger_rank(b.Kind));
  });
  return out;
}

}  // namespace quarn::test
