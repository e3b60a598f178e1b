// TSMTPServer: the protocol object of one SMTP connection. It frames the client's bytes into
// command lines itself (any read round may hold several commands, part of one, or message
// data), answers each command from the reply table, gathers the message after DATA with its
// dot-stuffing removed, and writes it as a queue file before answering 250. It owns no
// socket: the connection thread fills Input, runs it and sends Output.
//
// Promises: verbs match without regard to case; a command line holding CR or NUL is refused
// (501), so nothing a client sends can add envelope lines; command lines longer than the
// bound are refused (500) and dropped; MAIL accepts the null reverse path; RCPT to a domain
// that is not local is accepted only from loopback and private networks (550 otherwise); RCPT
// needs MAIL and DATA needs both (503); a message above the size bound is read to its end,
// dropped and answered 552; the 250 after the data comes only once the queue file is on disk.
// A command line must be complete within 5 minutes of its first byte and the message data
// within 10 minutes of the 354 (the environment's clock tells the time a round arrived);
// past that the client is answered 421 and the connection closes without its farewell, so a
// client that trickles bytes cannot hold a connection slot for ever.
#pragma once

#include <string>

#include "core/tcp_server.h"
#include "mail/protocol/command_lines.h"
#include "mail/protocol/line_deadline.h"
#include "mail/protocol/mail_environment.h"
#include "mail/smtpd/smtp_replies.h"
#include "mail/smtpd/smtp_system.h"

namespace tovenmarsh::mail {

class TSMTPServer : public core::TTCPServer {
 public:
  // Time limits of a command line from its first byte and of the message data from the 354.
  static constexpr int kCommandLineMinutes = 5;
  static constexpr int kDataMinutes = 10;

  explicit TSMTPServer(TMailEnvironment environment);

  bool Greeting() override;
  bool Farewell() override;

  TSMTPSystem& System() { return system_; }
  bool InDataMode() const { return dataMode_; }
  // The queue file written for the last message ("" before any).
  const std::string& LastQueueFile() const { return lastQueueFile_; }

 protected:
  bool Execute() override;
  bool HandleException(const std::exception& e) override;

 private:
  void Reply(TSMTPServerReply reply, bool withText = true, std::string_view extra = {});
  void RawReply(std::string_view code, std::string_view text);
  void ProcessCommand(const std::string& line);
  // Consumes message data; true once the end-of-data line was seen.
  bool ProcessData();
  void AppendData(std::string_view bytes);
  void FinishData();
  void Mail(const std::string& argument);
  void Recipient(const std::string& argument);
  platform::TDateTime Now() const;
  // Answers 421 with why, drops the unfinished message and closes without the farewell.
  void CloseTooSlow(const char* what, int minutes);

  TMailEnvironment environment_;
  TSMTPSystem system_;
  TCommandLines lines_;
  bool dataMode_ = false;
  bool dataLineStart_ = true;   // the next data byte begins a line
  bool dataOverflow_ = false;   // the message passed the size bound
  std::string message_;
  std::string lastQueueFile_;
  TLineDeadline lineDeadline_;
  platform::TDateTime roundTime_ = 0;  // when the bytes of the current round arrived
  platform::TDateTime dataStart_ = 0;  // when the 354 was answered
  bool tooSlow_ = false;               // closed for a deadline: no farewell
};

// The class reference a listener starts TSMTPServer objects from (named "TSMTPServer" in the log).
core::TTCPServerClass SMTPServerClass(TMailEnvironment environment);

}  // namespace tovenmarsh::mail
