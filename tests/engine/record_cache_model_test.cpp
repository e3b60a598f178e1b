// The data file's record cache against a simple model: random reads, holds, changes, appends,
// writes behind the cache's back, trims, drops, transactions and read-ahead through a tiny cache. Which
// records are cached shows through the contents: a record changed on disk behind the cache
// reads stale exactly while it stays cached. The model evicts the least recently used record
// that is neither changed nor in use, writes changed records when nothing can go (outside a
// transaction) and grows by 255 inside one; the cache must agree on every read, on its size and
// on its capacity, and must never lose a changed or held record.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/store/data_file.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {
namespace {

using namespace data_format;

class TModelOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return inTransaction; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return false; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
  bool inTransaction = false;
};

constexpr size_t kValueAt = 10;  // a byte of the first field

struct TModelRecord {
  bool cached = false;
  bool changed = false;
  int use = 0;
  uint64_t stamp = 0;
  uint8_t cacheValue = 0;
  uint8_t diskValue = 0;
};

// The cache as the rules describe it, without any of its data structures.
class TCacheModel {
 public:
  explicit TCacheModel(size_t normal) : normal(normal), capacity(normal) {}

  size_t Cached() const {
    size_t n = 0;
    for (const auto& [number, r] : records)
      if (r.cached) ++n;
    return n;
  }
  bool WriteChanged() {
    bool any = false;
    for (auto& [number, r] : records)
      if (r.cached && r.changed && r.use == 0) {
        r.diskValue = r.cacheValue;
        r.changed = false;
        any = true;
        onDisk = std::max(onDisk, number);
      }
    return any;
  }
  // Room for a record read ahead: never written or grown for, so it may find none.
  bool TryRoom() {
    if (Cached() < capacity) return true;
    TModelRecord* victim = nullptr;
    for (auto& [number, r] : records)
      if (r.cached && !r.changed && r.use == 0 && (!victim || r.stamp < victim->stamp)) victim = &r;
    if (!victim) return false;
    victim->cached = false;
    return true;
  }
  // A miss reads the block [first, first + n) for `number`: the record gets its room first
  // (which may write changed records), then records on disk and not cached come in while
  // there is room; cached ones neither changed nor in use are refreshed.
  uint8_t GetAhead(uint32_t number, uint32_t first, uint32_t n) {
    TModelRecord& own = records[number];
    if (own.cached) return Get(number);  // a hit reads nothing
    MakeRoom();
    own.cached = true;
    own.changed = false;
    own.cacheValue = own.diskValue;
    ++own.use;
    for (uint32_t at = first; at < first + n && at <= onDisk; ++at) {
      TModelRecord& r = records[at];
      if (at == number) continue;
      if (r.cached) {
        if (!r.changed && r.use == 0) r.cacheValue = r.diskValue;
      } else if (TryRoom()) {
        r.cached = true;
        r.changed = false;
        r.cacheValue = r.diskValue;
        r.stamp = ++clock;
      }
    }
    own.stamp = ++clock;
    return own.cacheValue;
  }
  void MakeRoom() {
    if (Cached() < capacity) return;
    for (int attempt = 0; attempt < 2; ++attempt) {
      TModelRecord* victim = nullptr;
      for (auto& [number, r] : records)
        if (r.cached && !r.changed && r.use == 0 && (!victim || r.stamp < victim->stamp)) victim = &r;
      if (victim) {
        victim->cached = false;
        return;
      }
      if (attempt == 0 && !inTransaction && WriteChanged()) continue;
      break;
    }
    ASSERT_TRUE(inTransaction) << "the model never runs out of room outside a transaction";
    capacity += 255;
  }
  // A read: a hit, or a load from disk.
  uint8_t Get(uint32_t number) {
    TModelRecord& r = records[number];
    if (!r.cached) {
      MakeRoom();
      r.cached = true;
      r.changed = false;
      r.cacheValue = r.diskValue;
    }
    r.stamp = ++clock;
    ++r.use;
    return r.cacheValue;
  }
  void Append(uint32_t number) {
    MakeRoom();
    TModelRecord& r = records[number];
    r.cached = true;
    r.use = 1;
    r.stamp = ++clock;
  }
  void Trim() {
    for (auto it = records.rbegin(); it != records.rend() && Cached() > normal; ++it) {
      TModelRecord& r = it->second;
      if (r.cached && !r.changed && r.use == 0) r.cached = false;
    }
    capacity = std::max(normal, Cached());
  }
  // Dropping keeps records in use (their changes forgotten) in record-number order of recency.
  void Drop() {
    for (auto& [number, r] : records) {
      if (!r.cached) continue;
      if (r.use > 0) {
        r.changed = false;
        r.stamp = ++clock;
      } else {
        r.cached = false;
      }
    }
  }

  std::map<uint32_t, TModelRecord> records;
  size_t normal;
  size_t capacity;
  uint64_t clock = 0;
  bool inTransaction = false;
  uint32_t onDisk = 0;  // highest record number the file holds
};

TDataFileDefinition Definition() {
  TDataFileDefinition d;
  FieldDesc a;
  a.Name = "Value";
  a.FieldType = fldZString;
  a.Size = 20;
  d.Fields = {a};
  return d;
}

void RunModel(uint32_t seed, size_t normal) {
  SCOPED_TRACE(testing::Message() << "seed " << seed << " capacity " << normal);
  std::mt19937 random(seed);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  TFileList list;
  TModelOwner owner;
  TDataFile file(&owner, "MODEL.DAT", true, &list);
  file.CreateTable(Definition());
  file.WriteHeader(true);
  file.SetNormalCapacity(normal);
  TCacheModel model(normal);
  std::map<uint32_t, TRecord*> held;  // record number -> the buffer held

  auto append = [&] {
    const uint32_t number = file.NextRecord();
    TRecord* r = file.TakeFreeRecord(false);
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(r->Number, number);
    model.Append(number);
    file.InitRecord(*r, true);
    const auto value = static_cast<uint8_t>(random());
    r->Buffer[kValueAt] = value;
    r->Changed = true;
    model.records[number].cacheValue = value;
    model.records[number].changed = true;
    file.ReleaseRecord(r);
    --model.records[number].use;
  };
  for (int i = 0; i < 8; ++i) append();
  // Outside a transaction a miss needs a record that is not held.
  auto roomPossible = [&] { return model.inTransaction || held.size() + 1 < model.capacity; };

  for (int step = 0; step < 3000 && !testing::Test::HasFatalFailure(); ++step) {
    const uint32_t records = file.NextRecord() - 1;
    const uint32_t number = 1 + pick(records);
    const uint32_t op = pick(100);
    if (op < 35) {  // read, sometimes changing it, sometimes holding it
      if (held.count(number)) continue;
      if (!roomPossible()) continue;
      TRecord* r = file.GetRecord(number);
      ASSERT_NE(r, nullptr);
      const uint8_t expected = model.Get(number);
      ASSERT_EQ(r->Buffer[kValueAt], expected) << "record " << number << " at step " << step;
      if (pick(3) == 0) {
        const auto value = static_cast<uint8_t>(random());
        r->Buffer[kValueAt] = value;
        r->Changed = true;
        model.records[number].cacheValue = value;
        model.records[number].changed = true;
      }
      if (pick(4) == 0) {
        held[number] = r;
      } else {
        file.ReleaseRecord(r);
        --model.records[number].use;
      }
    } else if (op < 50) {  // release a held record
      if (held.empty()) continue;
      auto it = held.begin();
      std::advance(it, pick(static_cast<uint32_t>(held.size())));
      file.ReleaseRecord(it->second);
      --model.records[it->first].use;
      held.erase(it);
    } else if (op < 65) {  // another user's write, behind the cache
      const auto value = static_cast<uint8_t>(random());
      if (model.records[number].cached && model.records[number].changed) continue;  // maybe not stored yet
      {
        TFileAccess access(file);
        file.Seek(RecordOffset(file.FieldCount(), file.RecordSize(), number) + static_cast<int64_t>(kValueAt));
        file.Write(&value, 1);
      }
      model.records[number].diskValue = value;
    } else if (op < 72) {  // append
      if (model.inTransaction || records >= 40 || !roomPossible()) continue;
      append();
    } else if (op < 78) {
      ASSERT_EQ(file.WriteChangedRecords(), model.WriteChanged());
    } else if (op < 83) {
      file.TrimCache();
      model.Trim();
    } else if (op < 90) {  // start a transaction (changes written first) or commit
      if (!model.inTransaction) {
        // A held change would not be written, and a rollback would lose a record never stored.
        bool heldChange = false;
        for (auto& [n, r] : held) heldChange = heldChange || model.records[n].changed;
        if (heldChange) continue;
        file.WriteChangedRecords();
        model.WriteChanged();
        owner.inTransaction = model.inTransaction = true;
      } else {
        owner.inTransaction = model.inTransaction = false;
        file.WriteChangedRecords();
        model.WriteChanged();
        file.TrimCache();
        model.Trim();
      }
    } else if (op < 93) {  // rollback: the transaction's changes are dropped
      if (!model.inTransaction) continue;
      owner.inTransaction = model.inTransaction = false;
      file.DropRecords();
      model.Drop();
      file.TrimCache();
      model.Trim();
    } else if (op < 96) {  // a read with read-ahead, forward or backward
      if (held.count(number) || !roomPossible()) continue;
      const TModelRecord& m = model.records[number];
      // A record neither cached nor stored (appended, then dropped by a rollback) cannot be read.
      if (!m.cached && number > model.onDisk) continue;
      const int direction = pick(2) == 0 ? 1 : -1;
      const uint32_t ahead = 2 + pick(6);
      const uint32_t room = direction > 0 ? file.NextRecord() - number : number;
      const uint32_t n = std::max<uint32_t>(1, std::min({ahead, file.ReadAheadLimit(), room}));
      const uint32_t first = direction > 0 ? number : number - n + 1;
      TRecord* r = file.GetRecord(number, direction, ahead);
      ASSERT_NE(r, nullptr);
      ASSERT_EQ(r->Buffer[kValueAt], model.GetAhead(number, first, n)) << "record " << number << " at step " << step;
      file.ReleaseRecord(r);
      --model.records[number].use;
    } else {  // a long run of reads in key order
      if (!roomPossible()) continue;
      for (uint32_t n = 1; n <= records; ++n) {
        if (held.count(n)) continue;
        TRecord* r = file.GetRecord(n);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r->Buffer[kValueAt], model.Get(n)) << "record " << n << " at step " << step;
        file.ReleaseRecord(r);
        --model.records[n].use;
      }
    }
    ASSERT_EQ(file.CachedRecords(), model.Cached()) << "step " << step;
    ASSERT_EQ(file.CacheCapacity(), model.capacity) << "step " << step;
  }
  // Nothing changed was lost: after writing, the file holds what the model says.
  for (auto& [number, r] : held) file.ReleaseRecord(r);
  for (auto& [number, r] : held) --model.records[number].use;
  owner.inTransaction = model.inTransaction = false;
  file.WriteChangedRecords();
  model.WriteChanged();
  file.DropRecords();
  for (uint32_t n = 1; n < file.NextRecord(); ++n) {
    TRecord* r = file.GetRecord(n);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->Buffer[kValueAt], model.records[n].diskValue) << "record " << n;
    file.ReleaseRecord(r);
  }
}

// A miss whose room can only come from writing changed records that lie inside the block it
// reads ahead: the written values stay, and are not refreshed from the block read before.
TEST(RecordCacheModel, ReadAheadNeverRefreshesRecordsWrittenToMakeRoom) {
  TFileList list;
  TModelOwner owner;
  TDataFile file(&owner, "AHEAD.DAT", true, &list);
  file.CreateTable(Definition());
  file.WriteHeader(true);
  for (uint8_t value = 1; value <= 4; ++value) {
    TRecord* r = file.TakeFreeRecord(false);
    file.InitRecord(*r, true);
    r->Buffer[kValueAt] = value;
    r->Changed = true;
    file.ReleaseRecord(r);
  }
  file.WriteChangedRecords();
  file.DropRecords();
  file.SetNormalCapacity(3);
  TRecord* held = file.GetRecord(4);
  for (uint32_t n : {2u, 3u}) {  // the cache holds only changed records and one in use
    TRecord* r = file.GetRecord(n);
    r->Buffer[kValueAt] = static_cast<uint8_t>(20 + n);
    r->Changed = true;
    file.ReleaseRecord(r);
  }
  TRecord* first = file.GetRecord(1, 1, 4);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Buffer[kValueAt], 1);
  file.ReleaseRecord(first);
  for (uint32_t n : {3u, 2u}) {
    TRecord* r = file.GetRecord(n);
    EXPECT_EQ(r->Buffer[kValueAt], 20 + n) << "record " << n;
    file.ReleaseRecord(r);
  }
  file.ReleaseRecord(held);
}

TEST(RecordCacheModel, AgreesWithTheModelThroughATinyCache) {
  for (uint32_t seed = 1; seed <= 16; ++seed)
    for (size_t normal : {3u, 5u, 9u}) {
      RunModel(seed, normal);
      if (testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace tovenmarsh::engine
