// TPOP3Server: the protocol object of one POP3 connection. It frames command lines itself,
// checks the session state, and answers from the reply table; RETR and TOP send dot-stuffed
// bodies ending with the end-of-data line, so a body line "." never ends a reply early. It
// owns no socket: the connection thread fills Input, runs it and sends Output.
//
// Promises: verbs match without regard to case; command lines holding CR or NUL or longer
// than the bound are refused; marked messages are removed only by QUIT in the transaction
// state; an exception while answering is logged and answered "-ERR", and the session goes on.
// A command line must be complete within 5 minutes of its first byte (the environment's clock
// tells the time a round arrived); past that the client is answered "-ERR", nothing is
// removed, and the connection closes without its farewell, so a client that trickles bytes
// cannot hold a connection slot for ever.
#pragma once

#include <string>

#include "core/tcp_server.h"
#include "mail/protocol/command_lines.h"
#include "mail/protocol/line_deadline.h"
#include "mail/protocol/mail_environment.h"
#include "mail/pop3d/pop3_replies.h"
#include "mail/pop3d/pop3_system.h"

namespace tovenmarsh::mail {

class TPOP3Server : public core::TTCPServer {
 public:
  // Time limit of a command line from its first byte.
  static constexpr int kCommandLineMinutes = 5;

  explicit TPOP3Server(TMailEnvironment environment);

  bool Greeting() override;
  bool Farewell() override;

  TPOP3System& System() { return system_; }
  bool InAuthorization() const { return authorization_; }

 protected:
  bool Execute() override;
  bool HandleException(const std::exception& e) override;

 private:
  void Reply(TPOP3ServerReply reply, std::string_view extra = {});
  void RawLine(std::string_view text);
  void ProcessCommand(const std::string& line);
  // Reads a message number; answers "-ERR" itself and false when it is not a number.
  bool Number(const std::string& text, int& n);
  // Selects message `text` for RETR or TOP; answers "-ERR" itself and false when it is not a
  // number, not there, or marked by DELE (gone for the client, though its file stays until QUIT).
  bool SelectLiveMessage(const TMailFolders& folders, const std::string& text);
  platform::TDateTime Now() const;

  TMailEnvironment environment_;
  TPOP3System system_;
  TCommandLines lines_;
  std::string user_;
  std::string password_;
  bool authorization_ = true;
  TLineDeadline lineDeadline_;
  bool tooSlow_ = false;  // closed for the deadline: no farewell
};

// The class library's integer conversion: optional blanks and sign, then decimal digits that
// fit 32 bits; false otherwise.
bool TryStrToInt(std::string_view text, int& value);

// The class reference a listener starts TPOP3Server objects from (named "TPOP3Server" in the log).
core::TTCPServerClass POP3ServerClass(TMailEnvironment environment);

}  // namespace tovenmarsh::mail
