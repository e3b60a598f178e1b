// A restructure killed at any write, rename or removal (strace injects SIGKILL at the N-th
// call) leaves a table that opens in its old or its new form with every record, its fields,
// its memos and all its indexes; once the new form has been seen, no later kill point shows the
// old one. Two restructures: a full rebuild (a field added: work table and file swap) and an
// index-only one (an index dropped and another added: inside a table transaction); and a full
// rebuild that adds the first memo field, so that the old table has no BLOB file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"

namespace tovenmarsh::engine {
namespace {

namespace fs = std::filesystem;

constexpr int kRows = 12;

FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0, uint8_t subtype = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subtype;
  return f;
}

IndexDesc Index(const char* name, std::initializer_list<uint16_t> fields, bool unique = false) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = static_cast<uint8_t>(fields.size());
  int i = 0;
  for (uint16_t f : fields) d.FieldNumbers[i++] = f;
  return d;
}

// The "memo" kind starts without the memo field (and so without a BLOB file) and adds it.
std::vector<FieldDesc> OldFields(const std::string& kind) {
  std::vector<FieldDesc> f = {Field("Id", fldInt32), Field("Name", fldZString, 10), Field("Age", fldInt32)};
  if (kind != "memo") f.push_back(Field("Memo", fldBlob, 0, fldstMemo));
  return f;
}
std::vector<IndexDesc> OldIndexes() { return {Index("", {1}, true), Index("ByAge", {3})}; }

std::string MemoOf(int i) { return "memo of record " + std::to_string(i) + std::string(static_cast<size_t>(i) * 20, 'x'); }

// What a reopened table shows: its form and its records in primary-key order.
struct TState {
  uint32_t Fields = 0;
  std::vector<std::string> Indexes;
  std::vector<std::string> Rows;  // "id name age memo"
  bool operator==(const TState&) const = default;
};

void Restructure(TDataDirectory* d, const std::string& kind) {
  TDataCursor c(d);
  c.SetTableName("people");
  c.SetExclusive(true);
  if (kind == "open") {  // only the recovery of an interrupted restructure
    c.SetExclusive(false);
    c.Open();
    c.Close();
  } else if (kind == "full") {
    std::vector<FieldDesc> f = OldFields(kind);
    f.push_back(Field("More", fldInt32));
    c.AlterTable({}, OldIndexes(), f, false);
  } else if (kind == "memo") {
    std::vector<FieldDesc> f = OldFields(kind);
    f.push_back(Field("Memo", fldBlob, 0, fldstMemo));
    c.AlterTable({}, OldIndexes(), f, false);
  } else {
    c.AlterTable({}, {Index("", {1}, true), Index("ByName", {2}, true)}, OldFields(kind), false);
  }
}

// Reads the table after a kill: every index must hold every record.
TState Read(const std::string& dir, std::string* fault) {
  TState s;
  TDataSession* session = CreateEngineSession();
  TDataDirectory* d = session->OpenDirectory("db", dir);
  try {
    TDataCursor c(d);
    c.SetTableName("people");
    c.Open();
    s.Fields = c.GetFieldCount();
    std::vector<uint8_t> b(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(b.data()) == 0) {
      int32_t id = 0, age = 0;
      char name[16] = {};
      c.GetFieldData(1, b.data(), &id);
      c.GetFieldData(2, b.data(), name);
      c.GetFieldData(3, b.data(), &age);
      std::string memo;
      uint32_t size = 0;
      if (s.Fields >= 4 && c.OpenBlob(4, b.data(), 1) == 0 && c.GetBlobSize(4, b.data(), &size) == 0) {
        memo.resize(size);
        uint32_t count = 0;
        if (size > 0) c.ReadBlob(4, b.data(), 0, size, reinterpret_cast<uint8_t*>(memo.data()), &count);
        c.CloseBlob(4, b.data());
      }
      s.Rows.push_back(std::to_string(id) + " " + name + " " + std::to_string(age) + " " + memo);
    }
    for (int n = 1; n < c.GetIndexCount(); ++n) {
      const std::string name = c.GetIndexDesc(static_cast<uint8_t>(n)).Name;
      s.Indexes.push_back(name);
      c.SwitchToIndex(name);
      int seen = 0;
      c.First();
      while (c.GetNextRecord(b.data()) == 0) ++seen;
      if (seen != kRows || c.GetRecordCount() != kRows) *fault = "index " + name + " misses records";
    }
    c.Close();
  } catch (const EFenEngineError& e) {
    *fault = e.Message();
  }
  session->CloseDirectory(d);
  FreeEngineSession(session);
  return s;
}

// The child: restructures the table in $TM_RESTRUCTURE_CRASH_DIR the way $TM_RESTRUCTURE_KIND says.
TEST(RestructureCrashChild, Run) {
  const char* dir = std::getenv("TM_RESTRUCTURE_CRASH_DIR");
  const char* kind = std::getenv("TM_RESTRUCTURE_KIND");
  if (!dir || !kind) GTEST_SKIP() << "run by RestructureCrashTest";
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("db", dir);
  Restructure(d, kind);
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

// Kills at the `killAt`-th call of `call` (0: none; the calls are then listed in `trace`).
pid_t StartChild(const std::string& dir, const std::string& kind, const std::string& call, int killAt,
                 const std::string& trace) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("TM_RESTRUCTURE_CRASH_DIR", dir.c_str(), 1);
    setenv("TM_RESTRUCTURE_KIND", kind.c_str(), 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // the leak checker cannot run under ptrace
    if (FILE* quiet = std::freopen("/dev/null", "w", stdout)) (void)quiet;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string filter = "--gtest_filter=RestructureCrashChild.Run";
    if (killAt > 0) {
      const std::string inject = "inject=" + call + ":signal=KILL:when=" + std::to_string(killAt);
      execlp("strace", "strace", "-f", "-o", "/dev/null", "-e", ("trace=" + call).c_str(), "-e", inject.c_str(),
             self.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    } else {
      execlp("strace", "strace", "-f", "-o", trace.c_str(), "-e", "trace=pwrite64,renameat2,unlink", self.c_str(),
             filter.c_str(), static_cast<char*>(nullptr));
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

// Every call is a kill point in the plain build; the sanitizer builds kill at a sample.
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

class RestructureCrashTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "restructure_crash_" + std::to_string(getpid()) + "_" + GetParam() + "/";
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    EngineStart();
  }
  void TearDown() override {
    EngineStop();
    fs::remove_all(dir_);
  }

  void CreateBase(const std::string& dir, const std::string& kind) {
    TDataSession* session = CreateEngineSession();
    TDataDirectory* d = session->OpenDirectory("db", dir);
    {
      TDataCursor c(d);
      c.SetTableName("people");
      c.SetExclusive(true);
      c.CreateTable(TTableAttributes{}, false, OldIndexes(), OldFields(kind));
      c.Open();
      std::vector<uint8_t> b(c.GetRecordSize());
      for (int i = kRows; i >= 1; --i) {  // physical order differs from key order
        c.InitRecord(b.data());
        const int32_t age = i % 5;
        const std::string name = "n" + std::to_string(i);
        c.SetFieldData(1, b.data(), &i);
        c.SetFieldData(2, b.data(), name.c_str());
        c.SetFieldData(3, b.data(), &age);
        if (kind != "memo") {
          const std::string memo = MemoOf(i);
          c.OpenBlob(4, b.data(), 2);
          c.WriteBlob(4, b.data(), 0, static_cast<uint32_t>(memo.size()),
                      reinterpret_cast<const uint8_t*>(memo.data()));
          b[c.GetFieldDesc(4).Offset] = 1;
        }
        c.InsertRecord(b.data(), false);
        c.CloseAllBlobs();
      }
      c.Close();
    }
    session->CloseDirectory(d);
    FreeEngineSession(session);
  }

  // The recovery of an interrupted file swap, killed in turn at each of its own renames and
  // removals, still leaves the old or the new form.
  void CheckRecoveryKills(const std::string& work, const std::string& where, const TState& before,
                          const TState& after) {
    const std::string counted = dir_ + "recovery_counted/";
    fs::remove_all(counted);
    fs::copy(work, counted);
    const std::string trace = dir_ + "recovery_trace.txt";
    ASSERT_EQ(WaitChild(StartChild(counted, "open", "", 0, trace)), 0) << where;
    fs::remove_all(counted);
    std::vector<std::pair<std::string, int>> calls = {{"renameat2", 0}, {"unlink", 0}};
    {
      std::ifstream in(trace);
      for (std::string line; std::getline(in, line);)
        for (auto& [call, count] : calls)
          if (line.find(call + "(") != std::string::npos && line.find("resumed>") == std::string::npos) ++count;
    }
    for (const auto& [call, total] : calls) {
      for (int k = 1; k <= total; ++k) {
        const std::string again = dir_ + "recovery/";
        fs::remove_all(again);
        fs::copy(work, again);
        WaitChild(StartChild(again, "open", call, k, ""));
        std::string fault;
        const TState state = Read(again, &fault);
        ASSERT_EQ(fault, "") << where << ", recovery killed at " << call << " " << k;
        ASSERT_TRUE(state == before || state == after) << where << ", recovery killed at " << call << " " << k;
      }
    }
    fs::remove_all(dir_ + "recovery/");
  }

  std::string dir_;
};

TEST_P(RestructureCrashTest, KilledAnywhereOpensInOldOrNewForm) {
  if (std::system("strace -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  const std::string kind = GetParam();
  const std::string base = dir_ + "base/";
  fs::create_directories(base);
  CreateBase(base, kind);
  std::string fault;
  const TState before = Read(base, &fault);
  ASSERT_EQ(fault, "");
  ASSERT_EQ(before.Rows.size(), static_cast<size_t>(kRows));
  // The new form, from an uninterrupted child that also counts its calls.
  const std::string counted = dir_ + "counted/";
  fs::copy(base, counted);
  const std::string trace = dir_ + "trace.txt";
  ASSERT_EQ(WaitChild(StartChild(counted, kind, "", 0, trace)), 0);
  const TState after = Read(counted, &fault);
  ASSERT_EQ(fault, "");
  ASSERT_NE(after, before);
  EXPECT_EQ(after.Rows, before.Rows);
  std::vector<std::pair<std::string, int>> calls = {{"pwrite64", 0}, {"renameat2", 0}, {"unlink", 0}};
  {
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);)
      for (auto& [call, count] : calls)
        if (line.find(call + "(") != std::string::npos && line.find("resumed>") == std::string::npos) ++count;
  }
  // At least the journal, the index pages and a header (runs of pages go out in one write).
  ASSERT_GE(calls[0].second, 3);
  if (kind != "index") {
    ASSERT_GE(calls[1].second, 3);
  }
  const bool sampled = SampledSweep();
  for (const auto& [call, total] : calls) {
    if (total == 0) continue;
    std::vector<int> killPoints;
    const int step = sampled && call == "pwrite64" ? std::max(1, total / 30) : 1;
    for (int n = 1; n <= total; n += step) killPoints.push_back(n);
    if (killPoints.empty() || killPoints.back() != total) killPoints.push_back(total);
    // The children mostly wait for their syncs: a few run at once, checked in order afterwards.
    constexpr size_t kParallel = 4;
    bool sawNew = false;
    int olds = 0, killed = 0;
    for (size_t first = 0; first < killPoints.size() && !HasFailure(); first += kParallel) {
      const size_t last = std::min(killPoints.size(), first + kParallel);
      std::vector<pid_t> children;
      for (size_t i = first; i < last; ++i) {
        const std::string work = dir_ + call + std::to_string(killPoints[i]) + "/";
        fs::copy(base, work);
        children.push_back(StartChild(work, kind, call, killPoints[i], ""));
      }
      std::vector<int> statuses;
      for (pid_t pid : children) statuses.push_back(WaitChild(pid));
      for (size_t i = first; i < last && !HasFailure(); ++i) {
        const int n = killPoints[i];
        const std::string where = "killed at " + call + " " + std::to_string(n) + " of " + std::to_string(total);
        ASSERT_TRUE(WIFSIGNALED(statuses[i - first]) || WIFEXITED(statuses[i - first])) << where;
        const std::string work = dir_ + call + std::to_string(n) + "/";
        if (call != "pwrite64") CheckRecoveryKills(work, where, before, after);
        const TState state = Read(work, &fault);
        ASSERT_EQ(fault, "") << where;
        ASSERT_TRUE(state == before || state == after) << where << ": " << state.Fields << " fields, "
                                                        << state.Rows.size() << " records";
        if (state == after) sawNew = true;
        if (state == before) ++olds;
        if (WIFSIGNALED(statuses[i - first])) ++killed;
        ASSERT_FALSE(sawNew && state == before) << where << ": the old form after the new one";
        // Reopened once, the table stays as it is.
        ASSERT_TRUE(Read(work, &fault) == state) << where;
        fs::remove_all(work);
      }
    }
    std::printf("%s: killed at %zu of %d calls (%d killed, %d reopened in the old form)\n", call.c_str(),
                killPoints.size(), total, killed, olds);
    EXPECT_GT(killed, 0) << call;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RestructureCrashTest, ::testing::Values("full", "memo", "index"));

}  // namespace
}  // namespace tovenmarsh::engine
