// Several threads using one session at once (the "Default" session is shared by the indexer
// and the web threads): the engine lock keeps them apart, the database counts stay right and
// FindOrOpenSession hands every thread the same new session.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dataset/fen_database.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/start/engine_start.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 300;

void RunThreads(const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(body, i);
  for (auto& t : threads) t.join();
}

// A fresh folder in the system's temporary folder, removed with everything in it at the end.
class TScratchFolder {
 public:
  TScratchFolder() : path_(platform::SystemTempFolder() + "fendbXXXXXX") {
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ += "/";
  }
  ~TScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TScratchFolder(const TScratchFolder&) = delete;
  TScratchFolder& operator=(const TScratchFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Table `name` in `folder` with an integer primary key "no" (and, when asked, a string field
// "word" with the secondary index "ByWord").
void CreateNumberTable(const std::string& folder, const std::string& name, bool withWord = false) {
  TFenTable create;
  create.SetTableName(folder + name);
  create.FieldDefs().Add("no", ftInteger, 0, true);
  if (withWord) create.FieldDefs().Add("word", ftString, 20);
  create.IndexDefs().Add("", "no", ixPrimary | ixUnique);
  if (withWord) create.IndexDefs().Add("ByWord", "word", 0);
  create.CreateTable();
}

TEST(FenSessionThreadsTest, TheSharedSessionsLockIsHeldByOneThreadAtATime) {
  TFenSession& shared = Sessions().DefaultSession();
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  long counter = 0;  // plain: only ever touched under the engine lock
  RunThreads([&](int) {
    for (int round = 0; round < kRounds; ++round) {
      shared.Lock();
      shared.Lock();  // nested on this thread
      if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
      ++counter;
      EXPECT_EQ(shared.LockDepth(), 2);
      shared.Unlock();
      // Still held by this thread after the inner Unlock.
      ++counter;
      inside.fetch_sub(1);
      shared.Unlock();
      EXPECT_EQ(shared.LockDepth(), 0);
    }
  });
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_EQ(counter, 2L * kThreads * kRounds);
}

TEST(FenSessionThreadsTest, SharedDatabaseCountsStayRight) {
  const TScratchFolder scratch;
  const std::string folder = scratch.Path().substr(0, scratch.Path().size() - 1);  // without the slash
  TFenSession& shared = Sessions().DefaultSession();
  std::atomic<int> failures{0};
  RunThreads([&](int id) {
    for (int round = 0; round < kRounds / 3; ++round) {
      try {
        TFenDatabase& db = shared.OpenDatabase(folder);
        // The count this thread holds keeps the database and its directory alive.
        if (db.Handle() == nullptr || db.Handle()->TableExists("absent", false)) failures.fetch_add(1);
        shared.SetLockWaitTime(static_cast<uint16_t>(100 + id));
        (void)shared.LockWaitTime();
        shared.AddPassword("pw" + std::to_string(id));
        if (!shared.HasPassword("pw" + std::to_string(id))) failures.fetch_add(1);
        shared.CloseDatabase(db);
      } catch (...) {
        failures.fetch_add(1);
      }
    }
  });
  EXPECT_EQ(failures.load(), 0);
  // The last user gone, the temporary database went with it.
  EXPECT_EQ(shared.FindDatabase(folder), nullptr);
  shared.RemoveAllPasswords();
}

TEST(FenSessionThreadsTest, FindOrOpenSessionGivesEveryThreadTheSameNewSession) {
  const int before = Sessions().Count();
  for (int name = 0; name < 20; ++name) {
    std::vector<TFenSession*> seen(kThreads, nullptr);
    RunThreads([&](int id) { seen[static_cast<size_t>(id)] = &Sessions().FindOrOpenSession("Race" + std::to_string(name)); });
    EXPECT_EQ(std::set<TFenSession*>(seen.begin(), seen.end()).size(), 1u) << name;
    EXPECT_TRUE(seen[0]->Active());
  }
  EXPECT_EQ(Sessions().Count(), before + 20);
}

TEST(FenSessionThreadsTest, SessionsOfDifferentThreadsOpenAndCloseSafely) {
  std::atomic<int> failures{0};
  RunThreads([&](int id) {
    for (int round = 0; round < 20; ++round) {
      try {
        TFenSession own;
        own.SetSessionName("Worker" + std::to_string(id) + "_" + std::to_string(round));
        own.SetPrivateDir(platform::SystemTempFolder());
        TFenDatabase& db = own.OpenDatabase("Memory");
        if (db.Handle() == nullptr) failures.fetch_add(1);
        own.CloseDatabase(db);
        own.CloseSession();
      } catch (...) {
        failures.fetch_add(1);
      }
    }
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(Sessions().DefaultSession().Active());
}

// The words-table pattern: threads with table objects of their own in the shared "Default"
// session, on one database, reading while one of them writes.
TEST(FenSessionThreadsTest, TablesOfSeveralThreadsInTheDefaultSession) {
  const TScratchFolder scratch;
  const std::string& folder = scratch.Path();
  CreateNumberTable(folder, "words");
  std::atomic<int> failures{0};
  RunThreads([&](int id) {
    try {
      TFenTable table;
      table.SetTableName(folder + "words");
      table.Open();
      for (int round = 0; round < 20; ++round) {
        if (id == 0) {
          table.Append();
          table.FieldByName("no").SetAsInteger(round + 1);
          table.Post();
        } else {
          int previous = 0;
          for (table.First(); !table.Eof(); table.Next()) {
            const int no = table.FieldByName("no").AsInteger();
            if (no <= previous) failures.fetch_add(1);
            previous = no;
          }
        }
      }
      table.Close();
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      failures.fetch_add(1);
    }
  });
  EXPECT_EQ(failures.load(), 0);
  TFenTable check;
  check.SetTableName(folder + "words");
  check.Open();
  EXPECT_EQ(check.RecordCount(), 20);
  check.Close();
}

// A clone takes the directory's and the table's locks in the same order as any Open: cloning
// while another thread opens the table neither deadlocks nor upsets ThreadSanitizer.
TEST(FenSessionThreadsTest, CloningWhileAnotherThreadOpensTheTable) {
  const TScratchFolder scratch;
  const std::string& folder = scratch.Path();
  CreateNumberTable(folder, "t");
  TFenDatabase database;
  database.SetDatabaseName("CloneOrder");
  database.SetDirectory(folder);
  database.Open();
  engine::TDataDirectory* directory = database.Handle();
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::thread opener([&] {
    while (!stop.load()) {
      try {
        engine::TDataCursor cursor(directory);
        cursor.SetTableName("t");
        cursor.Open();
        if (cursor.GetRecordCount() != 0) failures.fetch_add(1);
        cursor.Close();
      } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        failures.fetch_add(1);
      }
    }
  });
  engine::TDataCursor source(directory);
  source.SetTableName("t");
  source.Open();
  int clones = 0;
  for (int i = 0; i < 200; ++i) {
    std::unique_ptr<engine::TDataCursor> clone = source.Clone();
    if (clone->GetRecordCount() == 0) ++clones;
    clone->Close();
  }
  stop.store(true);
  opener.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(clones, 200);
  // Every cursor of either thread shared the one table, and every close gave it back: with the
  // source closed too, the directory holds no table any more.
  EXPECT_EQ(directory->TableCount(), 1u);
  source.Close();
  EXPECT_EQ(directory->TableCount(), 0u);
  database.Close();
}

// Opening a table reads its index descriptors while another thread's inserts rewrite the index
// header: every pooled resource opens its tables while others write them, and a lookup cursor
// for Locate opens one more.
TEST(FenSessionThreadsTest, OpeningATableWhileAnotherThreadInsertsIntoIt) {
  const TScratchFolder scratch;
  const std::string& folder = scratch.Path();
  CreateNumberTable(folder, "t");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    try {
      TFenTable table;
      table.SetTableName(folder + "t");
      table.Open();
      for (int no = 1; no <= 200; ++no) {
        table.Append();
        table.FieldByName("no").SetAsInteger(no);
        table.Post();
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    stop.store(true);
  });
  // Each open sees a whole table: never fewer records than an earlier open saw, never more
  // than were written.
  int seen = 0;
  bool shrank = false;
  while (!stop.load()) {
    TFenTable reader;
    reader.SetTableName(folder + "t");
    reader.Open();
    const int count = reader.RecordCount();
    if (count < seen || count > 200) shrank = true;
    seen = count;
    reader.Close();
  }
  writer.join();
  EXPECT_FALSE(shrank) << "last count " << seen;
  TFenTable check;
  check.SetTableName(folder + "t");
  check.Open();
  std::vector<int> numbers;
  for (check.First(); !check.Eof(); check.Next()) numbers.push_back(check.FieldByName("no").AsInteger());
  check.Close();
  std::vector<int> expected(200);
  for (int i = 0; i < 200; ++i) expected[static_cast<size_t>(i)] = i + 1;
  EXPECT_EQ(numbers, expected);
}

// Switching the index by name reads the index file's slot descriptors while another thread's
// insert rewrites the index header: the lookup must hold the table's lock. Tables opened with an
// IndexName, SetIndexName and Locate's lookup cursor all switch indexes so.
TEST(FenSessionThreadsTest, SwitchingTheIndexWhileAnotherThreadInserts) {
  const TScratchFolder scratch;
  const std::string& folder = scratch.Path();
  CreateNumberTable(folder, "t", true);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    try {
      TFenTable table;
      table.SetTableName(folder + "t");
      table.Open();
      for (int no = 1; no <= 200; ++no) {
        table.Append();
        table.FieldByName("no").SetAsInteger(no);
        table.FieldByName("word").SetAsString("w" + std::to_string(no));
        table.Post();
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
    stop.store(true);
  });
  TFenTable reader;
  reader.SetTableName(folder + "t");
  reader.Open();
  while (!stop.load()) {
    reader.SetIndexName("ByWord");
    reader.SetIndexName("");
  }
  writer.join();
  // Both indexes hold every record, each in its own order.
  std::vector<std::string> words;
  std::vector<int> numbers;
  reader.SetIndexName("ByWord");
  for (reader.First(); !reader.Eof(); reader.Next()) words.push_back(reader.FieldByName("word").AsString());
  reader.SetIndexName("");
  for (reader.First(); !reader.Eof(); reader.Next()) numbers.push_back(reader.FieldByName("no").AsInteger());
  reader.Close();
  std::vector<std::string> expectedWords;
  std::vector<int> expectedNumbers;
  for (int no = 1; no <= 200; ++no) {
    expectedWords.push_back("w" + std::to_string(no));
    expectedNumbers.push_back(no);
  }
  std::sort(expectedWords.begin(), expectedWords.end());
  EXPECT_EQ(words, expectedWords);
  EXPECT_EQ(numbers, expectedNumbers);
}

}  // namespace
}  // namespace tovenmarsh::dataset
