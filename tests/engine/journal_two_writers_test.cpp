// Two processes write the same table at once, each with its own journal object over the one
// journal file: single-row inserts (each durable on its own) and small transactions. Every change
// of both stands, and the table verifies; with one writer killed at a random one of its writes
// (under strace), the other goes on (repairing whatever the dead one left half done), the dead
// one's changes form a prefix of its work, whole transactions only, and the table still
// verifies.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kRows = 240;       // per writer
constexpr int32_t kGroup = 4;        // every fifth step is a transaction of this many rows
constexpr int32_t kSecondBase = 100000;

// The keys a writer inserts, in order: base + 0, 1, 2, ...; steps of one row, and every fifth a
// transaction of kGroup rows.
void Write(const std::string& dir, int32_t base) {
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("db", dir);
  {
    TDataCursor c(d);
    c.SetTableName("t");
    c.Open();
    for (int32_t key = 0, step = 0; key < kRows; ++step) {
      if (step % 5 == 4) {
        d->StartTransaction();
        for (int32_t i = 0; i < kGroup && key < kRows; ++i, ++key) testing::InsertKeyValue(c, base + key, key);
        d->Commit(true);
      } else {
        testing::InsertKeyValue(c, base + key, key);
        ++key;
      }
    }
    c.Close();
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

// The child run under strace: writes as Write does, with the base from the environment.
TEST(JournalTwoWritersChild, Run) {
  const char* dir = std::getenv("TM_TWO_WRITERS_DIR");
  if (!dir) GTEST_SKIP() << "run by JournalTwoWritersTest";
  Write(dir, kSecondBase);
}

// A writer in a process of its own; with killAt above 0, under strace, which kills it at its
// killAt-th write.
pid_t StartWriter(const std::string& dir, int32_t base, int killAt) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (killAt > 0) {
    setenv("TM_TWO_WRITERS_DIR", dir.c_str(), 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker cannot run under ptrace
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string inject = "inject=pwrite64:signal=KILL:when=" + std::to_string(killAt);
    execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", "trace=pwrite64", "-e", inject.c_str(), self.c_str(),
           "--gtest_filter=JournalTwoWritersChild.Run", static_cast<char*>(nullptr));
    _exit(127);
  }
  try {
    Write(dir, base);
  } catch (...) {
    _exit(3);
  }
  _exit(0);
}

// Whether the keys found of a writer are the first n it inserts, with n ending a step.
bool IsStepPrefix(const std::vector<bool>& found, int32_t& n) {
  n = 0;
  while (n < kRows && found[static_cast<size_t>(n)]) ++n;
  for (int32_t k = n; k < kRows; ++k)
    if (found[static_cast<size_t>(k)]) return false;
  // The step boundaries: a transaction's rows come together or not at all.
  for (int32_t key = 0, step = 0; key < kRows; ++step) {
    if (key == n) return true;
    key += step % 5 == 4 ? kGroup : 1;
  }
  return n == kRows;
}

class JournalTwoWritersTest : public testing::EngineDirectoryTest {};

TEST_F(JournalTwoWritersTest, TwoProcessesWritingAtOnceKeepEveryChangeEvenWhenOneIsKilled) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  std::mt19937 random(11);
  for (int run = 0; run < 10; ++run) {
    const bool kill = run > 0;
    SCOPED_TRACE(kill ? "the second writer killed" : "both finish");
    const std::string name = "run" + std::to_string(run);
    const std::string dir = scratch_ / name;
    std::filesystem::create_directories(dir);
    {
      TDataDirectory* d = session_->OpenDirectory(name, dir);
      TDataTable* t = nullptr;
      ASSERT_EQ(d->CreateTable("t", false, false, testing::KeyValueDefinition(), &t), 0);
      ASSERT_EQ(d->CloseTable(t), 0);
      session_->CloseDirectory(d);
    }
    // The second writer is killed at a random one of its writes (it makes about a thousand).
    const int killAt = kill ? static_cast<int>(10 + random() % 1000) : 0;
    SCOPED_TRACE("killed at write " + std::to_string(killAt));
    const pid_t first = StartWriter(dir, 0, 0);
    const pid_t second = StartWriter(dir, kSecondBase, killAt);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(waitpid(second, &status, 0), second);
    if (!kill) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    TDataDirectory* d = session_->OpenDirectory(name, dir);
    {
      TDataCursor c(d);
      c.SetTableName("t");
      c.Open();
      c.Table()->Data().VerifyHeader();
      c.Table()->Index().Verify(c.Table()->Data().Fields());
      std::vector<uint8_t> r(c.GetRecordSize());
      std::vector<bool> firstFound(kRows), secondFound(kRows);
      for (int32_t k = 0; k < kRows; ++k) {
        firstFound[static_cast<size_t>(k)] = testing::FindKeyValue(c, k, r);
        secondFound[static_cast<size_t>(k)] = testing::FindKeyValue(c, kSecondBase + k, r);
      }
      int32_t n = 0;
      EXPECT_TRUE(IsStepPrefix(firstFound, n));
      EXPECT_EQ(n, kRows);
      int32_t m = 0;
      EXPECT_TRUE(IsStepPrefix(secondFound, m)) << "the killed writer's changes are not a prefix of whole steps";
      if (!kill) {
        EXPECT_EQ(m, kRows);
      }
      EXPECT_EQ(c.GetRecordCount(), n + m);
      // No half-made change of the dead writer is left: the live records of the data file and
      // the entries of the index are exactly the rows found.
      {
        TDataTable& t = *c.Table();
        TTableGuard guard(t);
        int32_t live = 0;
        for (uint32_t record = 1; record < t.Data().NextRecord(); ++record) {
          TRecord* rec = t.Data().GetRecord(record);
          if (rec->Status() == data_format::kStatusLive) ++live;
          t.Data().ReleaseRecord(rec);
        }
        EXPECT_EQ(live, n + m);
        std::vector<uint32_t> pages;
        int64_t entries = 0;
        EXPECT_EQ(TBTree(t.Index().Store(0), TKeyOrder{}).Verify(&pages, &entries), "");
        EXPECT_EQ(entries, n + m);
        EXPECT_EQ(t.Index().RecordCount(), n + m);
      }
      std::printf("the second writer made %d of its %d rows\n", m, kRows);
      EXPECT_FALSE(c.Table()->Journal()->Exists());
      c.Close();
    }
    session_->CloseDirectory(d);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
