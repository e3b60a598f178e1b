// SMTP command and reply tables.
#include "mail/smtpd/smtp_replies.h"

#include <array>

#include "core/str_utils.h"
#include "mail/protocol/command_lines.h"

namespace tovenmarsh::mail {

namespace {

struct TCommandEntry {
  std::string_view word;
  int idleMinutes;
};

constexpr std::array<TCommandEntry, 15> kCommands = {{
    {"HELO", 2}, {"MAIL", 5}, {"RCPT", 5}, {"DATA", 10}, {"RSET", 2}, {"SEND", 5}, {"SOML", 5}, {"SAML", 5},
    {"VRFY", 5}, {"EXPN", 5}, {"HELP", 2}, {"NOOP", 2}, {"QUIT", 2}, {"TURN", 2}, {"ERR", 2},
}};

struct TReplyEntry {
  std::string_view code;
  std::string_view text;
};

constexpr std::array<TReplyEntry, 21> kReplies = {{
    {"211", "<PRODUCTNAME> server on <DOMAIN>"},
    {"214", "Help message"},
    {"220", "<DOMAIN> Simple Mail Transfer Service Ready"},
    {"221", "<DOMAIN> service closing transmission channel"},
    {"250", "OK, Requested action completed"},
    {"251", "User not local, will forward to <forwardpath>"},
    {"354", "Start mail input and end with <CRLF>.<CRLF>"},
    {"421", "<DOMAIN> SMTP service not available, closing transmissing channel"},
    {"450", "Requested action not taken, mailbox unavailable"},
    {"451", "Requested action aborted, local error in processing"},
    {"452", "Requested action not taken, insufficient system storage"},
    {"500", "Syntax error, command unrecognized"},
    {"501", "Syntax error in parameters or arguments"},
    {"502", "Command not implemented"},
    {"503", "Bad sequence of commands"},
    {"504", "Command parameter not implemented."},
    {"550", "Requested action not taken, mailbox unavailable"},
    {"551", "User not local, try <forwardpath>"},
    {"552", "Requested mail action aborted, exceeded storage allocation"},
    {"553", "Requested action not taken, mailbox name not allowed"},
    {"554", "Transaction failed"},
}};

}  // namespace

TSMTPCommand FindSMTPCommand(std::string_view word) {
  const std::string upper = UpperAscii(word);
  for (size_t i = 0; i < kCommands.size(); ++i) {
    if (kCommands[i].word == upper) return static_cast<TSMTPCommand>(i + 1);
  }
  return scNone;
}

int SMTPCommandIdleMinutes(TSMTPCommand command) {
  if (command < scHELO || command > scERR) return 2;
  return kCommands[static_cast<size_t>(command) - 1].idleMinutes;
}

std::string_view SMTPReplyCode(TSMTPServerReply reply) { return kReplies[static_cast<size_t>(reply) - 1].code; }

std::string SMTPReplyLine(TSMTPServerReply reply, bool withText, std::string_view extra, std::string_view productName,
                          std::string_view hostName) {
  const TReplyEntry& entry = kReplies[static_cast<size_t>(reply) - 1];
  std::string line(entry.code);
  if (withText) {
    std::string text = core::ReplaceAll(entry.text, "<PRODUCTNAME>", productName, false);
    text = core::ReplaceAll(text, "<DOMAIN>", hostName, false);
    line.append(" ").append(text);
  }
  if (!extra.empty()) line.append(" ").append(extra);
  line.append("\r\n");
  return line;
}

}  // namespace tovenmarsh::mail
