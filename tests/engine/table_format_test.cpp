// Golden bytes of the three table-file layouts: new index and BLOB headers, the block chain of a
// value, record positions, and the stored form of each leaf packing.
#include <gtest/gtest.h>

#include <vector>

#include "engine/format/blob_file_format.h"
#include "engine/format/data_file_format.h"
#include "engine/format/index_file_format.h"
#include "engine/store/index_page.h"

namespace tovenmarsh::engine {
namespace {

TEST(TableFormat, NewIndexHeaderHasVersionFourEndOffset4096AndSysDeletedInSlot31) {
  std::vector<uint8_t> h(index_format::kHeaderSize, 0xEE);
  index_format::MakeNewHeader(h.data());
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetU32(h.data(), 9), 4096u);
  EXPECT_EQ(h[13], 0);  // no secondary indexes
  const size_t slot31 = 14 + 120 * 31;
  EXPECT_EQ(h[slot31], 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&h[slot31 + 1]), 11), "Sys Deleted");
  EXPECT_EQ(GetU16(h.data(), slot31 + 31), 5);
  EXPECT_EQ(h[3979], 1);  // modified
  // Everything else is zero.
  for (size_t i = 0; i < h.size(); ++i) {
    const bool known = i == 8 || (i >= 9 && i < 13) || (i >= slot31 && i < slot31 + 12) || i == slot31 + 31 ||
                       i == 3979;
    if (!known) {
      ASSERT_EQ(h[i], 0) << "byte " << i;
    }
  }
}

TEST(TableFormat, NewBlobHeaderIs512BytesWithVersionFourAndEndOffset512) {
  std::vector<uint8_t> h(blob_format::kHeaderSize, 0xEE);
  blob_format::MakeNewHeader(h.data());
  EXPECT_EQ(h.size(), 512u);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetU32(h.data(), 9), 0u);     // free list
  EXPECT_EQ(GetU32(h.data(), 13), 512u);  // end offset
  EXPECT_EQ(h[17], 1);
  for (size_t i = 18; i < h.size(); ++i) ASSERT_EQ(h[i], 0);
}

TEST(TableFormat, BlobChainLayout) {
  EXPECT_EQ(blob_format::ChainLayout(1000, 512), (std::vector<uint32_t>{494, 494, 12}));
  EXPECT_EQ(blob_format::ChainLayout(0, 512), std::vector<uint32_t>{});
  EXPECT_EQ(blob_format::ChainLayout(46, 64), std::vector<uint32_t>{46});
  EXPECT_EQ(blob_format::ChainLayout(47, 64), (std::vector<uint32_t>{46, 1}));
  EXPECT_TRUE(blob_format::ValidBlockSize(65535));
  EXPECT_FALSE(blob_format::ValidBlockSize(65536));
  EXPECT_FALSE(blob_format::ValidBlockSize(63));
  EXPECT_EQ(blob_format::EffectiveBlockSize(0), 512u);
}

TEST(TableFormat, RecordPositionsAndLockBytes) {
  // Two string fields of size 10 and an integer: record size 38.
  EXPECT_EQ(data_format::RecordOffset(3, 38, 1), 127 + 3 * 768);
  EXPECT_EQ(data_format::RecordOffset(3, 38, 10), 127 + 3 * 768 + 9 * 38);
  EXPECT_EQ(data_format::RecordLockByte(1), 2147483645);
  EXPECT_EQ(data_format::kTableWriteByte, 2147483647);
  EXPECT_EQ(index_format::UserByte(1), 0x7FFFFFFE);
}

struct TPackCase {
  uint8_t Compression;
  bool Unique;
  std::vector<std::vector<uint8_t>> Keys;
  std::vector<uint8_t> Entries;  // the packed entry area
};

class LeafPacking : public ::testing::TestWithParam<TPackCase> {};

TEST_P(LeafPacking, PacksToTheStoredBytesAndBack) {
  const TPackCase& c = GetParam();
  TIndexShape shape;
  shape.KeySize = static_cast<uint16_t>(c.Keys[0].size());
  shape.Unique = c.Unique;
  shape.Compression = c.Compression;
  TPage page;
  page.Setup(shape);
  page.Type = index_format::kRootLeaf;
  for (size_t i = 0; i < c.Keys.size(); ++i)
    page.InsertEntry(static_cast<int>(i + 1), c.Keys[i].data(), static_cast<uint32_t>(i + 1), 0);
  std::vector<uint8_t> bytes(index_format::kPageSize);
  ASSERT_TRUE(page.Pack(bytes.data()));
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(GetU16(bytes.data(), 1), c.Keys.size());
  EXPECT_EQ(GetU16(bytes.data(), 11), c.Compression == 0 ? 0u : c.Entries.size());
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 13, bytes.begin() + 13 + c.Entries.size()), c.Entries);
  EXPECT_EQ(page.PackedSize(), c.Entries.size());
  TPage back;
  back.Setup(shape);
  ASSERT_TRUE(back.Unpack(bytes.data()));
  ASSERT_EQ(back.Count(), static_cast<int>(c.Keys.size()));
  for (size_t i = 0; i < c.Keys.size(); ++i)
    EXPECT_EQ(std::vector<uint8_t>(back.Key(i + 1), back.Key(i + 1) + shape.KeySize), c.Keys[i]);
}

INSTANTIATE_TEST_SUITE_P(
    AllModes, LeafPacking,
    ::testing::Values(
        // plain: key, record number
        TPackCase{0, true, {{'a', 'b', 'c'}, {'a', 'b', 'd'}}, {'a', 'b', 'c', 1, 0, 0, 0, 'a', 'b', 'd', 2, 0, 0, 0}},
        // leading: u16 P, key from P, record number
        TPackCase{1, true, {{'a', 'b', 'c'}, {'a', 'b', 'd'}},
                  {0, 0, 'a', 'b', 'c', 1, 0, 0, 0, 2, 0, 'd', 2, 0, 0, 0}},
        // trailing, unique: u16 T, key without its trailing zeros
        TPackCase{2, true, {{'a', 0, 0}, {'b', 'c', 0}}, {2, 0, 'a', 1, 0, 0, 0, 1, 0, 'b', 'c', 2, 0, 0, 0}},
        // trailing, non-unique: zeros counted before the 4-byte suffix, which is always stored
        TPackCase{2, false, {{'a', 0, 0, 0, 0, 9}}, {1, 0, 'a', 0, 0, 0, 9, 1, 0, 0, 0}},
        // both: u8 P, u8 T, middle, suffix, record number
        TPackCase{3, false, {{'a', 'b', 0, 0, 0, 0, 1}, {'a', 'c', 0, 0, 0, 0, 2}},
                  {0, 1, 'a', 'b', 0, 0, 0, 1, 1, 0, 0, 0, 1, 1, 'c', 0, 0, 0, 2, 2, 0, 0, 0}},
        // both, non-unique, only the suffix behind the prefix: T is 0
        TPackCase{3, false, {{'a', 'b', 0, 0, 0, 1}, {'a', 'b', 0, 0, 0, 2}},
                  {0, 0, 'a', 'b', 0, 0, 0, 1, 1, 0, 0, 0, 2, 0, 0, 0, 0, 2, 2, 0, 0, 0}}));

TEST(TableFormat, PageSearchesAndFilterSteps) {
  TIndexShape shape;
  shape.KeySize = 2;
  TPage leaf;
  leaf.Setup(shape);
  const uint32_t records[] = {7, 8, 9, 3, 4, 12};
  for (int i = 0; i < 6; ++i) {
    const uint8_t key[2] = {0, static_cast<uint8_t>(10 * (i + 1))};  // 10, 20, ... 60
    leaf.InsertEntry(i + 1, key, records[i], 0);
  }
  const TKeyOrder order;
  const uint8_t k30[2] = {0, 30}, k35[2] = {0, 35}, k50[2] = {0, 50};
  int64_t seq = 100;
  leaf.SearchNearest(k30, false, order, seq);
  EXPECT_EQ(leaf.PosB, 3);
  EXPECT_EQ(seq, 102);
  seq = 0;
  leaf.SearchNearest(k30, true, order, seq);
  EXPECT_EQ(leaf.PosB, 4);
  seq = 0;
  leaf.SearchNearest(k35, false, order, seq);
  EXPECT_EQ(leaf.PosB, 4);
  TRecordsBitmap visible;
  visible.SetSize(20);
  for (uint32_t n : {9u, 4u, 12u}) visible.SetBit(n);
  leaf.PosB = 0;
  EXPECT_TRUE(leaf.StepB(1, visible, nullptr, order));
  EXPECT_EQ(leaf.PosB, 3);  // record 9
  EXPECT_TRUE(leaf.StepB(1, visible, k50, order));
  EXPECT_EQ(leaf.PosB, 5);  // record 4, key 50
  EXPECT_FALSE(leaf.StepB(1, visible, k50, order));  // record 12 lies beyond the bound
  leaf.PosB = 7;
  EXPECT_TRUE(leaf.StepB(-1, visible, nullptr, order));
  EXPECT_EQ(leaf.PosB, 6);
  TRecordsBitmap marked;
  marked.SetSize(10);  // record 12 does not fit and is left out
  leaf.MarkRecords(1, 6, marked);
  EXPECT_EQ(marked.CountSet(), 5u);
  EXPECT_EQ(leaf.CountRuns(1, 6), 3);  // 7-8-9, 3-4, 12
  EXPECT_EQ(leaf.CountRuns(4, 5), 1);
}

TEST(TableFormat, DamagedPagesAreRefused) {
  TIndexShape shape;
  shape.KeySize = 3;
  shape.Compression = 1;
  TPage page;
  page.Setup(shape);
  page.InsertEntry(1, reinterpret_cast<const uint8_t*>("abc"), 1, 0);
  page.InsertEntry(2, reinterpret_cast<const uint8_t*>("abd"), 2, 0);
  std::vector<uint8_t> good(index_format::kPageSize);
  ASSERT_TRUE(page.Pack(good.data()));
  struct TDamage {
    size_t At;
    uint8_t Value;
  };
  for (TDamage d : {TDamage{0, 7},          // type
                    TDamage{13, 1},         // first entry with a prefix
                    TDamage{22, 4},         // prefix longer than the key
                    TDamage{11, 200},       // packed size beyond the entries
                    TDamage{1, 3},          // more entries than packed
                    TDamage{3, 1},          // previous page not on a page boundary
                    TDamage{18, 0}}) {      // record number 0
    std::vector<uint8_t> bad = good;
    bad[d.At] = d.Value;
    TPage back;
    back.Setup(shape);
    EXPECT_FALSE(back.Unpack(bad.data())) << "byte " << d.At;
    EXPECT_EQ(back.Count(), 0);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
