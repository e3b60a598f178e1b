// The SMTP protocol object: command framing, the command table and the DATA phase.
#include "mail/smtpd/smtp_server.h"

#include <memory>
#include <vector>

#include "core/log.h"
#include "core/system_parameters.h"
#include "mail/message/line_ends.h"
#include "platform/format.h"

namespace tovenmarsh::mail {

TSMTPServer::TSMTPServer(TMailEnvironment environment)
    : environment_(std::move(environment)),
      lines_(environment_.limits.smtpCommandLine),
      lineDeadline_(kCommandLineMinutes * core::TTimedServer::kMinute) {
  SetKind(core::ckSMTP);
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

bool TSMTPServer::Greeting() {
  Reply(srReady);
  return true;
}

bool TSMTPServer::Farewell() {
  if (tooSlow_) return false;  // the 421 said goodbye
  Reply(srClosing);
  return true;
}

platform::TDateTime TSMTPServer::Now() const { return environment_.now ? environment_.now() : platform::Now(); }

void TSMTPServer::CloseTooSlow(const char* what, int minutes) {
  const std::string why = platform::Format("%s not completed within %d minutes", what, minutes);
  core::LogWarning(platform::Format("SMTP client %s: %s, connection closed", ConnectionInfo().peerAddress.c_str(),
                                    why.c_str()),
                   true);
  Reply(srNotAvailable, true, "(" + why + ")");
  dataMode_ = false;
  std::string().swap(message_);
  system_.Reset();
  tooSlow_ = true;
  SetClose(true);
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
  if (dataMode_ && roundTime_ - dataStart_ > kDataMinutes * core::TTimedServer::kMinute) {
    CloseTooSlow("message data", kDataMinutes);
    return true;
  }
  if (!dataMode_ && lineDeadline_.Passed(roundTime_)) {
    CloseTooSlow("command line", kCommandLineMinutes);
    return true;
  }
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
      Reply(srStartMail);
      dataMode_ = true;
      dataStart_ = roundTime_;
      dataLineStart_ = true;
      dataOverflow_ = false;
      message_.clear();
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
  if (system_.recipients.size() >= environment_.limits.recipients) {
    Reply(srInsufficientStorage, true, "(too many recipients)");
    return;
  }
  if (!IsRelayClientAddress(ConnectionInfo().peerAddress)) {
    std::unique_ptr<TMailDirectory> directory = environment_.openDirectory();
    if (!TSMTPSystem::IsLocalAddress(*directory, path)) {
      RawReply("550 ", "Relaying denied: the domain of this recipient is not local");
      return;
    }
  }
  system_.AddRecipient(path);
  Reply(srOK);
}

bool TSMTPServer::ProcessData() {
  for (;;) {
    const std::string_view rest = lines_.Pending();
    const size_t crlf = rest.find("\r\n");
    if (crlf == std::string_view::npos) {
      // Pass on what cannot be part of the end-of-data line, keeping a last CR that may begin
      // the CR LF.
      if (rest.size() >= 3 || (!dataLineStart_ && rest.size() >= 2)) {
        std::string_view piece = rest.substr(0, rest.size() - 1);
        const size_t taken = piece.size();
        if (dataLineStart_ && piece.front() == '.') piece.remove_prefix(1);
        // No CR LF in rest: every CR or LF of the piece is bare (a last CR stays pending).
        std::string scratch;
        AppendData(WithCRLFLineEnds(piece, scratch));
        lines_.Consume(taken);
        dataLineStart_ = false;
      }
      return false;
    }
    std::string_view line = rest.substr(0, crlf);
    if (dataLineStart_ && line == ".") {
      lines_.Consume(crlf + 2);
      return true;
    }
    if (dataLineStart_ && !line.empty() && line.front() == '.') line.remove_prefix(1);
    // Only CR LF ends a line here (and only CR LF "." CR LF the data); a bare LF or CR inside
    // is stored as CR LF, so no later hop can read an end of data into it.
    std::string scratch;
    AppendData(WithCRLFLineEnds(line, scratch));
    AppendData("\r\n");
    lines_.Consume(crlf + 2);
    dataLineStart_ = true;
  }
}

void TSMTPServer::AppendData(std::string_view bytes) {
  if (dataOverflow_) return;
  if (message_.size() + bytes.size() > environment_.limits.messageSize) {
    dataOverflow_ = true;
    std::string().swap(message_);
    return;
  }
  message_.append(bytes);
}

void TSMTPServer::FinishData() {
  SetIdleMinutes(SMTPCommandIdleMinutes(scDATA));
  if (dataOverflow_) {
    dataOverflow_ = false;
    system_.Reset();
    Reply(srExceededStorage);
    return;
  }
  // Stored without the CR LF that belonged to the end-of-data line.
  if (message_.size() >= 2 && message_.compare(message_.size() - 2, 2, "\r\n") == 0) message_.resize(message_.size() - 2);
  std::string message;
  message.swap(message_);
  lastQueueFile_ = system_.QueueMessage(environment_, message);
  Reply(srOK);
  if (environment_.wakeQueue) environment_.wakeQueue();
}

core::TTCPServerClass SMTPServerClass(TMailEnvironment environment) {
  return core::TTCPServerClass{"TSMTPServer", [environment = std::move(environment)] {
                                  return std::unique_ptr<core::TTCPServer>(std::make_unique<TSMTPServer>(environment));
                                }};
}

}  // namespace tovenmarsh::mail
