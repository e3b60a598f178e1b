// A table opened by one session while another session (or another process) appends to it: the
// opener's header check sees the files as a finished write left them, never a write half done,
// so a sound table never reports 8961. A table whose file really is damaged still does.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/start/engine_start.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

constexpr uint16_t kHeaderCorrupt = 8961;

class CursorOpenWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    {
      TDataCursor c(d);
      c.SetTableName("mailbox");
      c.SetExclusive(true);
      FieldDesc id;
      id.Name = "Id";
      id.FieldType = fldInt32;
      FieldDesc text;
      text.Name = "Text";
      text.FieldType = fldZString;
      text.Size = 40;
      IndexDesc primary;
      primary.Unique = true;
      primary.FieldCount = 1;
      primary.FieldNumbers[0] = 1;
      c.CreateTable(TTableAttributes{}, false, {primary}, {id, text});
      c.Open();
      c.Close();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }
  void TearDown() override { EngineStop(); }

  // Appends rows first, first + 1, ... through its own session until `stop` is set.
  static int AppendUntil(const std::string& path, int32_t first, const std::atomic<bool>& stop) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", path);
    int errors = 0;
    int32_t id = first;
    while (!stop) {
      try {
        TDataCursor c(d);
        c.SetTableName("mailbox");
        c.Open();
        std::vector<uint8_t> b(c.GetRecordSize());
        for (int i = 0; i < 5; ++i, ++id) {
          c.InitRecord(b.data());
          c.SetFieldData(1, b.data(), &id);
          c.SetFieldData(2, b.data(), "a message in the queue");
          c.InsertRecord(b.data(), false);
        }
        c.Close();
      } catch (const EFenEngineError&) {
        ++errors;
      }
      // Deliveries come one after another, not back to back: leave readers a moment between.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    return errors;
  }

  // Opens and closes the table `rounds` times through its own session; the count of opens that
  // failed with 8961, and of any other failure.
  void OpenRepeatedly(int rounds, int& corrupt, int& other) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    for (int i = 0; i < rounds; ++i) {
      try {
        TDataCursor c(d);
        c.SetTableName("mailbox");
        c.Open();
        c.Close();
      } catch (const EFenEngineError& error) {
        ++(error.Code() == kHeaderCorrupt ? corrupt : other);
      }
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }

  // The number of rows of the table, read through a fresh session.
  uint32_t Rows() {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    uint32_t rows = 0;
    {
      TDataCursor c(d);
      c.SetTableName("mailbox");
      c.Open();
      rows = c.GetRecordCount();
      c.Close();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    return rows;
  }

  testing::ScratchDir scratch_;
};

TEST_F(CursorOpenWriterTest, OpensWhileAnotherSessionAppendsNeverSeeACorruptHeader) {
  std::atomic<bool> stop{false};
  int writerErrors = 0;
  std::thread writer([&] { writerErrors = AppendUntil(scratch_.Path(), 1, stop); });
  int corrupt = 0, other = 0;
  OpenRepeatedly(2000, corrupt, other);
  stop = true;
  writer.join();
  EXPECT_EQ(corrupt, 0);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(writerErrors, 0);
  EXPECT_GT(Rows(), 0u);
}

TEST_F(CursorOpenWriterTest, OpensWhileAnotherProcessAppendsNeverSeeACorruptHeader) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Runs until the parent ends it; its first row tells the parent that appends have begun.
    std::atomic<bool> never{false};
    close(ready[0]);
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    {
      TDataCursor c(d);
      c.SetTableName("mailbox");
      c.Open();
      std::vector<uint8_t> b(c.GetRecordSize());
      int32_t id = 1000000;
      c.InitRecord(b.data());
      c.SetFieldData(1, b.data(), &id);
      c.InsertRecord(b.data(), false);
      c.Close();
    }
    const char go = 1;
    (void)!write(ready[1], &go, 1);
    close(ready[1]);
    _exit(AppendUntil(scratch_.Path(), 1, never) == 0 ? 0 : 1);
  }
  close(ready[1]);
  char go = 0;
  ASSERT_EQ(read(ready[0], &go, 1), 1);
  close(ready[0]);
  int corrupt = 0, other = 0;
  OpenRepeatedly(2000, corrupt, other);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(corrupt, 0);
  EXPECT_EQ(other, 0);
}

TEST_F(CursorOpenWriterTest, DamagedDataFileIsStillRefused) {
  // Rows on disk first, then each kind of damage to a copy of the data file.
  {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    TDataCursor c(d);
    c.SetTableName("mailbox");
    c.Open();
    std::vector<uint8_t> b(c.GetRecordSize());
    for (int32_t id = 1; id <= 10; ++id) {
      c.InitRecord(b.data());
      c.SetFieldData(1, b.data(), &id);
      c.InsertRecord(b.data(), false);
    }
    c.Close();
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }
  const std::string sound = scratch_.Get("mailbox.dat");
  ASSERT_GT(sound.size(), 127u);
  struct Damage {
    const char* what;
    std::string bytes;
  };
  const std::vector<Damage> damages = {
      {"partial record at the end", sound.substr(0, sound.size() - 3)},
      {"a whole record missing", sound.substr(0, sound.size() - (sound.size() - 127 - 2 * 768) / 10)},
      {"an extra record without its header", sound + std::string((sound.size() - 127 - 2 * 768) / 10, '\0')},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    scratch_.Put("mailbox.dat", damage.bytes);
    int corrupt = 0, other = 0;
    OpenRepeatedly(1, corrupt, other);
    EXPECT_EQ(corrupt, 1);
    EXPECT_EQ(other, 0);
  }
  scratch_.Put("mailbox.dat", sound);
  EXPECT_EQ(Rows(), 10u);
}

}  // namespace
}  // namespace tovenmarsh::engine
