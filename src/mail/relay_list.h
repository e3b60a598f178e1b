// TRelayList: the process-wide list of queue entries whose recipient is remote, from the moment
// the queue processing resolves them until a relay task has delivered them or they bounce.
//
// Every method runs under the list's own lock. A relay task never keeps a pointer into the
// list: TakeRelayBatch hands out copies tagged with the entry's id and the number of the
// attempt, and Report changes an entry only while it is still in progress for that very
// attempt. So an entry that the queue processing has meanwhile sent back to waiting (its task
// took too long), handed on or disposed of is never touched by a late report.
//
// Scheduling promises: an entry is taken only when its next attempt has come; the domain of a
// batch is that of the first entry that is due (a deferred entry at the head does not hold up
// the others); a batch holds entries of one domain and one queue file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mail/queue_file.h"
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

class TRelayList {
 public:
  TRelayList() = default;
  TRelayList(const TRelayList&) = delete;
  TRelayList& operator=(const TRelayList&) = delete;

  // Takes the entry over (state 0, new).
  void Add(std::unique_ptr<TQueueRec> entry);
  int Count() const;
  // Disposes of every entry.
  void Clear();

  // Fills batch with due entries of domain (of the first due entry when domain is empty) and
  // of one queue file, marks them in progress and answers whether the batch is not empty.
  // New entries are set up first: retries left := retries, next attempt := now, waiting.
  bool TakeRelayBatch(const std::string& domain, TRelayBatch& batch, platform::TDateTime now, int retries);
  // Sets the state of an item of a batch; nothing when the entry is no longer in progress for
  // that attempt. state is delivered, temporary or permanent failure.
  void Report(const TRelayBatchItem& item, uint8_t state);

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
  };

  static bool IsDue(const TQueueRec& entry, platform::TDateTime now);

  mutable platform::TCriticalSection lock_;
  std::vector<TItem> items_;
  uint64_t nextId_ = 1;
};

// Days of n minutes in the system's own minute (0.000694 day).
platform::TDateTime RelayMinutes(int minutes);

}  // namespace tovenmarsh::mail
