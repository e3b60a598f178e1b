// The POP3 server's command and reply tables and the making of a reply line.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

enum TPOP3Command {
  pcNone = 0,
  pcUSER = 1, pcPASS, pcQUIT, pcSTAT, pcLIST, pcRETR, pcDELE, pcNOOP, pcRSET, pcAPOP, pcTOP, pcUIDL, pcERR,
};

// The command of a word, matched without regard to case; pcNone when not in the table.
TPOP3Command FindPOP3Command(std::string_view word);
int POP3CommandIdleMinutes(TPOP3Command command);

enum TPOP3ServerReply {
  prOK = 1, prERR, prReady, prNotAuthorization, prNotTransaction, prLoginValid, prLoginInvalid, prNoAPOP,
  prSigningOff, prNoSuchMessage, prDeleted, prAlreadyDeleted, prNotAvailable, prLocked, prSyntax, prTemporary,
};

// Status; for replies 3 to 16 a blank and the text ("<PRODUCTNAME>" replaced); a blank and
// the extra when one is given; CR LF.
std::string POP3ReplyLine(TPOP3ServerReply reply, std::string_view extra, std::string_view productName);

}  // namespace tovenmarsh::mail
