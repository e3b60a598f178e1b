// Rollback journal: old bytes and sizes come back after a rollback, a torn record is ignored,
// a failed operation's eviction writes are undone, and a table killed at every write (inserts
// with page splits, a BLOB rewrite, a transaction commit; driven directly and through a shared
// cursor, whose changes journal everything in one go; a sample of the writes under the
// sanitizers) reopens verified in the state before or after the interrupted operation.
#include "engine/store/journal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/io/file_handler.h"
#include "engine/io/file_list.h"
#include "engine/format/key_encoding.h"
#include "engine/table/session.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {
namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    dir = testing::TempDir() + "storage_journal_" + std::to_string(getpid()) + "/";
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    fs::remove_all(dir);
    EngineStop();
  }
  std::string dir;
};

TEST_F(JournalTest, RollbackRestoresOldBytesAndSizes) {
  TFileHandler a(dir + "a.dat"), b(dir + "a.idx");
  a.CreateFile();
  b.CreateFile();
  const std::string before = "0123456789";
  a.Write(before.data(), 10);
  b.Write(before.data(), 4);
  TTableJournal j(dir + "a.JNL");
  auto write = [&](TFileHandler& f, int file, int64_t at, const std::string& s) {
    f.Seek(at);
    j.BeforeWrite(file, f, static_cast<int64_t>(s.size()));
    f.Write(s.data(), static_cast<int64_t>(s.size()));
  };
  write(a, 0, 2, "abc");
  write(a, 0, 3, "XYZW");      // overlaps what is saved already
  write(a, 0, 8, "tail+more");  // beyond the old end
  write(b, 1, 0, "");           // a truncation
  EXPECT_TRUE(j.Exists());
  EXPECT_TRUE(j.Rollback({&a, &b, nullptr}));
  EXPECT_FALSE(j.Exists());
  auto content = [](TFileHandler& f) {
    std::string s(static_cast<size_t>(f.GetSize()), '\0');
    f.Seek(0);
    f.Read(s.data(), static_cast<int64_t>(s.size()));
    return s;
  };
  EXPECT_EQ(content(a), before);
  EXPECT_EQ(content(b), "0123");
  // Committing forgets the old bytes.
  write(a, 0, 0, "new");
  j.Commit({&a, &b, nullptr});
  EXPECT_FALSE(j.Exists());
  EXPECT_EQ(content(a).substr(0, 3), "new");
  EXPECT_FALSE(j.Rollback({&a, &b, nullptr}));
}

// What a change saves ahead (one sync) needs no journaling when written; a commit leaves an
// empty journal, which holds nothing to undo, for the next change.
TEST_F(JournalTest, SavedAheadNeedsNoMoreAndACommitLeavesAnEmptyJournal) {
  TFileHandler a(dir + "s.dat");
  a.CreateFile();
  const std::string before = "0123456789abcdef";
  a.Write(before.data(), static_cast<int64_t>(before.size()));
  TTableJournal j(dir + "s.JNL");
  const std::string path = platform::ResolveFilePath(dir + "s.JNL");
  {
    TFileAccess access(a);
    j.Save(0, a, 2, 6);
    j.Save(0, a, 12, 10);  // partly beyond the end: only the old bytes are kept
  }
  j.Sync();
  const auto synced = fs::file_size(path);
  auto write = [&](int64_t at, const std::string& text) {
    a.Seek(at);
    j.BeforeWrite(0, a, static_cast<int64_t>(text.size()));
    a.Write(text.data(), static_cast<int64_t>(text.size()));
  };
  write(3, "XYZ");
  write(12, "TAIL-BEYOND");
  EXPECT_EQ(fs::file_size(path), synced) << "saved ranges were journaled again";
  write(0, "h");
  EXPECT_GT(fs::file_size(path), synced);
  EXPECT_TRUE(TTableJournal(dir + "s.JNL").Exists());
  EXPECT_TRUE(j.Rollback({&a, nullptr, nullptr}));
  std::string back(static_cast<size_t>(a.GetSize()), '\0');
  a.Seek(0);
  a.Read(back.data(), static_cast<int64_t>(back.size()));
  EXPECT_EQ(back, before);

  // Committed: the file stays, empty, and nothing is undone.
  TTableJournal k(dir + "s.JNL");
  write(0, "new");  // a fresh journal: the rollback deleted the last one
  j.Commit({&a, nullptr, nullptr});
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_FALSE(j.Exists());
  EXPECT_FALSE(k.Rollback({&a, nullptr, nullptr}));
  a.Seek(0);
  a.Read(back.data(), 3);
  EXPECT_EQ(back.substr(0, 3), "new");
  // The next change reuses it.
  write(5, "again");
  EXPECT_TRUE(j.Exists());
  j.Commit({&a, nullptr, nullptr});
  EXPECT_FALSE(j.Exists());
  j.Remove();
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(JournalTest, ATornLastRecordIsIgnored) {
  TFileHandler a(dir + "t.dat");
  a.CreateFile();
  a.Write("abcdef", 6);
  TTableJournal j(dir + "t.JNL");
  a.Seek(0);
  j.BeforeWrite(0, a, 2);
  a.Write("XY", 2);
  a.Seek(4);
  j.BeforeWrite(0, a, 2);  // this record will be torn: its write never happened
  const std::string path = platform::ResolveFilePath(dir + "t.JNL");
  fs::resize_file(path, fs::file_size(path) - 3);
  TTableJournal again(dir + "t.JNL");
  EXPECT_TRUE(again.Rollback({&a, nullptr, nullptr}));
  std::string s(6, '\0');
  a.Seek(0);
  a.Read(s.data(), 6);
  EXPECT_EQ(s, "abcdef");
}

// ---- a small table driven the way a cursor drives it ----

constexpr int kNameSize = 200;

TTableDefinition CrashTable() {
  TTableDefinition d;
  FieldDesc name;
  name.Name = "Name";
  name.FieldType = fldZString;
  name.Size = kNameSize;
  FieldDesc count;
  count.Name = "Count";
  count.FieldType = fldInt32;
  FieldDesc memo;
  memo.Name = "Memo";
  memo.FieldType = fldBlob;
  memo.SubType = fldstMemo;
  d.Data.Fields = {name, count, memo};
  IndexDesc primary;
  primary.FieldCount = 1;
  primary.FieldNumbers[0] = 2;
  IndexDesc byName;
  byName.Name = "ByName";
  byName.FieldCount = 1;
  byName.FieldNumbers[0] = 1;
  d.Indexes = {primary, byName};
  d.Data.BlobBlockSize = 128;
  return d;
}

struct TRow {
  std::string Name;
  int32_t Count;
  std::string Memo;
  friend bool operator==(const TRow&, const TRow&) = default;
};
using TState = std::map<uint32_t, TRow>;  // by record number

class TCrashTable {
 public:
  explicit TCrashTable(TDataTable& t) : t_(t) {}

  std::vector<uint8_t> PrimaryKey(const uint8_t* rec) {
    std::vector<uint8_t> k(5, 0);
    k[0] = 1;
    EncodeIntegerKey(GetI32(rec, CountAt() + 1), k.data() + 1);
    return k;
  }
  std::vector<uint8_t> NameKey(const uint8_t* rec) {
    std::vector<uint8_t> k(t_.Index().SlotShape(1).KeySize, 0);
    k[0] = rec[9];
    std::memcpy(k.data() + 1, rec + 10, kNameSize + 1);
    EncodeIntegerKey(static_cast<int32_t>(GetU32(rec, 5)), k.data() + k.size() - 4);
    return k;
  }
  size_t CountAt() const { return 9 + kNameSize + 2; }
  size_t MemoAt() const { return CountAt() + 5; }

  void Insert(const TRow& row) {
    Write([&] {
      TRecord* r = t_.Data().TakeFreeRecord();
      t_.Data().InitRecord(*r, true);
      Fill(*r, row);
      r->Changed = true;
      TBTree(t_.Index().Store(0), TKeyOrder{}).Insert(PrimaryKey(r->Buffer.data()).data(), r->Number);
      TBTree(t_.Index().Store(1), TKeyOrder{}).Insert(NameKey(r->Buffer.data()).data(), r->Number);
      t_.Index().IncrementRecordCount();
      t_.Data().ReleaseRecord(r);
    });
  }
  void Update(uint32_t n, const TRow& row) {
    Write([&] { UpdateLocked(n, row); });
  }
  void UpdateLocked(uint32_t n, const TRow& row) {
    TRecord* r = t_.Data().GetRecord(n);
    TBTree(t_.Index().Store(0), TKeyOrder{}).Delete(PrimaryKey(r->Buffer.data()).data());
    TBTree(t_.Index().Store(1), TKeyOrder{}).Delete(NameKey(r->Buffer.data()).data());
    Fill(*r, row);
    r->Changed = true;
    TBTree(t_.Index().Store(0), TKeyOrder{}).Insert(PrimaryKey(r->Buffer.data()).data(), n);
    TBTree(t_.Index().Store(1), TKeyOrder{}).Insert(NameKey(r->Buffer.data()).data(), n);
    t_.Data().ReleaseRecord(r);
  }
  void DeleteLocked(uint32_t n) {
    TRecord* r = t_.Data().GetRecord(n);
    TBTree(t_.Index().Store(0), TKeyOrder{}).Delete(PrimaryKey(r->Buffer.data()).data());
    TBTree(t_.Index().Store(1), TKeyOrder{}).Delete(NameKey(r->Buffer.data()).data());
    t_.Blob()->WriteValue(GetU32(r->Buffer.data(), MemoAt() + 1), 0, nullptr, 0);
    t_.Data().DeleteRecord(*r);
    t_.Index().DecrementRecordCount();
    t_.Data().ReleaseRecord(r);
  }

  TState Read() {
    TTableGuard guard(t_);
    TState state;
    for (uint32_t n = 1; n < t_.Data().NextRecord(); ++n) {
      TRecord* r = t_.Data().GetRecord(n);
      if (r->Status() == data_format::kStatusLive) {
        TRow row;
        row.Name = reinterpret_cast<const char*>(r->Buffer.data() + 10);
        row.Count = GetI32(r->Buffer.data(), CountAt() + 1);
        std::vector<uint8_t> memo;
        t_.Blob()->ReadValue(GetU32(r->Buffer.data(), MemoAt() + 1), GetU32(r->Buffer.data(), MemoAt() + 5), memo);
        row.Memo.assign(memo.begin(), memo.end());
        state[n] = row;
      }
      t_.Data().ReleaseRecord(r);
    }
    return state;
  }

  template <class F>
  void Write(F&& f) {
    TTableGuard guard(t_);
    t_.WriteLock();
    try {
      f();
      t_.WriteCaches(true, true, true);
    } catch (...) {
      t_.DiscardCaches(true, true);
      t_.WriteUnlock();
      throw;
    }
    t_.WriteUnlock();
  }

 private:
  void Fill(TRecord& r, const TRow& row) {
    uint8_t* b = r.Buffer.data();
    std::memset(b + 9, 0, r.Buffer.size() - 9);
    b[9] = 1;
    std::memcpy(b + 10, row.Name.data(), std::min<size_t>(row.Name.size(), kNameSize));
    b[CountAt()] = 1;
    PutI32(b, CountAt() + 1, row.Count);
    const uint32_t old = GetU32(b, MemoAt() + 1);
    const uint32_t owner = t_.Data().NextBlobStamp();
    const uint32_t first = t_.Blob()->WriteValue(old, owner, reinterpret_cast<const uint8_t*>(row.Memo.data()),
                                                 row.Memo.size());
    b[MemoAt()] = first ? 1 : 0;
    PutU32(b, MemoAt() + 1, first);
    PutU32(b, MemoAt() + 5, owner);
  }
  TDataTable& t_;
};

std::string Memo(int i, size_t n) { return std::string(n, static_cast<char>('a' + i % 26)); }

// The operations, each atomic; `after` sees the state after each one.
void RunScript(TDataTable& t, const std::function<void()>& after) {
  TCrashTable c(t);
  for (int i = 0; i < 24; ++i) {
    c.Insert(TRow{"name" + std::to_string((i * 7) % 24), 1000 - i, Memo(i, 50 + i * 20)});
    after();
  }
  c.Update(1, TRow{"rewritten", 5000, Memo(99, 3000)});
  after();
  c.Update(1, TRow{"rewritten", 5000, Memo(98, 100)});
  after();
  t.StartTransaction();
  for (uint32_t n = 2; n <= 5; ++n) c.UpdateLocked(n, TRow{"changed" + std::to_string(n), 7000 + static_cast<int>(n), Memo(3, 700)});
  c.DeleteLocked(6);
  t.WriteCaches(false, true, true);
  t.Commit(true);
  after();
}

// The same kind of work through a shared cursor, as the record-set layer does it: inserts with
// page splits and BLOBs, key and BLOB changes, deletes and reuse, and a transaction. Each change
// is journaled in one go (the pages its keys touch are known before anything is written).
void RunCursorScript(TDataDirectory* d, const std::function<void(TDataTable&)>& after) {
  TDataCursor c(d);
  c.SetTableName("crash");
  c.Open();
  std::vector<uint8_t> b(c.GetRecordSize());
  const uint32_t memoField = 3;
  auto fill = [&](const TRow& row) {
    const std::string name = row.Name;
    c.SetFieldData(1, b.data(), name.c_str());
    c.SetFieldData(2, b.data(), &row.Count);
    ASSERT_EQ(c.OpenBlob(memoField, b.data(), 2), 0);
    ASSERT_EQ(c.TruncateBlob(memoField, b.data(), 0), 0);
    ASSERT_EQ(c.WriteBlob(memoField, b.data(), 0, static_cast<uint32_t>(row.Memo.size()),
                          reinterpret_cast<const uint8_t*>(row.Memo.data())),
              0);
    b[c.GetFieldDesc(memoField).Offset] = row.Memo.empty() ? 0 : 1;
  };
  auto insert = [&](const TRow& row) {
    c.InitRecord(b.data());
    fill(row);
    c.InsertRecord(b.data(), false);
    c.CloseAllBlobs();
  };
  auto find = [&](int32_t count) {
    std::vector<uint8_t> key(c.GetRecordSize());
    c.InitRecord(key.data());
    c.SetFieldData(2, key.data(), &count);
    return c.FindKey(key.data(), false, b.data(), 0, false, 0);
  };
  auto modify = [&](int32_t count, const TRow& row) {
    ASSERT_TRUE(find(count));
    fill(row);
    c.ModifyRecord(b.data(), false, true);
    c.CloseAllBlobs();
  };
  auto remove = [&](int32_t count) {
    ASSERT_TRUE(find(count));
    c.DeleteRecord(b.data(), false);
  };
  for (int i = 0; i < 16; ++i) {
    insert(TRow{"name" + std::to_string((i * 7) % 16), 1000 - i, Memo(i, 50 + i * 37)});
    after(*c.Table());
  }
  modify(1000, TRow{"renamed", 1000, Memo(20, 900)});
  after(*c.Table());
  modify(999, TRow{"name7", 5000, Memo(21, 10)});  // the primary key moves too
  after(*c.Table());
  remove(998);
  after(*c.Table());
  remove(990);
  after(*c.Table());
  insert(TRow{"again", 42, Memo(22, 600)});  // reuses a deleted record
  after(*c.Table());
  d->StartTransaction();
  modify(997, TRow{"in transaction", 997, Memo(23, 300)});
  insert(TRow{"new in transaction", 43, Memo(24, 100)});
  remove(996);
  d->Commit(true);
  after(*c.Table());
  c.Close();
}

TDataTable* OpenCrashTable(TDataSession* session, const std::string& dir, TDataDirectory** d) {
  *d = session->OpenDirectory("crash", dir);
  TDataTable* t = nullptr;
  TOpenOptions options;
  if ((*d)->OpenTable("crash", &t, options) != 0) return nullptr;
  return t;
}

// Opens, verifies every structure, and reads the rows.
TState VerifyAndRead(const std::string& dir) {
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = nullptr;
  TDataTable* t = OpenCrashTable(s, dir, &d);
  EXPECT_NE(t, nullptr);
  TState state;
  if (t) {
    t->Data().VerifyHeader();
    t->Index().Verify(t->Data().Fields());
    t->Blob()->Verify();
    state = TCrashTable(*t).Read();
    for (uint8_t slot : {0, 1}) {
      std::vector<uint32_t> pages;
      int64_t records = 0;
      EXPECT_EQ(TBTree(t->Index().Store(slot), TKeyOrder{}).Verify(&pages, &records), "") << "slot " << int(slot);
      EXPECT_EQ(records, static_cast<int64_t>(state.size()));
    }
    EXPECT_EQ(t->Index().RecordCount(), static_cast<int32_t>(state.size()));
    EXPECT_FALSE(t->Journal()->Exists());
    d->CloseTable(t);
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  return state;
}

void CreateBase(const std::string& dir) {
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("crash", dir);
  TDataTable* t = nullptr;
  ASSERT_EQ(d->CreateTable("crash", false, false, CrashTable(), &t), 0);
  ASSERT_EQ(d->CloseTable(t), 0);
  s->CloseDirectory(d);
  FreeEngineSession(s);
}

TEST_F(JournalTest, TheLastUserClosingRemovesTheJournalOfFinishedOperations) {
  CreateBase(dir);
  for (bool exclusive : {false, true}) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("crash", dir);
    TDataTable* t = nullptr;
    TOpenOptions options;
    options.Exclusive = exclusive;
    ASSERT_EQ(d->OpenTable("crash", &t, options), 0);
    TCrashTable(*t).Insert(TRow{"row", exclusive ? 2 : 1, Memo(1, 300)});
    const std::string path = platform::ResolveFilePath(t->Journal()->Path());
    // The insert stands through its journal, which holds nothing to repair.
    EXPECT_TRUE(fs::exists(path) && fs::file_size(path) > 0) << exclusive;
    EXPECT_TRUE(t->Journal()->HasContent());
    EXPECT_FALSE(t->Journal()->Exists());
    d->CloseTable(t);
    EXPECT_FALSE(fs::exists(path)) << exclusive;
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }
  EXPECT_EQ(VerifyAndRead(dir).size(), 2u);
}

TEST_F(JournalTest, AFailedOperationLeavesNothingBehind) {
  CreateBase(dir);
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = nullptr;
  TDataTable* t = OpenCrashTable(s, dir, &d);
  ASSERT_NE(t, nullptr);
  TCrashTable c(*t);
  for (int i = 0; i < 5; ++i) c.Insert(TRow{"row" + std::to_string(i), i, Memo(i, 300)});
  const TState before = c.Read();
  t->Data().SetNormalCapacity(2);  // changed records are written while the operation runs
  EXPECT_THROW(c.Write([&] {
    for (uint32_t n = 1; n <= 5; ++n) c.UpdateLocked(n, TRow{"lost", 100 + static_cast<int>(n), Memo(7, 900)});
    for (int i = 0; i < 5; ++i) {
      TRecord* r = t->Data().TakeFreeRecord();
      t->Data().InitRecord(*r, true);
      r->Changed = true;
      t->Data().ReleaseRecord(r);
    }
    RaiseEngineError(kErrTableFull, "crash.DAT");  // as a full disk or table would
  }),
               EFenEngineError);
  EXPECT_EQ(c.Read(), before);
  EXPECT_EQ(t->Data().NextRecord(), 6u);
  d->CloseTable(t);
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EXPECT_EQ(VerifyAndRead(dir), before);
}

// A crash of the whole system loses the writes that were never synced: each block of a table
// file may hold its content from the last sync or a later write, and the file any size between.
// The journal, synced at every commit, makes every finished operation again: reopened after any
// such loss, the table is whole and in its last state.
TEST_F(JournalTest, WritesLostInASystemCrashAreMadeAgainFromTheJournal) {
  std::mt19937 random(7);
  auto isJournal = [](const fs::path& p) { return p.extension() == ".jnl" || p.extension() == ".JNL"; };
  auto readBytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  for (const std::string kind : {"table", "cursor"}) {
    SCOPED_TRACE(kind);
    const std::string work = dir + kind + "/";
    const std::string synced = dir + kind + "-synced/";
    const std::string lost = dir + kind + "-lost/";
    fs::create_directories(work);
    CreateBase(work);
    auto copyFiles = [&](const std::string& to) {
      fs::remove_all(to);
      fs::create_directories(to);
      for (const auto& e : fs::directory_iterator(work)) fs::copy_file(e.path(), to + e.path().filename().string());
    };
    auto journalSize = [&](const std::string& in) {
      for (const auto& e : fs::directory_iterator(in))
        if (isJournal(e.path())) return static_cast<int64_t>(e.file_size());
      return int64_t{0};
    };
    // After each operation, with the table still open: the files as last synced (when the
    // journal is empty every operation before is on disk), and as written.
    copyFiles(synced);
    TState expected;
    auto after = [&](TDataTable& t) {
      expected = TCrashTable(t).Read();
      if (journalSize(work) == 0) copyFiles(synced);
      copyFiles(lost);
    };
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = nullptr;
    if (kind == "cursor") {
      d = s->OpenDirectory("crash", work);
      RunCursorScript(d, after);
    } else {
      TDataTable* t = OpenCrashTable(s, work, &d);
      ASSERT_NE(t, nullptr);
      RunScript(*t, [&] { after(*t); });
      d->CloseTable(t);
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    ASSERT_GT(journalSize(lost), 0) << "nothing left to make again";
    for (int round = 0; round < 12; ++round) {
      SCOPED_TRACE("round " + std::to_string(round));
      const std::string crashed = dir + kind + "-crashed/";
      fs::remove_all(crashed);
      fs::create_directories(crashed);
      for (const auto& e : fs::directory_iterator(lost)) {
        const std::string name = e.path().filename().string();
        std::string bytes = readBytes(e.path().string());
        if (!isJournal(e.path())) {
          const std::string older = fs::exists(synced + name) ? readBytes(synced + name) : std::string();
          constexpr size_t kBlock = 512;
          std::string mixed(random() % 2 ? bytes.size() : older.size(), '\0');
          for (size_t at = 0; at < mixed.size(); at += kBlock) {
            const std::string& from = random() % 2 ? older : bytes;
            const size_t n = std::min(kBlock, mixed.size() - at);
            if (at + n <= from.size()) mixed.replace(at, n, from, at, n);
          }
          bytes = mixed;
        }
        std::ofstream(crashed + name, std::ios::binary) << bytes;
      }
      platform::SimulateNewBoot();
      EXPECT_EQ(VerifyAndRead(crashed), expected);
      if (HasFailure()) return;
    }
  }
}

// A writer in another process dies in the middle of an update and leaves its journal. A table
// opened before that neither reads the half-done update nor has its own commit undone by the
// stale journal.
TEST_F(JournalTest, AWriterThatDiedIsUndoneBeforeReadsAndTransactions) {
  CreateBase(dir);
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = nullptr;
  TDataTable* t = OpenCrashTable(s, dir, &d);
  ASSERT_NE(t, nullptr);
  TCrashTable c(*t);
  for (int i = 0; i < 3; ++i) c.Insert(TRow{"row" + std::to_string(i), i, Memo(i, 300)});
  const TState before = c.Read();
  // Another process starts an update, writes part of it and dies before its headers.
  auto writerDies = [&] {
    const pid_t pid = fork();
    if (pid == 0) {
      TDataSession* cs = CreateEngineSession();
      TDataDirectory* cd = nullptr;
      TDataTable* ct = OpenCrashTable(cs, dir, &cd);
      if (!ct) _exit(2);
      TTableGuard guard(*ct);
      ct->WriteLock();
      TCrashTable(*ct).UpdateLocked(1, TRow{"half", 99, Memo(5, 900)});
      ct->Data().WriteChangedRecords();
      ct->Index().FlushPages();
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(t->Journal()->Exists());
  };
  // A reader never sees the half-done update: taking the reader lock repairs the files first.
  writerDies();
  t->DiscardCaches(true, true);
  {
    TTableGuard guard(*t);
    t->ReadLock();
    EXPECT_FALSE(t->Journal()->Exists());
    TState seen;
    EXPECT_NO_THROW(seen = c.Read());
    EXPECT_EQ(seen, before);
    t->ReadUnlock();
  }
  // A transaction repairs them when it starts, not at its commit.
  writerDies();
  const TRow committed{"committed", 42, Memo(9, 200)};
  {
    TTableGuard guard(*t);
    t->StartTransaction();
    EXPECT_FALSE(t->Journal()->Exists());
    c.UpdateLocked(2, committed);
    t->WriteCaches(false, true, true);
    t->Commit(true);
  }
  TState expected = before;
  expected[2] = committed;
  EXPECT_EQ(c.Read(), expected);
  d->CloseTable(t);
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EXPECT_EQ(VerifyAndRead(dir), expected);
}

// The child: runs the script ($TM_STORAGE_CRASH_KIND "table" or "cursor") on the table in
// $TM_STORAGE_CRASH_DIR (under strace, which kills it at one of its writes).
TEST(JournalCrashChild, Run) {
  const char* dir = std::getenv("TM_STORAGE_CRASH_DIR");
  const char* kind = std::getenv("TM_STORAGE_CRASH_KIND");
  if (!dir || !kind) GTEST_SKIP() << "run by JournalTest.KilledAtAnyWrite";
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = nullptr;
  if (std::string(kind) == "cursor") {
    d = s->OpenDirectory("crash", dir);
    RunCursorScript(d, [](TDataTable&) {});
  } else {
    TDataTable* t = OpenCrashTable(s, dir, &d);
    ASSERT_NE(t, nullptr);
    RunScript(*t, [] {});
    d->CloseTable(t);
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

std::string crashKind = "table";  // the script the children run

pid_t StartChild(const std::string& dir, int killAt, const std::string& countFile) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("TM_STORAGE_CRASH_DIR", dir.c_str(), 1);
    setenv("TM_STORAGE_CRASH_KIND", crashKind.c_str(), 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker cannot run under ptrace
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string inject = "inject=pwrite64:signal=KILL:when=" + std::to_string(killAt);
    if (killAt > 0) {
      execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", "trace=pwrite64", "-e", inject.c_str(), self.c_str(),
             "--gtest_filter=JournalCrashChild.Run", static_cast<char*>(nullptr));
    } else {
      execlp("strace", "strace", "-f", "-o", countFile.c_str(), "-e", "trace=pwrite64", self.c_str(),
             "--gtest_filter=JournalCrashChild.Run", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

int RunChild(const std::string& dir, int killAt, const std::string& countFile) {
  return WaitChild(StartChild(dir, killAt, countFile));
}

// Every write is a kill point in the plain build; the sanitizer builds, several times slower
// per child, kill at a sample (every write near the end, where the transaction commits).
// TM_CRASH_SWEEP=full or =sample chooses either way.
bool SampledSweep() {
  if (const char* env = std::getenv("TM_CRASH_SWEEP")) return std::string(env) != "full";
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

class JournalCrashTest : public JournalTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(JournalCrashTest, KilledAtAnyWriteReopensInTheStateBeforeOrAfter) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  crashKind = GetParam();
  const std::string base = dir + "base/";
  fs::create_directories(base);
  CreateBase(base);
  // The states after each operation, from an uninterrupted run.
  std::vector<TState> states;
  {
    const std::string model = dir + "model/";
    fs::copy(base, model);
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = nullptr;
    TDataTable* t = OpenCrashTable(s, model, &d);
    ASSERT_NE(t, nullptr);
    states.push_back(TCrashTable(*t).Read());
    if (crashKind == "cursor") {
      RunCursorScript(d, [&](TDataTable& table) { states.push_back(TCrashTable(table).Read()); });
    } else {
      RunScript(*t, [&] { states.push_back(TCrashTable(*t).Read()); });
    }
    d->CloseTable(t);
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }
  // How many writes an uninterrupted child makes.
  const std::string counted = dir + "counted/";
  fs::copy(base, counted);
  const std::string trace = dir + "trace.txt";
  ASSERT_EQ(RunChild(counted, 0, trace), 0);
  int writes = 0;
  {
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);)
      if (line.find("pwrite64(") != std::string::npos) ++writes;
  }
  ASSERT_GT(writes, 50);
  std::printf("an uninterrupted run makes %d writes\n", writes);
  EXPECT_EQ(VerifyAndRead(counted), states.back());
  std::vector<int> killPoints;
  const int step = SampledSweep() ? std::max(1, writes / 40) : 1;
  for (int n = 1; n <= writes; n += (n > writes - 48 ? 1 : step)) killPoints.push_back(n);
  // The children mostly wait for their syncs: a few run at once, checked in order afterwards.
  constexpr size_t kParallel = 4;
  size_t lastState = 0;
  for (size_t first = 0; first < killPoints.size() && !::testing::Test::HasFailure(); first += kParallel) {
    const size_t last = std::min(killPoints.size(), first + kParallel);
    std::vector<pid_t> children;
    for (size_t i = first; i < last; ++i) {
      const std::string work = dir + "run" + std::to_string(killPoints[i]) + "/";
      fs::copy(base, work);
      children.push_back(StartChild(work, killPoints[i], ""));
    }
    std::vector<int> statuses;
    for (pid_t pid : children) statuses.push_back(WaitChild(pid));
    for (size_t i = first; i < last && !::testing::Test::HasFailure(); ++i) {
      const int n = killPoints[i];
      const int status = statuses[i - first];
      ASSERT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << n;
      const std::string work = dir + "run" + std::to_string(n) + "/";
      const TState state = VerifyAndRead(work);
      const auto it = std::find(states.begin(), states.end(), state);
      ASSERT_NE(it, states.end()) << "killed at write " << n << ": a state no operation left";
      const size_t index = static_cast<size_t>(it - states.begin());
      ASSERT_GE(index, lastState) << "killed at write " << n;
      lastState = index;
      fs::remove_all(work);
    }
  }
  std::printf("killed at %zu of %d writes\n", killPoints.size(), writes);
}

INSTANTIATE_TEST_SUITE_P(Scripts, JournalCrashTest, ::testing::Values("table", "cursor"));

}  // namespace
}  // namespace tovenmarsh::engine
