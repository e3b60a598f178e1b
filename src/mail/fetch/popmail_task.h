// POP3 collection: the daemon that keeps the external mailboxes and starts collection tasks,
// and the task that, as a POP3 client, fetches the messages of every due mailbox into the
// queue for its local account.
//
// Promises of the task:
// - With leave-copy set, the unique ids (UIDL) of the messages already fetched are kept in the
//   store, and a message is fetched only once. The ids are stored after fetching, and only of
//   messages that were fetched (now or before): a message whose fetch failed is fetched at the
//   next run. A kept message is deleted on the server once remafter minutes have passed since
//   it was first seen.
// - Without leave-copy, every message is deleted on the server right after its fetch succeeded
//   (and only then).
// - Sizes are bounded by the task's cap: a size that the server announces never reserves more
//   than kMaxPresize, a message above the cap is read to its end, dropped (not deleted on the
//   server) and logged, and listings are bounded too. A message the server refuses (-ERR) is
//   passed over; a broken connection ends the mailbox's run (what was fetched stays fetched).
// - An answer that comes with the server's close counts as that answer. A refused login is
//   logged as failed; a login that got no answer at all, as such.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/sockets.h"
#include "core/timed_server.h"
#include "mail/store/mail_folders.h"
#include "mail/fetch/popmail_accounts.h"
#include "mail/relay/relay_client_task.h"
#include "mail/relay/relay_reply.h"
#include "platform/date_time.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail {

inline constexpr int kPOP3Port = 110;
inline constexpr size_t kMaxPresize = 1024u * 1024u;
inline constexpr size_t kMaxListingBytes = 8u * 1024u * 1024u;
inline constexpr size_t kMaxListedMessages = 100000;
inline constexpr size_t kMaxUidlLength = 255;
inline constexpr int kMaxCollectionTasks = kMaxClientTasks;

// The external accounts and fetched ids as the collection sees them.
class TCollectionStore {
 public:
  virtual ~TCollectionStore() = default;
  virtual int ListAccounts(resources::TExtAccRecs& list) = 0;
  virtual int ListUIDLs(const std::string& mailboxId, resources::TExtMailDropRecs& list) = 0;
  virtual bool ReplaceUIDLs(const std::string& mailboxId, const resources::TExtMailDropRecs& list) = 0;
};

using TCollectionStoreFactory = std::function<std::unique_ptr<TCollectionStore>()>;

// The installation's store over TPOPMailControl and TPOPMailBoxControl (each call borrows its
// resource for that call only, never across network waits).
std::unique_ptr<TCollectionStore> OpenInstallationCollectionStore();

struct TPOPMailEnvironment {
  TExtAccountList* accounts = nullptr;
  TMailFolders folders;
  std::function<platform::TDateTime()> now;
  TCollectionStoreFactory openStore;
  int port = kPOP3Port;  // tests put their server's port here
  core::TTimeouts timeouts = core::DefaultTimeouts();
  size_t maxMessage = 32u * 1024u * 1024u;   // bytes of one collected message (as sent)
  std::atomic<int>* runningTasks = nullptr;  // counted up on creation, down on destruction
  std::function<void()> wakeQueue;           // run when the last running task ends
  // Starts one collection task (the daemon calls it under its lock); empty: StartTask with a
  // task of this environment.
  std::function<void(core::TDaemon& owner)> startTask;
};

// One message of the server's listing.
struct TCollectItem {
  resources::TExtMailDropRec rec;  // id, uidl, created, msgno
  bool fetch = true;
  bool remove = false;
  bool fetched = false;  // fetched in this run
  bool stored = false;   // fetched in an earlier run
};

class TPOPMailTask : public TClientTask {
 public:
  explicit TPOPMailTask(TPOPMailEnvironment environment);
  ~TPOPMailTask() override;

  std::string ClassName() const override { return "TPOPMailTask"; }

  // Collects one account (already taken as due); answers whether the run went to its end.
  bool CollectAccount(const resources::TExtAccRec& account);

 protected:
  bool Execute() override;

 private:
  enum class TFetch { Fetched, Passed, Failed };

  bool Single(const std::string& command, std::string& reply);
  bool Multi(const std::string& command, std::vector<std::string>& lines);
  TFetch Fetch(const resources::TExtAccRec& account, const std::string& number);
  void Close();

  TPOPMailEnvironment environment_;
};

// How the store keeps a unique id: as it is when it fits the store's column; a longer one (RFC
// 1939 allows 70 characters, but servers differ) as its beginning and a checksum of the whole,
// so that at the next run it equals itself, and only itself, again.
std::string StoredUidl(const std::string& uidl);

// Turns listing lines ("n uidl" or "n size") into items (unique ids in their stored form); lines whose number is not a positive
// decimal, or whose uidl is missing, too long or holds control bytes, are passed over.
std::vector<TCollectItem> ParseListing(const std::vector<std::string>& lines, bool uidl, const std::string& mailboxId,
                                       platform::TDateTime now);

class TPopMailDaemon : public core::TDaemon {
 public:
  explicit TPopMailDaemon(TPOPMailEnvironment environment);

  std::string ClassName() const override { return "TPopMailDaemon"; }

 protected:
  bool Execute() override;

 private:
  TPOPMailEnvironment environment_;
};

// The class references of collection tasks and daemons made with environment.
core::TTaskClass POPMailTaskClass(TPOPMailEnvironment environment);
core::TDaemonClass PopMailDaemonClass(TPOPMailEnvironment environment);

}  // namespace tovenmarsh::mail
