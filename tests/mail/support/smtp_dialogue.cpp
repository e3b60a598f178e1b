#include "support/smtp_dialogue.h"

#include "support/dialogue.h"

namespace tovenmarsh::mail::testing {

std::unique_ptr<TSMTPServer> NewSmtpServer(const TMailEnvironment& environment, const std::string& peer) {
  auto server = std::make_unique<TSMTPServer>(environment);
  server->ConnectionInfo().peerAddress = peer;
  return server;
}

void OpenSmtpData(TSMTPServer& server, const std::string& helo, const std::string& from, const std::string& to) {
  RunDialogue(server, {{"", kGreeting},
                       {"HELO " + helo + "\r\n", kHelo},
                       {"MAIL FROM:<" + from + ">\r\n", kOK},
                       {"RCPT TO:<" + to + ">\r\n", kOK},
                       {"DATA\r\n", kData}});
}

}  // namespace tovenmarsh::mail::testing
