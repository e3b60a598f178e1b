// Queue processing: taking up queue files, resolving and delivering their entries, bouncing,
// handing remote entries to the relay list, archiving and deleting finished files, and the
// per-file state that keeps a retried file from serving a recipient twice.
#include "mail/queue/queue_system.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <exception>
#include <future>
#include <optional>
#include <system_error>
#include <unordered_set>

#include "core/date_utils.h"
#include "core/log.h"
#include "core/str_utils.h"
#include "core/unique_id.h"
#include "mail/message/mail_address.h"
#include "mail/message/mail_message.h"
#include "mail/store/mailbox_file.h"
#include "mail/store/side_by_side.h"
#include "mail/store/spare_files.h"
#include "mail/message/mime_types.h"
#include "platform/file_system.h"
#include "platform/format.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

namespace {

// Bounces cannot bounce (their reverse path is empty), so a round needs few passes; the cap
// only guards against a mistake turning the round into an endless loop.
constexpr int kMaxPasses = 16;

const char* const kStateFolder = "state/";
// State lines besides the outcomes: a mailbox file about to be written for an entry ("M <name>
// <key>"), and a name that turned out to be taken by another file ("N <name>").
constexpr char kBegunLine = 'M';
constexpr char kNotOursLine = 'N';

// Bounds of one batch: mailbox files whose rows wait for one commit, and finished files whose
// document rows (they hold the body text) wait for one commit.
constexpr size_t kMaxBatchEntries = 64;
constexpr size_t kMaxBatchBytes = 4u * 1024u * 1024u;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Keys are stored one per line: no line breaks or NULs inside.
std::string KeyPart(std::string_view user, std::string_view domain) {
  std::string part = Lower(std::string(user) + "@" + std::string(domain));
  for (char& c : part) {
    if (c == '\r' || c == '\n' || c == '\0') c = '?';
  }
  return part;
}

bool FileExists(const std::string& path) { return platform::PathExists(path); }

// How many company numbers <Postmaster> is looked up in when several companies have a
// postmaster (numbers count from 1; a small organisation has a handful).
constexpr int kPostmasterCompanies = 1000;

// Opens (creating it when missing, from a spare of spareFolder when one is kept) the state file
// of queue file name in folder for appending; -1 when it cannot be.
int OpenStateFile(const std::string& folder, const std::string& name, const std::string& spareFolder = {}) {
  try {
    EnsureFolder(folder);
  } catch (const std::exception&) {
  }
  if (std::string spare = spareFolder.empty() ? std::string() : TakeSpare(spareFolder); !spare.empty()) {
    // Linked, never renamed: a state file already there (a file taken up again) is kept.
    const int error = platform::LinkNewName(spare, folder + name);
    if (error == 0) {
      (void)platform::RemoveFile(spare);
    } else if (error == EEXIST) {
      ReturnSpare(spareFolder, std::move(spare));
    } else {
      (void)platform::RemoveFile(spare);  // gone with its folder, or of no use here
    }
  }
  platform::TFileDescriptor file;
  (void)platform::OpenFile(folder + name, platform::kOpenCreate | platform::kOpenAppend, file);
  return file.Release();
}

bool WriteAll(int fd, const std::string& text) { return platform::WriteAll(fd, text) == 0; }

// Appends text to the state file of queue file name in folder (through openFd when it is open),
// under lock; false when it could not be written.
bool AppendState(std::mutex& lock, const std::string& folder, const std::string& name, const std::string& text,
                 int openFd = -1) {
  std::lock_guard<std::mutex> guard(lock);
  // Not flushed to disk: losing the state only risks a second delivery after a power loss,
  // never a lost one, and a flush per recipient would halve delivery speed.
  if (openFd >= 0) return WriteAll(openFd, text);
  const int fd = OpenStateFile(folder, name);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  platform::CloseDescriptor(fd);
  return written;
}

// Adds rows through one call of addRows; when that fails, the rows it did not add are tried one
// at a time, so that one bad row holds back only its own entry. Answers, per row, why it was not
// added (nullopt: added).
template <class Row, class AddRows>
std::vector<std::optional<std::string>> AddRowsOrEach(const std::vector<Row>& rows, AddRows addRows) {
  std::vector<std::optional<std::string>> failures(rows.size());
  size_t added = 0;
  std::string failure;
  try {
    addRows(rows, added);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  for (size_t i = added; i < rows.size(); ++i) {
    if (rows.size() == 1) {
      failures[i] = failure;
      continue;
    }
    size_t one = 0;
    try {
      addRows(std::vector<Row>{rows[i]}, one);
    } catch (const std::exception& e) {
      failures[i] = e.what();
    }
  }
  return failures;
}

}  // namespace

namespace {

// Settles the mailbox deliveries recorded in one state file (see RecoverQueueFolder); answers
// how many uncommitted mailbox files it removed and how many deliveries it found committed.
void SettleMailboxNames(const TMailFolders& folders, const std::string& statePath, TMailDirectory& directory,
                        int& removed, int& committed) {
  std::string text;
  if (platform::ReadWholeFile(statePath, text) != 0) return;
  std::map<std::string, std::string> begun;  // mailbox file name -> entry key
  std::map<std::string, char> outcomes;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // cut short by the crash
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() < 2 || line[1] != ' ') continue;
    if (line[0] == kBegunLine || line[0] == kNotOursLine) {
      const size_t space = line.find(' ', 2);
      const std::string id = line.substr(2, space == std::string::npos ? std::string::npos : space - 2);
      if (line[0] == kNotOursLine) {
        begun.erase(id);
      } else if (space != std::string::npos) {
        begun[id] = line.substr(space + 1);
      }
    } else if (line[0] != 'A') {
      outcomes[line.substr(2)] = line[0];
    }
  }
  std::string settled;
  for (const auto& [id, key] : begun) {
    if (id.empty() || id.find('/') != std::string::npos || id[0] == '.') continue;
    if (directory.HasMessage(id)) {
      if (outcomes[key] != eoDelivered) {
        settled += std::string(1, static_cast<char>(eoDelivered)) + " " + key + "\n";
        outcomes[key] = eoDelivered;
        ++committed;
      }
    } else if (platform::RemoveFile(folders.MailFileName(id)) == 0) {
      ++removed;
    }
  }
  if (settled.empty()) return;
  platform::TFileDescriptor file;
  if (platform::OpenFile(statePath, platform::kOpenCreate | platform::kOpenAppend, file) != 0 ||
      platform::WriteAll(file.Get(), settled) != 0) {
    throw EQueueFile("State file " + statePath + " cannot be written");
  }
}

// The directory of one round with its alias and company look-ups remembered: a backlog names
// the same recipients over and over, and every look-up costs several table reads. A change to
// the aliases applies from the next round.
class TRoundDirectory : public TMailDirectory {
 public:
  explicit TRoundDirectory(TMailDirectory& inner) : inner_(inner) {}
  int FindAlias(resources::TAliasRec& rec) override {
    std::string key = rec.name;
    key += '\n';
    key += std::to_string(rec.companyno);
    key += '\n';
    key += rec.domain;
    auto found = aliases_.find(key);
    if (found == aliases_.end()) {
      resources::TAliasRec answer = rec;
      const int result = inner_.FindAlias(answer);
      found = aliases_.emplace(std::move(key), std::make_pair(result, std::move(answer))).first;
    }
    rec = found->second.second;
    return found->second.first;
  }
  bool GetCompany(resources::TCompanyRec& rec) override {
    auto found = companies_.find(rec.no);
    if (found == companies_.end()) {
      resources::TCompanyRec answer = rec;
      const bool result = inner_.GetCompany(answer);
      found = companies_.emplace(rec.no, std::make_pair(result, std::move(answer))).first;
    }
    rec = found->second.second;
    return found->second.first;
  }
  int GetListMembers(const resources::TAliasRec& rec, resources::TMaillistRecs& list) override {
    return inner_.GetListMembers(rec, list);
  }
  bool GetAccount(resources::TAccountRec& rec) override { return inner_.GetAccount(rec); }
  int ListMessages(int accountNo, resources::TMailDropRecs& list) override {
    return inner_.ListMessages(accountNo, list);
  }
  bool DeleteMarked(const resources::TMailDropRecs& list) override { return inner_.DeleteMarked(list); }
  int AddMessage(int accountNo, const resources::TMailDropRec& rec) override {
    return inner_.AddMessage(accountNo, rec);
  }
  void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) override {
    inner_.AddMessages(rows, added);
  }
  bool HasMessage(const std::string& id) override { return inner_.HasMessage(id); }

 private:
  TMailDirectory& inner_;
  std::map<std::string, std::pair<int, resources::TAliasRec>> aliases_;
  std::map<int, std::pair<bool, resources::TCompanyRec>> companies_;
};

}  // namespace

void RecoverQueueFolder(const TMailFolders& folders, TMailDirectory* directory) {
  const int temporary = RemoveTemporaryFiles(folders);
  int states = 0;
  int orphans = 0;
  int committed = 0;
  const std::string stateFolder = folders.queue + kStateFolder;
  for (const std::string& name : FilesInFolder(stateFolder)) {
    if (directory != nullptr) {
      try {
        SettleMailboxNames(folders, stateFolder + name, *directory, orphans, committed);
      } catch (const std::exception& e) {
        // Left as it is: its entries may be delivered once more, never lost.
        core::LogErrorText(platform::Format("Mail start: deliveries of queue file %s not settled: %s", name.c_str(),
                                            e.what()));
        continue;
      }
    }
    if (FileExists(folders.QueueFileName(name))) continue;
    if (platform::RemoveFile(stateFolder + name) == 0) ++states;
  }
  if (orphans > 0) (void)platform::SyncFolder(folders.mail);
  if (temporary > 0 || states > 0) {
    core::LogMessage(platform::Format("Mail start: %d unfinished temporary files and %d stale queue states removed",
                                      temporary, states));
  }
  if (orphans > 0 || committed > 0) {
    core::LogMessage(platform::Format(
        "Mail start: %d uncommitted mailbox files removed, %d interrupted deliveries found committed", orphans,
        committed));
  }
}

int RelayMinSetting(std::string_view configured, int fallback) {
  const int value = core::TextToInt(configured);
  if (value != 0) return std::max(value, 0);
  // 0 as TextToInt reads it: a spelled zero, or no number at all.
  size_t digits = configured.find_first_not_of(' ');
  if (digits != std::string_view::npos && (configured[digits] == '+' || configured[digits] == '-')) ++digits;
  if (digits == std::string_view::npos || digits >= configured.size()) return fallback;
  return configured.find_first_not_of('0', digits) == std::string_view::npos ? 0 : fallback;
}

TQueueSystem::TQueueSystem(TQueueEnvironment environment) : TServerSystem(0), environment_(std::move(environment)) {
  if (environment_.relayList == nullptr) return;
  // Runs on relay task threads: it holds the lock and the folder, nothing of this system.
  environment_.relayList->SetStateWriter([lock = stateLock_, folder = environment_.folders.queue + kStateFolder](
                                             const std::string& name, const std::string& key, uint8_t state) {
    const char outcome = state == rsDelivered ? eoRelayed : eoRefused;
    bool written = false;
    try {
      written = AppendState(*lock, folder, name, std::string(1, outcome) + " " + key + "\n");
    } catch (const std::exception&) {
    }
    if (!written) core::LogErrorText(platform::Format("State of queue file %s could not be written", name.c_str()));
  });
}

TQueueSystem::~TQueueSystem() {
  CollectFinished(true);
  CloseStates();
  // Only this system adds to the relay list; its entries point at this system's files.
  if (environment_.relayList != nullptr) {
    environment_.relayList->SetStateWriter(nullptr);
    environment_.relayList->Clear();
  }
}

std::string TQueueSystem::StateFileName(const std::string& name) const {
  return environment_.folders.queue + kStateFolder + name;
}

int TQueueSystem::ProcessQueue() {
  for (TEntry& entry : deferred_) newEntries_.push_back(std::move(entry));
  deferred_.clear();
  for (TEntry& entry : deferredBounces_) bounceEntries_.push_back(std::move(entry));
  deferredBounces_.clear();

  // Files whose entries are all done but whose archive or delete failed before (not those
  // still being finished aside: their outcome is not known yet).
  std::vector<std::string> finishing;
  for (const auto& [name, file] : files_) {
    if (file->finishing && !file->aside) finishing.push_back(name);
  }
  for (const std::string& name : finishing) {
    const auto found = files_.find(name);
    if (found != files_.end()) FinishFile(*found->second);
  }
  if (!finishing.empty()) FlushFinished();

  std::unique_ptr<TMailDirectory> directory;
  std::unique_ptr<TRoundDirectory> round;
  bool queued = false;
  int passes = 0;
  do {
    Scan();
    if (!newEntries_.empty()) {
      if (!directory) {
        directory = environment_.openDirectory();
        round = std::make_unique<TRoundDirectory>(*directory);
      }
      Deliver(*round);
    }
    UpdateRelayList();
    queued = SendBounces();
    FlushFinished();
  } while (queued && ++passes < kMaxPasses);

  if (!newEntries_.empty()) {
    core::LogErrorText("Unexpected mainqueue entries after completed processing ?");
    for (TEntry& entry : newEntries_) deferred_.push_back(std::move(entry));
    newEntries_.clear();
  }
  return environment_.relayList != nullptr ? environment_.relayList->Count() : 0;
}

void TQueueSystem::Scan() {
  const size_t before = knownNames_.size();
  ScanQueueFolder(environment_.folders, knownNames_);
  const std::vector<std::string> added(knownNames_.begin() + static_cast<std::ptrdiff_t>(before), knownNames_.end());
  for (const std::string& name : added) TakeUp(name);
}

void TQueueSystem::TakeUp(const std::string& name) {
  TEnvelope envelope;
  const TEnvelopeStatus status = ReadEnvelope(environment_.folders, name, envelope);
  if (status != TEnvelopeStatus::Ok) {
    // Moved aside, gone, or not readable now: in the last case the next scan tries again.
    knownNames_.erase(std::remove(knownNames_.begin(), knownNames_.end(), name), knownNames_.end());
    return;
  }
  if (envelope.accountNo == 0 && envelope.recipients.empty()) {
    core::LogErrorText(platform::Format("Queue file %s has no recipients", name.c_str()));
    return;
  }
  auto owned = std::make_unique<TFileState>();
  TFileState& file = *owned;
  file.data.fileName = name;
  file.data.created = environment_.now();
  int64_t bytes = 0;
  if (platform::FileSize(environment_.folders.QueueFileName(name), bytes) == 0 && bytes > 0) {
    file.bytes = static_cast<size_t>(bytes);
  }
  files_[name] = std::move(owned);
  LoadState(file);
  // A document file of this name: the archive began before a restart (a message whose only
  // recipient was an empty list has no outcomes, so their absence proves nothing). The file is
  // written before the row (for a whole batch of files), so the row may or may not have been
  // committed: the document table says which. Adding it again when it is there would archive
  // the message twice; taking it for there when it is not would lose it.
  if (!file.archived && FileExists(environment_.folders.DocumentFileName(name))) {
    bool there = true;  // no document store: nothing was ever archived to look up
    if (environment_.documents != nullptr) {
      try {
        there = environment_.documents->HasDocument(name);
      } catch (const std::exception& e) {
        // Neither answer is safe: the file waits for the next scan to ask again.
        core::LogErrorText(platform::Format("Document of queue file %s could not be looked up: %s", name.c_str(),
                                            e.what()));
        files_.erase(name);
        knownNames_.erase(std::remove(knownNames_.begin(), knownNames_.end(), name), knownNames_.end());
        return;
      }
    }
    if (there) {
      core::LogMessage(platform::Format(
          "Queue file %s was being archived when the server stopped; not archived again", name.c_str()));
      file.archived = true;
    } else {
      // Written but never flushed for a row: after a power loss it may be empty. Written anew.
      (void)platform::RemoveFile(environment_.folders.DocumentFileName(name));
    }
  }
  if (file.archived) {
    // Every entry was done before the archive: only the delete is left.
    FinishFile(file);
    return;
  }

  std::vector<TEntry> entries;
  if (envelope.accountNo != 0) {
    TEntry entry = NewEntry(file, "0:#account");
    entry->accountNo = envelope.accountNo;
    entries.push_back(std::move(entry));
  }
  for (size_t i = 0; i < envelope.recipients.size(); ++i) {
    std::string user;
    std::string domain;
    SplitMailAddress(envelope.recipients[i], user, domain);
    // No "@": a local name such as <Postmaster>, not a domain of that name.
    if (envelope.recipients[i].find('@') == std::string::npos) domain.clear();
    TEntry entry = NewEntry(file, std::to_string(i + 1) + ":" + KeyPart(user, domain));
    entry->user = user;
    entry->domain = domain;
    entries.push_back(std::move(entry));
  }
  for (TEntry& entry : entries) {
    entry->helo = envelope.helo;
    entry->reversePath = envelope.reversePath;
    newEntries_.push_back(std::move(entry));
  }
}

TQueueSystem::TEntry TQueueSystem::NewEntry(TFileState& file, const std::string& key) {
  auto entry = std::make_unique<TQueueRec>();
  entry->queueFile = &file.data;
  entry->created = environment_.now();
  entry->relayState = rsNew;
  info_[entry.get()] = TEntryInfo{key, false};
  ++file.data.openEntries;
  ++file.data.entries;
  return entry;
}

TQueueSystem::TEntry TQueueSystem::CopyEntry(const TQueueRec& from, const std::string& key) {
  auto entry = std::make_unique<TQueueRec>(from);
  entry->created = environment_.now();
  entry->relayState = rsNew;
  entry->bounced = false;
  info_[entry.get()] = TEntryInfo{key, false};
  // A copy is an entry of its file like any other: the file stays until it is done.
  if (TFileState* file = FileOf(from)) {
    ++file->data.openEntries;
    ++file->data.entries;
  }
  return entry;
}

TQueueSystem::TFileState* TQueueSystem::FileOf(const TQueueRec& entry) {
  if (entry.queueFile == nullptr) return nullptr;
  const auto found = files_.find(entry.queueFile->fileName);
  if (found == files_.end() || &found->second->data != entry.queueFile) return nullptr;
  return found->second.get();
}

const std::string& TQueueSystem::KeyOf(const TQueueRec& entry) const {
  static const std::string kNone;
  const auto found = info_.find(&entry);
  return found == info_.end() ? kNone : found->second.key;
}

bool TQueueSystem::IsPostmasterCopy(const TQueueRec& entry) const {
  const auto found = info_.find(&entry);
  return found != info_.end() && found->second.postmasterCopy;
}

void TQueueSystem::Dispose(const TQueueRec* entry) { info_.erase(entry); }

void TQueueSystem::Defer(TEntry& entry, const std::string& why) {
  core::LogErrorText(why);
  deferred_.push_back(std::move(entry));
}

void TQueueSystem::Deliver(TMailDirectory& directory) {
  // Entries appended while delivering (list members, postmaster copies) are delivered in
  // this same pass.
  for (size_t i = 0; i < newEntries_.size(); ++i) {
    TEntry entry = std::move(newEntries_[i]);
    try {
      DeliverEntry(directory, entry);
    } catch (const std::exception& e) {
      if (entry) {
        Defer(entry, platform::Format("Mail to alias %s on domain %s deferred: %s", entry->user.c_str(),
                                      entry->domain.c_str(), e.what()));
      }
    }
    if (pendingDeliveries_.size() >= kMaxBatchEntries || pendingBytes_ >= kMaxBatchBytes) {
      CommitDeliveries(directory);
    }
  }
  newEntries_.clear();
  CommitDeliveries(directory);
}

void TQueueSystem::DeliverEntry(TMailDirectory& directory, TEntry& entry) {
  // Known outcomes are looked up where an entry would be served (mailbox, relay, bounce,
  // ignore), not here: resolving again remakes the copies that an earlier run may not have
  // finished.
  if (entry->accountNo != 0) {
    DeliverToAccount(entry);
    return;
  }
  resources::TAliasRec alias;
  alias.name = entry->user;
  alias.companyno = 0;
  alias.domain = entry->domain;
  int found = directory.FindAlias(alias);
  const bool postmaster = Lower(entry->user) == "postmaster";
  if (entry->domain.empty() && postmaster && found < 0) {
    // One postmaster alias per company: <Postmaster> must still reach one of them.
    alias = resources::TAliasRec();
    alias.name = entry->user;
    found = FindFirstPostmaster(directory, alias);
  }
  if (entry->domain.empty() && (found != 1 || !postmaster)) {
    // No domain to relay to. <Postmaster> alone (RFC 5321 4.5.1) is delivered here, when this
    // system has a postmaster alias; anything else without a domain bounces.
    bounceEntries_.push_back(std::move(entry));
    return;
  }
  if (alias.companyno == 0) {
    if (environment_.relayList == nullptr) {
      bounceEntries_.push_back(std::move(entry));
      return;
    }
    if (FinishKnown(entry)) return;
    if (KnownOutcome(*entry) == eoRefused) {
      // Refused for good before a restart, its bounce not yet queued: bounce, do not send again.
      bounceEntries_.push_back(std::move(entry));
      return;
    }
    std::string key = KeyOf(*entry);
    environment_.relayList->Add(std::move(entry), std::move(key));
    return;
  }
  if (found != 1 || !alias.active || (!alias.maillist && alias.accountno <= 0)) {
    resources::TCompanyRec company;
    company.no = alias.companyno;
    bool postmaster = false;
    bool bounce = true;
    if (directory.GetCompany(company)) {
      postmaster = company.postmaster;
      bounce = company.bounce;
    }
    // Never a copy of a copy: an unknown "postmaster" alias would otherwise copy forever.
    if (postmaster && !IsPostmasterCopy(*entry) && Lower(entry->user) != "postmaster") {
      TEntry copy = CopyEntry(*entry, KeyOf(*entry) + ">!postmaster");
      info_[copy.get()].postmasterCopy = true;
      copy->user = "postmaster";
      copy->reversePath.clear();
      copy->accountNo = 0;
      newEntries_.push_back(std::move(copy));
    }
    if (bounce) {
      bounceEntries_.push_back(std::move(entry));
    } else if (!FinishKnown(entry)) {
      core::LogMessage(platform::Format("Mail to unknown alias %s on domain %s ignored due to possible setup problem",
                                        entry->user.c_str(), entry->domain.c_str()));
      Finish(std::move(entry), eoIgnored);
    }
    return;
  }
  if (alias.maillist) {
    if (entry->listDepth > environment_.maillistMaxDepth) {
      if (FinishKnown(entry)) return;
      core::LogMessage(platform::Format("Mail to alias %s on domain %s exceeded maillist max level",
                                        entry->user.c_str(), entry->domain.c_str()));
      Finish(std::move(entry), eoIgnored);
      return;
    }
    resources::TMaillistRecs members;
    directory.GetListMembers(alias, members);
    const std::string listDomain = alias.domain.empty() ? entry->domain : alias.domain;
    std::vector<TEntry> copies;
    for (const resources::TMaillistRec& member : members) {
      TEntry copy = CopyEntry(*entry, KeyOf(*entry) + ">" + KeyPart(member.forwardusr, member.forwarddomain));
      copy->user = member.forwardusr;
      copy->domain = member.forwarddomain;
      copy->accountNo = 0;
      copy->listDepth = entry->listDepth + 1;
      copy->reversePath = "postmaster@" + listDomain;
      copies.push_back(std::move(copy));
    }
    for (TEntry& copy : copies) newEntries_.push_back(std::move(copy));
    Finish(std::move(entry), eoExpanded);
    return;
  }
  entry->accountNo = alias.accountno;
  DeliverToAccount(entry);
}

int TQueueSystem::FindFirstPostmaster(TMailDirectory& directory, resources::TAliasRec& rec) {
  for (int company = 1; company <= kPostmasterCompanies; ++company) {
    resources::TAliasRec probe;
    probe.name = rec.name;
    probe.companyno = company;
    if (directory.FindAlias(probe) == 1) {
      rec = probe;
      return 1;
    }
  }
  core::LogErrorText(platform::Format("Mail to %s: no postmaster alias among the first %d companies", rec.name.c_str(),
                                      kPostmasterCompanies));
  return 0;
}

// Names the mailbox file; CommitDeliveries writes it with the others of its batch and adds its
// row. The file's name reaches the state file before the file exists, so that the start after
// a crash finds every mailbox file this left behind and tells by its row whether the delivery
// was committed.
void TQueueSystem::DeliverToAccount(TEntry& entry) {
  if (FinishKnown(entry)) return;
  TFileState* file = FileOf(*entry);
  if (file != nullptr) OpenState(*file);
  resources::TMailDropRec record;
  record.id = core::MakeUniqueId(0);
  if (file != nullptr) {
    RecordMailboxName(*file, *entry, record.id, kBegunLine);
    pendingBytes_ += file->bytes;
  }
  pendingDeliveries_.push_back(TPendingDelivery{std::move(entry), record});
}

// Each file is written and flushed by a task of its own, side by side with the others (the
// flushes wait on the disk, and so, for large messages, do the writes). A name found taken is
// given up (an "N" line) and the file written under a new one here, one after another; the
// sequence inside MakeUniqueId makes that all but impossible. Entries whose file could not be
// written leave the batch (deferred, their file gone).
void TQueueSystem::WriteMailboxFiles(std::vector<TPendingDelivery>& batch) {
  enum TWrite : char { kWritten, kTaken, kFailed };
  std::vector<char> results(batch.size(), kFailed);  // not vector<bool>: tasks write neighbours
  std::vector<std::string> errors(batch.size());
  RunSideBySide(batch.size(), [&](size_t i) {
    try {
      results[i] = DeliverToMailboxAs(environment_.folders, *batch[i].entry, batch[i].record.id, batch[i].record,
                                      true)
                       ? kWritten
                       : kTaken;
    } catch (const std::exception& e) {
      errors[i] = e.what();
    }
  });
  for (size_t i = 0; i < batch.size(); ++i) {
    TPendingDelivery& pending = batch[i];
    if (results[i] == kFailed) {
      // DeliverToMailboxAs removed what it wrote; the name may belong to nobody else's file.
      FailDelivery(pending.entry, std::string(), errors[i]);
      continue;
    }
    if (results[i] == kWritten) continue;
    TFileState* file = FileOf(*pending.entry);
    try {
      for (int attempt = 0;; ++attempt) {
        if (file != nullptr) RecordMailboxName(*file, *pending.entry, pending.record.id, kNotOursLine);
        if (attempt >= 1000) throw EQueueFile("No free mailbox file name");
        pending.record.id = core::MakeUniqueId(0);
        if (file != nullptr) RecordMailboxName(*file, *pending.entry, pending.record.id, kBegunLine);
        if (DeliverToMailboxAs(environment_.folders, *pending.entry, pending.record.id, pending.record, true)) break;
      }
    } catch (const std::exception& e) {
      FailDelivery(pending.entry, std::string(), e.what());
    }
  }
  batch.erase(std::remove_if(batch.begin(), batch.end(), [](const TPendingDelivery& pending) { return !pending.entry; }),
              batch.end());
}

void TQueueSystem::RecordMailboxName(TFileState& file, const TQueueRec& entry, const std::string& id, char kind) {
  std::string line(1, kind);
  line += " " + id;
  if (kind == kBegunLine) line += " " + KeyOf(entry);
  line += "\n";
  if (!AppendState(*stateLock_, environment_.folders.queue + kStateFolder, file.data.fileName, line, file.stateFd)) {
    // Delivered all the same: after a crash its file may stay behind, or the entry be served
    // again, but nothing is lost.
    core::LogErrorText(platform::Format("State of queue file %s could not be written", file.data.fileName.c_str()));
  }
}

void TQueueSystem::FailDelivery(TEntry& entry, const std::string& mailboxId, const std::string& why) {
  // The row is missing: the file would never be served, and the entry is tried again.
  if (!mailboxId.empty()) DeleteMailboxFile(environment_.folders, mailboxId);
  if (entry->queueFile != nullptr && !FileExists(environment_.folders.QueueFileName(entry->queueFile->fileName))) {
    // Removed behind the queue's back: there is nothing left to deliver.
    core::LogErrorText(platform::Format("Queue file %s vanished before delivery to account[%d]",
                                        entry->queueFile->fileName.c_str(), entry->accountNo));
    Finish(std::move(entry), eoIgnored);
    return;
  }
  Defer(entry, platform::Format("Failed to write to mailbox on account[%d] and mailid[%s]: %s", entry->accountNo,
                                mailboxId.c_str(), why.c_str()));
}

// Why a crash anywhere in here neither loses nor repeats a delivery:
// - The mailbox files of the batch are written and flushed side by side, then the mail folder
//   once: every file and name of the batch is durable before any row names it. A file whose
//   write or flush failed gets no row (it is removed and its entry tried again).
// - The rows are committed (durable at the commit) before the entries' outcomes are written,
//   and every outcome of a file is written before its archive and its queue file's delete
//   (FlushFinished), so the queue file leaves only after all its deliveries are on disk.
// - Every mailbox file's name is in its queue file's state before the file is made. A crash
//   before the commit leaves mailbox files without rows: POP3 serves rows only, so they are
//   never seen, the start removes them (RecoverQueueFolder), and the entries, without an
//   outcome, are served once more. A crash between the commit and the outcomes leaves names
//   with rows: the start marks those entries delivered, so they are not served again.
// - The state files are not flushed: after a power loss (not a crash of the process) a
//   recipient can be served twice, never lost.
void TQueueSystem::CommitDeliveries(TMailDirectory& directory) {
  // The state files opened for the batch's mailbox names are closed whichever way this ends.
  struct TClosing {
    TQueueSystem& system;
    ~TClosing() { system.CloseStates(); }
  } closing{*this};
  if (pendingDeliveries_.empty()) return;
  std::vector<TPendingDelivery> batch = std::move(pendingDeliveries_);
  pendingDeliveries_.clear();
  pendingBytes_ = 0;
  WriteMailboxFiles(batch);
  if (batch.empty()) return;
  try {
    SyncFolder(environment_.folders.mail);
  } catch (const std::exception& e) {
    for (TPendingDelivery& pending : batch) FailDelivery(pending.entry, pending.record.id, e.what());
    return;
  }
  std::vector<TMailboxAddition> rows;
  rows.reserve(batch.size());
  for (TPendingDelivery& pending : batch) {
    rows.push_back(TMailboxAddition{pending.entry->accountNo, pending.record});
    if (TFileState* file = FileOf(*pending.entry)) OpenState(*file);
  }
  const auto failures = AddRowsOrEach(rows, [&directory](const std::vector<TMailboxAddition>& some, size_t& added) {
    directory.AddMessages(some, added);
  });
  for (size_t i = 0; i < batch.size(); ++i) {
    if (failures[i]) {
      FailDelivery(batch[i].entry, rows[i].record.id, *failures[i]);
      continue;
    }
    Finish(std::move(batch[i].entry), eoDelivered);
  }
}

void TQueueSystem::UpdateRelayList() {
  if (environment_.relayList == nullptr) return;
  TQueueRecs released;
  TQueueRecs bounced;
  environment_.relayList->Update(environment_.now(), environment_.relayMinutes, released, bounced);
  for (TEntry& entry : released) Finish(std::move(entry), eoRelayed);
  for (TEntry& entry : bounced) bounceEntries_.push_back(std::move(entry));
}

bool TQueueSystem::SendBounces() {
  bool queued = false;
  std::vector<TEntry> entries = std::move(bounceEntries_);
  bounceEntries_.clear();
  for (TEntry& entry : entries) {
    if (FinishKnown(entry)) continue;
    if (entry->reversePath.empty()) {
      core::LogMessage(platform::Format("Bounce mail to alias %s on domain %s failed due to emtpy reversepath",
                                        entry->user.c_str(), entry->domain.c_str()));
      entry->bounced = true;
      Finish(std::move(entry), eoBounced);
      continue;
    }
    try {
      SendBounce(*entry);
    } catch (const std::exception& e) {
      core::LogErrorText(platform::Format("Bounce mail to alias %s on domain %s could not be queued: %s",
                                          entry->user.c_str(), entry->domain.c_str(), e.what()));
      deferredBounces_.push_back(std::move(entry));
      continue;
    }
    queued = true;
    entry->bounced = true;
    Finish(std::move(entry), eoBounced);
  }
  return queued;
}

void TQueueSystem::SendBounce(const TQueueRec& entry) {
  std::string part;
  std::string subject;
  std::string text;
  try {
    if (entry.queueFile == nullptr) throw EQueueFile("Queue entry without a queue file");
    part = ReadQueueMessage(environment_.folders, entry.queueFile->fileName);
    TMailMessage returned;
    platform::TStringStream stream(part);
    returned.LoadFromStream(stream);
    subject = returned.GetHeader(hdrSubject);
    text = BounceText(returned, FormatMailAddress3("", entry.user, entry.domain));
  } catch (const std::exception&) {
    subject = "Message attached failed to be forwarded.";
    text = "Unexpected error at " + environment_.hostName;
  }
  TMailMessage bounce;
  bounce.Clear();
  bounce.SetHeader(hdrReturnPath, "<>");
  bounce.SetHeader(hdrSubject, "Undeliverable mail: " + subject);
  bounce.SetHeader(hdrFrom, "<postmaster@" + entry.domain + ">");
  bounce.SetHeader(hdrTo, entry.reversePath);
  bounce.SetHeader(hdrDate, core::DateTimeToMailZoneStr(environment_.now()));
  bounce.SetBodyText(text);
  platform::TStringStream attachment(part);
  bounce.AddAttachment(attachment, "eml");
  platform::TStringStream saved;
  bounce.SaveToStream(saved);
  saved.SetPosition(0);
  // The saved message ends with the end-of-data line; queuing from a stream drops it.
  QueueMessageFromStream(environment_.folders, environment_.hostName, "", entry.reversePath, saved, 0);
}

char TQueueSystem::KnownOutcome(const TQueueRec& entry) {
  TFileState* file = FileOf(entry);
  if (file == nullptr) return 0;
  const auto known = file->outcomes.find(KeyOf(entry));
  return known == file->outcomes.end() ? 0 : known->second;
}

bool TQueueSystem::FinishKnown(TEntry& entry) {
  TFileState* file = FileOf(*entry);
  if (file == nullptr) return false;
  const auto known = file->outcomes.find(KeyOf(*entry));
  // Not final: a list is expanded again, a refused relay recipient still needs its bounce.
  if (known == file->outcomes.end() || known->second == eoExpanded || known->second == eoRefused) return false;
  if (known->second == eoBounced) {
    entry->bounced = true;
    ++file->data.bounced;
  }
  Dispose(entry.get());
  entry.reset();
  if (--file->data.openEntries <= 0) FinishFile(*file);
  return true;
}

void TQueueSystem::Finish(TEntry entry, char outcome) {
  TFileState* file = FileOf(*entry);
  const std::string key = KeyOf(*entry);
  Dispose(entry.get());
  entry.reset();
  if (file == nullptr) return;
  if (outcome == eoBounced) ++file->data.bounced;
  if (outcome != eoExpanded) {
    file->outcomes[key] = outcome;
    file->unsaved.push_back(std::string(1, outcome) + " " + key + "\n");
  }
  // Written at once, the last entry's too: its mailbox row is committed already, and the file's
  // archive may wait for the end of the pass while later batches commit; should this file be
  // taken up again after a crash, this entry is done.
  SaveState(*file);
  if (--file->data.openEntries > 0) return;
  FinishFile(*file);
}

void TQueueSystem::FinishFile(TFileState& file) {
  file.finishing = true;
  if (!file.queuedToFinish) {
    file.queuedToFinish = true;
    pendingFinish_.push_back(file.data.fileName);
  }
}

namespace {

struct TPreparedArchive {
  size_t item = 0;
  TDocumentRow row;
};

}  // namespace

// Archives one batch: document files written side by side, flushed together, then the
// document folder once, then the rows in one transaction, then each file's archive mark. A
// file whose row was not added keeps no document file (it would pass for an archive after a
// restart) and is tried again next round.
void TQueueSystem::ArchiveBatch(const TMailFolders& folders, TDocumentStore& documents, std::mutex& stateLock,
                                std::mutex& rowLock, const std::string& stateFolder,
                                const std::vector<TFinishItem>& items, const std::vector<size_t>& batch,
                                std::vector<TFinishResult>& results) {
  auto fail = [&](size_t item, const std::string& why) {
    core::LogErrorText(
        platform::Format("Queue file %s could not be archived: %s", items[item].name.c_str(), why.c_str()));
    if (!items[item].hadDocument) (void)platform::RemoveFile(folders.DocumentFileName(items[item].name));
  };
  std::vector<TPreparedArchive> prepared(batch.size());
  std::vector<std::string> errors(batch.size());
  std::vector<char> made(batch.size(), 0);  // not vector<bool>: tasks write neighbours
  RunSideBySide(batch.size(), [&](size_t i) {
    prepared[i].item = batch[i];
    try {
      prepared[i].row = PrepareArchive(folders, items[batch[i]].name);
      made[i] = 1;
    } catch (const std::exception& e) {
      errors[i] = e.what();
    }
  });
  std::vector<TPreparedArchive> taken;
  for (size_t i = 0; i < batch.size(); ++i) {
    if (made[i]) {
      taken.push_back(std::move(prepared[i]));
    } else {
      fail(batch[i], errors[i]);
    }
  }
  std::vector<std::string> paths;
  paths.reserve(taken.size());
  for (const TPreparedArchive& one : taken) paths.push_back(folders.DocumentFileName(items[one.item].name));
  const std::vector<bool> flushed = SyncFiles(paths);
  std::vector<TPreparedArchive> kept;
  for (size_t i = 0; i < taken.size(); ++i) {
    if (flushed[i]) {
      kept.push_back(std::move(taken[i]));
    } else {
      fail(taken[i].item, "document file cannot be flushed");
    }
  }
  if (kept.empty()) return;
  try {
    SyncFolder(folders.document);
  } catch (const std::exception& e) {
    for (const TPreparedArchive& one : kept) fail(one.item, e.what());
    return;
  }
  std::vector<TDocumentRow> rows;
  rows.reserve(kept.size());
  for (TPreparedArchive& one : kept) rows.push_back(std::move(one.row));
  // One work's rows at a time: the other work aside meanwhile writes and flushes its files.
  std::lock_guard<std::mutex> adding(rowLock);
  const auto failures = AddRowsOrEach(rows, [&documents](const std::vector<TDocumentRow>& some, size_t& added) {
    documents.AddDocuments(some, added);
  });
  for (size_t i = 0; i < kept.size(); ++i) {
    if (failures[i]) {
      fail(kept[i].item, *failures[i]);
      continue;
    }
    TFinishResult& result = results[kept[i].item];
    result.archived = true;
    // Before the delete: a crash in between leaves a file that is only deleted, not archived again.
    try {
      result.marked = AppendState(stateLock, stateFolder, result.name, "A \n");
    } catch (const std::exception&) {
    }
  }
}

// The finishing work of a pass: archives the files that need it (in batches bounded like the
// deliveries'), then deletes every file archived or not to be archived, each state file right
// after its queue file (never before: a state file without its queue file is harmless, a queue
// file without its state would be served again). Touches no queue system, so that it can run
// beside the next round.
std::vector<TQueueSystem::TFinishResult> TQueueSystem::FinishFiles(const TMailFolders& folders,
                                                                   TDocumentStore* documents, std::mutex& stateLock,
                                                                   std::mutex& rowLock, const std::string& stateFolder,
                                                                   const std::vector<TFinishItem>& items) {
  std::vector<TFinishResult> results(items.size());
  for (size_t i = 0; i < items.size(); ++i) results[i].name = items[i].name;
  std::vector<size_t> batch;
  size_t batchBytes = 0;
  for (size_t i = 0; i <= items.size(); ++i) {
    if (i < items.size()) {
      if (!items[i].archive || documents == nullptr) continue;
      batch.push_back(i);
      batchBytes += items[i].bytes;
      if (batch.size() < kMaxBatchEntries && batchBytes < kMaxBatchBytes) continue;
    }
    if (batch.empty()) continue;
    ArchiveBatch(folders, *documents, stateLock, rowLock, stateFolder, items, batch, results);
    batch.clear();
    batchBytes = 0;
  }
  std::vector<std::string> names;
  std::vector<size_t> indexes;
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].archive && !results[i].archived) continue;
    names.push_back(items[i].name);
    indexes.push_back(i);
  }
  const std::string spares = folders.queue + kSpareSubfolder;
  const std::vector<bool> gone = DeleteQueueFiles(folders, names, [&](size_t i) {
    (void)RetireFile(stateFolder + names[i], spares);
  });
  for (size_t i = 0; i < names.size(); ++i) {
    results[indexes[i]].gone = gone[i];
    if (!gone[i]) core::LogErrorText(platform::Format("Queue file %s could not be deleted", names[i].c_str()));
  }
  return results;
}

void TQueueSystem::FlushFinished() {
  CollectFinished(false);
  std::vector<std::string> names = std::move(pendingFinish_);
  pendingFinish_.clear();
  std::vector<TFinishItem> items;
  for (const std::string& name : names) {
    const auto found = files_.find(name);
    if (found == files_.end()) continue;
    TFileState& file = *found->second;
    file.queuedToFinish = false;
    // Every outcome, the last entry's included, is on disk before the archive and the delete,
    // which cannot be taken back: after a crash from here on nobody is served twice.
    SaveState(file);
    const bool present = FileExists(environment_.folders.QueueFileName(name));
    if (!present) core::LogErrorText(platform::Format("Queue file %s vanished before it was archived", name.c_str()));
    TFinishItem item;
    item.name = name;
    item.bytes = file.bytes;
    item.archive =
        present && !file.archived && file.data.bounced < file.data.entries && environment_.documents != nullptr;
    if (item.archive) item.hadDocument = FileExists(environment_.folders.DocumentFileName(name));
    items.push_back(std::move(item));
    file.aside = true;
  }
  if (items.empty()) {
    // Nothing new to finish: the round has nothing better to do than take in what runs aside.
    CollectFinished(true);
    return;
  }
  std::vector<std::string> taken;
  taken.reserve(items.size());
  for (const TFinishItem& item : items) taken.push_back(item.name);
  if (!environment_.finishAside) {
    ApplyFinished(FinishFiles(environment_.folders, environment_.documents, *stateLock_, *rowLock_,
                              environment_.folders.queue + kStateFolder, items),
                  taken);
    return;
  }
  while (asides_.size() >= kMostAsides) CollectOldest();
  TAside aside;
  try {
    aside.results = std::async(std::launch::async, [folders = environment_.folders, documents = environment_.documents,
                                                    lock = stateLock_, rowLock = rowLock_,
                                                    stateFolder = environment_.folders.queue + kStateFolder, items] {
      return FinishFiles(folders, documents, *lock, *rowLock, stateFolder, items);
    });
  } catch (const std::system_error&) {
    // No thread to be had: finished here and now.
    ApplyFinished(FinishFiles(environment_.folders, environment_.documents, *stateLock_, *rowLock_,
                              environment_.folders.queue + kStateFolder, items),
                  taken);
    return;
  }
  aside.names = std::move(taken);
  asides_.push_back(std::move(aside));
}

void TQueueSystem::CollectFinished(bool wait) {
  while (!asides_.empty()) {
    if (!wait && asides_.front().results.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    CollectOldest();
  }
}

void TQueueSystem::CollectOldest() {
  TAside aside = std::move(asides_.front());
  asides_.pop_front();
  std::vector<TFinishResult> results;
  try {
    results = aside.results.get();
  } catch (const std::exception& e) {
    // Nothing known of them: finished again next round (an archive mark or a missing queue file
    // found then tells what was done).
    core::LogErrorText(std::string("Finishing queue files failed: ") + e.what());
  }
  ApplyFinished(results, aside.names);
}

void TQueueSystem::ApplyFinished(const std::vector<TFinishResult>& results, const std::vector<std::string>& names) {
  std::unordered_set<std::string> removed;
  for (const TFinishResult& result : results) {
    const auto found = files_.find(result.name);
    if (found == files_.end()) continue;
    TFileState& file = *found->second;
    file.aside = false;
    if (!result.gone) {
      // Still finishing: tried again next round, without a second archive when this one took.
      if (result.archived) {
        file.archived = true;
        if (!result.marked) file.unsaved.push_back("A \n");
      }
      SaveState(file);
      continue;
    }
    if (file.stateFd >= 0) {
      platform::CloseDescriptor(file.stateFd);
      file.stateFd = -1;
      openStates_.erase(std::remove(openStates_.begin(), openStates_.end(), &file), openStates_.end());
    }
    removed.insert(result.name);
    files_.erase(found);
  }
  // Files the work gave no result for (it failed as a whole) are finished again next round.
  for (const std::string& name : names) {
    const auto found = files_.find(name);
    if (found != files_.end()) found->second->aside = false;
  }
  knownNames_.erase(std::remove_if(knownNames_.begin(), knownNames_.end(),
                                   [&removed](const std::string& name) { return removed.count(name) != 0; }),
                    knownNames_.end());
}

void TQueueSystem::OpenState(TFileState& file) {
  if (file.stateFd >= 0) return;
  file.stateFd = OpenStateFile(environment_.folders.queue + kStateFolder, file.data.fileName,
                               environment_.folders.queue + kSpareSubfolder);
  if (file.stateFd >= 0) openStates_.push_back(&file);
}

void TQueueSystem::CloseStates() {
  for (TFileState* file : openStates_) {
    // RemoveFile takes a file out of this list before dropping it: every pointer is alive.
    platform::CloseDescriptor(file->stateFd);
    file->stateFd = -1;
  }
  openStates_.clear();
}

void TQueueSystem::SaveState(TFileState& file) {
  if (file.unsaved.empty()) return;
  std::string text;
  for (const std::string& line : file.unsaved) text += line;
  if (AppendState(*stateLock_, environment_.folders.queue + kStateFolder, file.data.fileName, text, file.stateFd)) {
    file.unsaved.clear();
  } else {
    core::LogErrorText(platform::Format("State of queue file %s could not be written", file.data.fileName.c_str()));
  }
}

void TQueueSystem::LoadState(TFileState& file) {
  platform::TMemoryStream stream;
  const std::string path = StateFileName(file.data.fileName);
  if (!FileExists(path)) return;
  try {
    stream.LoadFromFile(path);
  } catch (const std::exception& e) {
    core::LogErrorText(platform::Format("State of queue file %s could not be read: %s", file.data.fileName.c_str(),
                                        e.what()));
    return;
  }
  const std::string text = stream.Bytes();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    // A line cut short by a crash is passed over.
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() < 2 || line[1] != ' ' || line[0] == kBegunLine || line[0] == kNotOursLine) continue;
    if (line[0] == 'A') {
      file.archived = true;
    } else {
      file.outcomes[line.substr(2)] = line[0];
    }
  }
}

}  // namespace tovenmarsh::mail
