// Databases: names and their checks, opening by name and by path, temporary databases and
// their reference counts, shared engine directories that outlive their lender, closing with an
// open transaction, attached data sets, and databases that outlive their session.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "dataset/database_error.h"
#include "dataset/fen_database.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_session.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "(none)";
}

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = platform::SystemTempFolder() + "fendbXXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

engine::TTableDefinition OneIntegerTable() {
  engine::TTableDefinition d;
  engine::FieldDesc f;
  f.Name = "no";
  f.FieldType = engine::fldInt32;
  d.Data.Fields = {f};
  engine::IndexDesc primary;
  primary.Unique = true;
  primary.FieldCount = 1;
  primary.FieldNumbers[0] = 1;
  d.Indexes = {primary};
  return d;
}

// Creates a table through the database's engine directory and leaves it closed.
void CreateTable(TFenDatabase& db, const std::string& name) {
  engine::TDataTable* table = nullptr;
  ASSERT_EQ(db.Handle()->CreateTable(name, false, false, OneIntegerTable(), &table), 0);
  ASSERT_EQ(db.Handle()->CloseTable(table), 0);
}

class FenDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = std::make_unique<TFenSession>();
    session_->SetSessionName(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { session_.reset(); }

  std::unique_ptr<TFenDatabase> MakeDatabase(const std::string& name, const std::string& folder) {
    auto db = std::make_unique<TFenDatabase>(session_.get());
    db->SetDatabaseName(name);
    db->SetDirectory(folder);
    return db;
  }

  ScratchFolder folder_;
  std::unique_ptr<TFenSession> session_;
};

TEST_F(FenDatabaseTest, NamesAreCheckedWhenSet) {
  TFenDatabase db(session_.get());
  EXPECT_EQ(db.SessionName(), session_->SessionName());
  EXPECT_TRUE(db.KeepConnection());
  EXPECT_EQ(db.EngineVersion(), "2.06");
  struct Case {
    const char* name;
    bool valid;
  };
  for (const Case c : {Case{"abc", true}, Case{"_under", true}, Case{"Zeta9", true}, Case{"\x81x", true},
                       Case{"", true}, Case{"9lives", false}, Case{"/var/db", false}, Case{"C:\\data", false},
                       Case{"a:b", false}, Case{"a/b", false}, Case{" lead", false}}) {
    const std::string error = ErrorText([&] { db.SetDatabaseName(c.name); });
    if (c.valid)
      EXPECT_EQ(error, "(none)") << c.name;
    else
      EXPECT_EQ(error, std::string("Database name ") + c.name + " is not valid.") << c.name;
  }
  db.SetDatabaseName("Mail");
  TFenDatabase second(session_.get());
  EXPECT_EQ(ErrorText([&] { second.SetDatabaseName("MAIL"); }), "Database name MAIL already exists.");
  // Both sharing handles may carry one name.
  db.SetHandleShared(true);
  second.SetHandleShared(true);
  second.SetDatabaseName("MAIL");
}

TEST_F(FenDatabaseTest, OpenNeedsANameAndNamesCannotChangeWhileOpen) {
  auto db = MakeDatabase("", folder_.Path());
  EXPECT_EQ(ErrorText([&] { db->Open(); }), "Database name is missing.");
  EXPECT_FALSE(db->Connected());
  db->SetDatabaseName("Main");
  int before = 0;
  db->SetBeforeConnect([&](TFenDatabase&) { ++before; });
  db->SetConnected(true);
  EXPECT_TRUE(db->Connected());
  EXPECT_TRUE(session_->Active());
  EXPECT_EQ(before, 1);
  db->Open();  // already open: nothing
  EXPECT_EQ(before, 1);
  for (auto change : std::initializer_list<std::function<void()>>{[&] { db->SetDatabaseName("Other"); },
                                                                   [&] { db->SetDirectory("/tmp"); },
                                                                   [&] { db->SetSessionName("Default"); }})
    EXPECT_EQ(ErrorText(change), "Cannot perform this operation on an open database.");
  ASSERT_NE(db->Handle(), nullptr);
  EXPECT_EQ(db->Handle()->Path().rfind(folder_.Path(), 0), 0u);
  db->Close();
  EXPECT_EQ(db->Handle(), nullptr);
}

TEST_F(FenDatabaseTest, UnknownSessionNameFailsTheOpen) {
  auto db = MakeDatabase("Lost", folder_.Path());
  db->SetSessionName("NoSuchSession");
  EXPECT_EQ(ErrorText([&] { db->Open(); }), "Session name NoSuchSession is not valid.");
  EXPECT_FALSE(db->Connected());
  // Binding another session moves the database there.
  db->SetSessionName("Default");
  db->Open();
  EXPECT_EQ(db->Session(), &Sessions().DefaultSession());
  EXPECT_EQ(Sessions().DefaultSession().FindDatabase("Lost"), db.get());
  EXPECT_EQ(session_->FindDatabase("Lost"), nullptr);
}

TEST_F(FenDatabaseTest, TransactionsNeedAnOpenDatabaseAndOneTransactionAtATime) {
  auto db = MakeDatabase("Tx", folder_.Path());
  for (auto call : std::initializer_list<std::function<void()>>{[&] { db->StartTransaction(); },
                                                                 [&] { db->Commit(); }, [&] { db->Rollback(); }})
    EXPECT_EQ(ErrorText(call), "Cannot perform this operation on a closed database.");
  EXPECT_FALSE(db->InTransaction());
  db->Open();
  EXPECT_EQ(ErrorText([&] { db->Commit(); }), "Database Tx has no active transaction.");
  EXPECT_EQ(ErrorText([&] { db->Rollback(); }), "Database Tx has no active transaction.");
  db->StartTransaction();
  EXPECT_TRUE(db->InTransaction());
  EXPECT_EQ(ErrorText([&] { db->StartTransaction(); }), "Database Tx already has an active transaction.");
  db->Commit();
  EXPECT_FALSE(db->InTransaction());
  db->StartTransaction();
  db->Rollback();
  EXPECT_FALSE(db->InTransaction());
}

TEST_F(FenDatabaseTest, APathNameOpensATemporaryDatabaseOnThatFolder) {
  TFenDatabase& db = session_->OpenDatabase(folder_.Path());
  EXPECT_TRUE(db.Temporary());
  EXPECT_TRUE(db.Connected());
  EXPECT_EQ(db.ReferenceCount(), 1);
  EXPECT_EQ(db.Handle()->Name(), "");
  EXPECT_EQ(db.Handle()->Path().rfind(folder_.Path(), 0), 0u);
  CreateTable(db, "probe");
  EXPECT_TRUE(std::filesystem::exists(folder_.Path() + "/probe.DAT") ||
              std::filesystem::exists(folder_.Path() + "/probe.dat"));
  // The same name finds the same database and counts it.
  EXPECT_EQ(&session_->OpenDatabase(folder_.Path()), &db);
  EXPECT_EQ(db.ReferenceCount(), 2);
  session_->CloseDatabase(db);
  EXPECT_EQ(session_->FindDatabase(folder_.Path()), &db);
  session_->CloseDatabase(db);  // last user, KeepConnections false: freed
  EXPECT_EQ(session_->FindDatabase(folder_.Path()), nullptr);
}

TEST_F(FenDatabaseTest, KeepConnectionsKeepsTemporaryDatabasesOpen) {
  session_->SetKeepConnections(true);
  TFenDatabase& db = session_->OpenDatabase(folder_.Path());
  session_->CloseDatabase(db);
  ASSERT_EQ(session_->FindDatabase(folder_.Path()), &db);
  EXPECT_TRUE(db.Connected());
  // Closing the session frees its temporary databases.
  session_->CloseSession();
  EXPECT_EQ(session_->FindDatabase(folder_.Path()), nullptr);
}

TEST_F(FenDatabaseTest, AnUnusedTemporaryDatabaseGivesWayToANamedOne) {
  session_->SetKeepConnections(true);
  TFenDatabase& temp = session_->OpenDatabase("Shop");
  EXPECT_TRUE(temp.Temporary());
  auto named = std::make_unique<TFenDatabase>(session_.get());
  EXPECT_EQ(ErrorText([&] { named->SetDatabaseName("shop"); }), "Database name shop already exists.");
  session_->CloseDatabase(temp);
  named->SetDatabaseName("shop");
  EXPECT_EQ(session_->FindDatabase("Shop"), named.get());
}

TEST_F(FenDatabaseTest, NamedDatabasesCloseOnTheLastUserOnlyWithoutKeepConnection) {
  auto db = MakeDatabase("Named", folder_.Path());
  EXPECT_EQ(&session_->OpenDatabase("named"), db.get());
  session_->CloseDatabase(*db);
  EXPECT_TRUE(db->Connected());  // KeepConnection
  session_->OpenDatabase("Named");
  db->SetKeepConnection(false);
  EXPECT_TRUE(db->Connected());  // still used
  session_->CloseDatabase(*db);
  EXPECT_FALSE(db->Connected());
  session_->CloseDatabase(*db);  // below zero: nothing
  EXPECT_EQ(db->ReferenceCount(), 0);
}

TEST_F(FenDatabaseTest, ASharedDirectoryOutlivesTheDatabaseThatLentIt) {
  auto lender = MakeDatabase("Shared", folder_.Path());
  auto borrower = MakeDatabase("", folder_.Path());
  lender->SetHandleShared(true);
  borrower->SetHandleShared(true);
  borrower->SetDatabaseName("Shared");
  lender->Open();
  CreateTable(*lender, "kept");
  borrower->Open();
  EXPECT_TRUE(borrower->Borrowed());
  EXPECT_EQ(borrower->Handle(), lender->Handle());
  lender->Close();
  // The borrower's directory is still alive and usable.
  ASSERT_NE(borrower->Handle(), nullptr);
  EXPECT_TRUE(borrower->Handle()->TableExists("kept", false));
  engine::TDataTable* table = nullptr;
  EXPECT_EQ(borrower->Handle()->OpenTable("kept", &table, {}), 0);
  EXPECT_EQ(borrower->Handle()->CloseTable(table), 0);
  borrower->Close();
  EXPECT_EQ(session_->GetEngineSession()->DirectoryCount(), 0u);
}

TEST_F(FenDatabaseTest, ClosingRollsBackTheTransactionItStarted) {
  // Two names for one folder share the engine directory within a session.
  auto a = MakeDatabase("First", folder_.Path());
  auto b = MakeDatabase("Second", folder_.Path());
  a->Open();
  b->Open();
  ASSERT_EQ(a->Handle(), b->Handle());
  CreateTable(*a, "t1");
  engine::TDataTable* table = nullptr;
  ASSERT_EQ(a->Handle()->OpenTable("t1", &table, {}), 0);
  a->StartTransaction();
  ASSERT_EQ(a->Handle()->CloseTable(table), 0);
  EXPECT_EQ(a->Handle()->TableCount(), 1u);  // kept for the transaction
  a->Close();
  // The transaction ended with its database and took its table along.
  EXPECT_FALSE(b->InTransaction());
  EXPECT_EQ(b->Handle()->TableCount(), 0u);
  // A transaction the other database started is not ended by this one's close.
  a->Open();
  b->StartTransaction();
  a->Close();
  EXPECT_TRUE(b->InTransaction());
  b->Close();
}

class FakeDataSet : public TFenDatabaseClient {
 public:
  FakeDataSet(TFenSession& session, const std::string& name) : session_(session) {
    database_ = &session.OpenDatabase(name);
    database_->AttachDataSet(*this);
  }
  void Disconnect() override {
    if (database_ == nullptr) return;
    database_->DetachDataSet(*this);
    TFenDatabase* db = database_;
    database_ = nullptr;
    session_.CloseDatabase(*db);
  }
  bool Attached() const { return database_ != nullptr; }

 private:
  TFenSession& session_;
  TFenDatabase* database_ = nullptr;
};

TEST_F(FenDatabaseTest, CloseDisconnectsEveryAttachedDataSet) {
  auto db = MakeDatabase("Attached", folder_.Path());
  FakeDataSet one(*session_, "Attached"), two(*session_, "Attached");
  EXPECT_EQ(db->DataSetCount(), 2);
  EXPECT_EQ(db->ReferenceCount(), 2);
  db->Close();
  EXPECT_FALSE(one.Attached());
  EXPECT_FALSE(two.Attached());
  EXPECT_EQ(db->DataSetCount(), 0);
  EXPECT_EQ(db->ReferenceCount(), 0);
}

TEST_F(FenDatabaseTest, ClosingATemporaryDatabaseWithDataSetsThatReleaseIt) {
  auto one = std::make_unique<FakeDataSet>(*session_, folder_.Path());
  FakeDataSet two(*session_, folder_.Path());
  TFenDatabase* db = session_->FindDatabase(folder_.Path());
  ASSERT_NE(db, nullptr);
  EXPECT_FALSE(db->KeepConnection());
  // The data sets' releases during Close neither close nor free it twice.
  db->Close();
  EXPECT_FALSE(one->Attached());
  EXPECT_FALSE(two.Attached());
  EXPECT_FALSE(db->Connected());
  // Closed by hand, it stays in the session until the session closes.
  EXPECT_EQ(session_->FindDatabase(folder_.Path()), db);
  session_->CloseSession();
  EXPECT_EQ(session_->FindDatabase(folder_.Path()), nullptr);
}

TEST_F(FenDatabaseTest, DatabasesOutlivingTheirSessionAreDetached) {
  const std::string name = session_->SessionName();
  auto db = MakeDatabase("Orphan", folder_.Path());
  db->Open();
  FakeDataSet user(*session_, "Orphan");
  session_.reset();
  EXPECT_FALSE(user.Attached());
  EXPECT_FALSE(db->Connected());
  EXPECT_EQ(db->Session(), nullptr);
  EXPECT_EQ(ErrorText([&] { db->Open(); }), "Session name " + name + " is not valid.");
  // A new session of that name takes it in again.
  TFenSession revived;
  revived.SetSessionName(name);
  db->Open();
  EXPECT_EQ(db->Session(), &revived);
  EXPECT_TRUE(db->Connected());
  db.reset();
  EXPECT_TRUE(revived.Databases().empty());
}

TEST_F(FenDatabaseTest, EngineFailuresArriveAsTheLayersEngineError) {
  auto db = MakeDatabase("Errors", folder_.Path());
  db->Open();
  CreateTable(*db, "busy");
  engine::TDataTable* table = nullptr;
  ASSERT_EQ(db->Handle()->OpenTable("busy", &table, {}), 0);
  try {
    CheckEngineResult(db->Handle()->DeleteTable("busy", false));
    FAIL() << "deleted a table in use";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 11013);
  }
  db->Handle()->CloseTable(table);
}

}  // namespace
}  // namespace tovenmarsh::dataset
