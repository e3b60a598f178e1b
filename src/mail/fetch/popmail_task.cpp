// POP3 collection from external mailboxes: the collection task and its daemon.
#include "mail/fetch/popmail_task.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <utility>

#include "core/log.h"
#include "core/str_utils.h"
#include "core/worker_threads.h"
#include "mail/message/line_ends.h"
#include "mail/message/mime_codecs.h"
#include "mail/store/queue_file.h"
#include "platform/format.h"
#include "platform/stream.h"
#include "resources/pop_mail_control.h"
#include "resources/table_defs.h"

namespace tovenmarsh::mail {

namespace {

class TInstallationCollectionStore : public TCollectionStore {
 public:
  int ListAccounts(resources::TExtAccRecs& list) override {
    resources::TPOPMailControl control;
    return control.ListAccounts(list);
  }
  int ListUIDLs(const std::string& mailboxId, resources::TExtMailDropRecs& list) override {
    resources::TPOPMailBoxControl control;
    return control.ListUIDLs(mailboxId, list);
  }
  bool ReplaceUIDLs(const std::string& mailboxId, const resources::TExtMailDropRecs& list) override {
    resources::TPOPMailBoxControl control;
    return control.ReplaceUIDLs(mailboxId, list);
  }
};

bool IsDecimal(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return text.find_first_not_of('0') != std::string::npos;
}

bool IsPrintable(const std::string& text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x21 || byte == 0x7f) return false;
  }
  return true;
}

// A size the server announces: decimal digits, saturating instead of wrapping; 0 when it is
// no number.
unsigned long long AnnouncedSize(const std::string& text) {
  if (text.empty()) return 0;
  unsigned long long value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
    value = value > (ULLONG_MAX - 9) / 10 ? ULLONG_MAX : value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

platform::TDateTime Now(const TPOPMailEnvironment& environment) {
  return environment.now ? environment.now() : platform::Now();
}

}  // namespace

std::unique_ptr<TCollectionStore> OpenInstallationCollectionStore() {
  return std::make_unique<TInstallationCollectionStore>();
}

std::string StoredUidl(const std::string& uidl) {
  const resources::TAppTableDef* table = resources::TableDefForPool(resources::piExtMailbox);
  const auto column = static_cast<size_t>(table->fields[resources::extmailbox::uidl].size);
  if (uidl.size() <= column) return uidl;
  platform::TStringStream whole(uidl);
  const auto crc = static_cast<uint32_t>(StreamCRC32(whole));
  return uidl.substr(0, column - 9) + "~" + platform::Format("%08X", crc);
}

std::vector<TCollectItem> ParseListing(const std::vector<std::string>& lines, bool uidl, const std::string& mailboxId,
                                       platform::TDateTime now) {
  std::vector<TCollectItem> items;
  for (const std::string& line : lines) {
    if (items.size() >= kMaxListedMessages) break;
    const std::string number = core::GetField(line, 1, " ");
    if (!IsDecimal(number)) continue;
    TCollectItem item;
    item.rec.id = mailboxId;
    item.rec.msgno = number;
    item.rec.created = now;
    if (uidl) {
      const std::string uidl = core::GetField(line, 2, " ");
      if (uidl.empty() || uidl.size() > kMaxUidlLength || !IsPrintable(uidl)) continue;
      item.rec.uidl = StoredUidl(uidl);
    }
    item.fetch = true;
    item.remove = !uidl;
    items.push_back(std::move(item));
  }
  return items;
}

// ---- TPOPMailTask ----

TPOPMailTask::TPOPMailTask(TPOPMailEnvironment environment)
    : TClientTask(core::ckPOPMail, environment.timeouts, environment.runningTasks, environment.wakeQueue),
      environment_(std::move(environment)) {}

TPOPMailTask::~TPOPMailTask() { Close(); }

void TPOPMailTask::Close() {
  if (client_.Connected()) {
    std::string reply;
    Single("QUIT", reply);
  }
  DropConnection();
}

bool TPOPMailTask::Single(const std::string& command, std::string& reply) {
  reply.clear();
  if (!SendLine(command)) return false;
  if (!lines_.ReadLine(reply) || reply.empty()) return false;
  return reply[0] == '+';
}

bool TPOPMailTask::Multi(const std::string& command, std::vector<std::string>& lines) {
  lines.clear();
  std::string reply;
  if (!Single(command, reply)) return false;
  std::string body;
  bool overflow = false;
  if (!lines_.ReadDotBody(body, kMaxListingBytes, overflow) || overflow) return false;
  size_t pos = 0;
  while (pos < body.size()) {
    size_t end = body.find('\n', pos);
    if (end == std::string::npos) end = body.size();
    std::string line = body.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    pos = end + 1;
    if (line == ".") break;
    if (!line.empty() && line[0] == '.') line.erase(0, 1);
    lines.push_back(std::move(line));
  }
  return true;
}

TPOPMailTask::TFetch TPOPMailTask::Fetch(const resources::TExtAccRec& account, const std::string& number) {
  std::string reply;
  if (!Single("LIST " + number, reply)) return reply.empty() ? TFetch::Failed : TFetch::Passed;
  // The size a server announces only hints; it never reserves more than a bounded amount.
  const unsigned long long announced = AnnouncedSize(core::GetField(reply, 3, " "));
  if (announced > environment_.maxMessage) {
    core::LogMessage(platform::Format("Popmail message %s of account %d on server %s passed over: %llu bytes",
                                      number.c_str(), account.accountno, account.mailserver.c_str(), announced));
    return TFetch::Passed;
  }
  std::string body;
  if (announced > 0) body.reserve(static_cast<size_t>(std::min<unsigned long long>(announced + 64, kMaxPresize)));
  if (!Single("RETR " + number, reply)) return reply.empty() ? TFetch::Failed : TFetch::Passed;
  bool overflow = false;
  if (!lines_.ReadDotBody(body, environment_.maxMessage, overflow)) return TFetch::Failed;
  if (overflow) {
    core::LogMessage(platform::Format("Popmail message %s of account %d on server %s passed over: above %zu bytes",
                                      number.c_str(), account.accountno, account.mailserver.c_str(),
                                      environment_.maxMessage));
    return TFetch::Passed;
  }
  // Lines as sent but ended by CR LF: a server's bare-LF lines, its ".\n" end-of-data line
  // included, would otherwise stay in the message (the end line as a body line ".") and
  // escape the unstuffing, which works on CR LF lines.
  std::string scratch;
  const std::string_view lines = WithCRLFLineEnds(body, scratch);
  core::TTCPBuffer buffer(static_cast<int>(std::min<size_t>(lines.size() + 16, INT_MAX)));
  buffer.AddText(lines);
  scratch.clear();
  scratch.shrink_to_fit();
  body.clear();
  body.shrink_to_fit();
  try {
    QueueMessageFromBuffer(environment_.folders, account.mailserver, std::string(), std::string(), buffer,
                           account.accountno);
  } catch (const std::exception& e) {
    core::LogException("in TPOPMailTask queueing a collected message", e, false);
    return TFetch::Failed;
  }
  return TFetch::Fetched;
}

bool TPOPMailTask::CollectAccount(const resources::TExtAccRec& account) {
  Close();
  // A user name or password holding a line end would add commands of its own.
  const std::string lineBreaks("\r\n\0", 3);
  if (account.mailusr.find_first_of(lineBreaks) != std::string::npos ||
      account.mailpass.find_first_of(lineBreaks) != std::string::npos) {
    core::LogMessage(platform::Format("Popmail login from account %d with server %s refused: %s", account.accountno,
                                      account.mailserver.c_str(), "line end in user or password"));
    return false;
  }
  if (!client_.Connect(account.mailserver, environment_.port)) return false;
  std::string reply;
  if (!lines_.ReadLine(reply) || reply.empty() || reply[0] != '+') {
    Close();
    return false;
  }
  if (!Single("USER " + account.mailusr, reply) || !Single("PASS " + account.mailpass, reply)) {
    // A refusal is a failed login; no answer at all is a lost connection, not a wrong password.
    core::LogMessage(platform::Format("Popmail login from account %d with server %s and user %s %s",
                                      account.accountno, account.mailserver.c_str(), account.mailusr.c_str(),
                                      reply.empty() ? "got no reply" : "failed"));
    Close();
    return false;
  }
  if (!Single("STAT", reply)) {
    Close();
    return false;
  }
  // Ids stored while copies were left on the server still tell what has been fetched once
  // leave-copy is turned off: without them every message left there would arrive again.
  std::unique_ptr<TCollectionStore> store;
  resources::TExtMailDropRecs stored;
  if (!account.leavecopy && environment_.openStore) {
    try {
      store = environment_.openStore();
      if (store) store->ListUIDLs(account.mailboxid, stored);
    } catch (const std::exception& e) {
      core::LogException("in TPOPMailTask reading the fetched ids", e, false);
      store.reset();
      stored.clear();
    }
  }
  std::vector<std::string> listing;
  bool uidl = (account.leavecopy || !stored.empty()) && Multi("UIDL", listing);
  if (!uidl && !Multi("LIST", listing)) {
    Close();
    return false;
  }
  const platform::TDateTime now = Now(environment_);
  std::vector<TCollectItem> items = ParseListing(listing, uidl, account.mailboxid, now);
  listing.clear();

  if (uidl) {
    if (account.leavecopy) {
      store = environment_.openStore();
      store->ListUIDLs(account.mailboxid, stored);
    }
    // Without leave-copy everything goes: what was fetched before at once, the rest once fetched.
    const platform::TDateTime keep =
        !account.leavecopy ? 0
                           : static_cast<platform::TDateTime>(account.remafter <= 0 ? INT_MAX : account.remafter) *
                                 core::TTimedServer::kMinute;
    for (TCollectItem& item : items) {
      item.remove = !account.leavecopy;
      for (const resources::TExtMailDropRec& old : stored) {
        if (old.uidl != item.rec.uidl) continue;
        item.rec.created = old.created;
        item.fetch = false;
        item.stored = true;
        item.remove = now >= old.created + keep;
        break;
      }
    }
  }

  bool complete = true;
  for (TCollectItem& item : items) {
    if (StopFlag()) {
      complete = false;
      break;
    }
    if (item.fetch) {
      const TFetch result = Fetch(account, item.rec.msgno);
      if (result == TFetch::Failed) {
        complete = false;
        break;
      }
      if (result == TFetch::Passed) continue;
      item.fetched = true;
    }
    if (item.remove && !Single("DELE " + item.rec.msgno, reply) && reply.empty()) {
      complete = false;
      break;
    }
  }

  if (uidl) {
    // Only what has been fetched is remembered, so a failed fetch is tried again next time.
    // Without leave-copy only the ids from before are kept, until the server has dropped them.
    resources::TExtMailDropRecs keepList;
    for (const TCollectItem& item : items) {
      if (item.stored || (item.fetched && account.leavecopy)) keepList.push_back(item.rec);
    }
    try {
      store->ReplaceUIDLs(account.mailboxid, keepList);
    } catch (const std::exception& e) {
      // Without the ids the deletions must not be committed either: drop the session.
      core::LogException("in TPOPMailTask storing the fetched ids", e, false);
      DropConnection();
      return false;
    }
  }
  Close();
  return complete;
}

bool TPOPMailTask::Execute() {
  if (environment_.accounts == nullptr) return false;
  resources::TExtAccRec account;
  while (!StopFlag() && environment_.accounts->NextDueExtAccount(account, Now(environment_))) {
    try {
      CollectAccount(account);
    } catch (const std::exception& e) {
      core::LogException("in TPOPMailTask", e, false);
      DropConnection();
    }
  }
  Close();
  return false;
}

// ---- TPopMailDaemon ----

TPopMailDaemon::TPopMailDaemon(TPOPMailEnvironment environment) : environment_(std::move(environment)) {
  SetTouchOnRun(false);
  SetMayExpire(false);
}

bool TPopMailDaemon::Execute() {
  if (environment_.accounts == nullptr || environment_.runningTasks == nullptr) return true;
  resources::TExtAccRecs loaded;
  std::unique_ptr<TCollectionStore> store = environment_.openStore();
  store->ListAccounts(loaded);
  store.reset();
  const platform::TDateTime now = Now(environment_);
  if (environment_.accounts->Refresh(std::move(loaded), now) <= 0) return true;
  // A task is started only for work that is due; otherwise it would end at once and the round
  // would start the next one.
  StartTaskWhenDue(*this, environment_.accounts->HasDue(now), *environment_.runningTasks, now, [this] {
    if (environment_.startTask) {
      environment_.startTask(*this);
    } else {
      core::StartTask(this, POPMailTaskClass(environment_), platform::TThreadPriority::Lowest);
    }
  });
  return true;
}

core::TTaskClass POPMailTaskClass(TPOPMailEnvironment environment) {
  return core::TTaskClass{"TPOPMailTask", [environment = std::move(environment)] {
                            return std::unique_ptr<core::TTask>(std::make_unique<TPOPMailTask>(environment));
                          }};
}

core::TDaemonClass PopMailDaemonClass(TPOPMailEnvironment environment) {
  return core::TDaemonClass{"TPopMailDaemon", [environment = std::move(environment)] {
                              return std::unique_ptr<core::TDaemon>(std::make_unique<TPopMailDaemon>(environment));
                            }};
}

}  // namespace tovenmarsh::mail
