// TPOP3Server: the protocol object of one POP3 connection. It frames command lines itself,
// checks the session state, and answers from the reply table; RETR and TOP send dot-stuffed
// bodies ending with the end-of-data line, so a body line "." never ends a reply early. It
// owns no socket: the connection thread fills Input, runs it and sends Output.
//
// Promises: verbs match without regard to case; command lines holding CR or NUL or longer
// than the bound are refused; marked messages are removed only by QUIT in the transaction
// state; a failure of the tables or files while answering is logged with its cause and answered
// "-ERR [SYS/TEMP] ...", and the session goes on (a failed PASS of that kind counts as no
// login attempt).
// A failed login is logged with the client's address; its reply waits as long as the shared
// throttle says for that address (on this connection's thread only), and the third failure on
// one connection closes it without the farewell.
// A command line must be complete within 5 minutes of its first byte (the environment's clock
// tells the time a round arrived); past that the client is answered "-ERR", nothing is
// removed, and the connection closes without its farewell, so a client that trickles bytes
// cannot hold a connection slot for ever.
#pragma once

#include <memory>
#include <string>

#include "core/tcp_server.h"
#include "mail/protocol/command_lines.h"
#include "mail/protocol/line_deadline.h"
#include "mail/protocol/mail_environment.h"
#include "mail/pop3d/login_throttle.h"
#include "mail/pop3d/pop3_replies.h"
#include "mail/pop3d/pop3_system.h"

namespace tovenmarsh::mail {

class TPOP3Server : public core::TTCPServer {
 public:
  // Time limit of a command line from its first byte.
  static constexpr int kCommandLineMinutes = 5;
  // Failed logins after which a connection is closed.
  static constexpr int kLoginFailuresPerConnection = 3;

  // throttle: the failed logins of the listener's connections; none gives the connection one
  // of its own.
  explicit TPOP3Server(TMailEnvironment environment, std::shared_ptr<TLoginThrottle> throttle = nullptr);

  bool Greeting() override;
  bool Farewell() override;

  TPOP3System& System() { return system_; }
  bool InAuthorization() const { return authorization_; }

 protected:
  bool Execute() override;
  bool HandleException(const std::exception& e) override;
  // Waits ms milliseconds before the reply to a failed login; ends early when the server stops.
  virtual void DelayReply(int ms);

 private:
  void Reply(TPOP3ServerReply reply, std::string_view extra = {});
  void RawLine(std::string_view text);
  void ProcessCommand(const std::string& line);
  void Pass(const std::string& password);
  void LoginFailed();
  // Reads a message number; answers "-ERR" itself and false when it is not a number.
  bool Number(const std::string& text, int& n);
  // Selects message `text` (n) for RETR or TOP; answers "-ERR" itself and false when it is not
  // a number, not there, or marked by DELE (gone for the client, though its file stays until
  // QUIT).
  bool SelectLiveMessage(const TMailFolders& folders, const std::string& text, int& n);
  platform::TDateTime Now() const;

  TMailEnvironment environment_;
  TPOP3System system_;
  TCommandLines lines_;
  std::string user_;
  std::string password_;
  bool authorization_ = true;
  TLineDeadline lineDeadline_;
  std::shared_ptr<TLoginThrottle> throttle_;
  int loginFailures_ = 0;  // on this connection
  bool noFarewell_ = false;  // closed with an "-ERR" that said goodbye
};

// The class library's integer conversion: optional blanks and sign, then decimal digits that
// fit 32 bits; false otherwise.
bool TryStrToInt(std::string_view text, int& value);

// The class reference a listener starts TPOP3Server objects from (named "TPOP3Server" in the
// log); its connections share one login throttle.
core::TTCPServerClass POP3ServerClass(TMailEnvironment environment);

}  // namespace tovenmarsh::mail
