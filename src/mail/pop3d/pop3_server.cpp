// The POP3 protocol object: command framing, state checks and the command table.
#include "mail/pop3d/pop3_server.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "mail/store/queue_file.h"
#include "platform/format.h"
#include "platform/tick.h"

namespace tovenmarsh::mail {

bool TryStrToInt(std::string_view text, int& value) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  long long n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
    if (n > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return false;
  }
  if (negative) n = -n;
  if (n > std::numeric_limits<int>::max() || n < std::numeric_limits<int>::min()) return false;
  value = static_cast<int>(n);
  return true;
}

TPOP3Server::TPOP3Server(TMailEnvironment environment, std::shared_ptr<TLoginThrottle> throttle)
    : environment_(std::move(environment)),
      lines_(environment_.limits.pop3CommandLine),
      lineDeadline_(kCommandLineMinutes * core::TTimedServer::kMinute),
      throttle_(throttle ? std::move(throttle) : std::make_shared<TLoginThrottle>()) {
  SetKind(core::ckPOP3);
  ReadSpec().terminator.clear();
  ReadSpec().count = 0;
  ReadSpec().maximum = environment_.limits.readRound;
}

void TPOP3Server::Reply(TPOP3ServerReply reply, std::string_view extra) {
  Output().AddText(POP3ReplyLine(reply, extra, environment_.productName));
}

void TPOP3Server::RawLine(std::string_view text) {
  Output().AddText(text);
  Output().AddText("\r\n");
}

bool TPOP3Server::Greeting() {
  Reply(prReady);
  return true;
}

bool TPOP3Server::Farewell() {
  if (noFarewell_) return false;  // the "-ERR" said goodbye
  Reply(prSigningOff);
  return true;
}

platform::TDateTime TPOP3Server::Now() const { return environment_.now ? environment_.now() : platform::Now(); }

bool TPOP3Server::HandleException(const std::exception&) {
  // Whatever escaped Execute failed on the server's side (the run has logged it).
  Output().Clear();
  Reply(prTemporary);
  return false;
}

void TPOP3Server::DelayReply(int ms) {
  // In slices, so that a stopping server does not wait for a client it is about to drop.
  constexpr int kSliceMs = 50;
  for (int waited = 0; waited < ms && !StopFlag() && !core::IsStopping(); waited += kSliceMs) {
    platform::Sleep(static_cast<uint32_t>(std::min(kSliceMs, ms - waited)));
  }
}

bool TPOP3Server::Execute() {
  if (CloseRequested()) return true;
  // The bytes of this round arrived now: a line that was still open before them and has taken
  // too long ends the connection, whatever the bytes bring.
  const platform::TDateTime now = Now();
  if (lineDeadline_.Passed(now)) {
    const std::string why = platform::Format("command line not completed within %d minutes", kCommandLineMinutes);
    core::LogWarning(platform::Format("POP3 client %s: %s, connection closed", ConnectionInfo().peerAddress.c_str(),
                                      why.c_str()),
                     true);
    Reply(prERR, why + ", closing the connection");
    noFarewell_ = true;
    SetClose(true);
    return true;
  }
  lines_.Append(Input().View());
  while (!CloseRequested()) {
    std::string line;
    const TCommandLines::TResult result = lines_.Next(line);
    if (result == TCommandLines::TResult::None) break;
    if (result == TCommandLines::TResult::TooLong) {
      Reply(prSyntax, "(line too long)");
      continue;
    }
    try {
      ProcessCommand(line);
    } catch (const std::exception& e) {
      // Answered here rather than by the guarded run, so that the replies to earlier
      // commands of this round are kept. The tables or files failed, not the client: it may
      // try again.
      std::string word;
      std::string rest;
      SplitCommand(line, word, rest);
      core::LogException(platform::Format("in %s answering %s from %s", ClassName().c_str(),
                                          UpperAscii(word.substr(0, 8)).c_str(),
                                          ConnectionInfo().peerAddress.c_str()),
                         e, false);
      Reply(prTemporary);
    }
  }
  lineDeadline_.AfterRound(Input().View(), !CloseRequested(), now);
  return true;
}

bool TPOP3Server::Number(const std::string& text, int& n) {
  if (TryStrToInt(text, n)) return true;
  Reply(prERR);
  return false;
}

bool TPOP3Server::SelectLiveMessage(const TMailFolders& folders, const std::string& text, int& n) {
  if (!Number(text, n)) return false;
  if (!system_.SelectMessage(folders, n)) {
    Reply(prNoSuchMessage, "(" + text + ")");
    return false;
  }
  if (system_.CurrentDeleted()) {
    Reply(prAlreadyDeleted, "(" + text + ")");
    return false;
  }
  return true;
}

void TPOP3Server::ProcessCommand(const std::string& line) {
  std::string word;
  std::string rest;
  SplitCommand(line, word, rest);
  const TPOP3Command command = FindPOP3Command(word);
  if (command != pcNone) SetIdleMinutes(POP3CommandIdleMinutes(command));
  if (HasControlBreak(line)) {
    Reply(prSyntax);
    return;
  }
  const std::string first = core::GetField(line, 2, " ");
  const std::string second = core::GetField(line, 3, " ");
  if (authorization_) {
    if (command != pcUSER && command != pcPASS && command != pcQUIT && command != pcAPOP) {
      Reply(prNotTransaction);
      return;
    }
  } else if (command == pcUSER || command == pcPASS || command == pcAPOP) {
    Reply(prNotAuthorization);
    return;
  }
  const TMailFolders& folders = environment_.folders;
  int n = 0;
  switch (command) {
    case pcUSER:
      if (first.empty()) {
        Reply(prSyntax);
      } else {
        user_ = first;
        Reply(prOK);
      }
      break;
    case pcPASS:
      // The whole rest of the line: a password may hold blanks.
      if (rest.empty()) {
        Reply(prSyntax);
      } else {
        Pass(rest);
      }
      break;
    case pcQUIT:
      if (!authorization_) {
        std::unique_ptr<TMailDirectory> directory = environment_.openDirectory();
        system_.Commit(folders, *directory);
      }
      SetClose(true);
      break;
    case pcSTAT:
      Reply(prOK, system_.StatText());
      break;
    case pcLIST:
    case pcUIDL:
      if (!first.empty()) {
        if (!Number(first, n)) break;
        if (system_.SelectMessage(folders, n)) {
          Reply(prOK, command == pcLIST ? system_.ListLine() : system_.UidlLine());
        } else {
          Reply(prNoSuchMessage, "(" + first + ")");
        }
        break;
      }
      if (command == pcLIST && system_.Count() > 0) {
        Reply(prOK, system_.StatText());
      } else {
        Reply(prOK);
      }
      for (const std::string& item : command == pcLIST ? system_.ListAll() : system_.UidlAll()) RawLine(item);
      RawLine(".");
      break;
    case pcRETR: {
      if (!SelectLiveMessage(folders, first, n)) break;
      // Opened before the +OK, so that a file that cannot be read gets an error answer.
      const std::unique_ptr<platform::TStream> body = system_.OpenMessage(folders);
      if (!body) {
        // Gone since it was selected, or there and unreadable for now.
        if (!system_.SelectMessage(folders, n)) {
          Reply(prNoSuchMessage, "(" + first + ")");
        } else {
          core::LogErrorText(platform::Format("POP3 client %s: mailbox file %s of message %d could not be read",
                                              ConnectionInfo().peerAddress.c_str(),
                                              system_.Messages()[static_cast<size_t>(n - 1)].id.c_str(), n));
          Reply(prTemporary);
        }
        break;
      }
      Reply(prOK, system_.SizeText());
      // A piece at a time: a large message never sits in memory whole.
      if (SendStreamInPieces(*body, Output(), [this] { return SendOutputNow(); }) != TPieceSend::Sent) {
        // Cut off inside the reply: nothing can end it cleanly.
        core::LogErrorText(platform::Format("POP3 client %s: message %d could not be sent whole",
                                            ConnectionInfo().peerAddress.c_str(), n));
        Output().Clear();
        noFarewell_ = true;
        SetClose(true);
      }
      break;
    }
    case pcDELE:
      if (!Number(first, n)) break;
      if (!system_.SelectMessage(folders, n)) {
        Reply(prNoSuchMessage, "(" + first + ")");
      } else if (system_.MarkDeleted()) {
        Reply(prDeleted, "(" + first + ")");
      } else {
        Reply(prAlreadyDeleted, "(" + first + ")");
      }
      break;
    case pcNOOP:
      Reply(prOK);
      break;
    case pcRSET:
      system_.ResetMarks();
      Reply(prOK);
      break;
    case pcAPOP:
      Reply(prNoAPOP);
      break;
    case pcTOP: {
      if (first.empty() || second.empty()) {
        Reply(prSyntax);
        break;
      }
      int lineCount = 0;
      if (!Number(first, n) || !Number(second, lineCount)) break;
      if (lineCount < 0) {
        Reply(prSyntax);
        break;
      }
      if (!SelectLiveMessage(folders, first, n)) break;
      const std::string text = system_.TopText(folders, lineCount);
      if (text.empty()) {
        Reply(prNotAvailable);
        break;
      }
      Reply(prOK);
      // Dot-stuffed like every multi-line reply, so that a body line "." cannot end it.
      platform::TStringStream stream(text);
      core::TTCPBuffer stuffed;
      stuffed.LoadFromStreamStuffed(stream);
      std::string_view bytes = stuffed.View();
      // The text ends its last line already: the CR LF that the stuffing put before "." goes.
      Output().AddBytes(bytes.data(), bytes.size() - 5);
      RawLine(".");
      break;
    }
    case pcERR:
    case pcNone:
      Reply(prSyntax);
      break;
  }
}

void TPOP3Server::Pass(const std::string& password) {
  password_ = password;
  bool valid = false;
  try {
    std::unique_ptr<TMailDirectory> directory = environment_.openDirectory();
    valid = system_.Login(*directory, user_, password_);
  } catch (const std::exception& e) {
    // Not the client's fault and no failed attempt: it may log in again at once.
    core::LogException(platform::Format("in %s logging in %s from %s", ClassName().c_str(), user_.c_str(),
                                        ConnectionInfo().peerAddress.c_str()),
                       e, false);
    Reply(prTemporary);
    return;
  }
  if (!valid) {
    LoginFailed();
  } else if (system_.IsMaildropLocked()) {
    Reply(prLocked);
  } else {
    Reply(prLoginValid);
    authorization_ = false;
  }
}

void TPOP3Server::LoginFailed() {
  const std::string& address = ConnectionInfo().peerAddress;
  const TLoginThrottle::TFailure failure = throttle_->Failed(address, Now());
  ++loginFailures_;
  const bool close = loginFailures_ >= kLoginFailuresPerConnection;
  core::LogWarning(
      platform::Format("POP3 login of %s from %s failed (failure %d from this address, reply delayed %d ms%s)",
                       user_.c_str(), address.c_str(), failure.count, failure.delayMs,
                       close ? ", connection closed" : ""),
      true);
  DelayReply(failure.delayMs);
  if (!close) {
    Reply(prLoginInvalid);
    return;
  }
  Reply(prLoginInvalid, "(too many failures, closing the connection)");
  noFarewell_ = true;
  SetClose(true);
}

core::TTCPServerClass POP3ServerClass(TMailEnvironment environment) {
  auto throttle = std::make_shared<TLoginThrottle>();
  return core::TTCPServerClass{"TPOP3Server", [environment = std::move(environment), throttle] {
                                  return std::unique_ptr<core::TTCPServer>(
                                      std::make_unique<TPOP3Server>(environment, throttle));
                                }};
}

}  // namespace tovenmarsh::mail
