// The query data set: statements with ":name" parameters run through the record-set
// framework, results read as data sets, statements without a result set, the rules of
// preparing, and a master data source filling and re-running a detail query.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/data_link.h"
#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fields.h"
#include "platform/paths.h"
#include "sql/fen_query.h"

namespace {

namespace ds = tovenmarsh::dataset;
using tovenmarsh::sql::TFenQuery;

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const ds::EDatabaseError& e) {
    return e.Message();
  }
  return "(none)";
}

class SqlFenQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = tovenmarsh::platform::SystemTempFolder() + "fenqueryXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
  }
  void TearDown() override {
    queries_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TFenQuery& Query(const std::string& text) {
    queries_.push_back(std::make_unique<TFenQuery>());
    TFenQuery& q = *queries_.back();
    q.SetDatabaseName(folder_);
    q.SetSQL({text});
    return q;
  }

  // Runs a statement without a result set: the open fails after the statement has run.
  int32_t Run(const std::string& text) {
    TFenQuery& q = Query(text);
    EXPECT_EQ(ErrorText([&] { q.Open(); }), "Error creating table handle.") << text;
    return q.RowsAffected();
  }

  static std::vector<std::string> Rows(TFenQuery& q) {
    std::vector<std::string> rows;
    q.First();
    while (!q.Eof()) {
      std::string row;
      for (int i = 0; i < q.Fields().Count(); ++i) {
        if (i > 0) row += "|";
        row += q.Fields()[i].IsNull() ? "null" : q.Fields()[i].AsString();
      }
      rows.push_back(row);
      q.Next();
    }
    return rows;
  }

  void CreatePeople() {
    Run("CREATE TABLE people (no INTEGER, name CHAR(20), team INTEGER, PRIMARY KEY (no))");
    const char* rows[] = {"(1, 'ann', 1)", "(2, 'bob', 1)", "(3, 'cy', 2)", "(4, 'di', 3)"};
    for (const char* row : rows) EXPECT_EQ(Run(std::string("INSERT INTO people VALUES ") + row), 1);
  }

  std::string folder_;
  std::vector<std::unique_ptr<TFenQuery>> queries_;
};

TEST_F(SqlFenQuery, ParametersByNameSelectRows) {
  CreatePeople();
  TFenQuery& q = Query("SELECT no, name FROM people WHERE team = :team AND name <> ':team'");
  ASSERT_EQ(q.Params().Count(), 1);
  EXPECT_EQ(q.Text(), "SELECT no, name FROM people WHERE team = ? AND name <> ':team'");
  q.ParamByName("TEAM").SetAsInteger(1);
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"1|ann", "2|bob"}));
  q.Close();
  q.ParamByName("team").SetAsInteger(2);
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"3|cy"}));
  q.Close();
  // A new text keeps the value of a parameter of the same name.
  q.SetSQL({"SELECT name FROM people", "WHERE team >= :team"});
  EXPECT_EQ(q.Text(), "SELECT name FROM people\nWHERE team >= ?");
  ASSERT_EQ(q.Params().Count(), 1);
  EXPECT_EQ(q.Params()[0].AsInteger(), 2);
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"cy", "di"}));
}

TEST_F(SqlFenQuery, StatementsWithoutAResultRunAndThenFailTheOpen) {
  CreatePeople();
  TFenQuery& update = Query("UPDATE people SET team = :t WHERE no > :n");
  update.ParamByName("t").SetAsInteger(9);
  update.ParamByName("n").SetAsInteger(2);
  EXPECT_EQ(ErrorText([&] { update.Open(); }), "Error creating table handle.");
  EXPECT_EQ(update.RowsAffected(), 2);
  EXPECT_FALSE(update.Active());
  // Opened again, the prepared statement runs again.
  update.SetSQL({"UPDATE people SET team = team + 1 WHERE no <= :n"});
  update.ParamByName("n").SetAsInteger(2);
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(ErrorText([&] { update.Open(); }), "Error creating table handle.");
    EXPECT_EQ(update.RowsAffected(), 2);
    EXPECT_TRUE(update.Prepared());
  }
  TFenQuery& teams = Query("SELECT team FROM people WHERE no <= 2");
  teams.Open();
  EXPECT_EQ(Rows(teams), (std::vector<std::string>{"3", "3"}));
  TFenQuery& q = Query("SELECT no FROM people WHERE team = 9");
  q.Open();
  EXPECT_EQ(Rows(q), (std::vector<std::string>{"3", "4"}));
}

TEST_F(SqlFenQuery, MisuseGivesTheFrameworksMessages) {
  CreatePeople();
  TFenQuery& unset = Query("SELECT * FROM people WHERE no = :nothing");
  EXPECT_EQ(ErrorText([&] { unset.Open(); }), "No value for parameter 'nothing'");
  TFenQuery& empty = Query("");
  empty.SetSQL({});
  EXPECT_EQ(ErrorText([&] { empty.Open(); }), "No SQL statement available");
  EXPECT_EQ(ErrorText([&] { empty.SetPrepared(true); }), "No SQL statement available");
  TFenQuery& q = Query("SELECT * FROM people");
  q.Open();
  EXPECT_EQ(ErrorText([&] { q.SetPrepared(false); }),
            "Cannot perform this operation on an open dataset");
  TFenQuery& bad = Query("SELECT * FROM nosuchtable");
  EXPECT_NE(ErrorText([&] { bad.Prepare(); }), "(none)");
  EXPECT_FALSE(bad.Prepared());
  TFenQuery& syntax = Query("SELECT FROM people");
  try {
    syntax.Open();
    ADD_FAILURE() << "no error";
  } catch (const ds::EFenEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 11949);
  }
  // Without ParamCheck the markers stay as written.
  TFenQuery& raw = Query("");
  raw.SetParamCheck(false);
  raw.SetSQL({"SELECT * FROM people WHERE no = :x"});
  EXPECT_EQ(raw.Params().Count(), 0);
  EXPECT_EQ(raw.Text(), "SELECT * FROM people WHERE no = :x");
  EXPECT_EQ(raw.EngineVersion(), "2.06");
}

TEST_F(SqlFenQuery, AMasterSourceFillsAndReRunsTheDetail) {
  CreatePeople();
  Run("CREATE TABLE teams (team INTEGER, title CHAR(10), PRIMARY KEY (team))");
  Run("INSERT INTO teams VALUES (1, 'red')");
  Run("INSERT INTO teams VALUES (2, 'blue')");
  TFenQuery& master = Query("SELECT team, title FROM teams ORDER BY team");
  ds::TDataSource source;
  source.SetDataSet(&master);
  TFenQuery& detail = Query("SELECT name FROM people WHERE team = :team ORDER BY name");
  detail.SetDataSource(&source);
  master.Open();
  detail.Open();
  EXPECT_EQ(Rows(detail), (std::vector<std::string>{"ann", "bob"}));
  EXPECT_FALSE(detail.Params()[0].Bound);
  master.Next();
  EXPECT_TRUE(detail.Active());
  EXPECT_EQ(Rows(detail), (std::vector<std::string>{"cy"}));
  // A bound parameter is not taken from the master.
  detail.Close();
  detail.ParamByName("team").SetAsInteger(3);
  detail.Open();
  EXPECT_EQ(Rows(detail), (std::vector<std::string>{"di"}));

  ds::TDataSource own;
  own.SetDataSet(&detail);
  EXPECT_EQ(ErrorText([&] { detail.SetDataSource(&own); }), "Circular datalinks are not allowed");
  detail.Close();
  detail.SetDataSource(nullptr);
  master.Close();
  source.SetDataSet(nullptr);
}

}  // namespace
