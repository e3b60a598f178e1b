// Sessions, directories and shared tables: directory identity and references, table opening
// rules, a recreated index file, and two sessions of one process coordinating through the lock
// bytes as two processes would (record locks, the write byte, seeing each other's changes,
// rollback and commit).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/io/file_list.h"
#include "engine/table/session.h"

namespace tovenmarsh::engine {
namespace {

using namespace data_format;

uint16_t ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

TTableDefinition People() {
  TTableDefinition d;
  FieldDesc name;
  name.Name = "Name";
  name.FieldType = fldZString;
  name.Size = 20;
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
  d.Indexes = {primary};
  return d;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    for (TDataSession** s : {&a, &b}) {
      *s = CreateEngineSession();
      (*s)->LockRetryCount = 3;
      (*s)->LockWaitTime = 10;
      (*s)->TableLockRetries = 3;
    }
  }
  void TearDown() override {
    FreeEngineSession(a);
    FreeEngineSession(b);
    EngineStop();
  }

  // What a cursor does to append a record outside a transaction: writer lock, write, unlock.
  static uint32_t Append(TDataTable& t, char letter) {
    TTableGuard guard(t);
    t.WriteLock();
    TRecord* r = t.Data().TakeFreeRecord();
    t.Data().InitRecord(*r, true);
    r->Buffer[9] = 1;
    r->Buffer[10] = static_cast<uint8_t>(letter);
    r->Changed = true;
    const uint32_t n = r->Number;
    t.Data().ReleaseRecord(r);
    t.Index().IncrementRecordCount();
    t.WriteCaches(true, false, true);
    t.WriteUnlock();
    return n;
  }
  static void Change(TDataTable& t, uint32_t n, char letter) {
    TTableGuard guard(t);
    TRecord* r = t.Data().GetRecord(n);
    r->Buffer[10] = static_cast<uint8_t>(letter);
    r->Changed = true;
    t.Data().ReleaseRecord(r);
  }
  static char Read(TDataTable& t, uint32_t n) {
    TTableGuard guard(t);
    t.ReadLock();
    TRecord* r = t.Data().GetRecord(n);
    const char c = static_cast<char>(r->Buffer[10]);
    t.Data().ReleaseRecord(r);
    t.ReadUnlock();
    return c;
  }

  TDataSession* a = nullptr;
  TDataSession* b = nullptr;
};

TEST_F(SessionTest, DirectoriesAreSharedByUniversalPathAndCounted) {
  TDataDirectory* m1 = a->OpenDirectory("memory", "");
  TDataDirectory* m2 = a->OpenDirectory("MEMORY", "somewhere");
  EXPECT_EQ(m1, m2);
  EXPECT_EQ(m1->References, 2);
  EXPECT_EQ(m1->Name(), "memory");
  TDataDirectory* disk = a->OpenDirectory("db", "/tmp/");
  EXPECT_NE(disk, m1);
  EXPECT_EQ(a->OpenDirectory("other", " /tmp "), disk);  // trimmed, separator added
  EXPECT_EQ(a->CloseDirectory(m1), 0);
  EXPECT_EQ(a->CloseDirectory(m1), 0);
  EXPECT_EQ(a->CloseDirectory(m1), -kErrAccessDenied);
  EXPECT_EQ(b->CloseDirectory(disk), -kErrAccessDenied);  // not b's
}

TEST_F(SessionTest, PrivateDirAndPasswords) {
  EXPECT_EQ(a->GetPrivateDir(), a->WorkingDir());
  EXPECT_EQ(a->WorkingDir().back(), '\\');
  a->SetPrivateDir(" /var/tmp ");
  EXPECT_EQ(a->GetPrivateDir(), "/var/tmp\\");
  a->SetPrivateDir("");
  EXPECT_EQ(a->GetPrivateDir(), "/var/tmp\\");
  a->AddPassword("Secret");
  a->AddPassword("secret");
  a->AddPassword("Secret");
  EXPECT_TRUE(a->HasPassword("secret"));
  a->RemovePassword("Secret");
  EXPECT_FALSE(a->HasPassword("Secret"));
  EXPECT_TRUE(a->HasPassword("secret"));
}

TEST_F(SessionTest, TableOpeningRules) {
  TDataDirectory* d = a->OpenDirectory("MEMORY", "");
  EXPECT_EQ(d->CreateTable("  ", true, false, People()), -kErrInvalidPath);
  TDataTable* t = nullptr;
  ASSERT_EQ(d->CreateTable("people", true, false, People(), &t), 0);
  EXPECT_EQ(t->Name(), "people.DAT");
  EXPECT_EQ(d->CreateTable("PEOPLE.dat", true, false, People()), -kErrAccessDenied);  // in use
  TDataTable* again = nullptr;
  EXPECT_EQ(d->OpenTable("people", &again, TOpenOptions{true}), -kErrAccessDenied);  // created exclusive
  TOpenOptions share{true};
  share.ShareExclusive = true;
  EXPECT_EQ(d->OpenTable("people", &again, share), 0);
  EXPECT_EQ(again, t);
  EXPECT_EQ(t->References, 2);
  EXPECT_EQ(d->CloseTable(t), 0);
  EXPECT_EQ(d->CloseTable(t), 0);
  EXPECT_EQ(d->TableCount(), 0u);
  EXPECT_TRUE(d->TableExists("People", true));
  EXPECT_FALSE(d->TableExists("People", false));
  const std::string unique = d->UniqueTableName(true);
  EXPECT_LE(unique.size(), 5u + 1u + 4u);
  EXPECT_FALSE(d->TableExists(unique, true));
  EXPECT_EQ(d->CloseTable(t), -kErrInvalidPath);
  EXPECT_EQ(d->RenameTable("people", "folk", false, true), 0);
  EXPECT_TRUE(d->TableExists("folk", true));
  EXPECT_EQ(d->DeleteTable("folk", true), 0);
  EXPECT_FALSE(d->TableExists("folk", true));
}

TEST_F(SessionTest, MissingIndexFileIsMadeAnewInPhysicalOrder) {
  const std::string dir = testing::TempDir() + "storage_missing_idx_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  TDataDirectory* d = a->OpenDirectory("db", dir);
  TDataTable* t = nullptr;
  ASSERT_EQ(d->CreateTable("items", false, false, People(), &t), 0);
  Append(*t, 'x');
  EXPECT_EQ(d->CloseTable(t), 0);
  std::filesystem::remove(dir + "/items.idx");
  ASSERT_EQ(d->OpenTable("items", &t, TOpenOptions{}), 0);
  EXPECT_TRUE(t->IndexRebuildNeeded());
  EXPECT_TRUE(t->IndexDefinitionsLost());
  EXPECT_TRUE(t->Index().NoPrimary());  // not an empty "primary" index
  EXPECT_NO_THROW(t->Index().Verify(t->Data().Fields()));
  EXPECT_EQ(Read(*t, 1), 'x');
  EXPECT_EQ(d->CloseTable(t), 0);
  std::filesystem::remove_all(dir);
}

TEST_F(SessionTest, BackupRenameEmptyAndTemporaryTables) {
  const std::string dir = testing::TempDir() + "storage_table_ops_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  TDataDirectory* d = a->OpenDirectory("db", dir);
  TDataTable* t = nullptr;
  ASSERT_EQ(d->CreateTable("items", false, false, People(), &t), 0);
  Append(*t, 'x');
  // Index backup and restore around a change of the index file.
  t->BackupIndex();
  EXPECT_TRUE(std::filesystem::exists(dir + "/items.ibk"));
  const int32_t count = t->Index().RecordCount();
  t->Index().SetRecordCount(99);
  t->WriteCaches(true, false, true);
  t->RestoreIndex(false, true);
  EXPECT_EQ(t->Index().RecordCount(), count);
  EXPECT_FALSE(std::filesystem::exists(dir + "/items.ibk"));
  // Emptying leaves a table that verifies and holds nothing.
  t->EmptyTable();
  EXPECT_EQ(t->Data().NextRecord(), 1u);
  EXPECT_EQ(t->Index().RecordCount(), 0);
  EXPECT_EQ(t->Index().EndOffset(), 4096u);
  EXPECT_NO_THROW(t->Data().VerifyHeader());
  EXPECT_NO_THROW(t->Index().Verify(t->Data().Fields()));
  EXPECT_NO_THROW(t->Blob()->Verify());
  Append(*t, 'y');
  EXPECT_EQ(d->CloseTable(t), 0);
  // Renaming to a backup name and back.
  EXPECT_EQ(d->RenameTable("items", "items", true, false), 0);
  EXPECT_TRUE(std::filesystem::exists(dir + "/items.dbk"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/items.bbk"));
  EXPECT_FALSE(d->TableExists("items", false));
  std::filesystem::rename(dir + "/items.dbk", dir + "/back.dat");
  std::filesystem::rename(dir + "/items.ibk", dir + "/back.idx");
  std::filesystem::rename(dir + "/items.bbk", dir + "/back.blb");
  ASSERT_EQ(d->OpenTable("back", &t, TOpenOptions{}), 0);
  EXPECT_EQ(Read(*t, 1), 'y');
  EXPECT_EQ(d->CloseTable(t), 0);
  EXPECT_EQ(d->DeleteTable("back", false), 0);
  EXPECT_FALSE(std::filesystem::exists(dir + "/back.dat"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/back.blb"));
  // An exclusive temporary table closed with "drop" discards its cached changes and its files.
  ASSERT_EQ(d->CreateTable("scratch", true, true, People(), &t), 0);
  {
    TTableGuard guard(*t);
    TRecord* r = t->Data().TakeFreeRecord();
    t->Data().InitRecord(*r, true);
    r->Changed = true;
    t->Data().ReleaseRecord(r);
  }
  EXPECT_EQ(d->CloseTable(t, false), 0);
  EXPECT_FALSE(d->TableExists("scratch", true));
  std::filesystem::remove_all(dir);
}

class TwoSessions : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    da = a->OpenDirectory("MEMORY", "");
    db = b->OpenDirectory("MEMORY", "");
    TDataTable* created = nullptr;
    ASSERT_EQ(da->CreateTable("shared", true, false, People(), &created), 0);
    ASSERT_EQ(da->CloseTable(created), 0);
    ASSERT_EQ(da->OpenTable("shared", &ta, TOpenOptions{true}), 0);
    ASSERT_EQ(db->OpenTable("shared", &tb, TOpenOptions{true}), 0);
    ASSERT_NE(ta, tb);
    first = Append(*ta, 'a');
  }
  void TearDown() override {
    if (ta) da->CloseTable(ta);
    if (tb) db->CloseTable(tb);
    SessionTest::TearDown();
  }
  TDataDirectory* da = nullptr;
  TDataDirectory* db = nullptr;
  TDataTable* ta = nullptr;
  TDataTable* tb = nullptr;
  uint32_t first = 0;
};

TEST_F(TwoSessions, ChangesOfOneSessionAreSeenByTheOther) {
  EXPECT_EQ(Read(*tb, first), 'a');
  const uint32_t second = Append(*tb, 'b');
  EXPECT_EQ(Read(*ta, second), 'b');
  {
    TTableGuard guard(*ta);
    ta->WriteLock();
    Change(*ta, first, 'z');
    ta->WriteCaches(true, false, true);
    ta->WriteUnlock();
  }
  EXPECT_EQ(Read(*tb, first), 'z');
  EXPECT_EQ(tb->Index().RecordCount(), 2);
}

TEST_F(TwoSessions, AHeldRecordLockGives10258AfterTheRetries) {
  EXPECT_FALSE(ta->LockRecord(first));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCode([&] { tb->LockRecord(first); }), kErrRecordInUse);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * 10));
  ta->UnlockRecord(first);
  EXPECT_NO_THROW(tb->LockRecord(first));
  EXPECT_EQ(ErrorCode([&] { ta->UnlockRecord(first); }), kErrCannotUnlock);  // not held by a
  tb->UnlockRecord(first);
  EXPECT_EQ(ErrorCode([&] { ta->LockRecord(0); }), kErrRecordInUse);
}

TEST_F(TwoSessions, AHeldWriteByteMakesStartTransactionFail) {
  ta->StartTransaction();
  EXPECT_EQ(ErrorCode([&] { tb->StartTransaction(); }), kErrGeneralLock);
  EXPECT_FALSE(tb->InTransactionNow());
  // A directory transaction over a failing table raises and leaves every table outside.
  EXPECT_EQ(ErrorCode([&] { db->StartTransaction(); }), kErrGeneralLock);
  EXPECT_FALSE(db->InTransaction());
  // Writers outside the transaction wait for the byte, then give up.
  EXPECT_EQ(ErrorCode([&] { tb->WriteLock(); }), kErrGeneralLock);
  ta->Rollback();
  EXPECT_NO_THROW(tb->StartTransaction());
  tb->Rollback();
}

TEST_F(TwoSessions, RollbackDiscardsAndCommitPublishes) {
  da->StartTransaction();
  ASSERT_TRUE(ta->InTransactionNow());
  Change(*ta, first, 'q');
  {
    TTableGuard guard(*ta);
    TRecord* r = ta->Data().TakeFreeRecord();
    ta->Data().InitRecord(*r, true);
    r->Buffer[10] = 'n';
    r->Changed = true;
    ta->Data().ReleaseRecord(r);
  }
  ta->WriteCaches(false, false, true);  // in a transaction: nothing reaches the file
  EXPECT_EQ(Read(*tb, first), 'a');
  EXPECT_EQ(tb->Data().NextRecord(), 2u);
  da->Rollback();
  EXPECT_EQ(Read(*ta, first), 'a');
  EXPECT_EQ(ta->Data().NextRecord(), 2u);
  da->StartTransaction();
  Change(*ta, first, 'c');
  ta->LockRecord(first);
  ta->UnlockRecord(first);  // deferred until the end of the transaction
  EXPECT_TRUE(ta->HoldsRecordLock(first));
  da->Commit(true);
  EXPECT_FALSE(ta->HoldsRecordLock(first));
  EXPECT_EQ(Read(*tb, first), 'c');
}

// A table whose commit fails (another user's reader byte keeps out its writer region) fails the
// directory's commit; the tables not yet committed roll back and free their write bytes.
TEST_F(TwoSessions, AFailedCommitRollsBackTheOtherTablesAndRaises) {
  TDataTable* created = nullptr;
  ASSERT_EQ(da->CreateTable("other", true, false, People(), &created), 0);
  ASSERT_EQ(da->CloseTable(created), 0);
  TDataTable* oa = nullptr;
  TDataTable* ob = nullptr;
  ASSERT_EQ(da->OpenTable("other", &oa, TOpenOptions{true}), 0);  // listed after "shared": commits first
  ASSERT_EQ(db->OpenTable("other", &ob, TOpenOptions{true}), 0);
  da->StartTransaction();
  Change(*ta, first, 'q');
  ob->ReadLock();
  EXPECT_EQ(ErrorCode([&] { da->Commit(true); }), kErrGeneralLock);
  EXPECT_FALSE(da->InTransaction());
  EXPECT_FALSE(ta->InTransactionNow());
  EXPECT_FALSE(oa->InTransactionNow());
  EXPECT_EQ(Read(*tb, first), 'a');
  EXPECT_EQ(Read(*ta, first), 'a');
  EXPECT_NO_THROW(tb->StartTransaction());  // no write byte left behind
  tb->Rollback();
  ob->ReadUnlock();
  EXPECT_EQ(da->CloseTable(oa), 0);
  EXPECT_EQ(db->CloseTable(ob), 0);
}

TEST_F(TwoSessions, ATableHoldingItsTableLockCanStillWrite) {
  ta->LockTable();
  EXPECT_NO_THROW(ta->WriteLock());  // its own reader byte does not block it
  ta->WriteUnlock();
  EXPECT_EQ(ErrorCode([&] { tb->WriteLock(); }), kErrGeneralLock);  // another user's does
  ta->UnlockTable();
  EXPECT_NO_THROW(tb->WriteLock());
  tb->WriteUnlock();
}

}  // namespace
}  // namespace tovenmarsh::engine
