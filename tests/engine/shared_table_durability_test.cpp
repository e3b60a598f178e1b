// Durability and locking of shared tables as two users (two sessions, each with its own
// directory, table object and caches, as two processes have them) meet on one table: a commit
// that cannot take the writer lock, the journal that one user empties and another removes; and
// the names of a table's files: made, renamed (killed at each rename, under strace) and put to
// backup; and a lost index file beside a dead writer's journal.
//
// The comment above each test names the fault it guards against.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "file_test_support.h"
#include "table_test_support.h"

namespace {
std::atomic<int> gDirectorySyncs{0};
}  // namespace

// Counts the syncs of directories (the durability of a new file's name); files sync as before.
extern "C" int fsync(int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) ++gDirectorySyncs;
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace tovenmarsh::engine {
namespace {

using testing::Field;

class SharedTableDurabilityTest : public testing::TwoUsersTest {
 protected:
  void SetUp() override {
    TwoUsersTest::SetUp();
    for (TDataSession* s : sessions_) s->TableLockRetries = 3;  // a refused table lock is reported at once
    Create("t", testing::KeyValueDefinition());
  }
  TDataCursor& Open(int user) { return OpenAs(user, "t"); }
  static void Insert(TDataCursor& c, int32_t key) {
    std::vector<uint8_t> r(c.GetRecordSize());
    c.InitRecord(r.data());
    c.SetFieldData(1, r.data(), &key);
    c.SetFieldData(2, r.data(), &key);
    c.InsertRecord(r.data(), false);
  }
  // The size of a file of the database (its name upper-case, whatever its case on disk), -1
  // when absent.
  int64_t FileSize(const std::string& upper) const {
    for (const auto& e : std::filesystem::directory_iterator(scratch_.Path())) {
      std::string name = e.path().filename().string();
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (name == upper) return static_cast<int64_t>(e.file_size());
    }
    return -1;
  }
  int64_t JournalSize() const { return FileSize("T.JNL"); }
  // The records a fresh user finds in the files.
  int32_t CountOnDisk() {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    int32_t n = -1;
    {
      TDataCursor c(d);
      c.SetTableName("t");
      c.Open();
      n = c.GetRecordCount();
      c.Close();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    return n;
  }

};

// Fault: a commit whose writer lock is refused (another user holds a table lock) clears the
// table's transaction flag before the refusal, so the rollback that follows discards nothing; the
// transaction's changed records stay in the cache and the next change outside any transaction
// writes them: a transaction reported as failed is committed later.
TEST_F(SharedTableDurabilityTest, ARefusedCommitLeavesNothingForALaterWrite) {
  TDataCursor& writer = Open(0);
  TDataCursor& other = Open(1);
  directories_[0]->StartTransaction();
  Insert(writer, 1);
  other.Table()->LockTable();
  try {
    directories_[0]->Commit(true);
    FAIL() << "the commit took the writer lock past another user's table lock";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), kErrGeneralLock);
  }
  directories_[0]->Rollback();
  other.Table()->UnlockTable();
  EXPECT_EQ(writer.GetRecordCount(), 0) << "the failed transaction's record is still seen";
  Insert(writer, 2);
  EXPECT_EQ(CountOnDisk(), 1) << "the failed transaction's record reached the files";
}

// Fault: a journal object syncs the directory entry of its journal file only the first time it
// makes it; once another user of the table has removed the empty journal (at its close), the
// next change re-creates the file without syncing the directory, so after a power loss the
// table files may hold the change while the journal that would undo it has no name.
TEST_F(SharedTableDurabilityTest, AJournalMadeAgainAfterAnotherUserRemovedItIsSyncedIntoTheDirectory) {
  TDataCursor& writer = Open(0);
  TDataCursor& other = Open(1);
  Insert(writer, 1);
  ASSERT_GT(JournalSize(), 0);  // the insert's journal, kept for the next change
  other.Close();               // the other user leaves: the journal goes with it, its files synced
  ASSERT_EQ(JournalSize(), -1);
  gDirectorySyncs = 0;
  Insert(writer, 2);
  EXPECT_GE(gDirectorySyncs.load(), 1) << "the new journal's directory entry was never synced";
  EXPECT_EQ(CountOnDisk(), 2);
}

// Fault: opening a table takes a backup data file (.DBK) with no data file beside it for a
// restructure interrupted in its swap, without asking whether a restructure's work table is
// there: after RenameToBackup (or a kept backup and DeleteTable) the next open quietly renames
// the backups back, so the table the caller put away (or deleted) returns.
TEST_F(SharedTableDurabilityTest, ATableRenamedToItsBackupStaysAway) {
  {
    TDataCursor& writer = Open(0);
    Insert(writer, 1);
    writer.Close();
  }
  TDataCursor c(directories_[0]);
  c.SetTableName("t");
  c.RenameToBackup();
  ASSERT_FALSE(directories_[0]->TableExists("t.DAT", false));
  try {
    c.Open();
    c.Close();
    ADD_FAILURE() << "a table renamed to its backup opened under its old name";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), kErrInvalidPath);
  }
  EXPECT_FALSE(directories_[0]->TableExists("t.DAT", false)) << "the backup was renamed back";
}

// Fault: creating a table never syncs the directory (nor the new files), so the names of a new
// table's files are not durable: after a power loss the table may be gone, with the records
// committed into it since (the start-up then makes it anew, empty). The journal and the
// restructure swap do sync their directory entries.
TEST_F(SharedTableDurabilityTest, ACreatedTableHasItsNamesSynced) {
  TTableDefinition d;
  d.Data.Fields = {Field("Key", fldInt32)};
  d.Indexes = {IndexDesc{}};
  gDirectorySyncs = 0;
  TDataTable* t = nullptr;
  ASSERT_EQ(directories_[0]->CreateTable("fresh", false, false, d, &t), 0);
  ASSERT_EQ(directories_[0]->CloseTable(t), 0);
  EXPECT_GE(gDirectorySyncs.load(), 1);
}

// Fault: renaming a table renamed its files one by one (.DAT, .IDX, .BLB) with nothing to finish
// or undo the rest: killed between two renames, the table existed under neither name whole (the
// new name's data file opened with a new, empty index file, its index definitions lost; the old
// name kept the index file without its data file). Killed at each rename in turn (under strace),
// the table must open whole (its record, its index) under exactly one of its two names.
TEST_F(SharedTableDurabilityTest, ARenameKilledAtAnyRenameLeavesOneWholeTable) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  auto listing = [](const std::string& dir) {
    std::string files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.path().filename().string() + " ";
    for (char& c : files) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return files;
  };
  // Opens the table with a fresh user: 1 when whole, 0 when absent; anything else fails.
  auto opensWhole = [](const std::string& dir, const char* name) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", dir);
    int whole = 0;
    try {
      TDataCursor c(d);
      c.SetTableName(name);
      c.Open();
      EXPECT_FALSE(c.Table()->IndexDefinitionsLost()) << name;
      EXPECT_EQ(c.GetIndexCount(), 1) << name;
      EXPECT_EQ(c.GetRecordCount(), 1) << name;
      c.Close();
      whole = 1;
    } catch (const EFenEngineError& e) {
      EXPECT_EQ(e.Code(), kErrInvalidPath) << name << ": " << e.Message();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    return whole;
  };
  // The renames are .IDX, .BLB, .DAT: killed at each, and once past the last.
  for (int kill = 1; kill <= 4; ++kill) {
    SCOPED_TRACE("killed at rename " + std::to_string(kill));
    const std::string dir = scratch_.Path() + "/k" + std::to_string(kill);
    std::filesystem::create_directory(dir);
    {
      TDataSession* s = CreateEngineSession();
      TDataDirectory* d = s->OpenDirectory("db", dir);
      TTableDefinition def;
      def.Data.Fields = {Field("Key", fldInt32), Field("Memo", fldBlob)};
      IndexDesc primary;
      primary.Unique = true;
      primary.FieldCount = 1;
      primary.FieldNumbers[0] = 1;
      def.Indexes = {primary};
      TDataTable* t = nullptr;
      ASSERT_EQ(d->CreateTable("t", false, false, def, &t), 0);
      ASSERT_EQ(d->CloseTable(t), 0);
      {
        TDataCursor c(d);
        c.SetTableName("t");
        c.Open();
        std::vector<uint8_t> r(c.GetRecordSize());
        c.InitRecord(r.data());
        int32_t key = 7;
        c.SetFieldData(1, r.data(), &key);
        c.InsertRecord(r.data(), false);
        c.Close();
      }
      s->CloseDirectory(d);
      FreeEngineSession(s);
    }
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("TM_RENAME_CHILD_DIR", dir.c_str(), 1);
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker cannot run under ptrace
      const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
      const std::string inject = "inject=rename,renameat,renameat2:signal=KILL:when=" + std::to_string(kill);
      execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2", "-e",
             inject.c_str(), self.c_str(), "--gtest_filter=SharedTableRenameChild.Run", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    // The intent of the rename outlives a kill, and only a kill.
    const bool intentLeft = listing(dir).find("RNM") != std::string::npos;
    EXPECT_EQ(intentLeft, kill <= 3) << listing(dir);
    const int whole = opensWhole(dir, "t") + opensWhole(dir, "u");
    EXPECT_EQ(whole, 1) << "files: " << listing(dir);
    EXPECT_EQ(listing(dir).find("RNM"), std::string::npos) << listing(dir);
  }
}

// The child of the test above: renames "t" to "u" in $TM_RENAME_CHILD_DIR (under strace).
TEST(SharedTableRenameChild, Run) {
  const char* dir = std::getenv("TM_RENAME_CHILD_DIR");
  if (!dir) GTEST_SKIP() << "run by SharedTableDurabilityTest.ARenameKilledAtAnyRenameLeavesOneWholeTable";
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("db", dir);
  {
    TDataCursor c(d);
    c.SetTableName("t");
    c.RenameTable("u");
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

// Fault: with the index file lost, opening made a new index file before anything undid a dead
// writer's journal, and the new file's first write began a new journal over the old one: the
// dead writer's half-done record change stayed in the data file for good.
TEST_F(SharedTableDurabilityTest, ALostIndexFileIsMadeAgainOnlyAfterADeadWritersJournalIsUndone) {
  {
    TDataCursor& writer = Open(0);
    Insert(writer, 1);
    writer.Close();
  }
  const pid_t pid = fork();
  if (pid == 0) {
    // Another process writes a changed record under the writer lock and dies before finishing.
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    TDataTable* t = nullptr;
    if (d->OpenTable("t", &t, TOpenOptions{}) != 0) _exit(2);
    TTableGuard guard(*t);
    t->WriteLock();
    TRecord* r = t->Data().GetRecord(1);
    const int32_t half = 99;
    std::memcpy(r->Buffer.data() + t->Data().Fields()[1].Offset + 1, &half, sizeof half);
    r->Changed = true;
    t->Data().ReleaseRecord(r);
    t->Data().WriteChangedRecords();
    _exit(t->Journal()->Exists() ? 0 : 3);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const auto& e : std::filesystem::directory_iterator(scratch_.Path()))
    if (e.path().extension() == ".idx" || e.path().extension() == ".IDX") std::filesystem::remove(e.path());
  TDataCursor& reader = Open(1);
  EXPECT_TRUE(reader.Table()->IndexDefinitionsLost());
  std::vector<uint8_t> r(reader.GetRecordSize());
  ASSERT_EQ(reader.GetNextRecord(r.data()), 0);
  int32_t value = 0;
  reader.GetFieldData(2, r.data(), &value);
  EXPECT_EQ(value, 1) << "the dead writer's half-done change survived";
  EXPECT_FALSE(reader.Table()->Journal()->Exists());  // nothing of the dead writer is left to repair
}

// The sound paths beside the faults: a change of a user whose journal is new syncs its name; a
// commit that meets no other user's lock writes the transaction.
TEST_F(SharedTableDurabilityTest, AFirstJournalIsSyncedAndAnUnhinderedCommitWrites) {
  TDataCursor& writer = Open(0);
  gDirectorySyncs = 0;
  Insert(writer, 1);
  EXPECT_GE(gDirectorySyncs.load(), 1);
  directories_[0]->StartTransaction();
  Insert(writer, 2);
  EXPECT_EQ(CountOnDisk(), 1);  // nothing of the transaction before its commit
  directories_[0]->Commit(true);
  EXPECT_EQ(CountOnDisk(), 2);
}

}  // namespace
}  // namespace tovenmarsh::engine
