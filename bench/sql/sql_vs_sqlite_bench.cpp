// The same SQL statements on our engine and on SQLite over the same rows: point selects, index
// ranges, a filtered full scan, grouping, a join on an indexed key, ORDER BY without an index,
// INSERT ... SELECT and an UPDATE of a tenth of the rows. Sides take turns, every case runs
// several times; printed are the median, the range and the ratio ours / SQLite. A check sum of
// each case must agree between the sides ("MISMATCH" otherwise, exit code 1).
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/start/engine_start.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/query_statement.h"

namespace {

using namespace tovenmarsh;

constexpr int kPoints = 500;
constexpr int kRanges = 200;
constexpr int kUsers = 10000;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Row i of "t": k indexed (joins "u" on its key), g and v not indexed. Grouping sums k, whose
// sums per group fit a 32-bit INTEGER at a million rows (those of v would overflow).
int32_t KOf(int32_t i) { return static_cast<int32_t>((static_cast<uint32_t>(i) * 2654435761u) % kUsers); }
int32_t GOf(int32_t i) { return i % 10; }
int32_t VOf(int32_t i) { return static_cast<int32_t>((static_cast<uint32_t>(i) * 40503u) % 100000u); }

class TOurs {
 public:
  explicit TOurs(const std::string& folder) {
    engine::EngineStart();
    session_ = engine::CreateEngineSession();
    directory_ = session_->OpenDirectory("bench", folder);
  }
  ~TOurs() {
    session_->CloseDirectory(directory_);
    engine::FreeEngineSession(session_);
    engine::EngineStop();
  }

  int64_t Run(const std::string& text) {
    sql::TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.Prepare(text, consumed);
    engine::TDataCursor* result = statement.Execute();
    if (result == nullptr) return statement.GetRowsAffected();
    int64_t sum = 0;
    std::vector<uint8_t> record(result->GetRecordSize());
    result->First();
    while (result->GetNextRecord(record.data()) == 0) {
      int32_t x = 0;
      if (!result->GetFieldData(1, record.data(), &x)) sum += x;
      ++sum;
    }
    return sum;
  }

  void Load(int32_t rows) {
    Run("CREATE TABLE t (id INTEGER, k INTEGER, g INTEGER, v INTEGER, s CHAR(16), PRIMARY KEY (id))");
    Run("CREATE INDEX tk ON t (k)");
    Run("CREATE TABLE u (id INTEGER, name CHAR(16), PRIMARY KEY (id))");
    Run("CREATE TABLE t2 (id INTEGER, k INTEGER, g INTEGER, v INTEGER, s CHAR(16), PRIMARY KEY (id))");
    Fill("t", rows, [](engine::TDataCursor& c, uint8_t* r, int32_t i) {
      const int32_t k = KOf(i), g = GOf(i), v = VOf(i);
      const std::string s = "row" + std::to_string(i);
      c.SetFieldData(1, r, &i);
      c.SetFieldData(2, r, &k);
      c.SetFieldData(3, r, &g);
      c.SetFieldData(4, r, &v);
      c.SetFieldData(5, r, s.c_str());
    });
    Fill("u", kUsers, [](engine::TDataCursor& c, uint8_t* r, int32_t i) {
      const int32_t id = i - 1;
      const std::string name = "user" + std::to_string(id);
      c.SetFieldData(1, r, &id);
      c.SetFieldData(2, r, name.c_str());
    });
  }

 private:
  void Fill(const char* table, int32_t rows, const std::function<void(engine::TDataCursor&, uint8_t*, int32_t)>& set) {
    engine::TDataCursor cursor(directory_);
    cursor.SetTableName(table);
    cursor.Open();
    std::vector<uint8_t> record(cursor.GetRecordSize());
    directory_->StartTransaction();
    for (int32_t i = 1; i <= rows; ++i) {
      cursor.InitRecord(record.data());
      set(cursor, record.data(), i);
      cursor.InsertRecord(record.data(), false);
    }
    directory_->Commit(true);
    cursor.Close();
  }

  engine::TDataSession* session_ = nullptr;
  engine::TDataDirectory* directory_ = nullptr;
};

class TSqlite {
 public:
  explicit TSqlite(const std::string& file) {
    if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) std::abort();
  }
  ~TSqlite() { sqlite3_close(db_); }

  void Exec(const std::string& text) {
    char* error = nullptr;
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      std::fprintf(stderr, "SQLite: %s: %s\n", error ? error : "", text.c_str());
      std::exit(2);
    }
  }

  int64_t Run(const std::string& text) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, text.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "SQLite: %s: %s\n", sqlite3_errmsg(db_), text.c_str());
      std::exit(2);
    }
    int64_t sum = 0;
    const bool rows = sqlite3_column_count(st) > 0;
    while (sqlite3_step(st) == SQLITE_ROW) sum += sqlite3_column_int64(st, 0) + 1;
    sqlite3_finalize(st);
    return rows ? sum : sqlite3_changes(db_);
  }

  void Load(int32_t rows) {
    Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, k INTEGER, g INTEGER, v INTEGER, s CHAR(16))");
    Exec("CREATE INDEX tk ON t (k)");
    Exec("CREATE TABLE u (id INTEGER PRIMARY KEY, name CHAR(16))");
    Exec("CREATE TABLE t2 (id INTEGER PRIMARY KEY, k INTEGER, g INTEGER, v INTEGER, s CHAR(16))");
    Exec("BEGIN");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO t VALUES (?, ?, ?, ?, ?)", -1, &st, nullptr);
    for (int32_t i = 1; i <= rows; ++i) {
      const std::string s = "row" + std::to_string(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_int(st, 2, KOf(i));
      sqlite3_bind_int(st, 3, GOf(i));
      sqlite3_bind_int(st, 4, VOf(i));
      sqlite3_bind_text(st, 5, s.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(db_, "INSERT INTO u VALUES (?, ?)", -1, &st, nullptr);
    for (int32_t i = 0; i < kUsers; ++i) {
      const std::string name = "user" + std::to_string(i);
      sqlite3_bind_int(st, 1, i);
      sqlite3_bind_text(st, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    Exec("COMMIT");
  }

 private:
  sqlite3* db_ = nullptr;
};

// A case: what it runs on one side (answering its check sum) and, for changes, how to undo them
// outside the timing.
struct TCase {
  const char* Name;
  std::function<int64_t(const std::function<int64_t(const std::string&)>&)> Body;
  std::vector<std::string> Reset;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_sql_sql_vs_sqlite [--rows N | --million] [--runs R] [--dir D] [--case TEXT]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int32_t rows = 100000;
  int runs = 5;
  std::string dir = "/var/tmp";
  std::string only;  // run only the cases whose name holds this text
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--million") {
      rows = 1000000;
    } else if (a == "--rows" && i + 1 < argc) {
      rows = std::atoi(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--case" && i + 1 < argc) {
      only = argv[++i];
    } else {
      return Usage();
    }
  }
  if (rows < 1000 || runs < 1) return Usage();
  std::string folder = dir + "/sql_bench_XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return 2;
  std::filesystem::create_directory(folder + "/ours");

  int status = 0;
  try {
    TOurs ours(folder + "/ours");
    TSqlite theirs(folder + "/sqlite.db");
    auto loadStart = std::chrono::steady_clock::now();
    ours.Load(rows);
    const double oursLoad = Seconds(loadStart);
    loadStart = std::chrono::steady_clock::now();
    theirs.Load(rows);
    const double theirsLoad = Seconds(loadStart);

    const std::string tenth = std::to_string(rows / 10);
    std::vector<TCase> cases = {
        {"point select by key (500)",
         [&](const std::function<int64_t(const std::string&)>& run) {
           int64_t sum = 0;
           for (int n = 0; n < kPoints; ++n) {
             sum += run("SELECT v FROM t WHERE id = " + std::to_string(1 + (n * 7919) % rows));
           }
           return sum;
         },
         {}},
        {"range on index (200 x ~100 rows)",
         [&](const std::function<int64_t(const std::string&)>& run) {
           int64_t sum = 0;
           const int32_t width = std::max<int32_t>(1, kUsers / (rows / 100));
           for (int n = 0; n < kRanges; ++n) {
             const int32_t from = (n * 37) % (kUsers - width);
             sum += run("SELECT id, v FROM t WHERE k >= " + std::to_string(from) + " AND k < " +
                        std::to_string(from + width));
           }
           return sum;
         },
         {}},
        {"full-scan filter (1%)",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("SELECT id, s FROM t WHERE v < 1000");
         },
         {}},
        {"GROUP BY, 4 aggregates",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("SELECT g, COUNT(*), SUM(k), MIN(v), MAX(v) FROM t GROUP BY g");
         },
         {}},
        {"join on indexed key",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("SELECT t.id, u.name FROM u, t WHERE u.id < 500 AND t.k = u.id");
         },
         {}},
        {"ORDER BY without index",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("SELECT v, id FROM t ORDER BY v DESC, id");
         },
         {}},
        {"INSERT ... SELECT (all rows)",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("INSERT INTO t2 SELECT id, k, g, v, s FROM t");
         },
         {"DELETE FROM t2"}},
        {"UPDATE 10% of rows",
         [&](const std::function<int64_t(const std::string&)>& run) {
           return run("UPDATE t SET v = v + 1 WHERE g = 3");
         },
         {"UPDATE t SET v = v - 1 WHERE g = 3"}},
    };

    char load[64] = "?";
    {
      std::ifstream loadavg("/proc/loadavg");
      double l1 = 0;
      if (loadavg >> l1) std::snprintf(load, sizeof load, "%.2f", l1);
    }
    std::printf("SQL on our engine against SQLite %s: %d rows (u: %d), %d runs, load average %s, folder %s\n",
                sqlite3_libversion(), rows, kUsers, runs, load, folder.c_str());
    std::printf("load (not SQL, one transaction): ours %.3f s, SQLite %.3f s\n\n", oursLoad, theirsLoad);
    std::printf("%-34s %-28s %-28s %s\n", "case", "ours s median [min-max]", "SQLite s median [min-max]",
                "ours/SQLite");
    auto oursRun = [&](const std::string& text) { return ours.Run(text); };
    auto theirsRun = [&](const std::string& text) { return theirs.Run(text); };
    for (const TCase& c : cases) {
      if (!only.empty() && std::string(c.Name).find(only) == std::string::npos) continue;
      std::vector<double> a, b;
      int64_t checkA = 0, checkB = 0;
      try {
      for (int r = 0; r < runs; ++r) {
        for (int turn = 0; turn < 2; ++turn) {
          const bool oursNow = (turn == 0) == (r % 2 == 0);
          const auto start = std::chrono::steady_clock::now();
          const int64_t check = oursNow ? c.Body(oursRun) : c.Body(theirsRun);
          (oursNow ? a : b).push_back(Seconds(start));
          (oursNow ? checkA : checkB) = check;
          for (const std::string& reset : c.Reset) {
            if (oursNow) {
              ours.Run(reset);
            } else {
              theirs.Run(reset);
            }
          }
        }
      }
      } catch (const engine::EFenEngineError& e) {
        std::printf("%-34s ours failed: engine error %d %s\n", c.Name, static_cast<int>(e.Code()),
                    e.Names().ExtraText.c_str());
        status = 1;
        continue;
      }
      char left[64], right[64];
      std::snprintf(left, sizeof left, "%.4f [%.4f-%.4f]", Median(a), *std::min_element(a.begin(), a.end()),
                    *std::max_element(a.begin(), a.end()));
      std::snprintf(right, sizeof right, "%.4f [%.4f-%.4f]", Median(b), *std::min_element(b.begin(), b.end()),
                    *std::max_element(b.begin(), b.end()));
      std::printf("%-34s %-28s %-28s %.2f%s\n", c.Name, left, right, Median(a) / Median(b),
                  checkA == checkB ? "" : "  MISMATCH");
      if (checkA != checkB) {
        std::printf("  check sums: ours %lld, SQLite %lld\n", static_cast<long long>(checkA),
                    static_cast<long long>(checkB));
        status = 1;
      }
      std::fflush(stdout);
    }
  } catch (const engine::EFenEngineError& e) {
    std::fprintf(stderr, "engine error %d: %s\n", static_cast<int>(e.Code()), e.Names().ExtraText.c_str());
    status = 2;
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return status;
}
