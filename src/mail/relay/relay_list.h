// TRelayList: the process-wide list of queue entries whose recipient is remote, from the moment
// the queue processing resolves them until a relay task has delivered them or they bounce.
//
// Every method runs under the list's own lock. A relay task never keeps a pointer into the
// list: TakeRelayBatch hands out copies tagged with the entry's id and the number of the
// attempt, and Report changes an entry only while that attempt is its latest: in progress, or
// sent back to waiting by the queue processing (its task took long) and not taken again. So a
// slow task's outcome still counts (a delivered message is not sent twice), while an entry
// taken again, handed on or disposed of is never touched by a late report.
//
// An entry in progress goes back to waiting only after RelayMin minutes and never sooner than
// kStuckMinutes, whatever RelayMin says: a shorter wait would let a second task send what the
// first one is still sending.
//
// Outcomes that must survive a crash (delivered, refused for good) are handed to the state
// writer, when one is set, inside Report and under the list's lock: they reach the queue file's
// state before the queue processing can take the entry off the list (and so before it can
// finish and delete the file), and before the task goes on to its next batch.
//
// Scheduling promises: an entry is taken only when its next attempt has come; the domain of a
// batch is that of the first entry that is due (a deferred entry at the head does not hold up
// the others); a batch holds entries of one domain, one queue file and one reverse path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mail/store/queue_file.h"
#include "platform/date_time.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

// What a relay task needs of one entry of its batch.
struct TRelayBatchItem {
  uint64_t id = 0;
  uint64_t attempt = 0;
  std::string user;
  std::string domain;
  std::string reversePath;
  std::string queueFileName;
};

using TRelayBatch = std::vector<TRelayBatchItem>;
using TQueueRecs = std::vector<std::unique_ptr<TQueueRec>>;

// Records the final relay outcome (rsDelivered or rsPermanentFailure) of the entry with state
// key key of queue file queueFileName. Runs under the list's lock: it must not call the list.
using TRelayStateWriter =
    std::function<void(const std::string& queueFileName, const std::string& key, uint8_t state)>;

class TRelayList {
 public:
  TRelayList() = default;
  TRelayList(const TRelayList&) = delete;
  TRelayList& operator=(const TRelayList&) = delete;

  // Takes the entry over (state 0, new). stateKey names the entry in its file's state; an
  // entry without one is not handed to the state writer.
  void Add(std::unique_ptr<TQueueRec> entry, std::string stateKey = std::string());
  int Count() const;
  // Disposes of every entry.
  void Clear();

  // Fills batch with due entries of domain (of the first due entry when domain is empty), of
  // one queue file and one reverse path, marks them in progress and answers whether the batch is not empty.
  // New entries are set up first: retries left := retries, next attempt := now, waiting.
  bool TakeRelayBatch(const std::string& domain, TRelayBatch& batch, platform::TDateTime now, int retries);
  // Sets the state of an item of a batch; nothing unless its attempt is the entry's latest and
  // the entry is in progress or waiting. state is delivered, temporary or permanent failure.
  // A delivered or permanently refused item goes to the state writer before Report returns.
  void Report(const TRelayBatchItem& item, uint8_t state);
  // Sets (or, with an empty one, removes) the state writer.
  void SetStateWriter(TRelayStateWriter writer);
  // A temporary failure for an item that is still in progress for its attempt: what a task
  // leaves unreported (it failed half-way) is tried again later, and counts as an attempt.
  void ReportUnfinished(const TRelayBatchItem& item);

  // Whether an entry is new or waiting with its next attempt come.
  bool HasDue(platform::TDateTime now) const;
  // The earliest next attempt of a waiting entry (now for a new one); 0 when none waits.
  platform::TDateTime NextDue(platform::TDateTime now) const;

  // The queue processing's step over the list: in progress for longer than relayMinutes back
  // to waiting; delivered into released; temporary failure retried relayMinutes later, or
  // into bounced once its retries are used up; permanent failure into bounced.
  void Update(platform::TDateTime now, int relayMinutes, TQueueRecs& released, TQueueRecs& bounced);

  // A copy of the entry states in list order (for the statistics and the tests).
  std::vector<TQueueRec> Snapshot() const;

 private:
  struct TItem {
    uint64_t id = 0;
    uint64_t attempt = 0;
    std::unique_ptr<TQueueRec> entry;
    std::string stateKey;
    std::string fileName;
  };

  static bool IsDue(const TQueueRec& entry, platform::TDateTime now);

  mutable platform::TCriticalSection lock_;
  std::vector<TItem> items_;
  uint64_t nextId_ = 1;
  TRelayStateWriter stateWriter_;
};

// Days of n minutes in the system's own minute (0.000694 day).
platform::TDateTime RelayMinutes(int minutes);

// The least time an entry stays in progress before it counts as left behind by its task.
inline constexpr int kStuckMinutes = 30;

}  // namespace tovenmarsh::mail
