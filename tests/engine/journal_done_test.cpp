// A completed journal (the old bytes with the hashes of every range's new content, synced before
// any write) is emptied without a sync. Found again after a crash it must keep the operation when
// the files hold all of its new content, and undo it otherwise; an operation that journals more
// after its end is open again. A writer killed at the emptying of its journal, after each of its
// single-row inserts, leaves the table with that insert made.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  void SetUp() override { EngineStart(); }
  void TearDown() override { EngineStop(); }

  std::string Content(TFileHandler& f) {
    std::string s(static_cast<size_t>(f.GetSize()), '\0');
    f.Seek(0);
    f.Read(s.data(), static_cast<int64_t>(s.size()));
    return s;
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }

  testing::ScratchDir scratch_;
};

TEST_F(JournalDoneTest, ACompletedJournalKeepsAnOperationTheFilesHoldAndUndoesAnyOther) {
  const std::string name = scratch_ / "d.JNL";
  TFileHandler a(scratch_ / "d.dat");
  a.CreateFile();
  const std::string before = "0123456789";
  a.Write(before.data(), 10);
  const std::string change = "abc";
  const uint64_t hash = TTableJournal::HashBytes(reinterpret_cast<const uint8_t*>(change.data()), change.size());
  // The journal of a change of bytes 2..4 and of an append at 10, ended before the writes.
  TTableJournal j(name);
  {
    TFileAccess access(a);
    j.Save(0, a, 2, 3);
    j.Save(0, a, 10, 3);
  }
  const int64_t syncs = platform::FileOperationCount(platform::TFileFault::FileSync);
  j.Complete({{0, 2, 3, hash}, {0, 10, 3, hash}});
  EXPECT_EQ(platform::FileOperationCount(platform::TFileFault::FileSync), syncs + 1);
  const std::string path = platform::ResolveFilePath(name);
  const std::string completed = ReadFile(path);
  ASSERT_FALSE(completed.empty());
  auto write = [&](int64_t at, const std::string& text) {
    a.Seek(at);
    a.Write(text.data(), static_cast<int64_t>(text.size()));
  };

  struct TCase {
    const char* what;
    std::string writes;  // "full", "part", "none"
    bool keepDone;
    std::string expected;
  };
  const TCase cases[] = {
      {"all new content there: kept", "full", true, "01abc56789abc"},
      {"a range missing: undone", "part", true, before},
      {"nothing written: undone", "none", true, before},
      {"an operation of this process that failed: undone", "full", false, before},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    // The files as the crash left them, and the journal whose emptying was lost.
    write(0, before);
    a.Seek(10);
    a.Write(nullptr, 0);
    if (c.writes == "full") {
      write(2, change);
      write(10, change);
    } else if (c.writes == "part") {
      write(2, change);
    }
    WriteFile(path, completed);
    TTableJournal found(name);
    EXPECT_TRUE(found.Exists());
    EXPECT_TRUE(found.Rollback({&a, nullptr, nullptr}, c.keepDone));
    EXPECT_EQ(Content(a), c.expected);
    EXPECT_FALSE(found.Exists());
  }

  // Journaled again after its end, the operation is open: undone even where the first ranges hold
  // their new content.
  write(0, before);
  a.Seek(10);
  a.Write(nullptr, 0);
  TTableJournal k(name);
  {
    TFileAccess access(a);
    k.Save(0, a, 2, 3);
  }
  k.Complete({{0, 2, 3, hash}});
  {
    TFileAccess access(a);
    k.Save(0, a, 6, 2);
  }
  k.Sync();
  write(2, change);
  write(6, "ZZ");
  EXPECT_TRUE(TTableJournal(name).Rollback({&a, nullptr, nullptr}, true));
  EXPECT_EQ(Content(a), before);

  // A completed journal is emptied without a sync; any other with one.
  TTableJournal m(name);
  {
    TFileAccess access(a);
    m.Save(0, a, 2, 3);
  }
  m.Complete({{0, 2, 3, hash}});
  write(2, change);
  int64_t at = platform::FileOperationCount(platform::TFileFault::FileSync);
  m.Commit({nullptr, nullptr, nullptr});
  EXPECT_EQ(platform::FileOperationCount(platform::TFileFault::FileSync), at);
  EXPECT_FALSE(m.Exists());
  {
    TFileAccess access(a);
    m.Save(0, a, 2, 3);
  }
  m.Sync();
  at = platform::FileOperationCount(platform::TFileFault::FileSync);
  m.Commit({nullptr, nullptr, nullptr});
  EXPECT_EQ(platform::FileOperationCount(platform::TFileFault::FileSync), at + 1);
}

// ---- a writer killed at the emptying of its journal ----

constexpr int kInserts = 6;

// The child: inserts keys 1..kInserts one by one into "t" in $TM_DONE_CHILD_DIR (under strace,
// which kills it at one of its truncations).
TEST(JournalDoneChild, Run) {
  const char* dir = std::getenv("TM_DONE_CHILD_DIR");
  if (!dir) GTEST_SKIP() << "run by JournalDoneTest.AWriterKilledAtTheEmptyingOfItsJournalKeepsItsInsert";
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

TEST_F(JournalDoneKillTest, AWriterKilledAtTheEmptyingOfItsJournalKeepsItsInsert) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  for (int kill = 1; kill <= kInserts; ++kill) {
    SCOPED_TRACE("killed at truncation " + std::to_string(kill));
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
      const std::string inject = "inject=ftruncate:signal=KILL:when=" + std::to_string(kill);
      execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", "trace=ftruncate", "-e", inject.c_str(), self.c_str(),
             "--gtest_filter=JournalDoneChild.Run", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child was not killed: " << status;
    // The journal of the killed insert is still there; a new user keeps the insert.
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
