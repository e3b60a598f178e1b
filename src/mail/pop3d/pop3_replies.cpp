// POP3 command and reply tables.
#include "mail/pop3d/pop3_replies.h"

#include <array>

#include "core/str_utils.h"
#include "mail/protocol/command_lines.h"

namespace tovenmarsh::mail {

namespace {

struct TCommandEntry {
  std::string_view word;
  int idleMinutes;
};

constexpr std::array<TCommandEntry, 13> kCommands = {{
    {"USER", 2}, {"PASS", 2}, {"QUIT", 2}, {"STAT", 2}, {"LIST", 2}, {"RETR", 10}, {"DELE", 2}, {"NOOP", 2},
    {"RSET", 2}, {"APOP", 2}, {"TOP", 5}, {"UIDL", 2}, {"ERR", 2},
}};

struct TReplyEntry {
  std::string_view status;
  std::string_view text;
};

// A reply a client may act on without reading its text starts with a response code: "[IN-USE]"
// and "[SYS/TEMP]" tell it to try again later rather than ask for another password.
constexpr std::array<TReplyEntry, 16> kReplies = {{
    {"+OK", ""},
    {"-ERR", ""},
    {"+OK", "<PRODUCTNAME> POP3 server is ready"},
    {"-ERR", "<PRODUCTNAME> POP3 server is not in authorization state"},
    {"-ERR", "<PRODUCTNAME> POP3 server is not in transaction state"},
    {"+OK", "<PRODUCTNAME> POP3 user and password is valid"},
    {"-ERR", "<PRODUCTNAME> POP3 user or password is invalid"},
    {"-ERR", "<PRODUCTNAME> POP3 server does not support APOP authorization"},
    {"+OK", "<PRODUCTNAME> POP3 server signing off"},
    {"-ERR", "<PRODUCTNAME> POP3 user has no such message number in maildrop"},
    {"+OK", "<PRODUCTNAME> POP3 messsage has been deleted"},
    {"-ERR", "<PRODUCTNAME> POP3 messsage is already deleted"},
    {"-ERR", "<PRODUCTNAME> POP3 messsage is not availible"},
    {"-ERR", "[IN-USE] <PRODUCTNAME> POP3 maildrop already locked"},
    {"-ERR", "<PRODUCTNAME> POP3 request has syntax error in parameters or arguments"},
    {"-ERR", "[SYS/TEMP] <PRODUCTNAME> POP3 server cannot serve the request now, try again later"},
}};

}  // namespace

TPOP3Command FindPOP3Command(std::string_view word) {
  const std::string upper = UpperAscii(word);
  for (size_t i = 0; i < kCommands.size(); ++i) {
    if (kCommands[i].word == upper) return static_cast<TPOP3Command>(i + 1);
  }
  return pcNone;
}

int POP3CommandIdleMinutes(TPOP3Command command) {
  if (command < pcUSER || command > pcERR) return 2;
  return kCommands[static_cast<size_t>(command) - 1].idleMinutes;
}

std::string POP3ReplyLine(TPOP3ServerReply reply, std::string_view extra, std::string_view productName) {
  const TReplyEntry& entry = kReplies[static_cast<size_t>(reply) - 1];
  std::string line(entry.status);
  if (!entry.text.empty()) line.append(" ").append(core::ReplaceAll(entry.text, "<PRODUCTNAME>", productName, false));
  if (!extra.empty()) line.append(" ").append(extra);
  line.append("\r\n");
  return line;
}

}  // namespace tovenmarsh::mail
