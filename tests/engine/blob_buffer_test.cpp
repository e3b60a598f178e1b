// Open BLOB values of a cursor: handles, the codes of misuse, reads at and past the end, the
// 64-value limit, and posting (ids, write, copy) with truncation freeing the chain.
#include "engine/store/blob_buffer.h"

#include <gtest/gtest.h>

#include "engine/store/blob_file.h"
#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {
namespace {

class TOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return false; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return false; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
};

class BlobBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TDataFileDefinition d;
    d.Fields.resize(2);
    d.Fields[0].Name = "Id";
    d.Fields[0].FieldType = fldInt32;
    d.Fields[1].Name = "Memo";
    d.Fields[1].FieldType = fldBlob;
    d.Fields[1].SubType = fldstMemo;
    data.CreateTable(d);
    blobs.CreateFile();
    record.assign(data.RecordSize(), 0);
    memo = data.Field(2);
    id = data.Field(1);
  }
  // Posts the open values the way a cursor does and returns the stored record.
  std::vector<uint8_t> Post() {
    list.AssignBlobIds(data.Fields(), record.data());
    list.WriteBlobs();
    std::vector<uint8_t> stored = record;
    list.CopyBlobBuffers(data.Fields(), stored.data());
    return stored;
  }
  TFileList files;
  TOwner owner;
  TDataFile data{&owner, "B.DAT", true, &files};
  TBlobFile blobs{&owner, "B.BLB", 512, true, &files};
  TBlobBufferList list{blobs, data};
  std::vector<uint8_t> record;
  FieldDesc memo, id;
};

TEST_F(BlobBufferTest, HandlesAndMisuseCodes) {
  EXPECT_EQ(list.OpenBlob(id, record.data(), 1, 2), kErrInvalidBlobField);
  EXPECT_EQ(list.CloseBlob(memo, record.data()), kErrInvalidBlobHandle);
  ASSERT_EQ(list.OpenBlob(memo, record.data(), 1, 2), 0);
  EXPECT_LT(GetI32(record.data(), memo.Offset + 1), 0);
  EXPECT_EQ(list.OpenBlob(memo, record.data(), 1, 2), 0);  // already open: one buffer
  EXPECT_EQ(list.OpenCount(), 1);
  std::vector<uint8_t> other = record;
  PutI32(other.data(), memo.Offset + 1, -40);
  EXPECT_EQ(list.OpenBlob(memo, other.data(), 1, 2), kErrInvalidBlobOffset);
  EXPECT_EQ(list.CloseBlob(memo, record.data()), 0);
  EXPECT_EQ(GetI32(record.data(), memo.Offset + 1), 0);
  // 64 values at once, then 9494.
  std::vector<std::vector<uint8_t>> records(65, std::vector<uint8_t>(data.RecordSize(), 0));
  for (int i = 0; i < 64; ++i) ASSERT_EQ(list.OpenBlob(memo, records[i].data(), 1, 1), 0);
  EXPECT_EQ(list.OpenBlob(memo, records[64].data(), 1, 1), kErrTooManyBlobs);
  list.CloseAllBlobs();
  EXPECT_EQ(list.OpenCount(), 0);
}

TEST_F(BlobBufferTest, ReadsAtAndPastTheEnd) {
  ASSERT_EQ(list.OpenBlob(memo, record.data(), 1, 2), 0);
  std::vector<uint8_t> value(120);
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(list.WriteBlob(memo, record.data(), 120, value.data(), 0), 0);
  const auto stored = Post();
  ASSERT_EQ(list.CloseBlob(memo, record.data()), 0);
  record = stored;
  ASSERT_EQ(list.OpenBlob(memo, record.data(), 1, 1), 0);
  uint8_t out[10] = {};
  uint32_t count = 99;
  EXPECT_EQ(list.ReadBlob(memo, record.data(), &count, 10, out, 119), kErrEndOfBlob);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(out[0], 119);
  EXPECT_EQ(list.ReadBlob(memo, record.data(), &count, 10, out, 120), kErrEndOfBlob);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list.ReadBlob(memo, record.data(), &count, 10, out, 50), 0);
  EXPECT_EQ(out[9], 59);
  uint32_t size = 0;
  EXPECT_EQ(list.GetBlobSize(memo, record.data(), &size), 0);
  EXPECT_EQ(size, 120u);
}

TEST_F(BlobBufferTest, OverwritesAreSavedAndTruncatingToZeroFreesTheChain) {
  ASSERT_EQ(list.OpenBlob(memo, record.data(), 1, 2), 0);
  std::vector<uint8_t> value(1000, 'a');
  list.WriteBlob(memo, record.data(), 1000, value.data(), 0);
  auto stored = Post();
  const uint32_t first = GetU32(stored.data(), memo.Offset + 1);
  EXPECT_NE(first, 0u);
  // Same size, new bytes: still written.
  std::vector<uint8_t> b(10, 'b');
  list.WriteBlob(memo, record.data(), 10, b.data(), 0);
  stored = Post();
  std::vector<uint8_t> back;
  ASSERT_TRUE(blobs.ReadValue(first, GetU32(stored.data(), memo.Offset + 5), back));
  EXPECT_EQ(back[0], 'b');
  EXPECT_EQ(back[999], 'a');
  list.TruncateBlob(memo, record.data(), 0);
  stored = Post();
  EXPECT_EQ(GetU32(stored.data(), memo.Offset + 1), 0u);
  EXPECT_EQ(blobs.FreeHead(), first + 2 * 512);  // all three blocks went to the free list
}

}  // namespace
}  // namespace tovenmarsh::engine
