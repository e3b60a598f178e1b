// Our engine against SQLite on the same file system, one table of the same shape on both sides
// (id primary key, name and val secondary indexes):
//   bulk    N rows inserted in one transaction (into a new table)
//   single  200 rows inserted one at a time, each durable before the next
//   lookup  100,000 random primary-key lookups
//   range   2,000 range scans on the val index (each about 2N/10,000 rows); SQLite twice: from
//           the index alone (covering) and reading the rows, as our cursor always does
//   scan    a full scan in key order
//
// SQLite runs in two set-ups: as it comes (rollback journal, its default synchronous and page
// cache), and as its users run it for this kind of work: WAL, synchronous=FULL, a page cache of
// the memory our engine holds with the table open (measured) plus our page cache's budget
// (--cache-kib overrides), and with
// --exclusive exclusive locking, since then our cursor holds the table exclusively too.
//
// Every case of every side runs in a fresh child process (this program, re-executed), so each
// figure has its own peak memory and sync count; the sides take turns in an order that changes
// from run to run, and every case is run several times. Printed per case: median time with the
// range over the runs, the ratio ours / SQLite (below 1: we are faster) of the medians with the
// range of the per-run ratios, syncs per operation (fsync, fdatasync and writes to O_DSYNC
// files, counted in the process), peak RSS of the process, and at the end of the case its PSS
// (all, and without mapped files) and our engine's heap.
//
// Usage: bench_engine_engine_vs_sqlite [--sizes 100000,1000000] [--all-sizes] [--runs 5]
//          [--dir /var/tmp] [--cache-kib K] [--exclusive] [--cases bulk,single,lookup,range,scan]
//   --all-sizes: 10,000, 100,000, 1,000,000 and 10,000,000 rows (10M takes long, 3 runs).
//   The bulk insert always runs: it builds the table the other cases use.
//   The directory must be on a real disk: on tmpfs every sync is free.
#include <malloc.h>
#include <spawn.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/bench_support.h"
#include "engine/cursor/cursor.h"
#include "engine/io/page_cache.h"
#include "engine/start/engine_start.h"
#include "engine/sync_counter.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"

extern char** environ;

using namespace tovenmarsh::engine;
using namespace tovenmarsh::engine::bench;
using tovenmarsh::bench::SyncCounts;
using tovenmarsh::bench::TSyncCounts;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSingles = 200, kLookups = 100000, kRanges = 2000, kValues = 10000;

// ---------------------------------------------------------------------------------------------
// The child: one case of one side, on the files in one folder; prints one line of figures.

struct TChildArgs {
  std::string Case, Side, Folder;
  uint32_t Rows = 0;
  uint32_t CacheKib = 0;
  bool Exclusive = false;
};

struct TFigures {
  double Seconds = 0;
  uint64_t Ops = 0;
  int64_t Check = 0;
  TSyncCounts Syncs;
  long PeakRssKib = 0, PssKib = 0, PssAnonKib = 0, HeapKib = 0;
};

long StatusField(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line;
  const size_t length = std::strlen(key);
  while (std::getline(in, line))
    if (line.compare(0, length, key) == 0) return std::atol(line.c_str() + length);
  return 0;
}

long HeapInUseKib() {
  const struct mallinfo2 info = mallinfo2();
  return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

std::vector<int32_t> LookupKeys(uint32_t total) {
  std::mt19937 rng(7);
  std::vector<int32_t> keys(kLookups);
  for (int32_t& k : keys) k = static_cast<int32_t>(1 + rng() % total);
  return keys;
}

std::vector<int32_t> RangeStarts() {
  std::mt19937 rng(11);
  std::vector<int32_t> starts(kRanges);
  for (int32_t& s : starts) s = static_cast<int32_t>(rng() % kValues);
  return starts;
}

int32_t ValOf(uint32_t i) { return static_cast<int32_t>(i % kValues); }

// Our side.
class TOurs {
 public:
  explicit TOurs(const TChildArgs& args) : args_(args) {}

  void Run(TFigures& out) {
    const long heapBefore = HeapInUseKib();
    EngineStart();
    TDataSession* session = CreateEngineSession();
    TDataDirectory* directory = session->OpenDirectory("bench", args_.Folder);
    const uint32_t rows = args_.Rows, total = rows + kSingles;
    {
      if (args_.Case == "bulk") {
        TDataCursor create(directory);
        create.SetTableName("bench");
        create.SetExclusive(true);
        create.CreateTable({}, false, {Index("", 1, true), Index("ByName", 2, false), Index("ByVal", 3, false)},
                           {Field("Id", fldInt32), Field("Name", fldZString, 16), Field("Val", fldInt32)});
      }
      TDataCursor cursor(directory);
      cursor.SetTableName("bench");
      if (args_.Exclusive) cursor.SetExclusive(true);
      cursor.Open();
      record_.assign(cursor.GetRecordSize(), 0);
      if (args_.Case == "bulk") {
        directory->StartTransaction();
        for (uint32_t i = 1; i <= rows; ++i) Insert(cursor, i);
        directory->Commit(true);
        out.Ops = rows;
      } else if (args_.Case == "single") {
        // Without the exclusive flag every write reaches the disk before the call returns; an
        // exclusive cursor keeps it in its caches, so it is flushed to the disk explicitly.
        for (uint32_t i = rows + 1; i <= total; ++i) {
          Insert(cursor, i);
          if (args_.Exclusive) cursor.FlushFiles();
        }
        out.Ops = kSingles;
      } else if (args_.Case == "lookup" || args_.Case == "calibrate") {
        out.Check = Lookups(cursor, LookupKeys(total));
        out.Ops = kLookups;
      } else if (args_.Case == "range-covering" || args_.Case == "range-rows") {
        out.Check = Ranges(cursor, RangeStarts());
        out.Ops = kRanges;
      } else if (args_.Case == "scan") {
        out.Check = Scan(cursor);
        out.Ops = total;
      }
      if (args_.Case == "calibrate") {  // every index and the data file once more
        Ranges(cursor, RangeStarts());
        Scan(cursor);
        cursor.SwitchToIndex("ByName");
        cursor.First();
        while (cursor.GetNextRecord(record_.data()) == 0) {
        }
      }
      out.PssKib = StatusField("/proc/self/smaps_rollup", "Pss:");
      out.PssAnonKib = StatusField("/proc/self/smaps_rollup", "Pss_Anon:");
      out.HeapKib = HeapInUseKib() - heapBefore;
      cursor.Close();
    }
    session->CloseDirectory(directory);
    FreeEngineSession(session);
    EngineStop();
  }

 private:
  void Insert(TDataCursor& cursor, uint32_t i) {
    cursor.InitRecord(record_.data());
    const int32_t id = static_cast<int32_t>(i), val = ValOf(i);
    const std::string name = NameOf(i);
    cursor.SetFieldData(1, record_.data(), &id);
    cursor.SetFieldData(2, record_.data(), name.c_str());
    cursor.SetFieldData(3, record_.data(), &val);
    cursor.InsertRecord(record_.data(), false);
  }

  int64_t Lookups(TDataCursor& cursor, const std::vector<int32_t>& keys) {
    int64_t sum = 0;
    cursor.SwitchToIndex("");
    std::vector<uint8_t> key(cursor.GetRecordSize());
    for (int32_t k : keys) {
      cursor.InitRecord(key.data());
      cursor.SetFieldData(1, key.data(), &k);
      if (cursor.FindKey(key.data(), false, record_.data(), 0, false, 0)) {
        int32_t v = 0;
        cursor.GetFieldData(3, record_.data(), &v);
        sum += v;
      }
    }
    return sum;
  }

  int64_t Ranges(TDataCursor& cursor, const std::vector<int32_t>& starts) {
    int64_t sum = 0;
    cursor.SwitchToIndex("ByVal");
    std::vector<uint8_t> lo(cursor.GetRecordSize()), hi(cursor.GetRecordSize());
    for (int32_t s : starts) {
      const int32_t e = s + 1;
      cursor.InitRecord(lo.data());
      cursor.InitRecord(hi.data());
      cursor.SetFieldData(3, lo.data(), &s);
      cursor.SetFieldData(3, hi.data(), &e);
      cursor.SetRange(false, lo.data(), 1, hi.data(), 1);
      cursor.First();
      while (cursor.GetNextRecord(record_.data()) == 0) {
        int32_t v = 0;
        cursor.GetFieldData(1, record_.data(), &v);
        sum += v;
      }
    }
    cursor.CancelRange();
    return sum;
  }

  int64_t Scan(TDataCursor& cursor) {
    int64_t sum = 0;
    cursor.SwitchToIndex("");
    cursor.First();
    while (cursor.GetNextRecord(record_.data()) == 0) {
      int32_t v = 0;
      cursor.GetFieldData(3, record_.data(), &v);
      sum += v;
    }
    return sum;
  }

  const TChildArgs& args_;
  std::vector<uint8_t> record_;
};

// SQLite's side, in either set-up.
class TSqlite {
 public:
  explicit TSqlite(const TChildArgs& args) : args_(args) {}

  void Run(TFigures& out) {
    const std::string path = args_.Folder + "/bench.sqlite";
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) Fail("open");
    if (args_.Side == "sqlite-wal") {
      if (args_.Exclusive) Exec(db_, "PRAGMA locking_mode=EXCLUSIVE");
      Exec(db_, "PRAGMA journal_mode=WAL");
      Exec(db_, "PRAGMA synchronous=FULL");
      const std::string cache = "PRAGMA cache_size=-" + std::to_string(args_.CacheKib);
      Exec(db_, cache.c_str());
    }
    const uint32_t rows = args_.Rows, total = rows + kSingles;
    if (args_.Case == "bulk") {
      Exec(db_, "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, val INTEGER)");
      Exec(db_, "CREATE INDEX t_name ON t(name)");
      Exec(db_, "CREATE INDEX t_val ON t(val)");
      Exec(db_, "BEGIN");
      Inserts(1, rows);
      Exec(db_, "COMMIT");
      out.Ops = rows;
    } else if (args_.Case == "single") {
      Inserts(rows + 1, total);  // each its own transaction
      out.Ops = kSingles;
    } else if (args_.Case == "lookup") {
      out.Check = PerValue("SELECT val FROM t WHERE id=?", LookupKeys(total), false);
      out.Ops = kLookups;
    } else if (args_.Case == "range-covering") {
      out.Check = PerValue("SELECT id FROM t WHERE val BETWEEN ? AND ?", RangeStarts(), true);
      out.Ops = kRanges;
    } else if (args_.Case == "range-rows") {
      // The same index, but name is not in it: every row is read from the table.
      out.Check = PerValue("SELECT id, name, val FROM t WHERE val BETWEEN ? AND ?", RangeStarts(), true);
      out.Ops = kRanges;
    } else if (args_.Case == "scan") {
      out.Check = PerValue("SELECT val FROM t ORDER BY id", {0}, false, true);
      out.Ops = total;
    }
    out.PssKib = StatusField("/proc/self/smaps_rollup", "Pss:");
    out.PssAnonKib = StatusField("/proc/self/smaps_rollup", "Pss_Anon:");
    sqlite3_close(db_);
  }

 private:
  [[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, db_ ? sqlite3_errmsg(db_) : "?");
    std::exit(1);
  }

  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) Fail(sql);
    return statement;
  }

  void Inserts(uint32_t from, uint32_t to) {
    sqlite3_stmt* statement = Prepare("INSERT INTO t VALUES(?,?,?)");
    for (uint32_t i = from; i <= to; ++i) {
      const std::string name = NameOf(i);
      sqlite3_bind_int(statement, 1, static_cast<int>(i));
      sqlite3_bind_text(statement, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(statement, 3, ValOf(i));
      if (sqlite3_step(statement) != SQLITE_DONE) Fail("insert");
      sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
  }

  // Runs the statement once per value (bound as ? or as ? and value + 1, or not at all) and
  // sums its first column.
  int64_t PerValue(const char* sql, const std::vector<int32_t>& values, bool pair, bool unbound = false) {
    sqlite3_stmt* statement = Prepare(sql);
    int64_t sum = 0;
    for (int32_t v : values) {
      if (!unbound) sqlite3_bind_int(statement, 1, v);
      if (pair) sqlite3_bind_int(statement, 2, v + 1);
      while (sqlite3_step(statement) == SQLITE_ROW) sum += sqlite3_column_int(statement, 0);
      sqlite3_reset(statement);
    }
    sqlite3_finalize(statement);
    return sum;
  }

  const TChildArgs& args_;
  sqlite3* db_ = nullptr;
};

int RunChild(const TChildArgs& args) {
  TFigures out;
  const TSyncCounts before = SyncCounts();
  const auto began = Clock::now();
  try {
    if (args.Side == "ours")
      TOurs(args).Run(out);
    else
      TSqlite(args).Run(out);
  } catch (const EFenEngineError& e) {
    std::fprintf(stderr, "engine: %s\n", e.Message().c_str());
    return 1;
  }
  out.Seconds = Seconds(began);
  const TSyncCounts after = SyncCounts();
  out.Syncs = {after.Fsync - before.Fsync, after.Fdatasync - before.Fdatasync,
               after.SyncedWrites - before.SyncedWrites};
  out.PeakRssKib = StatusField("/proc/self/status", "VmHWM:");
  std::printf("result %.9f %llu %lld %llu %llu %llu %ld %ld %ld %ld\n", out.Seconds, (unsigned long long)out.Ops,
              (long long)out.Check, (unsigned long long)out.Syncs.Fsync, (unsigned long long)out.Syncs.Fdatasync,
              (unsigned long long)out.Syncs.SyncedWrites, out.PeakRssKib, out.PssKib, out.PssAnonKib, out.HeapKib);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The parent: runs the children, gathers and prints.

std::string gSelf;

bool Spawn(const TChildArgs& args, TFigures& out) {
  std::vector<std::string> argv = {gSelf,
                                   "--child",
                                   args.Case,
                                   args.Side,
                                   args.Folder,
                                   std::to_string(args.Rows),
                                   std::to_string(args.CacheKib),
                                   args.Exclusive ? "1" : "0"};
  std::vector<char*> pointers;
  for (std::string& a : argv) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, gSelf.c_str(), &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeEnds[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  close(pipeEnds[0]);
  if (spawned != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  const size_t at = text.rfind("result ");
  if (at == std::string::npos) return false;
  std::istringstream in(text.substr(at + 7));
  unsigned long long ops, fsyncs, fdatasyncs, writes;
  long long check;
  in >> out.Seconds >> ops >> check >> fsyncs >> fdatasyncs >> writes >> out.PeakRssKib >> out.PssKib >> out.PssAnonKib >> out.HeapKib;
  out.Ops = ops;
  out.Check = check;
  out.Syncs = {fsyncs, fdatasyncs, writes};
  return static_cast<bool>(in);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string Range(const std::vector<double>& v, const char* format) {
  if (v.empty()) return "-";
  char buffer[64];
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  std::snprintf(buffer, sizeof buffer, format, *lo, *hi);
  return buffer;
}

const char* Title(const std::string& c) {
  if (c == "bulk") return "bulk insert, one transaction";
  if (c == "single") return "200 durable single-row inserts";
  if (c == "lookup") return "100k primary-key lookups";
  if (c == "range-covering") return "2000 range scans, index only";
  if (c == "range-rows") return "2000 range scans, reading rows";
  if (c == "scan") return "full scan in key order";
  return c.c_str();
}

struct TOptions {
  std::vector<uint32_t> Sizes = {100000, 1000000};
  int Runs = 5;
  std::string Dir = "/var/tmp";
  uint32_t CacheKib = 0;  // 0: measure
  bool Exclusive = false;
  std::vector<std::string> Cases = {"bulk", "single", "lookup", "range", "scan"};
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) parts.push_back(part);
  return parts;
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_engine_engine_vs_sqlite [--sizes N,N] [--all-sizes] [--runs R] [--dir D]\n"
               "         [--cache-kib K] [--exclusive] [--cases bulk,single,lookup,range,scan]\n");
  return 2;
}

void PrintSetups(const TOptions& options, const std::string& folder, uint32_t cacheKib) {
  // What SQLite's defaults are in this build, read from a scratch database.
  sqlite3* db = nullptr;
  const std::string path = folder + "/pragmas.sqlite";
  sqlite3_open(path.c_str(), &db);
  auto pragma = [&](const char* name) {
    sqlite3_stmt* s = nullptr;
    std::string value = "?";
    const std::string sql = std::string("PRAGMA ") + name;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
      value = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    sqlite3_finalize(s);
    return value;
  };
  std::printf("SQLite %s\n", sqlite3_libversion());
  std::printf("  sqlite-default: journal_mode=%s synchronous=%s cache_size=%s locking_mode=%s page_size=%s\n",
              pragma("journal_mode").c_str(), pragma("synchronous").c_str(), pragma("cache_size").c_str(),
              pragma("locking_mode").c_str(), pragma("page_size").c_str());
  sqlite3_close(db);
  std::filesystem::remove(path);
  std::printf("  sqlite-wal:     journal_mode=wal synchronous=full (2) cache_size=-%u (KiB, %s) locking_mode=%s\n",
              cacheKib, options.CacheKib ? "given" : "our engine's heap with the table open and its page cache's budget",
              options.Exclusive ? "exclusive" : "normal");
  std::printf("  ours:           cursor %s%s\n",
              options.Exclusive ? "exclusive (single-row inserts flushed with FlushFiles)" : "shared",
              "; writes outside a transaction reach the disk before the call returns");
}

struct TSample {
  std::vector<double> Seconds;
  std::vector<double> Syncs;  // per op
  std::vector<double> SyncTotals;
  std::vector<double> PeakRss, Pss, PssAnon, Heap;  // KiB
  int64_t Check = 0;
  bool Failed = false;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 8 && std::strcmp(argv[1], "--child") == 0) {
    TChildArgs args;
    args.Case = argv[2];
    args.Side = argv[3];
    args.Folder = argv[4];
    args.Rows = static_cast<uint32_t>(std::atol(argv[5]));
    args.CacheKib = static_cast<uint32_t>(std::atol(argv[6]));
    args.Exclusive = std::strcmp(argv[7], "1") == 0;
    return RunChild(args);
  }
  TOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--sizes" && more) {
      options.Sizes.clear();
      for (const std::string& s : Split(argv[++i])) options.Sizes.push_back(static_cast<uint32_t>(std::atol(s.c_str())));
    } else if (a == "--all-sizes") {
      options.Sizes = {10000, 100000, 1000000, 10000000};
    } else if (a == "--runs" && more) {
      options.Runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--dir" && more) {
      options.Dir = argv[++i];
    } else if (a == "--cache-kib" && more) {
      options.CacheKib = static_cast<uint32_t>(std::atol(argv[++i]));
    } else if (a == "--exclusive") {
      options.Exclusive = true;
    } else if (a == "--cases" && more) {
      options.Cases = Split(argv[++i]);
    } else {
      return Usage();
    }
  }
  std::vector<std::string> cases;
  // The bulk insert builds the table every other case works on: it runs first, wherever it was
  // named (run later, it would leave the other cases without their table).
  options.Cases.erase(std::remove(options.Cases.begin(), options.Cases.end(), "bulk"), options.Cases.end());
  options.Cases.insert(options.Cases.begin(), "bulk");
  for (const std::string& c : options.Cases) {
    if (c == "range") {
      cases.push_back("range-covering");
      cases.push_back("range-rows");
    } else if (c == "bulk" || c == "single" || c == "lookup" || c == "scan") {
      cases.push_back(c);
    } else {
      return Usage();
    }
  }
  gSelf = std::filesystem::canonical("/proc/self/exe").string();
  std::string root = options.Dir + "/tm_engine_bench_XXXXXX";
  if (!mkdtemp(root.data())) {
    std::perror(root.c_str());
    return 1;
  }
  const std::vector<std::string> sides = {"ours", "sqlite-default", "sqlite-wal"};
  auto folderOf = [&](const std::string& side) { return root + "/" + side; };
  auto fresh = [&](const std::string& side) {
    std::filesystem::remove_all(folderOf(side));
    std::filesystem::create_directories(folderOf(side));
  };

  // The memory our engine holds with the table open, measured on a small table once; SQLite's
  // tuned page cache gets as much.
  uint32_t cacheKib = options.CacheKib;
  if (cacheKib == 0) {
    fresh("ours");
    TFigures built, measured;
    TChildArgs args{"calibrate", "ours", folderOf("ours"), 20000, 0, options.Exclusive};
    const bool calibrated = Spawn(TChildArgs{"bulk", "ours", folderOf("ours"), 20000, 0, options.Exclusive}, built) &&
                            Spawn(args, measured);
    if (!calibrated) {
      std::fprintf(stderr, "calibration failed\n");
      std::error_code ignored;
      std::filesystem::remove_all(root, ignored);
      return 1;
    }
    // Our page cache fills up to its budget as a case reads; SQLite's may grow as far.
    cacheKib = static_cast<uint32_t>(std::max<long>(measured.HeapKib, 64) +
                                     TPageCache::kDefaultBudget / 1024);
  }
  {
    std::ifstream loadavg("/proc/loadavg");
    double l1 = 0, l5 = 0, l15 = 0;
    loadavg >> l1 >> l5 >> l15;
    std::printf("engine against SQLite: directory %s, %d runs per case and side, sides alternated\n", root.c_str(),
                options.Runs);
    std::printf("machine: %ld processors, load average %.2f %.2f %.2f at start\n", sysconf(_SC_NPROCESSORS_ONLN), l1,
                l5, l15);
    PrintSetups(options, root, cacheKib);
    std::printf("times: median [min-max] over the runs; ratio: ours / SQLite of the medians [min-max of the\n"
                "per-run ratios], below 1 is faster; syncs: fsync + fdatasync + O_DSYNC writes per operation\n"
                "(whole case); memory (MiB): peak RSS of the process / its PSS at the end of the case / the\n"
                "anonymous part of that PSS (without mapped files) / ours: our engine's heap at the end\n");
    std::fflush(stdout);
  }

  bool failed = false;
  for (const uint32_t rows : options.Sizes) {
    const int runs = rows >= 10000000 ? std::min(options.Runs, 3) : options.Runs;
    std::map<std::string, std::map<std::string, TSample>> samples;  // case -> side -> runs
    for (int run = 0; run < runs; ++run) {
      for (size_t c = 0; c < cases.size(); ++c) {
        // Rotate the order of the sides from run to run and case to case.
        std::vector<std::string> order = sides;
        std::rotate(order.begin(), order.begin() + static_cast<long>((run + c) % order.size()), order.end());
        if ((run / 3) % 2) std::reverse(order.begin(), order.end());
        for (const std::string& side : order) {
          if (cases[c] == "bulk") fresh(side);
          TFigures f;
          TSample& s = samples[cases[c]][side];
          if (s.Failed) continue;
          const TChildArgs args{cases[c], side, folderOf(side), rows, cacheKib, options.Exclusive};
          if (!Spawn(args, f)) {
            std::fprintf(stderr, "%s, %s, %u rows: the child failed\n", cases[c].c_str(), side.c_str(), rows);
            s.Failed = failed = true;
            continue;
          }
          // Progress on stderr: the largest sizes take long.
          std::fprintf(stderr, "%u rows, run %d: %s, %s %.3f s\n", rows, run + 1, cases[c].c_str(), side.c_str(),
                       f.Seconds);
          s.Seconds.push_back(f.Seconds);
          s.Syncs.push_back(f.Ops ? static_cast<double>(f.Syncs.Total()) / static_cast<double>(f.Ops) : 0);
          s.SyncTotals.push_back(static_cast<double>(f.Syncs.Total()));
          s.PeakRss.push_back(static_cast<double>(f.PeakRssKib));
          s.Pss.push_back(static_cast<double>(f.PssKib));
          s.PssAnon.push_back(static_cast<double>(f.PssAnonKib));
          s.Heap.push_back(static_cast<double>(f.HeapKib));
          if (run > 0 && f.Check != s.Check)
            std::printf("  NOTE %s %s: check %lld differs from run 1 (%lld)\n", cases[c].c_str(), side.c_str(),
                        (long long)f.Check, (long long)s.Check);
          s.Check = f.Check;
        }
      }
    }

    std::printf("\n%u rows (%d runs)\n", rows, runs);
    std::printf("%-32s %-30s %-30s %-30s %-20s %-20s\n", "case", "ours s", "sqlite-default s", "sqlite-wal s",
                "ours/default", "ours/wal");
    for (const std::string& c : cases) {
      auto& bySide = samples[c];
      std::string cells[3];
      for (size_t k = 0; k < sides.size(); ++k) {
        const TSample& s = bySide[sides[k]];
        char cell[64];
        if (s.Seconds.empty()) {
          std::snprintf(cell, sizeof cell, "failed");
        } else {
          std::snprintf(cell, sizeof cell, "%.4f %s", Median(s.Seconds), Range(s.Seconds, "[%.4f-%.4f]").c_str());
        }
        cells[k] = cell;
      }
      std::string ratios[2];
      for (size_t k = 1; k < sides.size(); ++k) {
        const TSample &o = bySide["ours"], &t = bySide[sides[k]];
        if (o.Seconds.empty() || t.Seconds.empty() || o.Seconds.size() != t.Seconds.size()) {
          ratios[k - 1] = "-";
          continue;
        }
        std::vector<double> perRun;
        for (size_t r = 0; r < o.Seconds.size(); ++r) perRun.push_back(o.Seconds[r] / t.Seconds[r]);
        char cell[64];
        std::snprintf(cell, sizeof cell, "%.2f %s", Median(o.Seconds) / Median(t.Seconds),
                      Range(perRun, "[%.2f-%.2f]").c_str());
        ratios[k - 1] = cell;
      }
      std::printf("%-32s %-30s %-30s %-30s %-20s %-20s\n", Title(c), cells[0].c_str(), cells[1].c_str(),
                  cells[2].c_str(), ratios[0].c_str(), ratios[1].c_str());
    }
    std::printf("%-32s %-18s %-18s %-18s %-28s %-20s %-20s\n", "", "syncs/op ours", "default", "wal",
                "memory ours", "default", "wal");
    for (const std::string& c : cases) {
      auto& bySide = samples[c];
      char syncs[3][32], memory[3][48];
      for (size_t k = 0; k < sides.size(); ++k) {
        const TSample& s = bySide[sides[k]];
        std::snprintf(syncs[k], sizeof syncs[k], "%.3f (%.0f)", Median(s.Syncs), Median(s.SyncTotals));
        if (k == 0)
          std::snprintf(memory[k], sizeof memory[k], "%.1f/%.1f/%.1f/%.2f", Median(s.PeakRss) / 1024,
                        Median(s.Pss) / 1024, Median(s.PssAnon) / 1024, Median(s.Heap) / 1024);
        else
          std::snprintf(memory[k], sizeof memory[k], "%.1f/%.1f/%.1f", Median(s.PeakRss) / 1024, Median(s.Pss) / 1024,
                        Median(s.PssAnon) / 1024);
      }
      std::printf("%-32s %-18s %-18s %-18s %-28s %-20s %-20s\n", Title(c), syncs[0], syncs[1], syncs[2], memory[0],
                  memory[1], memory[2]);
    }
    for (const std::string& c : cases) {
      auto& bySide = samples[c];
      const int64_t ours = bySide["ours"].Check;
      for (size_t k = 1; k < sides.size(); ++k)
        if (!bySide["ours"].Seconds.empty() && !bySide[sides[k]].Seconds.empty() && bySide[sides[k]].Check != ours) {
          std::printf("  MISMATCH %s: ours %lld, %s %lld\n", c.c_str(), (long long)ours, sides[k].c_str(),
                      (long long)bySide[sides[k]].Check);
          failed = true;
        }
    }
    std::fflush(stdout);
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return failed ? 1 : 0;
}
