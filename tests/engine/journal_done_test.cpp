// A journal of finished operations (old bytes, new content and a commit record, synced once
// before any write): found after a crash, every finished operation is made again in order and an
// unfinished last one undone, whatever part of their writes the files lost; the mark after an
// operation's writes tells that nothing needs repair, in this boot only; a failed operation is
// cancelled even after its commit record; records that a lost emptying left behind do not count.
// A writer killed at the sync of its journal, at each of its single-row inserts, leaves the table
// with that insert made.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/io/file_handler.h"
#include "engine/store/journal.h"
#include "platform/file_names.h"
#include "platform/file_system.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

namespace fs = std::filesystem;

class JournalDoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    file_ = std::make_unique<TFileHandler>(scratch_ / "d.dat");
    file_->CreateFile();
    Put(0, kBefore);
  }
  void TearDown() override {
    file_.reset();
    EngineStop();
  }

  std::string Content() {
    std::string s(static_cast<size_t>(file_->GetSize()), '\0');
    file_->Seek(0);
    file_->Read(s.data(), static_cast<int64_t>(s.size()));
    return s;
  }
  // The file as a crash of the system may leave it.
  void SetContent(const std::string& bytes) {
    Put(0, bytes);
    file_->Seek(static_cast<int64_t>(bytes.size()));
    file_->Write(nullptr, 0);
  }
  void Put(int64_t at, const std::string& text) {
    file_->Seek(at);
    file_->Write(text.data(), static_cast<int64_t>(text.size()));
  }
  // One operation that knows its writes: journaled, committed, written, marked.
  void Finish(TTableJournal& j, int64_t at, const std::string& text, bool mark = true) {
    {
      TFileAccess access(*file_);
      j.Save(0, *file_, at, static_cast<int64_t>(text.size()));
    }
    j.Complete({{0, at, static_cast<int64_t>(text.size()), reinterpret_cast<const uint8_t*>(text.data())}});
    Put(at, text);
    if (mark) j.Commit({});
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::array<TFileHandler*, TTableJournal::kFileCount> Files() { return {file_.get(), nullptr, nullptr}; }

  static constexpr const char* kBefore = "0123456789";
  testing::ScratchDir scratch_;
  const std::string name_ = scratch_ / "d.JNL";
  const std::string path_ = platform::ResolveFilePath(name_);
  std::unique_ptr<TFileHandler> file_;
};

TEST_F(JournalDoneTest, FinishedOperationsAreMadeAgainAndAnUnfinishedOneIsUndone) {
  TTableJournal j(name_);
  Finish(j, 2, "abc");
  Finish(j, 10, "XYZ");  // an append
  // The last operation writes as it goes, each write journaled first, and never ends.
  file_->Seek(5);
  j.BeforeWrite(0, *file_, 2);
  Put(5, "--");
  const std::string journal = ReadFile(path_);
  const std::string expected = "01abc56789XYZ";

  struct TCase {
    const char* what;
    std::string files;  // as the crash left them
  };
  const TCase cases[] = {
      {"every write reached the disk", "01abc--789XYZ"},
      {"the first operation's write was lost", "01234--789XYZ"},
      {"the append was lost", "01abc--789"},
      {"every write was lost", kBefore},
      {"only the unfinished write was lost", "01abc56789XYZ"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetContent(c.files);
    WriteFile(path_, journal);
    TTableJournal found(name_);
    EXPECT_TRUE(found.Exists());
    EXPECT_TRUE(found.Rollback(Files()));
    EXPECT_EQ(Content(), expected);
    EXPECT_FALSE(found.Exists());
    EXPECT_FALSE(found.HasContent());
  }
}

TEST_F(JournalDoneTest, TheWrittenMarkTellsThatNothingNeedsRepairInThisBootOnly) {
  TTableJournal j(name_);
  const int64_t syncs = platform::FileOperationCount(platform::TFileFault::FileSync);
  Finish(j, 2, "abc", false);
  EXPECT_EQ(platform::FileOperationCount(platform::TFileFault::FileSync), syncs + 1) << "the commit point";
  // A writer that died before its mark: its operation may be half written.
  EXPECT_TRUE(TTableJournal(name_).Exists());
  j.Commit({});
  EXPECT_FALSE(TTableJournal(name_).Exists());
  EXPECT_TRUE(TTableJournal(name_).HasContent());
  Finish(j, 6, "de");
  j.Checkpoint();
  EXPECT_EQ(platform::FileOperationCount(platform::TFileFault::FileSync), syncs + 2) << "one per operation";
  EXPECT_FALSE(TTableJournal(name_).HasContent());
  EXPECT_FALSE(TTableJournal(name_).Exists());

  // After a restart of the system the cache that held the writes is gone: the operations are
  // made again.
  Finish(j, 2, "ABC");
  Finish(j, 10, "tail");
  EXPECT_FALSE(TTableJournal(name_).Exists());
  platform::SimulateNewBoot();
  SetContent("01abcde789");  // as synced by the checkpoint
  TTableJournal found(name_);
  EXPECT_TRUE(found.Exists());
  EXPECT_TRUE(found.Rollback(Files()));
  EXPECT_EQ(Content(), "01ABCde789tail");
}

TEST_F(JournalDoneTest, AnOperationThatFailsAfterItsCommitRecordIsUndoneAndTheOthersStand) {
  TTableJournal j(name_);
  Finish(j, 2, "abc");
  const std::string kept = Content();
  struct TCase {
    const char* what;
    bool written;  // the failure came after (some of) the file writes
  };
  for (const TCase& c : {TCase{"before the file writes", false}, TCase{"after the file writes", true}}) {
    SCOPED_TRACE(c.what);
    {
      TFileAccess access(*file_);
      j.Save(0, *file_, 0, 4);
      j.Save(0, *file_, 10, 2);
    }
    const std::string text = "WXYZ";
    j.Complete({{0, 0, 4, reinterpret_cast<const uint8_t*>(text.data())},
                {0, 10, 2, reinterpret_cast<const uint8_t*>(text.data())}});
    if (c.written) {
      Put(0, text);
      Put(10, "WX");
    }
    EXPECT_TRUE(j.Rollback(Files()));
    EXPECT_FALSE(j.Active());
    EXPECT_EQ(Content(), kept);
    EXPECT_FALSE(TTableJournal(name_).HasContent());
    // A later repair (the journal is gone) does not bring it back.
    EXPECT_FALSE(TTableJournal(name_).Rollback(Files()));
    EXPECT_EQ(Content(), kept);
    Finish(j, 2, "abc");  // the next case starts with a finished operation again
  }
  // One that reached nothing on disk leaves the journal alone.
  {
    TFileAccess access(*file_);
    j.Save(0, *file_, 0, 4);
  }
  EXPECT_FALSE(j.Rollback(Files()));
  EXPECT_TRUE(TTableJournal(name_).HasContent());
  EXPECT_FALSE(TTableJournal(name_).Exists());
}

// The old bytes of a completed operation reach the journal only when it fails: a repair cut
// short after that (the files as any crash may leave them) still undoes it when made again.
TEST_F(JournalDoneTest, AFailedOperationWhoseRepairWasCutShortIsUndoneByTheNextRepair) {
  TTableJournal j(name_);
  Finish(j, 2, "abc");
  const std::string kept = Content();
  {
    TFileAccess access(*file_);
    j.Save(0, *file_, 0, 4);
    j.Save(0, *file_, 10, 2);  // beyond the end: only the size is kept
  }
  const std::string text = "WXYZ";
  j.Complete({{0, 0, 4, reinterpret_cast<const uint8_t*>(text.data())},
              {0, 10, 2, reinterpret_cast<const uint8_t*>(text.data())}});
  Put(0, text);
  Put(10, "WX");
  // The cancel reaches the journal; the repair's first write fails.
  platform::InjectFileFault(platform::TFileFault::Write, 1, 1, scratch_.Path());
  EXPECT_THROW(j.Rollback(Files()), EFenEngineError);
  platform::InjectFileFault(platform::TFileFault::Write, 0);
  const std::string journal = ReadFile(path_);
  for (const std::string& files : {Content(), kept, std::string("WXYZ456789"), std::string("01abc56789WX")}) {
    SCOPED_TRACE(files);
    SetContent(files);
    WriteFile(path_, journal);
    TTableJournal found(name_);
    EXPECT_TRUE(found.Exists());
    EXPECT_TRUE(found.Rollback(Files()));
    EXPECT_EQ(Content(), kept);
    EXPECT_FALSE(found.HasContent());
  }
}

TEST_F(JournalDoneTest, RecordsThatALostEmptyingLeftBehindDoNotCount) {
  TTableJournal j(name_);
  for (const char* text : {"AAA", "BBB", "CCC", "DDD"}) Finish(j, 2, text);
  const std::string older = ReadFile(path_);
  j.Checkpoint();
  EXPECT_FALSE(TTableJournal(name_).Exists());
  // Written over the emptied journal's records, an operation without its mark is found.
  Finish(j, 2, "eee", false);
  EXPECT_TRUE(TTableJournal(name_).Exists());
  j.Commit({});
  EXPECT_FALSE(TTableJournal(name_).Exists());
  const std::string newer = ReadFile(path_);
  // The new journal is written over the older one from its start (the older records follow it
  // as they are); were the journal cut instead, and the cut lost, they would follow it too.
  ASSERT_LE(newer.size(), older.size());
  WriteFile(path_, newer + older.substr(newer.size()));
  platform::SimulateNewBoot();
  SetContent("01DDD56789");  // as synced by the checkpoint
  TTableJournal found(name_);
  EXPECT_TRUE(found.Exists());
  EXPECT_TRUE(found.Rollback(Files()));
  EXPECT_EQ(Content(), "01eee56789");
}

// A journal left by a crash of an earlier version is still applied. Magic "TMJNL001" (old
// bytes, and for a completed operation the hashes of its new content, checksums without salt):
// undone unless it is complete and the files hold all of its new content. "TMJNL002" (FNV-1a
// checksums over a salt): its committed operations are made again, an open one undone.
TEST_F(JournalDoneTest, AJournalOfTheEarlierLayoutIsStillApplied) {
  auto fnv32 = [](const std::string& b) {
    uint32_t h = 2166136261u;
    for (unsigned char c : b) h = (h ^ c) * 16777619u;
    return h;
  };
  auto fnv64 = [](const std::string& b) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : b) h = (h ^ c) * 1099511628211ull;
    return h;
  };
  auto le = [](uint64_t v, int n) {
    std::string b;
    for (int i = 0; i < n; ++i) b += static_cast<char>((v >> (8 * i)) & 0xFF);
    return b;
  };
  auto record = [&](int kind, int64_t offset, const std::string& payload, uint32_t length) {
    std::string r = std::string(1, static_cast<char>(kind)) + std::string(1, '\0') + le(static_cast<uint64_t>(offset), 8) +
                    le(length, 4) + payload;
    return r + le(fnv32(r), 4);
  };
  // Bytes 2..4 ("234") changed to "abc".
  const std::string open = "TMJNL001" + record(1, 10, "", 0) + record(2, 2, "234", 3);
  const std::string complete = open + record(3, 2, le(fnv64("abc"), 8), 3) + record(4, 0, "", 0);
  // The layout after it ("TMJNL002"): salted checksums, old bytes and the new content itself.
  const std::string salt = le(0x1234567890ABCDEFull, 8);
  auto salted = [&](int kind, int64_t offset, const std::string& payload, uint32_t length) {
    std::string r = std::string(1, static_cast<char>(kind)) + std::string(1, '\0') + le(static_cast<uint64_t>(offset), 8) +
                    le(length, 4) + payload;
    return r + le(fnv32(salt + r), 4);
  };
  const std::string open2 = "TMJNL002" + salt + salted(1, 10, "", 0) + salted(2, 2, "234", 3);
  const std::string committed2 = open2 + salted(5, 2, "abc", 3) + salted(6, 0, "", 0);
  struct TCase {
    const char* what;
    std::string journal;
    std::string files;
    std::string expected;
  };
  const TCase cases[] = {
      {"open: undone", open, "01abc56789", kBefore},
      {"complete, the files hold it: kept", complete, "01abc56789", "01abc56789"},
      {"complete, the files lack it: undone", complete, "01ab456789", kBefore},
      {"salted, open: undone", open2, "01abc56789", kBefore},
      {"salted, committed, the files lack it: made again", committed2, "01ab456789", "01abc56789"},
      {"salted, torn after the commit: made again", committed2 + salted(2, 5, "5", 1).substr(0, 9), kBefore,
       "01abc56789"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    SetContent(c.files);
    WriteFile(path_, c.journal);
    TTableJournal found(name_);
    EXPECT_TRUE(found.Exists());
    EXPECT_TRUE(found.Rollback(Files()));
    EXPECT_EQ(Content(), c.expected);
    EXPECT_FALSE(found.HasContent());
  }
}

// ---- a writer killed at the sync of its journal ----

constexpr int kInserts = 6;

// The child: inserts keys 1..kInserts one by one into "t" in $TM_DONE_CHILD_DIR (under strace,
// which kills it at one of its data syncs: each insert makes one, of its journal).
TEST(JournalDoneChild, Run) {
  const char* dir = std::getenv("TM_DONE_CHILD_DIR");
  if (!dir) GTEST_SKIP() << "run by JournalDoneKillTest.AWriterKilledAtTheSyncOfItsJournalKeepsItsInsert";
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("child", dir);
  {
    TDataCursor c(d);
    c.SetTableName("t");
    c.Open();
    for (int32_t k = 1; k <= kInserts; ++k) testing::InsertKeyValue(c, k, 10 * k);
    c.Close();
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

class JournalDoneKillTest : public testing::EngineDirectoryTest {};

TEST_F(JournalDoneKillTest, AWriterKilledAtTheSyncOfItsJournalKeepsItsInsert) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  for (int kill = 1; kill <= kInserts; ++kill) {
    SCOPED_TRACE("killed at data sync " + std::to_string(kill));
    const std::string table = "t";
    const std::string dir = scratch_ / ("run" + std::to_string(kill));
    fs::create_directories(dir);
    {
      TDataDirectory* d = session_->OpenDirectory("run", dir);
      TDataTable* t = nullptr;
      ASSERT_EQ(d->CreateTable(table, false, false, testing::KeyValueDefinition(), &t), 0);
      ASSERT_EQ(d->CloseTable(t), 0);
      session_->CloseDirectory(d);
    }
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("TM_DONE_CHILD_DIR", dir.c_str(), 1);
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker cannot run under ptrace
      const std::string self = fs::read_symlink("/proc/self/exe").string();
      const std::string inject = "inject=fdatasync:signal=KILL:when=" + std::to_string(kill);
      execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", "trace=fdatasync", "-e", inject.c_str(), self.c_str(),
             "--gtest_filter=JournalDoneChild.Run", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child was not killed: " << status;
    // The journal of the killed insert was written before its sync (the system's cache has it):
    // a new user makes the insert.
    TDataDirectory* d = session_->OpenDirectory("run", dir);
    {
      TDataCursor c(d);
      c.SetTableName(table);
      c.Open();
      c.Table()->Data().VerifyHeader();
      c.Table()->Index().Verify(c.Table()->Data().Fields());
      EXPECT_EQ(c.GetRecordCount(), kill);
      std::vector<uint8_t> r(c.GetRecordSize());
      for (int32_t k = 1; k <= kInserts; ++k) EXPECT_EQ(testing::FindKeyValue(c, k, r), k <= kill) << k;
      c.Close();
    }
    session_->CloseDirectory(d);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
