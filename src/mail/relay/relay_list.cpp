// The relay list: remote recipients waiting for, or in, relay.
#include "mail/relay/relay_list.h"

#include <algorithm>
#include <mutex>

#include "core/timed_server.h"
#include "mail/message/mime_types.h"

namespace tovenmarsh::mail {

platform::TDateTime RelayMinutes(int minutes) { return minutes * core::TTimedServer::kMinute; }

void TRelayList::Add(std::unique_ptr<TQueueRec> entry, std::string stateKey) {
  if (!entry) return;
  std::string fileName = entry->queueFile != nullptr ? entry->queueFile->fileName : std::string();
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  entry->relayState = rsNew;
  items_.push_back(TItem{nextId_++, 0, std::move(entry), std::move(stateKey), std::move(fileName)});
}

void TRelayList::SetStateWriter(TRelayStateWriter writer) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  stateWriter_ = std::move(writer);
}

int TRelayList::Count() const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  return static_cast<int>(items_.size());
}

void TRelayList::Clear() {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  items_.clear();
}

bool TRelayList::IsDue(const TQueueRec& entry, platform::TDateTime now) {
  return entry.relayState == rsNew || (entry.relayState == rsWaiting && entry.nextAttempt <= now);
}

bool TRelayList::TakeRelayBatch(const std::string& domain, TRelayBatch& batch, platform::TDateTime now,
                                int retries) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  batch.clear();
  if (items_.empty()) return false;
  for (TItem& item : items_) {
    TQueueRec& entry = *item.entry;
    if (entry.relayState != rsNew) continue;
    entry.retriesLeft = retries;
    entry.lastAttempt = now;
    entry.nextAttempt = now;
    entry.relayState = rsWaiting;
  }
  // The domain of the first due entry: one that still waits for its retry time must not hold
  // up the entries behind it.
  std::string chosen = domain;
  if (chosen.empty()) {
    for (const TItem& item : items_) {
      if (IsDue(*item.entry, now)) {
        chosen = item.entry->domain;
        break;
      }
    }
    if (chosen.empty()) return false;
  }
  // One MAIL transaction per batch: one file and one reverse path (list members go out with
  // the list's postmaster as sender, the file's own recipients with the sender's).
  const TQueueRec* first = nullptr;
  for (TItem& item : items_) {
    TQueueRec& entry = *item.entry;
    if (!IsDue(entry, now) || !SameTextAscii(entry.domain, chosen)) continue;
    if (first == nullptr) {
      first = &entry;
    } else if (entry.queueFile != first->queueFile || entry.reversePath != first->reversePath) {
      continue;
    }
    entry.relayState = rsInProgress;
    entry.lastAttempt = now;
    ++item.attempt;
    TRelayBatchItem taken;
    taken.id = item.id;
    taken.attempt = item.attempt;
    taken.user = entry.user;
    taken.domain = entry.domain;
    taken.reversePath = entry.reversePath;
    taken.queueFileName = entry.queueFile != nullptr ? entry.queueFile->fileName : std::string();
    batch.push_back(std::move(taken));
  }
  return !batch.empty();
}

void TRelayList::Report(const TRelayBatchItem& taken, uint8_t state) {
  if (state != rsDelivered && state != rsTemporaryFailure && state != rsPermanentFailure) return;
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (TItem& item : items_) {
    if (item.id != taken.id) continue;
    const uint8_t now = item.entry->relayState;
    if (item.attempt != taken.attempt || (now != rsInProgress && now != rsWaiting)) return;
    item.entry->relayState = state;
    // Still under the lock: the queue processing cannot take the entry off the list (and
    // finish its file) before the outcome is recorded.
    if (state != rsTemporaryFailure && stateWriter_ && !item.stateKey.empty() && !item.fileName.empty()) {
      stateWriter_(item.fileName, item.stateKey, state);
    }
    return;
  }
}

void TRelayList::ReportUnfinished(const TRelayBatchItem& taken) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (TItem& item : items_) {
    if (item.id != taken.id) continue;
    if (item.attempt == taken.attempt && item.entry->relayState == rsInProgress) {
      item.entry->relayState = rsTemporaryFailure;
    }
    return;
  }
}

bool TRelayList::HasDue(platform::TDateTime now) const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  for (const TItem& item : items_) {
    if (IsDue(*item.entry, now)) return true;
  }
  return false;
}

platform::TDateTime TRelayList::NextDue(platform::TDateTime now) const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  platform::TDateTime next = 0;
  for (const TItem& item : items_) {
    const TQueueRec& entry = *item.entry;
    platform::TDateTime due = 0;
    if (entry.relayState == rsNew) {
      due = now;
    } else if (entry.relayState == rsWaiting) {
      due = entry.nextAttempt;
    } else {
      continue;
    }
    if (next == 0 || due < next) next = due;
  }
  return next;
}

void TRelayList::Update(platform::TDateTime now, int relayMinutes, TQueueRecs& released, TQueueRecs& bounced) {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  const platform::TDateTime span = RelayMinutes(std::max(relayMinutes, 0));
  const platform::TDateTime stuck = RelayMinutes(std::max(relayMinutes, kStuckMinutes));
  std::vector<TItem> kept;
  kept.reserve(items_.size());
  for (TItem& item : items_) {
    TQueueRec& entry = *item.entry;
    switch (entry.relayState) {
      case rsInProgress:
        // A task that died or hangs leaves its entries in progress.
        if (entry.lastAttempt < now - stuck) entry.relayState = rsWaiting;
        break;
      case rsDelivered:
        released.push_back(std::move(item.entry));
        continue;
      case rsTemporaryFailure:
        --entry.retriesLeft;
        if (entry.retriesLeft < 0) {
          bounced.push_back(std::move(item.entry));
          continue;
        }
        entry.nextAttempt = now + span;
        entry.relayState = rsWaiting;
        break;
      case rsPermanentFailure:
        bounced.push_back(std::move(item.entry));
        continue;
      default:
        break;
    }
    kept.push_back(std::move(item));
  }
  items_ = std::move(kept);
}

std::vector<TQueueRec> TRelayList::Snapshot() const {
  std::lock_guard<platform::TCriticalSection> guard(lock_);
  std::vector<TQueueRec> copy;
  for (const TItem& item : items_) copy.push_back(*item.entry);
  return copy;
}

}  // namespace tovenmarsh::mail
