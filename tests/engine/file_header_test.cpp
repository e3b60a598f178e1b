// Header blocks of the index and BLOB files, which share one routine: the stored bytes of a new,
// a written and an encrypted header, and the check for other users' writes, on disk and in memory
// alike. Another user is a second file object on the same file (another table, as another
// session or process opens it).
#include "engine/io/file_header.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/store/blob_file.h"
#include "engine/io/file_list.h"
#include "engine/store/index_file.h"
#include "engine/format/key_encoding.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

class TOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return false; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return encrypted; }
  void MarkFilesWritten() override { ++written; }
  bool ChangedOnDisk() override { return false; }
  bool encrypted = false;
  int written = 0;
};

// One kind of header file, as the test drives it.
struct TKind {
  const char* Name;
  uint32_t Size;
  uint32_t ModifiedOffset;
  std::function<std::unique_ptr<TFileHandler>(TOwner*, const std::string&, bool, TFileList*)> Make;
  std::function<void(TFileHandler&)> Create, ReadHeader, MarkChanged;
  std::function<void(TFileHandler&, bool)> WriteHeader;
  std::function<bool(TFileHandler&)> HeaderChanged;
  std::function<uint32_t(TFileHandler&)> Counter;
  std::function<void(uint8_t*)> NewHeader;
};

TIndexFile& Idx(TFileHandler& f) { return static_cast<TIndexFile&>(f); }
TBlobFile& Blb(TFileHandler& f) { return static_cast<TBlobFile&>(f); }

const TKind kKinds[] = {
    {"Index", index_format::kHeaderSize, index_format::kHeaderModified.Offset,
     [](TOwner* o, const std::string& n, bool m, TFileList* l) -> std::unique_ptr<TFileHandler> {
       return std::make_unique<TIndexFile>(o, n, m, l);
     },
     [](TFileHandler& f) { Idx(f).CreateFile(); }, [](TFileHandler& f) { Idx(f).ReadHeader(); },
     [](TFileHandler& f) { Idx(f).MarkChanged(); }, [](TFileHandler& f, bool force) { Idx(f).WriteHeader(force); },
     [](TFileHandler& f) { return Idx(f).HeaderChanged(); }, [](TFileHandler& f) { return Idx(f).UpdateCounter(); },
     [](uint8_t* h) { index_format::MakeNewHeader(h); }},
    {"Blob", blob_format::kHeaderSize, blob_format::kHeaderModified.Offset,
     [](TOwner* o, const std::string& n, bool m, TFileList* l) -> std::unique_ptr<TFileHandler> {
       return std::make_unique<TBlobFile>(o, n, 512, m, l);
     },
     [](TFileHandler& f) { Blb(f).CreateFile(); }, [](TFileHandler& f) { Blb(f).ReadHeader(); },
     [](TFileHandler& f) { Blb(f).MarkChanged(); }, [](TFileHandler& f, bool force) { Blb(f).WriteHeader(force); },
     [](TFileHandler& f) { return Blb(f).HeaderChanged(); }, [](TFileHandler& f) { return Blb(f).UpdateCounter(); },
     [](uint8_t* h) { blob_format::MakeNewHeader(h); }},
};

std::vector<uint8_t> Stored(TFileHandler& f, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  f.ReadAt(0, bytes.data(), size);
  return bytes;
}

// Parameters: kind, memory, encrypted.
class FileHeaderTest : public ::testing::TestWithParam<std::tuple<int, bool, bool>> {
 protected:
  const TKind& Kind() const { return kKinds[std::get<0>(GetParam())]; }
  bool Memory() const { return std::get<1>(GetParam()); }
  bool Encrypted() const { return std::get<2>(GetParam()); }
  std::unique_ptr<TFileHandler> Make(TOwner& owner) {
    return Kind().Make(&owner, Memory() ? std::string("H.FIL") : dir_ / "H.FIL", Memory(), &list_);
  }
  std::vector<uint8_t> Expected(std::vector<uint8_t> plain) const {
    if (Encrypted())
      EncryptBlock(plain.data(), static_cast<uint16_t>(plain.size()), index_format::kIndexKey1, index_format::kIndexKey2);
    return plain;
  }

  testing::ScratchDir dir_;
  TFileList list_;
};

TEST_P(FileHeaderTest, StoredBytesAndOtherUsersWrites) {
  const TKind& kind = Kind();
  TOwner mine, theirs;
  mine.encrypted = theirs.encrypted = Encrypted();
  auto a = Make(mine);
  kind.Create(*a);
  // A new file: the new header as it stands (scrambled when encrypted), counter unchanged.
  std::vector<uint8_t> plain(kind.Size);
  kind.NewHeader(plain.data());
  EXPECT_EQ(Stored(*a, kind.Size), Expected(plain));
  const uint32_t start = kind.Counter(*a);
  a->Close();
  a->SetExclusive(false);
  a->Open();
  kind.ReadHeader(*a);
  auto b = Make(theirs);
  b->Open();
  kind.ReadHeader(*b);
  EXPECT_FALSE(kind.HeaderChanged(*a));
  // A change counted in memory only is nobody else's write.
  kind.MarkChanged(*b);
  EXPECT_FALSE(kind.HeaderChanged(*a));
  // Their write: counter + 1 on disk, the modified flag written as the copy holds it (set).
  kind.WriteHeader(*b, false);
  std::vector<uint8_t> written = plain;
  PutU32(written.data(), 0, start + 2);
  written[kind.ModifiedOffset] = 1;
  EXPECT_EQ(Stored(*b, kind.Size), Expected(written));
  EXPECT_EQ(kind.Counter(*b), start + 2);
  EXPECT_TRUE(kind.HeaderChanged(*a));
  EXPECT_EQ(kind.Counter(*a), start + 2);
  EXPECT_FALSE(kind.HeaderChanged(*a));  // taken: no change since
  // Nothing to write: no write, no change for others.
  kind.WriteHeader(*b, false);
  EXPECT_FALSE(kind.HeaderChanged(*a));
  // Our own forced write is not a change of another user, theirs is.
  const int before = mine.written;
  kind.WriteHeader(*a, true);
  EXPECT_EQ(mine.written, before + 1);
  EXPECT_FALSE(kind.HeaderChanged(*a));
  EXPECT_TRUE(kind.HeaderChanged(*b));
  EXPECT_EQ(kind.Counter(*b), start + 3);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileHeaderTest,
                         ::testing::Combine(::testing::Values(0, 1), ::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(kKinds[std::get<0>(info.param)].Name) +
                                  (std::get<1>(info.param) ? "Memory" : "Disk") +
                                  (std::get<2>(info.param) ? "Encrypted" : "Plain");
                         });

}  // namespace
}  // namespace tovenmarsh::engine
