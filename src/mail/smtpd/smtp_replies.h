// The SMTP server's command and reply tables and the making of a reply line.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

enum TSMTPCommand {
  scNone = 0,
  scHELO = 1, scMAIL, scRCPT, scDATA, scRSET, scSEND, scSOML, scSAML, scVRFY, scEXPN, scHELP, scNOOP,
  scQUIT, scTURN, scERR,
};

// The command of a word, matched without regard to case; scNone when not in the table.
TSMTPCommand FindSMTPCommand(std::string_view word);
// Idle minutes set when the command is matched.
int SMTPCommandIdleMinutes(TSMTPCommand command);

enum TSMTPServerReply {
  srSystemStatus = 1, srHelp, srReady, srClosing, srOK, srWillForward, srStartMail, srNotAvailable,
  srMailboxBusy, srLocalError, srInsufficientStorage, srUnrecognized, srSyntax, srNotImplemented,
  srBadSequence, srParameterNotImplemented, srMailboxUnavailable, srTryForward, srExceededStorage,
  srNameNotAllowed, srTransactionFailed,
};

// "code[ text][ extra]" CR LF, the text's "<PRODUCTNAME>" and "<DOMAIN>" replaced.
std::string SMTPReplyLine(TSMTPServerReply reply, bool withText, std::string_view extra, std::string_view productName,
                          std::string_view hostName);
std::string_view SMTPReplyCode(TSMTPServerReply reply);

}  // namespace tovenmarsh::mail
