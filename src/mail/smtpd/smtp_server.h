// TSMTPServer: the protocol object of one SMTP connection. It frames the client's bytes into
// command lines itself (any read round may hold several commands, part of one, or message
// data), answers each command from the reply table, and streams the message after DATA, its
// dot-stuffing removed, into a new queue file, answering 250 only once that file is on disk.
// It owns no socket: the connection thread fills Input, runs it and sends Output.
//
// Promises: verbs match without regard to case; a command line holding CR or NUL is refused
// (501), so nothing a client sends can add envelope lines; command lines longer than the
// bound are refused (500) and dropped; MAIL accepts the null reverse path; RCPT needs MAIL and
// DATA needs both (503). A client outside the relay networks may only name known recipients
// of local domains (550 otherwise: no mail is accepted that could only bounce to a forged
// sender); a recipient named twice in a transaction gets one copy; past the recipient bound
// RCPT is answered 452. Memory per connection stays bounded by a read round and a write
// buffer whatever the message size: a message above the size bound is read to its end,
// dropped and answered 552. When the queue folder is short of storage (below a floor at MAIL
// or DATA, or a write fails) the transaction is answered 452 and the session goes on; the
// shortage is logged once when it begins and once when it ends.
// Deadlines (the environment's clock tells the time a round arrived): the first command line
// within 30 seconds of the greeting, every later one within 5 minutes of its first byte, and
// the message data within 10 minutes of the 354 and, after its first 30 seconds, at 1024 bytes
// a second on average; past that the client is answered 421 and the connection closes without
// its farewell, so a client that trickles bytes cannot hold a connection slot for long.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/tcp_server.h"
#include "mail/protocol/command_lines.h"
#include "mail/protocol/data_unstuffer.h"
#include "mail/protocol/line_deadline.h"
#include "mail/protocol/mail_environment.h"
#include "mail/smtpd/smtp_replies.h"
#include "mail/smtpd/smtp_system.h"

namespace tovenmarsh::mail {

class TSMTPServer : public core::TTCPServer {
 public:
  // Time limits of the first command line from the greeting, of a later command line from its
  // first byte and of the message data from the 354, and the least data rate after a grace.
  static constexpr int kFirstLineSeconds = 30;
  static constexpr int kCommandLineMinutes = 5;
  static constexpr int kDataMinutes = 10;
  static constexpr int kDataGraceSeconds = 30;
  static constexpr int kMinDataBytesPerSecond = 1024;

  explicit TSMTPServer(TMailEnvironment environment);
  ~TSMTPServer() override;

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
  void Mail(const std::string& argument);
  void Recipient(const std::string& argument);
  void StartData();
  // Consumes message data; true once the end-of-data line was seen.
  bool ProcessData();
  // Writes the unstuffed bytes gathered so far to the queue file (all when force, else only
  // once a write's worth is there).
  void WriteData(bool force);
  void FinishData();
  // The queue file is dropped: nothing of the message stays.
  void DropData();
  // Whether the queue folder has room for a message; logs the start of a shortage.
  bool StorageAvailable();
  void StorageFailed(const std::string& why);
  void StorageRecovered();
  platform::TDateTime Now() const;
  // Answers 421 with why, drops the unfinished message and closes without the farewell.
  void CloseTooSlow(const std::string& why);
  bool DeadlinePassed();

  TMailEnvironment environment_;
  TSMTPSystem system_;
  TClientNetworks relayNetworks_;
  TCommandLines lines_;
  bool dataMode_ = false;
  TDataUnstuffer unstuffer_;
  std::unique_ptr<TQueueFileWriter> queueFile_;  // the message being received, none when dropped
  std::string pending_;        // unstuffed bytes not yet written
  uint64_t messageBytes_ = 0;  // unstuffed bytes of the message so far
  uint64_t dataReceived_ = 0;  // bytes received since the 354
  bool dataOverflow_ = false;  // the message passed the size bound
  bool dataFailed_ = false;    // the queue file could not be written
  std::string lastQueueFile_;
  TLineDeadline lineDeadline_;
  bool firstLine_ = true;              // no command line complete yet
  platform::TDateTime greetingTime_ = 0;
  platform::TDateTime roundTime_ = 0;  // when the bytes of the current round arrived
  platform::TDateTime dataStart_ = 0;  // when the 354 was answered
  bool tooSlow_ = false;               // closed for a deadline: no farewell
};

// The class reference a listener starts TSMTPServer objects from (named "TSMTPServer" in the log).
core::TTCPServerClass SMTPServerClass(TMailEnvironment environment);

}  // namespace tovenmarsh::mail
