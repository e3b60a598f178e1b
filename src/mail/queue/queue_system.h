// TQueueSystem: turns queue files into deliveries. Each round it takes up the new files of the
// queue folder, makes one entry per recipient, resolves each through the aliases into a local
// account (a mailbox file and row), a mailing list (one entry per member), or a remote address
// (the relay list), turns failed recipients into bounce messages, and once every entry of a
// file is done archives the file as a document (unless every entry bounced) and deletes it.
//
// Accounting: every entry, copies made by list expansion and for the postmaster included,
// counts in its file's open entries, so a file is deleted only after its last entry is done.
// A copy for the postmaster is never made for an entry that is itself such a copy or is
// addressed to "postmaster", so unknown postmaster aliases cannot loop.
//
// Nothing accepted is dropped: an entry whose mailbox write fails, a bounce that cannot be
// queued, an archive or a delete that fails stay open and are tried again next round. Each
// entry has a key (its recipient line and the chain of addresses that led to it); the outcome
// of every finished entry is kept with its file, in memory and, while other entries of the
// file are still open or when finishing the file failed, in a state file beside the queue
// ("state/<name>"). When a file is taken up again (after a restart) entries whose outcome is
// known are not delivered, relayed or bounced a second time.
//
// Finishing a file: every outcome (the last entry's included) reaches the state file before the
// archive, and the archive mark ("A") right after it, before the queue file is deleted; a file
// taken up again with that mark, or with its document file and row already there (a crash
// inside the archive), is only deleted; with the file but no row it is archived (the row added). A relay outcome reaches the state file when the relay task reports
// it (through the relay list's state writer), not at the next round. State files are appended
// to under one lock shared by this system and that writer.
//
// Batches: mailbox deliveries of a round are committed together (their files written and
// flushed side by side, the mail folder once, then all rows in one transaction), and files
// finished in a pass are archived together (the document files written side by side, then the
// same for them and their rows) and deleted side by side; a batch that fails is taken apart and
// tried row by row, so one bad row holds back only its own entry or file. Batches are bounded
// in entries and bytes.
//
// <Postmaster> without a domain goes to the one "postmaster" alias, or, when several
// companies have one, to that of the lowest company number.
//
// Only recipients in no local domain reach the relay list; the SMTP server accepts those only
// from clients allowed to relay, and the others come from mailing lists and bounces.
#pragma once

#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/server_system.h"
#include "mail/store/document_archive.h"
#include "mail/store/mail_directory.h"
#include "mail/store/mail_folders.h"
#include "mail/store/queue_file.h"
#include "mail/relay/relay_list.h"
#include "platform/date_time.h"

namespace tovenmarsh::mail {

// What the queue processing takes from its surroundings.
struct TQueueEnvironment {
  TMailFolders folders;
  std::string hostName;
  std::function<platform::TDateTime()> now;
  TMailDirectoryFactory openDirectory;
  TDocumentStore* documents = nullptr;
  TRelayList* relayList = nullptr;
  int maillistMaxDepth = 1;  // list expansion runs while an entry's depth is at most this
  int relayMinutes = 30;     // wait between relay attempts, and for a stuck attempt
  // Finished files are archived and deleted on a thread of their own, beside the next round's
  // deliveries (the server); off, a round ends with its files finished (the tests' rounds).
  bool finishAside = false;
};

// The queue's start-up, before any mail worker runs: removes what interrupted writes left in
// the temporary subfolders, and state files whose queue file is gone (a crash between deleting
// the one and the other), so that no later queue file of the same name inherits them. Logs
// what it removed.
//
// With a directory it first settles the mailbox deliveries that a crash interrupted: every
// mailbox file name that a state file records as begun is looked up in the mailbox rows. A
// name with a row is a committed delivery (its entry is marked delivered when its outcome had
// not been written yet, so it is not served again); a name without one is a file that was
// never committed, and it goes. Nothing else in the mail folder is touched.
void RecoverQueueFolder(const TMailFolders& folders, TMailDirectory* directory = nullptr);

// RelayMin from its configured text. Unlike most numbers of the configuration an explicit 0 is
// a setting of its own here (retry at the next round, without waiting); a negative value counts
// as 0, and a text that is no number gives fallback (the default).
int RelayMinSetting(std::string_view configured, int fallback);

// Outcomes of a finished entry as kept in the state of its file.
enum TEntryOutcome : char {
  eoDelivered = 'D',  // written to a mailbox
  eoRelayed = 'R',    // accepted by the relay server
  eoBounced = 'B',    // bounced (a bounce was queued, or none could be)
  eoIgnored = 'I',    // dropped by the company's settings or the list depth, with a log line
  eoExpanded = 'X',   // a mailing list, replaced by its members (not stored: expanded again)
  eoRefused = 'P',    // refused for good by the relay server; its bounce is still owed
};

class TQueueSystem : public core::TServerSystem {
 public:
  explicit TQueueSystem(TQueueEnvironment environment);
  // Takes the relay list's entries back (they point at this system's files; their queue files
  // stay on disk and are taken up again by the next start).
  ~TQueueSystem() override;

  // One round; answers the number of entries left in the relay list.
  int ProcessQueue();

  // For the tests and the statistics.
  size_t OpenFileCount() const { return files_.size(); }
  size_t DeferredCount() const { return deferred_.size() + deferredBounces_.size(); }
  const std::vector<std::string>& KnownNames() const { return knownNames_; }
  // The state file of a queue file.
  std::string StateFileName(const std::string& name) const;

 private:
  using TEntry = std::unique_ptr<TQueueRec>;

  struct TFileState {
    TDataRec data;
    std::map<std::string, char> outcomes;  // key -> outcome, loaded and made
    std::vector<std::string> unsaved;      // state lines not yet in the state file
    bool archived = false;
    bool finishing = false;  // every entry done; archive or delete still to succeed
    int stateFd = -1;        // the state file while OpenState keeps it open
    bool queuedToFinish = false;  // named in pendingFinish_
    size_t bytes = 0;             // the queue file's size, to bound the bytes of a batch
    bool aside = false;           // being finished (archived, deleted) by the work aside
  };
  struct TPendingDelivery {
    TEntry entry;
    resources::TMailDropRec record;
  };

  void Scan();
  void TakeUp(const std::string& name);
  void Deliver(TMailDirectory& directory);
  void DeliverEntry(TMailDirectory& directory, TEntry& entry);
  void UpdateRelayList();
  bool SendBounces();
  void SendBounce(const TQueueRec& entry);
  void DeliverToAccount(TEntry& entry);
  // Records in the file's state that a mailbox file of this name is being written for the entry.
  void RecordMailboxName(TFileState& file, const TQueueRec& entry, const std::string& id, char kind);
  // Writes the mailbox files named since the last commit, adds their rows and finishes their
  // entries.
  void CommitDeliveries(TMailDirectory& directory);
  // Writes and flushes the batch's mailbox files; drops the entries whose file failed.
  void WriteMailboxFiles(std::vector<TPendingDelivery>& batch);
  // A mailbox write that failed: its file goes, its entry waits for the next round (or is done
  // when its queue file vanished).
  void FailDelivery(TEntry& entry, const std::string& mailboxId, const std::string& why);
  void Defer(TEntry& entry, const std::string& why);

  TEntry NewEntry(TFileState& file, const std::string& key);
  TEntry CopyEntry(const TQueueRec& from, const std::string& key);
  // Records the outcome of an entry and releases it (its file finishes at its last entry).
  void Finish(TEntry entry, char outcome);
  // An entry whose final outcome is already known: counted as it was, then released.
  bool FinishKnown(TEntry& entry);
  // The recorded outcome of an entry (final or not), 0 when none.
  char KnownOutcome(const TQueueRec& entry);
  // The "postmaster" alias of the lowest company number that has one; answers 1 (rec filled)
  // or 0.
  int FindFirstPostmaster(TMailDirectory& directory, resources::TAliasRec& rec);
  // Every entry of the file is done: queues it for FlushFinished.
  void FinishFile(TFileState& file);
  // A finished file as the finishing work takes it: whether to archive it before the delete.
  struct TFinishItem {
    std::string name;
    size_t bytes = 0;
    bool archive = false;
    bool hadDocument = false;  // its document file was there before this archive began
  };
  // What became of it.
  struct TFinishResult {
    std::string name;
    bool archived = false;  // its row is added
    bool marked = false;    // and its archive mark is in its state file
    bool gone = false;      // its queue file (and then its state file) is deleted
  };
  // Archives the queued files (in batches) and deletes them: at once, or with finishAside on a
  // thread of its own while the next round goes on. Up to kMostAsides such works run at once,
  // so that one writes and flushes its document files while the one before adds its rows; a
  // round that finished no file waits for them all.
  void FlushFinished();
  static constexpr size_t kMostAsides = 2;
  // The finishing work itself; touches nothing of a queue system. Row additions (and the
  // archive marks that follow them) hold rowLock, one finishing work at a time.
  static std::vector<TFinishResult> FinishFiles(const TMailFolders& folders, TDocumentStore* documents,
                                                std::mutex& stateLock, std::mutex& rowLock,
                                                const std::string& stateFolder, const std::vector<TFinishItem>& items);
  static void ArchiveBatch(const TMailFolders& folders, TDocumentStore& documents, std::mutex& stateLock,
                           std::mutex& rowLock, const std::string& stateFolder, const std::vector<TFinishItem>& items,
                           const std::vector<size_t>& batch, std::vector<TFinishResult>& results);
  // Takes in the results of the finishing works aside that have ended; with wait, waits for
  // every one of them first.
  void CollectFinished(bool wait);
  // Waits for the oldest finishing work aside and takes in its results.
  void CollectOldest();
  void ApplyFinished(const std::vector<TFinishResult>& results, const std::vector<std::string>& names);
  void SaveState(TFileState& file);
  // Creates (or opens) the file's state file and keeps it open until CloseStates, so that the
  // outcomes written right after a commit cost one write each.
  void OpenState(TFileState& file);
  void CloseStates();
  void LoadState(TFileState& file);
  void Dispose(const TQueueRec* entry);

  TFileState* FileOf(const TQueueRec& entry);
  const std::string& KeyOf(const TQueueRec& entry) const;
  bool IsPostmasterCopy(const TQueueRec& entry) const;

  TQueueEnvironment environment_;
  // Serialises appends to state files between this system and the relay list's state writer
  // (which holds it by its own reference, so a late report never touches this system).
  std::shared_ptr<std::mutex> stateLock_ = std::make_shared<std::mutex>();
  std::vector<std::string> knownNames_;
  std::map<std::string, std::unique_ptr<TFileState>> files_;
  struct TEntryInfo {
    std::string key;
    bool postmasterCopy = false;
  };
  std::unordered_map<const TQueueRec*, TEntryInfo> info_;
  std::vector<TEntry> newEntries_;
  std::vector<TEntry> bounceEntries_;
  std::vector<TEntry> deferred_;         // mailbox writes that failed, tried next round
  std::vector<TEntry> deferredBounces_;  // bounces that could not be queued
  std::vector<TPendingDelivery> pendingDeliveries_;  // mailbox files written, rows not yet added
  size_t pendingBytes_ = 0;
  std::vector<std::string> pendingFinish_;  // files whose entries are all done, in order
  std::vector<TFileState*> openStates_;     // files whose state file OpenState holds open
  struct TAside {
    std::future<std::vector<TFinishResult>> results;
    std::vector<std::string> names;  // the files it took
  };
  std::deque<TAside> asides_;  // the finishing works running aside, oldest first
  // Held by the finishing works while they add rows; shared with them as the state lock is.
  std::shared_ptr<std::mutex> rowLock_ = std::make_shared<std::mutex>();
};

}  // namespace tovenmarsh::mail
