// The mail exchangers (MX records) of a domain, asked of the system's resolver (the name
// servers of /etc/resolv.conf), and the reading of a DNS answer into them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tovenmarsh::platform {

struct TMailExchanger {
  int preference = 0;
  std::string host;  // without a final dot; empty for the root (".": the domain takes no mail)
};

enum class TMxAnswer {
  Found,      // records in exchangers
  None,       // the domain has no MX records (or does not exist): mail goes to the domain itself
  Failed,     // no answer now (no server reached, server failure): worth another try later
};

// Asks the resolver for the MX records of domain.
TMxAnswer LookupMailExchangers(const std::string& domain, std::vector<TMailExchanger>& exchangers);

// Reads the MX records of the answer section of a DNS response message; false when the
// message is malformed. Records of other types are passed over.
bool ParseMxResponse(const unsigned char* message, size_t length, std::vector<TMailExchanger>& exchangers);

// What the relay asks for a domain's exchangers; tests put fixed answers here.
using TMxLookup = std::function<TMxAnswer(const std::string& domain, std::vector<TMailExchanger>& exchangers)>;

}  // namespace tovenmarsh::platform
