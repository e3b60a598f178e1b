// The write path of our engine against SQLite, side by side in one run on the same file
// system, with matched durability: bulk inserts in one transaction (plain rows, and rows with a
// 1000-byte memo) against one transaction; single-row inserts, updates of an indexed field and
// deletes outside a transaction (our shared-table flush against SQLite's synchronous=FULL).
// Each figure is printed with its ratio to SQLite (ours / SQLite: below 1 is faster).
//
// Usage: bench_engine_engine_write [rows] [singles] [directory] [ours]
//   (defaults 100000, 200, /tmp; a fourth argument "ours" skips SQLite, for profiling)
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/bench_support.h"

using namespace tovenmarsh::engine;

namespace {

using namespace tovenmarsh::engine::bench;

using Clock = std::chrono::steady_clock;

// Processor time of this process so far (shows our share when the machine is busy).
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// One engine table and one SQLite table of the same shape: id primary key, name and val
// secondary indexes, and with `memo` a memo field.
struct TPair {
  TDataCursor* Cursor = nullptr;
  sqlite3* Db = nullptr;
  std::vector<uint8_t> Record;
};

void Fill(TDataCursor& cursor, uint8_t* record, uint32_t i, int32_t val) {
  cursor.InitRecord(record);
  const int32_t id = static_cast<int32_t>(i);
  const std::string name = NameOf(i);
  cursor.SetFieldData(1, record, &id);
  cursor.SetFieldData(2, record, name.c_str());
  cursor.SetFieldData(3, record, &val);
}

bool Find(TDataCursor& cursor, uint8_t* record, uint32_t i) {
  std::vector<uint8_t> key(cursor.GetRecordSize());
  cursor.InitRecord(key.data());
  const int32_t id = static_cast<int32_t>(i);
  cursor.SetFieldData(1, key.data(), &id);
  return cursor.FindKey(key.data(), false, record, 0, false, 0);
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t rows = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 100000u;
  const uint32_t singles = argc > 2 ? static_cast<uint32_t>(std::atol(argv[2])) : 200u;
  std::string base = argc > 3 ? argv[3] : "/tmp";
  const bool withSqlite = !(argc > 4 && std::strcmp(argv[4], "ours") == 0);
  std::string dir = base + "/tm_engine_write_bench_XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  const uint32_t memoRows = rows / 10;
  const std::string memo(1000, 'm');
  std::printf("rows %u, singles %u, memo rows %u, directory %s\n", rows, singles, memoRows, dir.c_str());

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
    Exec(db, "CREATE TABLE m(id INTEGER PRIMARY KEY, name TEXT, val INTEGER, memo TEXT)");
    Exec(db, "CREATE INDEX m_name ON m(name)");
    Exec(db, "CREATE INDEX m_val ON m(val)");
  }
  auto sqliteTime = [&](const char* sql, uint32_t from, uint32_t to, auto bind) {
    if (!withSqlite) return 0.0;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    const auto t0 = Clock::now();
    for (uint32_t i = from; i <= to; ++i) {
      bind(statement, i);
      if (sqlite3_step(statement) != SQLITE_DONE) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::exit(1);
      }
      sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return Seconds(t0);
  };
  auto bindRow = [](sqlite3_stmt* s, uint32_t i) {
    const std::string name = NameOf(i);
    sqlite3_bind_int(s, 1, static_cast<int>(i));
    sqlite3_bind_text(s, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 3, static_cast<int>(i % 10000));
  };

  try {
    for (const char* name : {"bench", "memos"}) {
      TDataCursor create(directory);
      create.SetTableName(name);
      create.SetExclusive(true);
      std::vector<FieldDesc> fields = {Field("Id", fldInt32), Field("Name", fldZString, 16), Field("Val", fldInt32)};
      if (std::strcmp(name, "memos") == 0) fields.push_back(Field("Memo", fldBlob, 0, fldstMemo));
      create.CreateTable({}, false, {Index("", 1, true), Index("ByName", 2, false), Index("ByVal", 3, false)},
                         fields);
    }
    TDataCursor cursor(directory);
    cursor.SetTableName("bench");
    cursor.Open();
    std::vector<uint8_t> record(cursor.GetRecordSize());

    // Bulk insert, one transaction each.
    const double cpu0 = CpuSeconds();
    auto t0 = Clock::now();
    directory->StartTransaction();
    for (uint32_t i = 1; i <= rows; ++i) {
      Fill(cursor, record.data(), i, static_cast<int32_t>(i % 10000));
      cursor.InsertRecord(record.data(), false);
    }
    const auto c0 = Clock::now();
    directory->Commit(true);
    const double commit = Seconds(c0);
    double ours = Seconds(t0);
    const double oursCpu = CpuSeconds() - cpu0;
    double theirs = 0;
    if (withSqlite) {
      const auto s0 = Clock::now();
      Exec(db, "BEGIN");
      sqliteTime("INSERT INTO t VALUES(?,?,?)", 1, rows, bindRow);
      Exec(db, "COMMIT");
      theirs = Seconds(s0);
    }
    Report("bulk insert, one transaction", ours, theirs);
    std::printf("  (ours: commit %.3f s, processor time %.3f s)\n", commit, oursCpu);

    // Single-row inserts, each durable on its own.
    t0 = Clock::now();
    for (uint32_t i = rows + 1; i <= rows + singles; ++i) {
      Fill(cursor, record.data(), i, static_cast<int32_t>(i % 10000));
      cursor.InsertRecord(record.data(), false);
    }
    ours = Seconds(t0);
    Report("single-row inserts outside a transaction", ours,
           sqliteTime("INSERT INTO t VALUES(?,?,?)", rows + 1, rows + singles, bindRow));

    // Single-row updates of an indexed field, spread over the table.
    const uint32_t step = std::max<uint32_t>(1, (rows + singles) / singles);
    t0 = Clock::now();
    for (uint32_t k = 0; k < singles; ++k) {
      const uint32_t i = 1 + k * step;
      if (!Find(cursor, record.data(), i)) {
        std::fprintf(stderr, "row %u missing\n", i);
        return 1;
      }
      const int32_t val = static_cast<int32_t>(i % 10000) + 20000;
      cursor.SetFieldData(3, record.data(), &val);
      cursor.ModifyRecord(record.data(), false, true);
    }
    ours = Seconds(t0);
    Report("single-row updates of an indexed field", ours,
           sqliteTime("UPDATE t SET val=?2 WHERE id=?1", 0, singles - 1, [&](sqlite3_stmt* s, uint32_t k) {
             const uint32_t i = 1 + k * step;
             sqlite3_bind_int(s, 1, static_cast<int>(i));
             sqlite3_bind_int(s, 2, static_cast<int>(i % 10000) + 20000);
           }));

    // Single-row deletes.
    t0 = Clock::now();
    for (uint32_t k = 0; k < singles; ++k) {
      const uint32_t i = 2 + k * step;
      if (!Find(cursor, record.data(), i)) {
        std::fprintf(stderr, "row %u missing\n", i);
        return 1;
      }
      cursor.DeleteRecord(record.data(), false);
    }
    ours = Seconds(t0);
    Report("single-row deletes", ours,
           sqliteTime("DELETE FROM t WHERE id=?", 0, singles - 1, [&](sqlite3_stmt* s, uint32_t k) {
             sqlite3_bind_int(s, 1, static_cast<int>(2 + k * step));
           }));
    cursor.Close();

    // Bulk insert of rows with a memo, one transaction each.
    TDataCursor memos(directory);
    memos.SetTableName("memos");
    memos.Open();
    std::vector<uint8_t> memoRecord(memos.GetRecordSize());
    const uint32_t memoField = 4;
    t0 = Clock::now();
    directory->StartTransaction();
    for (uint32_t i = 1; i <= memoRows; ++i) {
      Fill(memos, memoRecord.data(), i, static_cast<int32_t>(i % 10000));
      if (memos.OpenBlob(memoField, memoRecord.data(), 2) != 0 ||
          memos.WriteBlob(memoField, memoRecord.data(), 0, static_cast<uint32_t>(memo.size()),
                          reinterpret_cast<const uint8_t*>(memo.data())) != 0) {
        std::fprintf(stderr, "memo write failed\n");
        return 1;
      }
      memoRecord[memos.GetFieldDesc(memoField).Offset] = 1;
      memos.InsertRecord(memoRecord.data(), false);
      memos.CloseAllBlobs();
    }
    directory->Commit(true);
    ours = Seconds(t0);
    theirs = 0;
    if (withSqlite) {
      const auto s0 = Clock::now();
      Exec(db, "BEGIN");
      sqliteTime("INSERT INTO m VALUES(?,?,?,?)", 1, memoRows, [&](sqlite3_stmt* s, uint32_t i) {
        bindRow(s, i);
        sqlite3_bind_text(s, 4, memo.data(), static_cast<int>(memo.size()), SQLITE_STATIC);
      });
      Exec(db, "COMMIT");
      theirs = Seconds(s0);
    }
    Report("bulk insert with a 1000-byte memo", ours, theirs);

    // Single-row inserts with a memo.
    const uint32_t memoSingles = std::max<uint32_t>(1, singles / 4);
    t0 = Clock::now();
    for (uint32_t i = memoRows + 1; i <= memoRows + memoSingles; ++i) {
      Fill(memos, memoRecord.data(), i, static_cast<int32_t>(i % 10000));
      memos.OpenBlob(memoField, memoRecord.data(), 2);
      memos.WriteBlob(memoField, memoRecord.data(), 0, static_cast<uint32_t>(memo.size()),
                      reinterpret_cast<const uint8_t*>(memo.data()));
      memoRecord[memos.GetFieldDesc(memoField).Offset] = 1;
      memos.InsertRecord(memoRecord.data(), false);
      memos.CloseAllBlobs();
    }
    ours = Seconds(t0);
    Report("single-row inserts with a memo", ours,
           sqliteTime("INSERT INTO m VALUES(?,?,?,?)", memoRows + 1, memoRows + memoSingles,
                      [&](sqlite3_stmt* s, uint32_t i) {
                        bindRow(s, i);
                        sqlite3_bind_text(s, 4, memo.data(), static_cast<int>(memo.size()), SQLITE_STATIC);
                      }));
    memos.Close();
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
