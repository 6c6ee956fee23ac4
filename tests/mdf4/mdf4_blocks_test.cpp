#include "mdf4/mdf4_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/memory.h"

namespace quarn::mdf4 {
namespace {

TEST(Mdf4BlocksTest, FieldsAreLittleEndianAtAnyAddress) {
  std::uint8_t bytes[24] = {};
  put_u32(bytes + 9, 0x1A2B3C4Du);  // the identifier's place in a record: unaligned
  EXPECT_EQ(bytes[9], 0x4D);
  EXPECT_EQ(bytes[12], 0x1A);
  EXPECT_EQ(get_u32(bytes + 9), 0x1A2B3C4Du);
  put_u64(bytes + 1, 0x0102030405060708ull);
  EXPECT_EQ(bytes[1], 0x08);
  EXPECT_EQ(bytes[8], 0x01);
  EXPECT_EQ(get_u64(bytes + 1), 0x0102030405060708ull);
  put_u16(bytes + 3, 410);
  EXPECT_EQ(bytes[3], 0x9A);
  EXPECT_EQ(bytes[4], 0x01);
  put_f64(bytes + 5, 0.252653);
  EXPECT_EQ(get_f64(bytes + 5), 0.252653);
}

TEST(Mdf4BlocksTest, AlignmentRoundsUpToEight) {
  const std::uint64_t in[] = {0, 1, 7, 8, 9, 84, 276, 296};
  const std::uint64_t out[] = {0, 8, 8, 8, 16, 88, 280, 296};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(align8(in[i]), out[i]) << in[i];
}

TEST(Mdf4BlocksTest, TagsAreTheFourIdBytes) {
  std::uint8_t bytes[4];
  put_u32(bytes, kTagDt);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "##DT");
  char text[5];
  tag_text(kTagCg, text);
  EXPECT_STREQ(text, "##CG");
  tag_text(0x00017F23u, text);  // unprintable bytes show as '?'
  EXPECT_STREQ(text, "#??\?");
}

TEST(Mdf4BlocksTest, HeaderRoundTripsAndNeedsTheHashes) {
  std::uint8_t bytes[24];
  encode_header(bytes, BlockHeader{kTagCn, 160, 8});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "##CN");
  EXPECT_EQ(get_u32(bytes + 4), 0u);  // reserved
  BlockHeader h;
  ASSERT_TRUE(decode_header(bytes, h));
  EXPECT_EQ(h.tag, kTagCn);
  EXPECT_EQ(h.length, 160u);
  EXPECT_EQ(h.links, 8u);
  bytes[1] = 'X';
  EXPECT_FALSE(decode_header(bytes, h));
}

TEST(Mdf4BlocksTest, CheckBlockFindsEachProblem) {
  struct Case {
    const char* what;
    BlockHeader h;
    std::uint64_t offset;
    std::uint64_t file_size;
    std::uint64_t min_links;
    std::uint64_t min_data;
    BlockProblem want;
  };
  const std::uint64_t big = ~std::uint64_t{0};
  const std::vector<Case> cases = {
      {"fits exactly", {kTagDg, 64, 4}, 1000, 1064, 4, 8, BlockProblem::None},
      {"one byte past the end", {kTagDg, 64, 4}, 1000, 1063, 4, 8, BlockProblem::OutsideFile},
      {"header past the end", {kTagDg, 64, 4}, 1050, 1064, 4, 8, BlockProblem::OutsideFile},
      {"offset past the end", {kTagDg, 64, 4}, 5000, 1064, 4, 8, BlockProblem::OutsideFile},
      {"another id", {kTagCg, 64, 4}, 1000, 2000, 4, 8, BlockProblem::BadId},
      {"too few links", {kTagDg, 64, 3}, 1000, 2000, 4, 0, BlockProblem::TooFewLinks},
      {"shorter than its header", {kTagDg, 16, 0}, 1000, 2000, 0, 0, BlockProblem::BadLength},
      {"shorter than its links", {kTagDg, 48, 4}, 1000, 2000, 4, 0, BlockProblem::BadLength},
      {"no room for the data", {kTagDg, 60, 4}, 1000, 2000, 4, 8, BlockProblem::BadLength},
      {"links that overflow a sum", {kTagDg, 64, big / 4}, 1000, 2000, 1, 0, BlockProblem::BadLength},
      {"a length that overflows a sum", {kTagDg, big, 0}, 1000, 2000, 0, 0, BlockProblem::OutsideFile},
      {"more links than needed", {kTagDg, 80, 6}, 1000, 2000, 4, 8, BlockProblem::None},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check_block(c.h, c.offset, c.file_size, kTagDg, c.min_links, c.min_data), c.want) << c.what;
  }
}

TEST(Mdf4BlocksTest, BufferLaysOutAlignedBlocksAtTheirFileOffsets) {
  BlockBuffer b(168);
  std::uint64_t tx = b.add_text(kTagTx, sv("CAN_DataFrame"));  // 13 characters + NUL: 16 bytes of data
  std::uint64_t dt = b.add(kTagDt, 0, 3);                     // 27 bytes, padded to 32
  std::uint64_t dg = b.add(kTagDg, dg::kLinks, dg::kDataSize);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(tx, 168u);
  EXPECT_EQ(dt, 168u + 40u);
  EXPECT_EQ(dg, 168u + 40u + 32u);
  EXPECT_EQ(b.size(), 40u + 32u + 64u);
  b.set_link(dg, dg::kData, dt);
  b.data(dg)[dg::kRecordIdSize] = 0;

  const std::uint8_t* p = b.bytes();
  BlockHeader h;
  ASSERT_TRUE(decode_header(p, h));
  EXPECT_EQ(h.length, 40u);  // text blocks count their padding
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 24), 16), std::string("CAN_DataFrame\0\0\0", 16));
  ASSERT_TRUE(decode_header(p + 40, h));
  EXPECT_EQ(h.length, 27u);  // other blocks do not
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 40 + 27), 5), std::string(5, '\0'));
  ASSERT_TRUE(decode_header(p + 72, h));
  EXPECT_EQ(h.tag, kTagDg);
  EXPECT_EQ(get_u64(p + 72 + 24 + 8 * dg::kData), dt);
  EXPECT_EQ(b.data(dg), b.bytes() + 72 + 24 + 32);
}

TEST(Mdf4BlocksTest, EmptyTextIsOneNulPaddedToEight) {
  BlockBuffer b(64);
  std::uint64_t tx = b.add_text(kTagTx, sv(""));
  ASSERT_NE(tx, 0u);
  BlockHeader h;
  ASSERT_TRUE(decode_header(b.bytes(), h));
  EXPECT_EQ(h.length, 32u);
  EXPECT_EQ(b.size(), 32u);
}

TEST(Mdf4BlocksTest, GrowsPastItsFirstAllocation) {
  BlockBuffer b(64);
  std::uint64_t last = 0;
  for (int i = 0; i < 100; ++i) last = b.add(kTagCn, cn::kLinks, cn::kDataSize);  // 16000 bytes
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(last, 64u + 99u * 160u);
  BlockHeader h;
  ASSERT_TRUE(decode_header(b.bytes() + 99 * 160, h));
  EXPECT_EQ(h.tag, kTagCn);
}

TEST(Mdf4BlocksTest, RunningOutOfMemoryStopsTheBufferForGood) {
  BlockBuffer b(64);
  EXPECT_NE(b.add(kTagHd, hd::kLinks, hd::kDataSize), 0u);
  mem_fail_after(0);
  std::uint64_t big = b.add(kTagDt, 0, 1 << 20);
  mem_fail_after(-1);
  EXPECT_EQ(big, 0u);
  EXPECT_FALSE(b.ok());
  EXPECT_EQ(b.add(kTagTx, 0, 8), 0u);  // even a block that would fit
  EXPECT_EQ(b.data(64), nullptr);
}

}  // namespace
}  // namespace quarn::mdf4
