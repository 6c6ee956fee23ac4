#include "mdf4/mdf4_blocks.h"

#include "base/memory.h"

namespace quarn::mdf4 {

void tag_text(std::uint32_t tag, char out[5]) {
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
    out[i] = c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
  }
  out[4] = '\0';
}

bool decode_header(const std::uint8_t* p, BlockHeader& out) {
  out.tag = get_u32(p);
  out.length = get_u64(p + 8);
  out.links = get_u64(p + 16);
  return (out.tag & 0xffffu) == 0x2323u;
}

void encode_header(std::uint8_t* p, const BlockHeader& h) {
  put_u32(p, h.tag);
  put_u32(p + 4, 0);
  put_u64(p + 8, h.length);
  put_u64(p + 16, h.links);
}

BlockProblem check_block(const BlockHeader& h, std::uint64_t offset, std::uint64_t file_size, std::uint32_t want_tag,
                         std::uint64_t min_links, std::uint64_t min_data) {
  if (offset > file_size || file_size - offset < kHeaderSize) return BlockProblem::OutsideFile;
  if (h.tag != want_tag) return BlockProblem::BadId;
  if (h.links < min_links) return BlockProblem::TooFewLinks;
  // Compared by division so that no field, however large, can overflow the sums.
  if (h.length < kHeaderSize || (h.length - kHeaderSize) / kLinkSize < h.links) return BlockProblem::BadLength;
  if (h.length - kHeaderSize - h.links * kLinkSize < min_data) return BlockProblem::BadLength;
  if (h.length > file_size - offset) return BlockProblem::OutsideFile;
  return BlockProblem::None;
}

BlockBuffer::~BlockBuffer() { mem_free(bytes_); }

std::uint64_t BlockBuffer::add(std::uint32_t block_tag, std::uint64_t links, std::uint64_t data_size) {
  if (!ok_) return 0;
  std::uint64_t length = data_start(links) + data_size;
  std::uint64_t padded = align8(length);
  if (size_ + padded > capacity_) {
    std::uint64_t want = capacity_ == 0 ? 4096 : capacity_;
    while (want < size_ + padded) want *= 2;
    void* grown = mem_realloc(bytes_, static_cast<std::size_t>(want));
    if (grown == nullptr) {
      ok_ = false;
      return 0;
    }
    bytes_ = static_cast<std::uint8_t*>(grown);
    capacity_ = want;
  }
  std::uint8_t* p = bytes_ + size_;
  std::memset(p, 0, static_cast<std::size_t>(padded));
  encode_header(p, BlockHeader{block_tag, length, links});
  std::uint64_t offset = base_ + size_;
  size_ += padded;
  return offset;
}

std::uint64_t BlockBuffer::add_text(std::uint32_t block_tag, StrView text) {
  std::uint64_t n = text.length > 0 ? static_cast<std::uint64_t>(text.length) : 0;
  std::uint64_t block = add(block_tag, 0, align8(n + 1));
  if (block != 0 && n > 0) std::memcpy(data(block), text.data, static_cast<std::size_t>(n));
  return block;
}

void BlockBuffer::set_link(std::uint64_t block, std::uint64_t index, std::uint64_t target) {
  if (!ok_) return;
  put_u64(bytes_ + (block - base_) + kHeaderSize + index * kLinkSize, target);
}

std::uint8_t* BlockBuffer::data(std::uint64_t block) {
  if (!ok_) return nullptr;
  std::uint8_t* p = bytes_ + (block - base_);
  return p + data_start(get_u64(p + 16));
}

}  // namespace quarn::mdf4
