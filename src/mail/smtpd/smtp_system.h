// TSMTPSystem: the envelope of one SMTP connection (helo domain, reverse path, recipients) and
// the SMTP server's look-ups (VRFY, EXPN, whether a recipient's domain is local), plus the
// helpers that read a path argument and decide who may relay.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/server_system.h"
#include "mail/store/mail_directory.h"
#include "mail/protocol/mail_environment.h"

namespace tovenmarsh::mail {

// Longest forward or reverse path accepted.
inline constexpr size_t kMaxPathLength = 256;

class TSMTPSystem : public core::TServerSystem {
 public:
  explicit TSMTPSystem(int value = 0) : TServerSystem(value) {}

  // Clears the reverse path and the recipients (the helo domain stays).
  void Reset();
  void SetReversePath(std::string path);
  void AddRecipient(std::string address);
  // Writes the queue file (Received line, then message as given: unstuffed, without the
  // end-of-data line) and resets; answers the queue file's name.
  std::string QueueMessage(const TMailEnvironment& environment, std::string_view message);

  // The alias's formatted address in text; answers FindAlias's result.
  static int Verify(TMailDirectory& directory, const std::string& name, std::string& text);
  // The formatted members of an expandable, active list; answers their number, else 0.
  static int Expand(TMailDirectory& directory, const std::string& name, std::vector<std::string>& members);
  // Whether address's domain belongs to a company (an address without a domain counts as
  // local).
  static bool IsLocalAddress(TMailDirectory& directory, const std::string& address);

  std::string heloDomain;
  std::string reversePath;
  bool hasReversePath = false;  // MAIL given (the null reverse path "<>" included)
  std::vector<std::string> recipients;
};

enum class TPathResult { Ok, Syntax };
// Reads "<keyword>:<path>" (keyword "FROM" or "TO", without regard to case, blanks allowed
// after the colon) from a MAIL or RCPT argument; the path stands in angle brackets or is the
// next word; parameters after it are ignored. nullPath tells that "<>" was given.
TPathResult ParsePathArgument(std::string_view argument, std::string_view keyword, std::string& path,
                              bool& nullPath);

// Whether a client at this address may send to domains that are not local: loopback and
// private networks (127/8, 10/8, 172.16/12, 192.168/16, ::1, fc00::/7, and these as
// IPv4-mapped IPv6 addresses).
bool IsRelayClientAddress(std::string_view address);

}  // namespace tovenmarsh::mail
