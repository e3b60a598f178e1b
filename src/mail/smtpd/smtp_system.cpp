// The SMTP envelope, look-ups, path arguments and the relay rule.
#include "mail/smtpd/smtp_system.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

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
  known_.clear();
}

void TSMTPSystem::SetReversePath(std::string path) {
  reversePath = std::move(path);
  hasReversePath = true;
}

namespace {

std::string RecipientKey(std::string address) {
  for (char& c : address) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return address;
}

}  // namespace

bool TSMTPSystem::HasRecipient(const std::string& address) const { return known_.count(RecipientKey(address)) != 0; }

bool TSMTPSystem::AddRecipient(std::string address) {
  if (!known_.insert(RecipientKey(address)).second) return false;
  recipients.push_back(std::move(address));
  return true;
}

std::unique_ptr<TQueueFileWriter> TSMTPSystem::OpenQueueFile(const TMailEnvironment& environment) const {
  std::string text;
  for (const std::string& recipient : recipients) text.append(recipient).append("\r\n");
  const platform::TDateTime now = environment.now ? environment.now() : platform::Now();
  return std::make_unique<TQueueFileWriter>(environment.folders, heloDomain, reversePath, text,
                                            ReceivedLine(heloDomain, environment.hostName, now), 0);
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

bool TSMTPSystem::IsKnownLocalRecipient(TMailDirectory& directory, const std::string& address) {
  const size_t at = address.rfind('@');
  const std::string user = address.substr(0, at);
  if (UpperAscii(user) == "POSTMASTER") return true;
  if (at == std::string::npos) return false;
  resources::TAliasRec alias;
  alias.name = user;
  alias.domain = address.substr(at + 1);
  return directory.FindAlias(alias) == 1 && alias.active;
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

namespace {

// The 16 bytes of an IPv6 or IPv4 address text (IPv4 as IPv4-mapped IPv6); "[...]" and a
// zone suffix are allowed around an IPv6 address.
bool AddressBytes(std::string_view address, std::array<unsigned char, 16>& bytes) {
  std::string text(address);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  const size_t zone = text.find('%');
  if (zone != std::string::npos) text.erase(zone);
  bytes.fill(0);
  unsigned char v4[4];
  if (inet_pton(AF_INET, text.c_str(), v4) == 1) {
    bytes[10] = 0xFF;
    bytes[11] = 0xFF;
    std::memcpy(bytes.data() + 12, v4, 4);
    return true;
  }
  return inet_pton(AF_INET6, text.c_str(), bytes.data()) == 1;
}

bool IsMappedIPv4(const std::array<unsigned char, 16>& bytes) {
  static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(bytes.data(), kMapped, 12) == 0;
}

}  // namespace

bool TClientNetworks::Parse(std::string_view text, std::string* bad) {
  networks_.clear();
  if (bad != nullptr) bad->clear();
  bool all = true;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(" \t,;", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view entry = text.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    TNetwork network;
    const size_t slash = entry.find('/');
    bool ok = AddressBytes(entry.substr(0, slash), network.bytes);
    const bool v4 = ok && entry.substr(0, slash).find(':') == std::string_view::npos;
    const int most = v4 ? 32 : 128;
    network.bits = most;
    if (ok && slash != std::string_view::npos) {
      const std::string_view digits = entry.substr(slash + 1);
      ok = !digits.empty() && digits.size() <= 3 && digits.find_first_not_of("0123456789") == std::string_view::npos;
      if (ok) network.bits = std::stoi(std::string(digits));
      ok = ok && network.bits <= most;
    }
    if (!ok) {
      all = false;
      if (bad != nullptr) bad->append(bad->empty() ? "" : " ").append(entry);
      continue;
    }
    if (v4) network.bits += 96;
    networks_.push_back(network);
  }
  return all;
}

bool TClientNetworks::Contains(std::string_view address) const {
  std::array<unsigned char, 16> bytes;
  if (!AddressBytes(address, bytes)) return false;
  for (const TNetwork& network : networks_) {
    // A mapped IPv4 network matches only mapped IPv4 clients, so "0.0.0.0/0" does not trust
    // every IPv6 client.
    if (network.bits >= 96 && IsMappedIPv4(network.bytes) != IsMappedIPv4(bytes)) continue;
    const int whole = network.bits / 8;
    const int rest = network.bits % 8;
    if (std::memcmp(network.bytes.data(), bytes.data(), static_cast<size_t>(whole)) != 0) continue;
    if (rest != 0) {
      const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
      if ((network.bytes[static_cast<size_t>(whole)] & mask) != (bytes[static_cast<size_t>(whole)] & mask)) continue;
    }
    return true;
  }
  return false;
}

}  // namespace tovenmarsh::mail
