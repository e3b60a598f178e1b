// The SMTP protocol object: command framing, the command table and the DATA phase.
#include "mail/smtpd/smtp_server.h"

#include <memory>
#include <vector>

#include "core/log.h"
#include "core/system_parameters.h"
#include "platform/format.h"
#include "platform/paths.h"

namespace tovenmarsh::mail {

namespace {

// Unstuffed message bytes gathered before one write to the queue file.
constexpr size_t kWriteSize = 64u * 1024u;
constexpr platform::TDateTime kSecond = 1.0 / 86400.0;

}  // namespace

TSMTPServer::TSMTPServer(TMailEnvironment environment)
    : environment_(std::move(environment)),
      lines_(environment_.limits.smtpCommandLine),
      lineDeadline_(kCommandLineMinutes * core::TTimedServer::kMinute) {
  SetKind(core::ckSMTP);
  if (!environment_.storage) environment_.storage = std::make_shared<TStorageState>();
  relayNetworks_.Parse(environment_.relayNetworks);
  // The object frames lines itself: each read takes what has arrived, up to a bound.
  ReadSpec().terminator.clear();
  ReadSpec().count = 0;
  ReadSpec().maximum = environment_.limits.readRound;
}

void TSMTPServer::Reply(TSMTPServerReply reply, bool withText, std::string_view extra) {
  Output().AddText(SMTPReplyLine(reply, withText, extra, environment_.productName, environment_.hostName));
}

void TSMTPServer::RawReply(std::string_view code, std::string_view text) {
  std::string line(code);
  line.append(text).append("\r\n");
  Output().AddText(line);
}

TSMTPServer::~TSMTPServer() = default;

bool TSMTPServer::Greeting() {
  greetingTime_ = Now();
  Reply(srReady);
  return true;
}

bool TSMTPServer::Farewell() {
  if (tooSlow_) return false;  // the 421 said goodbye
  Reply(srClosing);
  return true;
}

platform::TDateTime TSMTPServer::Now() const { return environment_.now ? environment_.now() : platform::Now(); }

void TSMTPServer::CloseTooSlow(const std::string& why) {
  core::LogWarning(platform::Format("SMTP client %s: %s, connection closed", ConnectionInfo().peerAddress.c_str(),
                                    why.c_str()),
                   true);
  Reply(srNotAvailable, true, "(" + why + ")");
  dataMode_ = false;
  DropData();
  system_.Reset();
  tooSlow_ = true;
  SetClose(true);
}

bool TSMTPServer::DeadlinePassed() {
  if (dataMode_) {
    const platform::TDateTime elapsed = roundTime_ - dataStart_;
    if (elapsed > kDataMinutes * core::TTimedServer::kMinute) {
      CloseTooSlow(platform::Format("message data not completed within %d minutes", kDataMinutes));
      return true;
    }
    // This round's bytes count: a client is judged by what it has sent by now.
    const double seconds = elapsed / kSecond;
    if (seconds > kDataGraceSeconds &&
        static_cast<double>(dataReceived_ + Input().Length()) < seconds * kMinDataBytesPerSecond) {
      CloseTooSlow(platform::Format("message data slower than %d bytes a second", kMinDataBytesPerSecond));
      return true;
    }
    return false;
  }
  if (greetingTime_ == 0) greetingTime_ = roundTime_;
  if (firstLine_ && roundTime_ - greetingTime_ > kFirstLineSeconds * kSecond) {
    CloseTooSlow(platform::Format("first command line not completed within %d seconds", kFirstLineSeconds));
    return true;
  }
  if (lineDeadline_.Passed(roundTime_)) {
    CloseTooSlow(platform::Format("command line not completed within %d minutes", kCommandLineMinutes));
    return true;
  }
  return false;
}

bool TSMTPServer::HandleException(const std::exception&) {
  Output().Clear();
  Reply(srNotAvailable);
  return true;
}

bool TSMTPServer::Execute() {
  if (CloseRequested()) return true;
  // The bytes of this round arrived now: a line or a message that was still open before them
  // and has taken too long ends the connection, whatever the bytes bring.
  roundTime_ = Now();
  if (DeadlinePassed()) return true;
  lines_.Append(Input().View());
  while (!CloseRequested()) {
    if (dataMode_) {
      if (!ProcessData()) break;
      dataMode_ = false;
      FinishData();
      continue;
    }
    std::string line;
    const TCommandLines::TResult result = lines_.Next(line);
    if (result == TCommandLines::TResult::None) break;
    if (result == TCommandLines::TResult::TooLong) {
      Reply(srUnrecognized, true, "(line too long)");
      continue;
    }
    firstLine_ = false;
    ProcessCommand(line);
  }
  lineDeadline_.AfterRound(Input().View(), !dataMode_ && !CloseRequested(), roundTime_);
  return true;
}

void TSMTPServer::ProcessCommand(const std::string& line) {
  std::string word;
  std::string argument;
  SplitCommand(line, word, argument);
  const TSMTPCommand command = FindSMTPCommand(word);
  if (command != scNone) SetIdleMinutes(SMTPCommandIdleMinutes(command));
  if (HasControlBreak(line)) {
    Reply(srSyntax, true, "(CR or NUL inside the command line)");
    return;
  }
  switch (command) {
    case scHELO: {
      const std::string domain = argument.substr(0, argument.find(' '));
      if (domain.empty()) {
        Reply(srSyntax);
      } else {
        system_.heloDomain = domain;
        RawReply("250 ", environment_.hostName);
      }
      break;
    }
    case scMAIL:
    case scSEND:
    case scSOML:
    case scSAML:
      Mail(argument);
      break;
    case scRCPT:
      Recipient(argument);
      break;
    case scDATA:
      if (!system_.hasReversePath || system_.recipients.empty()) {
        Reply(srBadSequence, true, system_.hasReversePath ? "(RCPT first)" : "(MAIL first)");
        break;
      }
      StartData();
      break;
    case scRSET:
      system_.Reset();
      Reply(srOK);
      break;
    case scVRFY:
    case scEXPN: {
      const std::string name = argument.substr(0, argument.find(' '));
      if (name.empty()) {
        Reply(srSyntax);
        break;
      }
      std::unique_ptr<TMailDirectory> directory = environment_.openDirectory();
      if (command == scVRFY) {
        std::string text;
        const int result = TSMTPSystem::Verify(*directory, name, text);
        if (result < 0) {
          Reply(srNameNotAllowed);
        } else if (result > 0) {
          RawReply("250 ", text);
        } else {
          Reply(srMailboxUnavailable);
        }
      } else {
        std::vector<std::string> members;
        if (TSMTPSystem::Expand(*directory, name, members) > 0) {
          for (size_t i = 0; i < members.size(); ++i) RawReply(i + 1 < members.size() ? "250-" : "250 ", members[i]);
        } else {
          Reply(srMailboxUnavailable);
        }
      }
      break;
    }
    case scHELP:
    case scNOOP:
      Reply(srOK);
      break;
    case scQUIT:
      SetClose(true);
      break;
    case scTURN:
    case scERR:
    case scNone:
      Reply(srNotImplemented);
      break;
  }
}

void TSMTPServer::Mail(const std::string& argument) {
  system_.Reset();
  std::string path;
  bool nullPath = false;
  if (ParsePathArgument(argument, "FROM", path, nullPath) != TPathResult::Ok) {
    Reply(srSyntax);
    return;
  }
  if (!StorageAvailable()) {
    Reply(srInsufficientStorage);
    return;
  }
  system_.SetReversePath(path);
  Reply(srOK);
}

void TSMTPServer::Recipient(const std::string& argument) {
  if (!system_.hasReversePath) {
    Reply(srBadSequence, true, "(MAIL first)");
    return;
  }
  std::string path;
  bool nullPath = false;
  if (ParsePathArgument(argument, "TO", path, nullPath) != TPathResult::Ok || nullPath) {
    Reply(srSyntax);
    return;
  }
  if (!relayNetworks_.Contains(ConnectionInfo().peerAddress)) {
    // Refused now rather than bounced later: the sender of such mail is often forged.
    std::unique_ptr<TMailDirectory> directory = environment_.openDirectory();
    if (!TSMTPSystem::IsLocalAddress(*directory, path)) {
      RawReply("550 ", "Relaying denied: the domain of this recipient is not local");
      return;
    }
    if (!TSMTPSystem::IsKnownLocalRecipient(*directory, path)) {
      Reply(srMailboxUnavailable, true, "(no such recipient here)");
      return;
    }
  }
  if (!system_.HasRecipient(path) && system_.recipients.size() >= environment_.limits.recipients) {
    RawReply("452 ", "Too many recipients");
    return;
  }
  system_.AddRecipient(path);
  Reply(srOK);
}

bool TSMTPServer::StorageAvailable() {
  const int64_t free = environment_.freeSpace ? environment_.freeSpace()
                                              : platform::FreeDiskSpace(environment_.folders.queue);
  if (free >= 0 && free < environment_.limits.minFreeSpace) {
    StorageFailed(platform::Format("%lld bytes free", static_cast<long long>(free)));
    return false;
  }
  return true;
}

void TSMTPServer::StorageFailed(const std::string& why) {
  if (environment_.storage->shortOfSpace.exchange(true)) return;
  core::LogWarning("SMTP: the queue folder is short of storage (" + why + "): mail is answered 452 until it has room",
                   false);
}

void TSMTPServer::StorageRecovered() {
  if (!environment_.storage->shortOfSpace.exchange(false)) return;
  core::LogMessage("SMTP: the queue folder has room again: mail is taken");
}

void TSMTPServer::StartData() {
  if (!StorageAvailable()) {
    Reply(srInsufficientStorage);
    return;
  }
  try {
    queueFile_ = system_.OpenQueueFile(environment_);
  } catch (const platform::Exception& e) {
    StorageFailed(e.Message());
    Reply(srInsufficientStorage);
    return;
  }
  Reply(srStartMail);
  dataMode_ = true;
  dataStart_ = roundTime_;
  unstuffer_.Reset();
  pending_.clear();
  messageBytes_ = 0;
  dataReceived_ = 0;
  dataOverflow_ = false;
  dataFailed_ = false;
}

bool TSMTPServer::ProcessData() {
  const size_t taken = unstuffer_.Take(lines_.Pending(), pending_);
  lines_.Consume(taken);
  dataReceived_ += taken;
  WriteData(false);
  return unstuffer_.Ended();
}

void TSMTPServer::WriteData(bool force) {
  if (!dataOverflow_ && messageBytes_ + pending_.size() > environment_.limits.messageSize) {
    // Read on to the end of the data, keeping nothing of it.
    dataOverflow_ = true;
    DropData();
  }
  if (!queueFile_) {
    pending_.clear();
    return;
  }
  if (pending_.empty() || (!force && pending_.size() < kWriteSize)) return;
  try {
    queueFile_->Write(pending_);
    messageBytes_ += pending_.size();
    pending_.clear();
  } catch (const platform::Exception& e) {
    dataFailed_ = true;
    StorageFailed(e.Message());
    DropData();
  }
}

void TSMTPServer::DropData() {
  queueFile_.reset();
  std::string().swap(pending_);
}

void TSMTPServer::FinishData() {
  SetIdleMinutes(SMTPCommandIdleMinutes(scDATA));
  WriteData(true);
  std::string name;
  if (!dataOverflow_ && !dataFailed_ && queueFile_) {
    try {
      name = queueFile_->Finish();
    } catch (const platform::Exception& e) {
      dataFailed_ = true;
      StorageFailed(e.Message());
    }
  }
  DropData();
  system_.Reset();
  if (dataOverflow_) {
    Reply(srExceededStorage);
    return;
  }
  if (name.empty()) {
    Reply(srInsufficientStorage);
    return;
  }
  lastQueueFile_ = name;
  StorageRecovered();
  Reply(srOK);
  if (environment_.wakeQueue) environment_.wakeQueue();
}

core::TTCPServerClass SMTPServerClass(TMailEnvironment environment) {
  TClientNetworks networks;
  std::string bad;
  if (!networks.Parse(environment.relayNetworks, &bad)) {
    core::LogWarning("SMTP: RelayNetworks entries that are no network are ignored: " + bad, false);
  }
  return core::TTCPServerClass{"TSMTPServer", [environment = std::move(environment)] {
                                  return std::unique_ptr<core::TTCPServer>(std::make_unique<TSMTPServer>(environment));
                                }};
}

}  // namespace tovenmarsh::mail
