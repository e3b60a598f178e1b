// The SMTP envelope, look-ups, path arguments and the relay rule.
#include "mail/smtpd/smtp_system.h"

#include <arpa/inet.h>

#include <cstring>

#include "core/str_utils.h"
#include "mail/protocol/command_lines.h"
#include "mail/message/mail_address.h"
#include "mail/message/mail_message.h"
#include "mail/store/queue_file.h"

namespace tovenmarsh::mail {

void TSMTPSystem::Reset() {
  reversePath.clear();
  hasReversePath = false;
  recipients.clear();
}

void TSMTPSystem::SetReversePath(std::string path) {
  reversePath = std::move(path);
  hasReversePath = true;
}

void TSMTPSystem::AddRecipient(std::string address) { recipients.push_back(std::move(address)); }

std::string TSMTPSystem::QueueMessage(const TMailEnvironment& environment, std::string_view message) {
  std::string text;
  for (const std::string& recipient : recipients) text.append(recipient).append("\r\n");
  const platform::TDateTime now = environment.now ? environment.now() : platform::Now();
  std::string name = QueueMessageText(environment.folders, heloDomain, reversePath, text,
                                      ReceivedLine(heloDomain, environment.hostName, now), message, 0);
  Reset();
  return name;
}

int TSMTPSystem::Verify(TMailDirectory& directory, const std::string& name, std::string& text) {
  resources::TAliasRec alias;
  alias.name = name;
  const int result = directory.FindAlias(alias);
  if (result > 0) text = FormatMailAddress3(alias.description, name, alias.domain);
  return result;
}

int TSMTPSystem::Expand(TMailDirectory& directory, const std::string& name, std::vector<std::string>& members) {
  resources::TAliasRec alias;
  alias.name = name;
  if (directory.FindAlias(alias) != 1 || !alias.expandable || !alias.active || !alias.maillist) return 0;
  resources::TMaillistRecs list;
  directory.GetListMembers(alias, list);
  for (const resources::TMaillistRec& member : list) {
    members.push_back(FormatMailAddress3(member.fullname, member.forwardusr, member.forwarddomain));
  }
  return static_cast<int>(members.size());
}

bool TSMTPSystem::IsLocalAddress(TMailDirectory& directory, const std::string& address) {
  // No domain is this host (RFC 5321 4.5.1: <Postmaster> must be accepted); SplitMailAddress
  // would take the whole address for the domain.
  if (address.find('@') == std::string::npos) return true;
  std::string user;
  std::string domain;
  SplitMailAddress(address, user, domain);
  if (domain.empty()) return true;
  resources::TAliasRec alias;
  alias.name = user;
  alias.domain = domain;
  const int result = directory.FindAlias(alias);
  return result != 0 || alias.companyno != 0;
}

TPathResult ParsePathArgument(std::string_view argument, std::string_view keyword, std::string& path,
                              bool& nullPath) {
  path.clear();
  nullPath = false;
  if (argument.size() <= keyword.size() || UpperAscii(argument.substr(0, keyword.size())) != keyword ||
      argument[keyword.size()] != ':') {
    return TPathResult::Syntax;
  }
  argument.remove_prefix(keyword.size() + 1);
  while (!argument.empty() && argument.front() == ' ') argument.remove_prefix(1);
  std::string_view value;
  if (!argument.empty() && argument.front() == '<') {
    const size_t close = argument.find('>');
    if (close == std::string_view::npos) return TPathResult::Syntax;
    value = argument.substr(1, close - 1);
    nullPath = value.empty();
  } else {
    value = argument.substr(0, argument.find(' '));
    if (value.empty()) return TPathResult::Syntax;
  }
  if (value.size() > kMaxPathLength) return TPathResult::Syntax;
  for (const char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '<' || c == '>') return TPathResult::Syntax;
  }
  path.assign(value);
  return TPathResult::Ok;
}

bool IsRelayClientAddress(std::string_view address) {
  std::string text(address);
  // "[::1]" and zone suffixes as some layers write them.
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  const size_t zone = text.find('%');
  if (zone != std::string::npos) text.erase(zone);
  unsigned char v4[4];
  unsigned char v6[16];
  if (inet_pton(AF_INET, text.c_str(), v4) == 1) {
    // fall through to the IPv4 rules below
  } else if (inet_pton(AF_INET6, text.c_str(), v6) == 1) {
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(v6, kLoopback, 16) == 0) return true;
    if ((v6[0] & 0xFE) == 0xFC) return true;
    if (std::memcmp(v6, kMapped, 12) != 0) return false;
    std::memcpy(v4, v6 + 12, 4);
  } else {
    return false;
  }
  return v4[0] == 127 || v4[0] == 10 || (v4[0] == 172 && (v4[1] & 0xF0) == 16) || (v4[0] == 192 && v4[1] == 168);
}

}  // namespace tovenmarsh::mail
