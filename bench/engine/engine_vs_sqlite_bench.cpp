// Our engine against SQLite, side by side in one run on the same file system, with matched
// durability: bulk insert of N rows into a table with a primary and two secondary indexes in
// one transaction against one transaction; single-row inserts outside a transaction (our
// shared-table flush against SQLite's synchronous=FULL); random point lookups by key; range
// scans on a secondary index; a full scan. Each figure is printed with its ratio to SQLite
// (ours / SQLite: below 1 is faster).
//
// Usage: bench_engine_engine_vs_sqlite [rows] [directory] [ours]   (defaults 1000000, /tmp; a third
// argument "ours" skips SQLite, for profiling)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "engine/bench_support.h"

using namespace tovenmarsh::engine;

namespace {

using namespace tovenmarsh::engine::bench;

}  // namespace

int main(int argc, char** argv) {
  const uint32_t rows = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 1000000u;
  std::string base = argc > 2 ? argv[2] : "/tmp";
  const bool withSqlite = !(argc > 3 && std::strcmp(argv[3], "ours") == 0);
  std::string dir = base + "/tm_engine_bench_XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  const uint32_t singles = 200, lookups = 100000, ranges = 2000;
  std::printf("rows %u, directory %s\n", rows, dir.c_str());

  EngineStart();
  TDataSession* session = CreateEngineSession();
  TDataDirectory* directory = session->OpenDirectory("bench", dir);
  sqlite3* db = nullptr;
  if (withSqlite) {
    sqlite3_open((dir + "/bench.sqlite").c_str(), &db);
    Exec(db, "PRAGMA synchronous=FULL");
    Exec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, val INTEGER)");
    Exec(db, "CREATE INDEX t_name ON t(name)");
    Exec(db, "CREATE INDEX t_val ON t(val)");
  }
  // Runs one SQLite statement per bound value and times it (0 without SQLite).
  auto sqliteRows = [&](const char* sql, const std::vector<int32_t>& values, auto bind, auto row) {
    if (!withSqlite) return 0.0;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    const auto s0 = std::chrono::steady_clock::now();
    for (int32_t v : values) {
      bind(statement, v);
      while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
      sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return Seconds(s0);
  };
  auto check = [&](int64_t ours, int64_t theirs) {
    if (withSqlite && ours != theirs) std::printf("  MISMATCH %lld %lld\n", (long long)ours, (long long)theirs);
  };

  try {
    {
      TDataCursor create(directory);
      create.SetTableName("bench");
      create.SetExclusive(true);
      create.CreateTable({}, false, {Index("", 1, true), Index("ByName", 2, false), Index("ByVal", 3, false)},
                         {Field("Id", fldInt32), Field("Name", fldZString, 16), Field("Val", fldInt32)});
    }
    TDataCursor cursor(directory);
    cursor.SetTableName("bench");
    cursor.Open();
    std::vector<uint8_t> record(cursor.GetRecordSize());

    // Bulk insert, one transaction each.
    auto t0 = std::chrono::steady_clock::now();
    directory->StartTransaction();
    for (uint32_t i = 1; i <= rows; ++i) {
      cursor.InitRecord(record.data());
      const int32_t id = static_cast<int32_t>(i), val = static_cast<int32_t>(i % 10000);
      const std::string name = NameOf(i);
      cursor.SetFieldData(1, record.data(), &id);
      cursor.SetFieldData(2, record.data(), name.c_str());
      cursor.SetFieldData(3, record.data(), &val);
      cursor.InsertRecord(record.data(), false);
    }
    directory->Commit(true);
    const double oursBulk = Seconds(t0);
    std::vector<int32_t> bulkIds(rows), singleIds(singles);
    for (uint32_t i = 0; i < rows; ++i) bulkIds[i] = static_cast<int32_t>(i + 1);
    for (uint32_t i = 0; i < singles; ++i) singleIds[i] = static_cast<int32_t>(rows + 1 + i);
    auto bindRow = [](sqlite3_stmt* s, int32_t i) {
      const std::string name = NameOf(static_cast<uint32_t>(i));
      sqlite3_bind_int(s, 1, i);
      sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(s, 3, i % 10000);
    };
    auto noRow = [](sqlite3_stmt*) {};
    const char* insertSql = "INSERT INTO t VALUES(?,?,?)";
    double theirs = 0;
    if (withSqlite) {
      t0 = std::chrono::steady_clock::now();
      Exec(db, "BEGIN");
      sqliteRows(insertSql, bulkIds, bindRow, noRow);
      Exec(db, "COMMIT");
      theirs = Seconds(t0);
    }
    Report("bulk insert, one transaction", oursBulk, theirs);

    // Single-row inserts, each durable on its own.
    t0 = std::chrono::steady_clock::now();
    for (uint32_t i = rows + 1; i <= rows + singles; ++i) {
      cursor.InitRecord(record.data());
      const int32_t id = static_cast<int32_t>(i), val = static_cast<int32_t>(i % 10000);
      const std::string name = NameOf(i);
      cursor.SetFieldData(1, record.data(), &id);
      cursor.SetFieldData(2, record.data(), name.c_str());
      cursor.SetFieldData(3, record.data(), &val);
      cursor.InsertRecord(record.data(), false);
    }
    const double oursSingle = Seconds(t0);
    Report("single-row inserts outside a transaction", oursSingle, sqliteRows(insertSql, singleIds, bindRow, noRow));
    const uint32_t total = rows + singles;

    // Point lookups.
    std::mt19937 rng(7);
    std::vector<int32_t> keys(lookups);
    for (int32_t& k : keys) k = static_cast<int32_t>(1 + rng() % total);
    int64_t sumOurs = 0, sumTheirs = 0;
    cursor.SwitchToIndex("");
    std::vector<uint8_t> key(cursor.GetRecordSize());
    t0 = std::chrono::steady_clock::now();
    for (int32_t k : keys) {
      cursor.InitRecord(key.data());
      cursor.SetFieldData(1, key.data(), &k);
      if (cursor.FindKey(key.data(), false, record.data(), 0, false, 0)) {
        int32_t v = 0;
        cursor.GetFieldData(3, record.data(), &v);
        sumOurs += v;
      }
    }
    const double oursLookup = Seconds(t0);
    auto bindOne = [](sqlite3_stmt* s, int32_t v) { sqlite3_bind_int(s, 1, v); };
    auto sumColumn = [&](sqlite3_stmt* s) { sumTheirs += sqlite3_column_int(s, 0); };
    Report("random point lookups by primary key", oursLookup,
           sqliteRows("SELECT val FROM t WHERE id=?", keys, bindOne, sumColumn));
    check(sumOurs, sumTheirs);

    // Range scans on the secondary index.
    sumOurs = sumTheirs = 0;
    cursor.SwitchToIndex("ByVal");
    std::vector<uint8_t> lo(cursor.GetRecordSize()), hi(cursor.GetRecordSize());
    std::vector<int32_t> starts(ranges);
    for (int32_t& s : starts) s = static_cast<int32_t>(rng() % 10000);
    t0 = std::chrono::steady_clock::now();
    for (int32_t s : starts) {
      const int32_t e = s + 1;  // about rows / 10000 * 2 records
      cursor.InitRecord(lo.data());
      cursor.InitRecord(hi.data());
      cursor.SetFieldData(3, lo.data(), &s);
      cursor.SetFieldData(3, hi.data(), &e);
      cursor.SetRange(false, lo.data(), 1, hi.data(), 1);
      cursor.First();
      while (cursor.GetNextRecord(record.data()) == 0) {
        int32_t v = 0;
        cursor.GetFieldData(1, record.data(), &v);
        sumOurs += v;
      }
    }
    cursor.CancelRange();
    const double oursRange = Seconds(t0);
    auto bindRange = [](sqlite3_stmt* s, int32_t v) {
      sqlite3_bind_int(s, 1, v);
      sqlite3_bind_int(s, 2, v + 1);
    };
    // SQLite answers this one from the index alone (the row id is in every index entry), while
    // our cursor always reads the whole record; the next figure makes SQLite read the rows too.
    Report("range scans on a secondary index", oursRange,
           sqliteRows("SELECT id FROM t WHERE val BETWEEN ? AND ?", starts, bindRange, sumColumn));
    check(sumOurs, sumTheirs);
    sumTheirs = 0;
    Report("  the same, SQLite reading whole rows", oursRange,
           sqliteRows("SELECT id, name, val FROM t WHERE val BETWEEN ? AND ?", starts, bindRange, sumColumn));
    check(sumOurs, sumTheirs);

    // Full scan in primary-key order.
    sumOurs = sumTheirs = 0;
    cursor.SwitchToIndex("");
    t0 = std::chrono::steady_clock::now();
    cursor.First();
    while (cursor.GetNextRecord(record.data()) == 0) {
      int32_t v = 0;
      cursor.GetFieldData(3, record.data(), &v);
      sumOurs += v;
    }
    const double oursScan = Seconds(t0);
    Report("full scan in key order", oursScan,
           sqliteRows("SELECT val FROM t ORDER BY id", {0}, [](sqlite3_stmt*, int32_t) {}, sumColumn));
    check(sumOurs, sumTheirs);
    cursor.Close();
  } catch (const EFenEngineError& e) {
    std::fprintf(stderr, "%s\n", e.Message().c_str());
    return 1;
  }
  if (db) sqlite3_close(db);
  session->CloseDirectory(directory);
  FreeEngineSession(session);
  EngineStop();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
