// SMTP dialogues for the mail tests: the server's fixed replies for host "mx.test" (the
// MailFixture host), a server for a given peer address, and the opening of one transaction.
#pragma once

#include <memory>
#include <string>

#include "mail/protocol/mail_environment.h"
#include "mail/smtpd/smtp_server.h"

namespace tovenmarsh::mail::testing {

inline const std::string kGreeting = "220 mx.test Simple Mail Transfer Service Ready\r\n";
inline const std::string kHelo = "250 mx.test\r\n";
inline const std::string kOK = "250 OK, Requested action completed\r\n";
inline const std::string kData = "354 Start mail input and end with <CRLF>.<CRLF>\r\n";

// A server over environment whose client connects from peer.
std::unique_ptr<TSMTPServer> NewSmtpServer(const TMailEnvironment& environment, const std::string& peer);

// Greeting, HELO helo, MAIL FROM:<from>, RCPT TO:<to> and DATA, each expecting its success
// reply; the server then waits for the message data.
void OpenSmtpData(TSMTPServer& server, const std::string& helo, const std::string& from, const std::string& to);

}  // namespace tovenmarsh::mail::testing
