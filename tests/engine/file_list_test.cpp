// The file list seen through handlers: one shared file and one descriptor per physical file,
// sharing and exclusive opens (in this process and from a second one), byte-range locks between
// handlers, memory and temporary files, names without regard to case, rename and delete rules.
#include "engine/io/file_list.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "engine/base/engine_error.h"
#include "engine/io/file_handler.h"
#include "engine/io/file_memory.h"
#include "engine/io/file_physical.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::DescriptorsOn;
using testing::InChild;
using testing::RaisedCode;
using testing::ScratchDir;

class FileListTest : public ::testing::Test {
 protected:
  // A handler on the test's own list.
  std::unique_ptr<TFileHandler> Handler(const std::string& name, bool memory = false) {
    return std::make_unique<TFileHandler>(name, memory, &list_);
  }
  std::unique_ptr<TFileHandler> Created(const std::string& name, bool memory = false,
                                        const std::string& content = {}) {
    auto handler = Handler(name, memory);
    handler->CreateFile();
    if (!content.empty()) handler->Write(content.data(), static_cast<int64_t>(content.size()));
    handler->Close();
    return handler;
  }
  std::string ReadAll(TFileHandler& handler) {
    std::string content(static_cast<size_t>(handler.GetSize()), '\0');
    handler.Seek(0);
    handler.Read(content.data(), static_cast<int64_t>(content.size()));
    return content;
  }

  ScratchDir dir_;
  TFileList list_;
};

TEST_F(FileListTest, OneSharedFileAndOneDescriptorPerPhysicalFile) {
  dir_.Put("t.dat", "0123456789");
  // Three spellings of one name, as the engine's tables and cursors might use them.
  auto a = Handler(dir_ / "T.DAT");
  auto b = Handler(dir_ / "t.dat");
  auto c = Handler(" " + dir_.Path() + "\\t.Dat ");
  a->Open();
  b->Open();
  c->Open();
  EXPECT_EQ(a->SharedFile(), b->SharedFile());
  EXPECT_EQ(a->SharedFile(), c->SharedFile());
  EXPECT_EQ(list_.Count(), 1u);
  EXPECT_EQ(DescriptorsOn(dir_ / "t.dat"), 1);
  std::set<int32_t> numbers{a->HandleNumber(), b->HandleNumber(), c->HandleNumber()};
  EXPECT_EQ(numbers, (std::set<int32_t>{1, 2, 3}));
  EXPECT_EQ(a->SharedFile()->OpenCount(), 3);

  // Every handle keeps its own position.
  char x[3] = {};
  a->Seek(2);
  b->Seek(7);
  a->Read(x, 3);
  EXPECT_EQ(std::string(x, 3), "234");
  b->Read(x, 3);
  EXPECT_EQ(std::string(x, 3), "789");
  c->Read(x, 3);
  EXPECT_EQ(std::string(x, 3), "012");

  a->Close();
  b->Close();
  EXPECT_EQ(DescriptorsOn(dir_ / "t.dat"), 1);
  c->Close();
  EXPECT_EQ(DescriptorsOn(dir_ / "t.dat"), 0);
  EXPECT_EQ(list_.Count(), 1u);  // remembered for the next open
  b->Open();
  EXPECT_EQ(b->HandleNumber(), 1);
}

TEST_F(FileListTest, ExclusiveOpensAreRefusedInProcess) {
  const struct {
    bool firstExclusive, secondExclusive;
    int expected;
  } cases[] = {
      {false, false, 0},
      {true, false, 11013},
      {false, true, 11013},
      {true, true, 11013},
  };
  dir_.Put("t.dat", "x");
  Created("m.dat", true, "x");
  for (bool memory : {false, true}) {
    const std::string name = memory ? "M.DAT" : dir_ / "T.dat";
    for (const auto& c : cases) {
      auto first = Handler(name, memory);
      auto second = Handler(name, memory);
      first->SetExclusive(c.firstExclusive);
      second->SetExclusive(c.secondExclusive);
      first->Open();
      std::string table;
      EXPECT_EQ(RaisedCode([&] { second->Open(); }, &table), c.expected)
          << memory << c.firstExclusive << c.secondExclusive;
      if (c.expected != 0) {
        EXPECT_EQ(table, name);  // the handler's own spelling names the table
        EXPECT_FALSE(second->IsOpen());
      }
      // Create, rename and delete of an open file are refused as well.
      auto third = Handler(name, memory);
      EXPECT_EQ(RaisedCode([&] { third->CreateFile(); }), 11013);
      EXPECT_EQ(RaisedCode([&] { third->RenameFile(memory ? "n.dat" : dir_ / "n.dat"); }), 11013);
      EXPECT_EQ(RaisedCode([&] { third->DeleteFile(); }), 11013);
    }
  }
  EXPECT_EQ(dir_.Get("t.dat"), "x");
}

TEST_F(FileListTest, ExclusiveOpenIsRefusedFromASecondProcess) {
  dir_.Put("t.dat", "data");
  auto handler = Handler(dir_ / "t.dat");
  handler->SetExclusive(true);
  handler->Open();
  const std::string name = dir_ / "T.DAT";
  // The child reopens the file through a file list of its own, as another process would.
  auto refusals = [&](bool exclusive) {
    return InChild([&] {
      TFileList own;
      int bits = 0;
      TFileHandler other(name, false, &own);
      other.SetExclusive(exclusive);
      if (RaisedCode([&] { other.Open(); }) == 11013) bits |= 1;
      if (RaisedCode([&] { other.CreateFile(); }) == 11013) bits |= 2;
      if (RaisedCode([&] { other.DeleteFile(); }) == 11013) bits |= 4;
      if (RaisedCode([&] { other.RenameFile(name + ".x"); }) == 11013) bits |= 8;
      return bits;
    });
  };
  EXPECT_EQ(refusals(false), 15);
  EXPECT_EQ(refusals(true), 15);
  EXPECT_EQ(dir_.Get("t.dat"), "data");

  // A shared opening here refuses only exclusive opens there.
  handler->Close();
  handler->SetExclusive(false);
  handler->Open();
  EXPECT_EQ(InChild([&] {
              TFileList own;
              TFileHandler shared(name, false, &own);
              TFileHandler exclusive(name, false, &own);
              exclusive.SetExclusive(true);
              shared.Open();
              shared.Close();
              return RaisedCode([&] { exclusive.Open(); }) == 11013 ? 0 : 1;
            }),
            0);
  handler->Close();
  EXPECT_EQ(InChild([&] {
              TFileList own;
              TFileHandler exclusive(name, false, &own);
              exclusive.SetExclusive(true);
              exclusive.Open();
              return 0;
            }),
            0);
}

TEST_F(FileListTest, LocksConflictBetweenHandlersWhicheverTookThem) {
  dir_.Put("t.dat", "x");
  Created("m.dat", true);
  for (bool memory : {false, true}) {
    const std::string name = memory ? "m.dat" : dir_ / "t.dat";
    auto a = Handler(name, memory);
    auto b = Handler(name, memory);
    EXPECT_FALSE(a->LockRange(0, 1, true));  // no file held
    a->Open();
    b->Open();
    EXPECT_TRUE(a->LockRange(0x7FFF0000, 0xFFFF, true));
    EXPECT_FALSE(b->LockRange(0x7FFFFFFF - 17, 1, true));  // a user byte inside a's region
    EXPECT_FALSE(a->LockRange(0x7FFFFFFF - 17, 1, true));  // the same handler conflicts too
    EXPECT_TRUE(b->LockRange(2147483647, 1, true));
    EXPECT_FALSE(b->LockRange(0x7FFF0000, 0xFFFE, false));  // not an exact range
    EXPECT_TRUE(b->LockRange(0x7FFF0000, 0xFFFF, false));   // any handler may release it
    EXPECT_TRUE(a->LockRange(0x7FFFFFFF - 17, 1, true));
    EXPECT_EQ(a->SharedFile()->LockCount(), 2u);
    a->Close();
    b->Close();
    // Locks do not outlive the file's last handle.
    a->Open();
    EXPECT_EQ(a->SharedFile()->LockCount(), 0u);
    EXPECT_TRUE(a->LockRange(2147483647, 1, true));
    a->Close();
  }
}

TEST_F(FileListTest, LocksConflictWithASecondProcess) {
  dir_.Put("t.dat", "x");
  auto handler = Handler(dir_ / "t.dat");
  handler->Open();
  ASSERT_TRUE(handler->LockRange(2147483646 - 5, 1, true));
  const std::string name = dir_ / "t.dat";
  EXPECT_EQ(InChild([&] {
              TFileList own;
              TFileHandler other(name, false, &own);
              other.Open();
              if (other.LockRange(2147483646 - 5, 1, true)) return 1;
              if (!other.LockRange(2147483646 - 6, 1, true)) return 2;
              return 0;
            }),
            0);
}

TEST_F(FileListTest, MemoryFilesKeepTheirContentUnlessTemporary) {
  Created("keep.dat", true, "kept bytes");
  EXPECT_TRUE(list_.Exists("KEEP.DAT", true));
  EXPECT_FALSE(list_.Exists(dir_ / "keep.dat", false));  // kinds are separate
  EXPECT_FALSE(dir_.Has("keep.dat"));
  auto again = Handler("Keep.Dat", true);
  again->Open();
  EXPECT_EQ(ReadAll(*again), "kept bytes");
  again->Close();

  auto temporary = Handler("temp.dat", true);
  temporary->SetTemporary(true);
  temporary->CreateFile();
  temporary->Write("gone", 4);
  temporary->Close();
  EXPECT_FALSE(list_.Exists("temp.dat", true));
  EXPECT_EQ(RaisedCode([&] { temporary->Open(); }), 11010);

  // A memory file opened temporary is dropped at its last close as well.
  auto opened = Handler("keep.dat", true);
  opened->SetTemporary(true);
  opened->Open();
  opened->Close();
  EXPECT_FALSE(list_.Exists("keep.dat", true));
}

TEST_F(FileListTest, TemporaryDiskFilesVanish) {
  auto created = Handler(dir_ / "run0.TMP");
  created->SetTemporary(true);
  created->CreateFile();
  created->Write("run", 3);
  EXPECT_TRUE(dir_.Has("run0.tmp"));
  created->Close();
  EXPECT_FALSE(dir_.Has("run0.tmp"));
  EXPECT_EQ(list_.Count(), 0u);

  dir_.Put("result.dat", "rows");
  auto opened = Handler(dir_ / "result.dat");
  auto second = Handler(dir_ / "result.dat");
  opened->SetTemporary(true);
  opened->Open();
  second->Open();
  opened->Close();
  EXPECT_TRUE(dir_.Has("result.dat"));  // a handle remains
  second->Close();
  EXPECT_FALSE(dir_.Has("result.dat"));

  // Not while another process still holds it open.
  dir_.Put("shared.dat", "rows");
  int ready[2];
  int done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const std::string name = dir_ / "shared.dat";
  const pid_t pid = fork();
  if (pid == 0) {
    TFileList own;
    TFileHandler holder(name, false, &own);
    holder.Open();
    char byte = 1;
    (void)!write(ready[1], &byte, 1);
    (void)!read(done[0], &byte, 1);
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  auto temp = Handler(name);
  temp->SetTemporary(true);
  temp->Open();
  temp->Close();
  EXPECT_TRUE(dir_.Has("shared.dat"));
  (void)!write(done[1], &byte, 1);
  waitpid(pid, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

TEST_F(FileListTest, NamesAreLookedUpWithoutRegardToCase) {
  auto handler = Created(dir_ / "Account.DAT", false, "rows");
  EXPECT_TRUE(dir_.Has("account.dat"));  // the canonical spelling on disk
  EXPECT_EQ(dir_.Entries(), 1u);
  for (const char* spelling : {"account.dat", "ACCOUNT.DAT", "aCCOUNT.dat"})
    EXPECT_TRUE(list_.Exists(dir_ / spelling, false)) << spelling;
  auto index = Created(dir_ / "account.IDX");
  EXPECT_TRUE(dir_.Has("account.idx"));

  // A file written by someone else under another spelling is found without being listed.
  dir_.Put("WORDS.DAT", "w");
  TFileList fresh;
  EXPECT_TRUE(fresh.Exists(dir_ / "words.dat", false));
  TFileHandler words(dir_ / "words.dat", false, &fresh);
  words.Open();
  EXPECT_EQ(ReadAll(words), "w");
  words.Close();
  words.RenameFile(dir_ / "Words2.dat");
  EXPECT_TRUE(dir_.Has("words2.dat"));
  EXPECT_FALSE(dir_.Has("WORDS.DAT"));
  TFileHandler(dir_ / "WORDS2.DAT", false, &fresh).DeleteFile();
  EXPECT_FALSE(dir_.Has("words2.dat"));
}

TEST_F(FileListTest, RenameNeverReplacesAnExistingFile) {
  Created(dir_ / "a.dat", false, "A");
  Created(dir_ / "b.dat", false, "B");
  auto a = Handler(dir_ / "a.dat");
  std::string table;
  EXPECT_EQ(RaisedCode([&] { a->RenameFile(dir_ / "B.DAT"); }, &table), 11047);
  EXPECT_EQ(table, dir_ / "a.dat");  // the old name is reported
  EXPECT_EQ(dir_.Get("b.dat"), "B");
  EXPECT_EQ(a->FileName(), dir_ / "a.dat");
  a->RenameFile(dir_ / "c.dat");
  EXPECT_EQ(a->FileName(), dir_ / "c.dat");
  EXPECT_EQ(dir_.Get("c.dat"), "A");
  a->Open();
  EXPECT_EQ(ReadAll(*a), "A");
  a->Close();

  // An unlisted disk file is renamed on disk.
  dir_.Put("d.dat", "D");
  Handler(dir_ / "d.dat")->RenameFile(dir_ / "e.dat");
  EXPECT_EQ(dir_.Get("e.dat"), "D");

  // Memory files: the stored name changes; another memory file's name is refused.
  Created("m1.dat", true, "1");
  Created("m2.dat", true, "2");
  auto m1 = Handler("m1.dat", true);
  EXPECT_EQ(RaisedCode([&] { m1->RenameFile("M2.DAT"); }), 11047);
  m1->RenameFile("m3.dat");
  EXPECT_FALSE(list_.Exists("m1.dat", true));
  m1->Open();
  EXPECT_EQ(ReadAll(*m1), "1");
  m1->Close();
  EXPECT_EQ(RaisedCode([&] { Handler("none.dat", true)->RenameFile("x.dat"); }), 11010);
  EXPECT_EQ(RaisedCode([&] { Handler(dir_ / "none.dat")->RenameFile(dir_ / "x.dat"); }), 11010);
}

TEST_F(FileListTest, DeleteAndCreateRules) {
  Created(dir_ / "a.dat", false, "A");
  Handler(dir_ / "A.dat")->DeleteFile();
  EXPECT_FALSE(dir_.Has("a.dat"));
  EXPECT_FALSE(list_.Exists(dir_ / "a.dat", false));
  dir_.Put("b.dat", "B");
  Handler(dir_ / "b.dat")->DeleteFile();  // unlisted
  EXPECT_FALSE(dir_.Has("b.dat"));
  EXPECT_EQ(RaisedCode([&] { Handler(dir_ / "b.dat")->DeleteFile(); }), 11010);
  EXPECT_EQ(RaisedCode([&] { Handler("b.dat", true)->DeleteFile(); }), 11010);
  Created("m.dat", true, "M");
  Handler("m.dat", true)->DeleteFile();
  EXPECT_FALSE(list_.Exists("m.dat", true));

  // A name needs a base; a missing file cannot be opened.
  for (const std::string& name : {std::string("  "), dir_ / ".DAT", dir_.Path() + "/ .dat"})
    EXPECT_EQ(RaisedCode([&] { Handler(name)->CreateFile(); }), 11010) << name;
  EXPECT_EQ(RaisedCode([&] { Handler(dir_ / "missing.dat")->Open(); }), 11010);
  EXPECT_EQ(RaisedCode([&] { Handler("missing.dat", true)->Open(); }), 11010);
  EXPECT_EQ(RaisedCode([&] { Handler(dir_ / "nodir/x.dat")->CreateFile(); }), 11010);

  // Creating empties an existing file of either kind.
  for (bool memory : {false, true}) {
    const std::string name = memory ? "c.dat" : dir_ / "c.dat";
    Created(name, memory, "old content");
    auto handler = Created(name, memory);
    handler->Open();
    EXPECT_EQ(handler->GetSize(), 0) << memory;
    handler->Close();
  }
}

TEST_F(FileListTest, EngineListAndUniversalNames) {
  FreeEngineFileList();
  TFileHandler handler(dir_ / "x.dat");
  EXPECT_EQ(RaisedCode([&] { handler.CreateFile(); }), 10758);
  EXPECT_FALSE(EngineFileExists(dir_ / "x.dat", false));
  CreateEngineFileList();
  handler.CreateFile();
  EXPECT_TRUE(EngineFileExists(dir_ / "X.DAT", false));
  EXPECT_EQ(EngineFileList()->Count(), 1u);
  handler.Close();
  FreeEngineFileList();
  EXPECT_EQ(GetUniversalName(dir_.Path()), "");
}

TEST_F(FileListTest, UniqueFileNamesSkipTakenNamesAndAreReserved) {
  const std::string stem = std::to_string(gettid()).substr(0, 5);
  dir_.Put(stem + "0.TMP", "");  // taken on disk, in another case
  TAbstractFile* file = nullptr;
  ASSERT_GT(list_.CreateFile(dir_ / (stem + "1.tmp"), false, false, file), 0);  // listed
  const std::string name = MakeUniqueFileName(list_, dir_.Path(), ".TMP", false);
  EXPECT_EQ(name, dir_.Path() + "/" + stem + "2.TMP");
  EXPECT_TRUE(dir_.Has(stem + "2.tmp"));  // reserved at once
  EXPECT_EQ(MakeUniqueFileName(list_, dir_.Path() + "/", ".TMP", false),
            dir_.Path() + "/" + stem + "3.TMP");
  // The caller then creates its file over the reservation.
  TFileHandler run(name, false, &list_);
  run.CreateFile();
  run.Close();

  EXPECT_EQ(MakeUniqueFileName(list_, "", ".DAT", true), stem + "0.DAT");
  EXPECT_EQ(MakeUniqueFileName(list_, "", ".DAT", true), stem + "1.DAT");
  EXPECT_TRUE(list_.Exists(stem + "0.dat", true));
  // A directory that cannot hold files gives the first candidate; creating it reports why.
  EXPECT_EQ(MakeUniqueFileName(list_, dir_ / "nodir", ".TMP", false),
            dir_ / ("nodir/" + stem + "0.TMP"));
  list_.Close(file, false, 1);
}

}  // namespace
}  // namespace tovenmarsh::engine
