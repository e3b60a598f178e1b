// TSMTPSystem: the envelope of one SMTP connection (helo domain, reverse path, recipients) and
// the SMTP server's look-ups (VRFY, EXPN, whether a recipient's domain is local), plus the
// helpers that read a path argument and decide who may relay.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/server_system.h"
#include "mail/store/mail_directory.h"
#include "mail/protocol/mail_environment.h"
#include "mail/store/queue_file.h"

namespace tovenmarsh::mail {

// Longest forward or reverse path accepted.
inline constexpr size_t kMaxPathLength = 256;

class TSMTPSystem : public core::TServerSystem {
 public:
  explicit TSMTPSystem(int value = 0) : TServerSystem(value) {}

  // Clears the reverse path and the recipients (the helo domain stays).
  void Reset();
  void SetReversePath(std::string path);
  // Adds a recipient unless the transaction has it already (without regard to case): a
  // recipient named twice gets one copy. Answers whether it was added.
  bool AddRecipient(std::string address);
  bool HasRecipient(const std::string& address) const;
  // Opens the queue file of the transaction: envelope and Received line written, the message
  // to follow (unstuffed, without the end-of-data line). Raises as TQueueFileWriter.
  std::unique_ptr<TQueueFileWriter> OpenQueueFile(const TMailEnvironment& environment) const;

  // The alias's formatted address in text; answers FindAlias's result.
  static int Verify(TMailDirectory& directory, const std::string& name, std::string& text);
  // The formatted members of an expandable, active list; answers their number, else 0.
  static int Expand(TMailDirectory& directory, const std::string& name, std::vector<std::string>& members);
  // Whether address's domain belongs to a company (an address without a domain counts as
  // local).
  static bool IsLocalAddress(TMailDirectory& directory, const std::string& address);
  // Whether a local address reaches someone: an active alias (account or list) of its domain,
  // or postmaster, which every domain must accept.
  static bool IsKnownLocalRecipient(TMailDirectory& directory, const std::string& address);

  std::string heloDomain;
  std::string reversePath;
  bool hasReversePath = false;  // MAIL given (the null reverse path "<>" included)
  std::vector<std::string> recipients;

 private:
  std::unordered_set<std::string> known_;  // the recipients in lower case
};

enum class TPathResult { Ok, Syntax };
// Reads "<keyword>:<path>" (keyword "FROM" or "TO", without regard to case, blanks allowed
// after the colon) from a MAIL or RCPT argument; the path stands in angle brackets or is the
// next word; parameters after it are ignored. nullPath tells that "<>" was given.
TPathResult ParsePathArgument(std::string_view argument, std::string_view keyword, std::string& path,
                              bool& nullPath);

// The client networks that may relay: a list of networks in CIDR form ("127.0.0.0/8",
// "::1/128"; a bare address is one host), IPv4 and IPv6, an IPv4 client also matching as an
// IPv4-mapped IPv6 address and the other way round.
class TClientNetworks {
 public:
  // Reads entries separated by blanks, commas or semicolons; entries that are no network are
  // skipped and listed in bad (separated by blanks). Answers whether all were read.
  bool Parse(std::string_view text, std::string* bad = nullptr);
  bool Contains(std::string_view address) const;
  bool Empty() const { return networks_.empty(); }

 private:
  struct TNetwork {
    std::array<unsigned char, 16> bytes{};  // IPv4 as IPv4-mapped IPv6
    int bits = 0;
  };
  std::vector<TNetwork> networks_;
};

}  // namespace tovenmarsh::mail
