// Sessions on threads: writers of their own sessions append to one table at once through the
// writer lock (each append journaled), a reader of a third session keeps reading, and at the
// end every append is there exactly once and the table verifies.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"

namespace tovenmarsh::engine {
namespace {

TTableDefinition Table() {
  TTableDefinition d;
  FieldDesc who;
  who.Name = "Who";
  who.FieldType = fldInt32;
  FieldDesc seq;
  seq.Name = "Seq";
  seq.FieldType = fldInt32;
  d.Data.Fields = {who, seq};
  return d;
}

TEST(SessionThreads, WritersOfSeveralSessionsNeverLoseAnAppend) {
  EngineStart();
  const std::string dir = testing::TempDir() + "storage_threads_" + std::to_string(getpid()) + "/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", dir);
    TDataTable* t = nullptr;
    ASSERT_EQ(d->CreateTable("log", false, false, Table(), &t), 0);
    d->CloseTable(t);
    FreeEngineSession(s);
  }
  constexpr int kWriters = 3;
  constexpr int kAppends = 60;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  auto writer = [&](int who) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", dir);
    TDataTable* t = nullptr;
    if (d->OpenTable("log", &t, TOpenOptions{}) != 0) {
      ++failures;
      FreeEngineSession(s);
      return;
    }
    for (int i = 0; i < kAppends; ++i) {
      try {
        TTableGuard guard(*t);
        t->WriteLock();
        TRecord* r = t->Data().TakeFreeRecord();
        t->Data().InitRecord(*r, true);
        r->Buffer[9] = 1;
        PutI32(r->Buffer.data(), 10, who);
        r->Buffer[14] = 1;
        PutI32(r->Buffer.data(), 15, i);
        r->Changed = true;
        t->Data().ReleaseRecord(r);
        t->Index().IncrementRecordCount();
        t->WriteCaches(true, true, true);
        t->WriteUnlock();
      } catch (const EFenEngineError&) {
        ++failures;
      }
    }
    d->CloseTable(t);
    FreeEngineSession(s);
  };
  auto reader = [&] {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", dir);
    TDataTable* t = nullptr;
    if (d->OpenTable("log", &t, TOpenOptions{}) != 0) {
      ++failures;
      FreeEngineSession(s);
      return;
    }
    while (!done) {
      TTableGuard guard(*t);
      try {
        t->ReadLock();
        for (uint32_t n = 1; n < t->Data().NextRecord(); ++n) {
          TRecord* r = t->Data().GetRecord(n);
          if (r->Buffer[9] != 1) ++failures;  // a record that is not fully there
          t->Data().ReleaseRecord(r);
        }
        t->ReadUnlock();
      } catch (const EFenEngineError&) {
        ++failures;
      }
    }
    d->CloseTable(t);
    FreeEngineSession(s);
  };
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) threads.emplace_back(writer, w);
  std::thread r(reader);
  for (auto& t : threads) t.join();
  done = true;
  r.join();
  EXPECT_EQ(failures.load(), 0);
  // Every append exactly once, and the table verifies.
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("db", dir);
  TDataTable* t = nullptr;
  ASSERT_EQ(d->OpenTable("log", &t, TOpenOptions{}), 0);
  EXPECT_NO_THROW(t->Data().VerifyHeader());
  std::set<std::pair<int, int>> seen;
  for (uint32_t n = 1; n < t->Data().NextRecord(); ++n) {
    TRecord* rec = t->Data().GetRecord(n);
    EXPECT_TRUE(seen.insert({GetI32(rec->Buffer.data(), 10), GetI32(rec->Buffer.data(), 15)}).second);
    t->Data().ReleaseRecord(rec);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kWriters * kAppends));
  EXPECT_EQ(t->Index().RecordCount(), kWriters * kAppends);
  d->CloseTable(t);
  FreeEngineSession(s);
  std::filesystem::remove_all(dir);
  EngineStop();
}

}  // namespace
}  // namespace tovenmarsh::engine
