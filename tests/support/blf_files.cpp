#include "support/blf_files.h"

#include <zlib.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "base/calendar.h"

namespace quarn::test {
namespace {

void put16(std::string& s, std::uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}
void put64(std::string& s, std::uint64_t v) {
  put32(s, static_cast<std::uint32_t>(v));
  put32(s, static_cast<std::uint32_t>(v >> 32));
}
void put8(std::string& s, std::uint32_t v) { s.push_back(static_cast<char>(v & 0xFF)); }

std::string data_of(const BusRecord& r, std::size_t room) {
  std::string d(room, '\0');
  const std::uint8_t* from = r.Kind == LIN_Frame ? r.Lin.DataBytes : r.Can.DataBytes;
  const std::size_t n = r.DataLength < room ? static_cast<std::size_t>(r.DataLength) : room;
  std::memcpy(d.data(), from, n);
  return d;
}

}  // namespace

double blf_seconds_of(const BlfSystemTime& t) {
  const std::int64_t days = days_from_civil(t[0], t[1], t[3]);
  return static_cast<double>(days * 86400 + t[4] * 3600 + t[5] * 60 + t[6]) + t[7] / 1000.0;
}

BlfObject blf_object_of(const BusRecord& r, double start, const BlfObjectStyle& style) {
  BlfObject o;
  o.header_version = style.header_version;
  const double offset = r.Timestamp - start;
  if (style.ten_micros) {
    o.time_flags = blf::kTimeTenMicros;
    o.time = static_cast<std::uint64_t>(std::llround(offset * 1e5));
  } else {
    o.time = static_cast<std::uint64_t>(std::llround(offset * 1e9));
  }
  std::string& b = o.body;
  if (r.Kind == LIN_Frame) {
    o.type = blf::kLinMessage;
    put16(b, r.Lin.BusChannel);
    put8(b, r.ID);
    put8(b, static_cast<std::uint32_t>(r.DataLength));
    b += data_of(r, 8);
    put32(b, 0);  // FSM id and state, header and full time
    put16(b, 0);  // checksum
    put8(b, r.Lin.Dir);
    put8(b, 0);
    return o;
  }
  const CanTail& c = r.Can;
  const std::uint32_t id = r.ID | (c.IDE != 0 ? blf::kExtendedId : 0);
  if (r.Kind == CAN_ErrorFrame) {
    o.type = blf::kCanErrorExt;
    put16(b, c.BusChannel);
    put16(b, 0);  // length
    put32(b, 0);  // flags
    put8(b, 0);   // ECC
    put8(b, 0);   // position
    put8(b, c.DLC);
    put8(b, 0);
    put32(b, 0);  // frame length
    put32(b, id);
    put16(b, 0);
    put16(b, 0);
    b += data_of(r, 8);
    return o;
  }
  const bool remote = r.Kind == CAN_RemoteFrame;
  if (c.EDL == 0 && !style.fd_for_all) {
    o.type = style.message2 ? blf::kCanMessage2 : blf::kCanMessage;
    put16(b, c.BusChannel);
    put8(b, (c.Dir != 0 ? blf::kCanFlagTx : 0u) | (remote ? blf::kCanFlagRemote : 0u));
    put8(b, c.DLC);
    put32(b, id);
    b += data_of(r, 8);
    if (style.message2) {
      put32(b, 0);
      put32(b, 0);
    }
    return o;
  }
  if (!style.fd64) {
    o.type = blf::kCanFdMessage;
    put16(b, c.BusChannel);
    put8(b, (c.Dir != 0 ? blf::kCanFlagTx : 0u) | (remote ? blf::kCanFlagRemote : 0u));
    put8(b, c.DLC);
    put32(b, id);
    put32(b, 0);  // frame length
    put8(b, 0);   // bit count
    put8(b, (c.EDL != 0 ? blf::kFdFlagEdl : 0u) | (c.BRS != 0 ? blf::kFdFlagBrs : 0u) |
                (c.ESI != 0 ? blf::kFdFlagEsi : 0u));
    put8(b, static_cast<std::uint32_t>(r.DataLength));
    b.append(5, '\0');
    b += data_of(r, 64);
    return o;
  }
  o.type = blf::kCanFdMessage64;
  put8(b, c.BusChannel);
  put8(b, c.DLC);
  put8(b, static_cast<std::uint32_t>(r.DataLength));
  put8(b, 0);  // tx count
  put32(b, id);
  put32(b, 0);  // frame length
  put32(b, (remote ? blf::kFd64Remote : 0u) | (c.EDL != 0 ? blf::kFd64Edl : 0u) | (c.BRS != 0 ? blf::kFd64Brs : 0u) |
               (c.ESI != 0 ? blf::kFd64Esi : 0u));
  put32(b, 500000);
  put32(b, 2000000);
  put32(b, 0);
  put32(b, 0);
  put16(b, 0);
  put8(b, c.Dir != 0 ? blf::kFd64DirTx : 0u);
  put8(b, 0);
  put32(b, 0);  // CRC
  b += data_of(r, static_cast<std::size_t>(r.DataLength));
  return o;
}

std::vector<BlfObject> blf_objects_of(const std::vector<BusRecord>& records, double start,
                                      const BlfObjectStyle& style) {
  std::vector<BlfObject> out;
  out.reserve(records.size());
  for (const BusRecord& r : records) out.push_back(blf_object_of(r, start, style));
  return out;
}

std::string blf_object_bytes(const BlfObject& object) {
  const std::uint32_t header = object.header_version == 2 ? blf::kHeaderV2Size : blf::kHeaderV1Size;
  const std::uint32_t size = header + static_cast<std::uint32_t>(object.body.size());
  std::string s(blf::kObjectSignature, 4);
  put16(s, header);
  put16(s, static_cast<std::uint32_t>(object.header_version));
  put32(s, size);
  put32(s, object.type);
  put32(s, object.time_flags);
  if (object.header_version == 2) {
    put8(s, 0);
    put8(s, 0);
  } else {
    put16(s, 0);  // client index
  }
  put16(s, 0);  // object version
  put64(s, object.time);
  if (object.header_version == 2) put64(s, 0);
  s += object.body;
  s.append(size % 4, '\0');
  return s;
}

std::string blf_file(const std::vector<BlfObject>& objects, const BlfFileOptions& options) {
  std::string data;
  for (const BlfObject& o : objects) data += blf_object_bytes(o);
  std::string containers;
  std::uint64_t inflated = blf::kFileHeaderSize;
  for (std::size_t at = 0; at < data.size(); at += options.container_bytes) {
    const std::string piece = data.substr(at, options.container_bytes);
    std::string packed = piece;
    if (options.compression == blf::kZlibDeflate) {
      uLongf n = compressBound(static_cast<uLong>(piece.size()));
      packed.assign(n, '\0');
      compress2(reinterpret_cast<Bytef*>(packed.data()), &n, reinterpret_cast<const Bytef*>(piece.data()),
                static_cast<uLong>(piece.size()), Z_DEFAULT_COMPRESSION);
      packed.resize(n);
    }
    const std::uint32_t size =
        blf::kBaseHeaderSize + blf::kContainerHeaderSize + static_cast<std::uint32_t>(packed.size());
    containers.append(blf::kObjectSignature, 4);
    put16(containers, blf::kBaseHeaderSize);
    put16(containers, 1);
    put32(containers, size);
    put32(containers, blf::kLogContainer);
    put16(containers, options.compression);
    containers.append(6, '\0');
    put32(containers, static_cast<std::uint32_t>(piece.size()));
    put32(containers, 0);
    containers += packed;
    containers.append(size % 4, '\0');
    inflated += blf::kBaseHeaderSize + blf::kContainerHeaderSize + piece.size();
  }
  std::string file(blf::kFileSignature, 4);
  put32(file, blf::kFileHeaderSize);
  put8(file, 5);
  file.append(3, '\0');
  put8(file, 2);
  put8(file, 6);
  put8(file, 8);
  put8(file, 1);
  const std::uint64_t file_size = blf::kFileHeaderSize + containers.size();
  put64(file, options.finalised ? file_size : blf::kFileHeaderSize);
  put64(file, options.finalised ? inflated : blf::kFileHeaderSize);
  put32(file, options.finalised ? static_cast<std::uint32_t>(objects.size()) : 0);
  put32(file, 0);
  for (std::uint16_t v : options.start) put16(file, options.finalised ? v : 0);
  for (std::uint16_t v : options.start) put16(file, options.finalised ? v : 0);
  file.resize(blf::kFileHeaderSize, '\0');
  return file + containers;
}

std::string blf_file_of(const std::vector<BusRecord>& records, BlfFileOptions options, const BlfObjectStyle& style) {
  if (records.empty()) return blf_file({}, options);
  const double start = std::floor(records.front().Timestamp);
  std::tm t{};
  if (!utc_fields_from_seconds(static_cast<std::int64_t>(start), t)) return {};
  auto u16 = [](int v) { return static_cast<std::uint16_t>(v); };
  options.start = {u16(t.tm_year + 1900), u16(t.tm_mon + 1), u16(t.tm_wday), u16(t.tm_mday),
                   u16(t.tm_hour),        u16(t.tm_min),     u16(t.tm_sec),  0};
  return blf_file(blf_objects_of(records, start, style), options);
}

std::uint32_t blf_u32(const std::string& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(bytes[offset + static_cast<std::size_t>(i)]);
  return v;
}

void blf_set_u32(std::string& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void blf_set_u64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace quarn::test
