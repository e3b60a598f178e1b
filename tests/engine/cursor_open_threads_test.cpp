// Cursors of one session on several threads open and close one table at once: the first
// opener's header checks and the sharing of the open table never race, and every cursor reads
// every record.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

TEST(CursorOpenThreads, OneTableOpenedAndClosedFromManyThreads) {
  EngineStart();
  testing::ScratchDir scratch;
  TDataSession* session = CreateEngineSession();
  TDataDirectory* directory = session->OpenDirectory("db", scratch.Path());
  {
    TDataCursor c(directory);
    c.SetTableName("shared");
    c.SetExclusive(true);
    FieldDesc id;
    id.Name = "Id";
    id.FieldType = fldInt32;
    IndexDesc primary;
    primary.Unique = true;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 1;
    c.CreateTable(TTableAttributes{}, false, {primary}, {id});
    c.Open();
    std::vector<uint8_t> b(c.GetRecordSize());
    for (int32_t i = 1; i <= 20; ++i) {
      c.InitRecord(b.data());
      c.SetFieldData(1, b.data(), &i);
      c.InsertRecord(b.data(), false);
    }
    c.Close();
  }
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::atomic<int> failures{0};
  auto opener = [&] {
    for (int round = 0; round < kRounds; ++round) {
      try {
        TDataCursor c(directory);
        c.SetTableName("shared");
        c.Open();
        if (c.GetRecordCount() != 20) ++failures;
        c.Close();
      } catch (const EFenEngineError&) {
        ++failures;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(opener);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(directory->TableCount(), 0u);
  session->CloseDirectory(directory);
  FreeEngineSession(session);
  EngineStop();
}

}  // namespace
}  // namespace tovenmarsh::engine
