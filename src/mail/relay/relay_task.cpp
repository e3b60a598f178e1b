// The relay task: the SMTP client dialogue with the relay server or the recipient's domain.
#include "mail/relay/relay_task.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>

#include "core/log.h"
#include "core/str_utils.h"
#include "mail/store/queue_file.h"
#include "mail/message/mime_types.h"
#include "platform/format.h"

namespace tovenmarsh::mail {

namespace {

// How much of a message's start the hop count reads (its header; beyond it nothing counts).
constexpr size_t kHopHeadBytes = 1024 * 1024;

// A text that cannot go into a command line as it is (it would end the line or add one).
bool BreaksCommandLine(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The domain a greeting names ("220 mx.example.org ESMTP" -> "mx.example.org").
std::string GreetingDomain(const TSMTPReply& reply) {
  if (reply.lines.empty()) return std::string();
  return core::GetField(std::string_view(reply.lines.front()).substr(std::min<size_t>(4, reply.lines.front().size())),
                        1, " ");
}

}  // namespace

TRelayTask::TRelayTask(TRelayEnvironment environment)
    : TClientTask(core::ckRelay, environment.timeouts, environment.runningTasks, environment.wakeQueue),
      environment_(std::move(environment)) {}

TRelayTask::~TRelayTask() { Close(); }

bool TRelayTask::IsOwnHost(const std::string& host) const {
  if (host.empty()) return false;
  if (SameTextAscii(host, "localhost")) return true;
  return !environment_.hostName.empty() && SameTextAscii(host, environment_.hostName);
}

void TRelayTask::ReportAll(const TRelayBatch& batch, uint8_t state) {
  for (const TRelayBatchItem& item : batch) environment_.list->Report(item, state);
}

int TRelayTask::Command(const std::string& text) { return SendLine(text) ? ReadSMTPReply(lines_, reply_) : 0; }

void TRelayTask::Close() {
  if (client_.Connected()) Command("QUIT");
  DropConnection();
  connectedHost_.clear();
  transactions_ = 0;
}

bool TRelayTask::Open(const std::string& host, uint8_t& failure) {
  Close();
  if (!client_.Connect(host, environment_.port)) {
    // Status 1: refused, unreachable or timed out, worth another try later.
    failure = client_.Output().Status() == core::ssTimeout ? rsTemporaryFailure : rsPermanentFailure;
    return false;
  }
  const int greeting = ReadSMTPReply(lines_, reply_);
  if (greeting != 2) {
    core::LogErrorText(greeting == 0
                           ? platform::Format("Relay to %s: no usable greeting", host.c_str())
                           : platform::Format("Relay to %s: greeting refused with %d", host.c_str(), reply_.code));
    failure = rsTemporaryFailure;
    Close();
    return false;
  }
  // A server that greets with this host's own name is this host: the mail would loop. (A
  // greeting of "localhost" says nothing; many servers are set up that way.)
  if (!environment_.hostName.empty() && SameTextAscii(GreetingDomain(reply_), environment_.hostName)) {
    core::LogErrorText(platform::Format("Relay to %s: mail loops back to this host", host.c_str()));
    failure = rsPermanentFailure;
    Close();
    return false;
  }
  connectedHost_ = host;
  if (Command("HELO " + environment_.hostName) == 0) {
    failure = rsTemporaryFailure;
    Close();
    return false;
  }
  return true;
}

bool TRelayTask::Exchangers(const std::string& domain, std::vector<std::string>& hosts, uint8_t& failure) {
  hosts.clear();
  std::vector<platform::TMailExchanger> exchangers;
  platform::TMxAnswer answer = platform::TMxAnswer::None;
  // A configured relay server takes everything; an address literal has no exchangers.
  if (!environment_.relayServer.empty()) {
    hosts.push_back(environment_.relayServer);
  } else if (!environment_.lookupMx || domain.empty() || domain.front() == '[') {
    hosts.push_back(domain);
  } else {
    answer = environment_.lookupMx(domain, exchangers);
    if (answer == platform::TMxAnswer::Failed) {
      core::LogMessage(platform::Format("Relay to %s: its mail exchangers cannot be looked up now", domain.c_str()));
      failure = rsTemporaryFailure;
      return false;
    }
    if (answer == platform::TMxAnswer::None) {
      hosts.push_back(domain);  // no MX: the domain itself (RFC 5321 5.1)
    } else {
      std::stable_sort(exchangers.begin(), exchangers.end(),
                       [](const platform::TMailExchanger& a, const platform::TMailExchanger& b) {
                         return a.preference < b.preference;
                       });
      for (const platform::TMailExchanger& exchanger : exchangers) {
        // A root exchanger: the domain says it takes no mail (RFC 7505).
        if (exchanger.host.empty()) {
          core::LogMessage(platform::Format("Relay to %s refused: the domain takes no mail", domain.c_str()));
          failure = rsPermanentFailure;
          return false;
        }
        // Mail to an exchanger that is this host would loop; the others may still take it.
        if (IsOwnHost(exchanger.host)) break;
        hosts.push_back(exchanger.host);
      }
    }
  }
  hosts.erase(std::remove_if(hosts.begin(), hosts.end(), [this](const std::string& host) { return IsOwnHost(host); }),
              hosts.end());
  if (hosts.empty()) {
    core::LogMessage(platform::Format("Relay to %s refused: it is this host",
                                      environment_.relayServer.empty() ? domain.c_str()
                                                                       : environment_.relayServer.c_str()));
    failure = rsPermanentFailure;
    return false;
  }
  return true;
}

void TRelayTask::RelayBatch(TRelayBatch& batch, std::string& currentDomain) {
  const TRelayBatchItem& first = batch.front();
  if (BreaksCommandLine(first.reversePath)) {
    ReportAll(batch, rsPermanentFailure);
    currentDomain.clear();
    return;
  }
  // A message that went round more often than any real path needs loops somewhere.
  // Only the header counts, which comes first: a bounded head keeps a large message out of memory.
  std::string message;
  try {
    message = ReadQueueMessageHead(environment_.folders, first.queueFileName, kHopHeadBytes);
  } catch (const std::exception&) {
    message.clear();
  }
  if (CountReceivedLines(message) > kMaxHops) {
    core::LogMessage(platform::Format("Relay of %s refused: more than %d hops", first.queueFileName.c_str(), kMaxHops));
    ReportAll(batch, rsPermanentFailure);
    currentDomain.clear();
    return;
  }
  std::vector<std::string> hosts;
  uint8_t failure = rsTemporaryFailure;
  if (!Exchangers(currentDomain, hosts, failure)) {
    ReportAll(batch, failure);
    currentDomain.clear();
    return;
  }
  for (int round = 0; round < 2; ++round) {
    const bool reuse = client_.Connected() && std::any_of(hosts.begin(), hosts.end(), [this](const std::string& host) {
                         return SameTextAscii(connectedHost_, host);
                       });
    if (!reuse) {
      // In order of preference; permanent only when every host failed for good.
      bool opened = false;
      failure = rsPermanentFailure;
      for (const std::string& host : hosts) {
        uint8_t why = rsTemporaryFailure;
        opened = Open(host, why);
        if (opened) break;
        if (why == rsTemporaryFailure) failure = rsTemporaryFailure;
      }
      if (!opened) {
        ReportAll(batch, failure);
        currentDomain.clear();
        return;
      }
    } else if (transactions_ > 0) {
      // The last transaction may have ended anywhere; a server refuses a nested MAIL.
      if (Command("RSET") != 2) {
        Close();
        continue;
      }
    }
    break;
  }
  if (!client_.Connected()) {
    ReportAll(batch, rsTemporaryFailure);
    currentDomain.clear();
    return;
  }
  ++transactions_;
  const int mail = Command("MAIL FROM:<" + first.reversePath + ">");
  if (mail != 2) {
    ReportAll(batch, mail == 5 ? rsPermanentFailure : rsTemporaryFailure);
    if (mail == 0) Close();
    currentDomain.clear();
    return;
  }
  TRelayBatch accepted;
  for (size_t i = 0; i < batch.size(); ++i) {
    const TRelayBatchItem& item = batch[i];
    if (BreaksCommandLine(item.user) || BreaksCommandLine(item.domain)) {
      environment_.list->Report(item, rsPermanentFailure);
      continue;
    }
    const int rcpt = Command("RCPT TO:<" + item.user + "@" + item.domain + ">");
    if (rcpt == 2) {
      accepted.push_back(item);
    } else if (rcpt == 5) {
      environment_.list->Report(item, rsPermanentFailure);
    } else {
      environment_.list->Report(item, rsTemporaryFailure);
      if (rcpt == 0) {
        // The connection is gone: the rest cannot be tried now either.
        for (size_t j = i + 1; j < batch.size(); ++j) environment_.list->Report(batch[j], rsTemporaryFailure);
        ReportAll(accepted, rsTemporaryFailure);
        Close();
        currentDomain.clear();
        return;
      }
    }
  }
  if (accepted.empty()) return;
  const int data = Command("DATA");
  if (data != 3) {
    ReportAll(accepted, data == 5 ? rsPermanentFailure : rsTemporaryFailure);
    if (data == 0) Close();
    currentDomain.clear();
    return;
  }
  client_.Output().Clear();
  // A piece at a time: a large message never sits in memory whole.
  const TPieceSend sending =
      SendQueueFileInPieces(environment_.folders, first.queueFileName, client_.Output(), [this] {
        client_.Send();
        if (client_.Output().Status() != core::ssOK) return false;
        client_.Output().Clear();
        return true;
      });
  if (sending == TPieceSend::Unreadable) {
    // Nothing can end this transaction cleanly: drop the connection.
    client_.Output().Clear();
    client_.Disconnect();
    Close();
    ReportAll(accepted, rsTemporaryFailure);
    currentDomain.clear();
    return;
  }
  int sent = 0;
  if (sending == TPieceSend::Sent) sent = ReadSMTPReply(lines_, reply_);
  client_.Output().Clear();
  if (sent == 2) {
    ReportAll(accepted, rsDelivered);
    return;
  }
  ReportAll(accepted, sent == 5 ? rsPermanentFailure : rsTemporaryFailure);
  if (sent == 0) Close();
  currentDomain.clear();
}

bool TRelayTask::Execute() {
  if (environment_.list == nullptr) return false;
  std::string currentDomain;
  TRelayBatch batch;
  while (!StopFlag()) {
    const platform::TDateTime now = environment_.now ? environment_.now() : platform::Now();
    if (!environment_.list->TakeRelayBatch(currentDomain, batch, now, environment_.retries)) {
      currentDomain.clear();
      if (!environment_.list->TakeRelayBatch(std::string(), batch, now, environment_.retries)) break;
    }
    currentDomain = batch.front().domain;
    // Whatever ends the attempt (an exception included), no entry stays in progress behind it.
    struct TUnfinished {
      TRelayList& list;
      const TRelayBatch& batch;
      ~TUnfinished() {
        for (const TRelayBatchItem& item : batch) list.ReportUnfinished(item);
      }
    } unfinished{*environment_.list, batch};
    RelayBatch(batch, currentDomain);
  }
  Close();
  return false;
}

core::TTaskClass RelayTaskClass(TRelayEnvironment environment) {
  return core::TTaskClass{"TRelayTask", [environment = std::move(environment)] {
                            return std::unique_ptr<core::TTask>(std::make_unique<TRelayTask>(environment));
                          }};
}

bool StartRelayTaskWhenDue(core::TDaemon& owner, const TRelayList& list, std::atomic<int>& runningTasks,
                           platform::TDateTime now, const std::function<void()>& start) {
  return StartTaskWhenDue(owner, list.HasDue(now), runningTasks, now, start);
}

}  // namespace tovenmarsh::mail
