// Mail address helpers (contract in mail_address.h).
#include "mail/message/mail_address.h"

#include "core/str_utils.h"

namespace tovenmarsh::mail {

std::string AddressList(std::string_view text) {
  std::string result;
  bool inside = false;
  bool kept = false;  // some address character was kept
  for (char c : text) {
    if (c == '<') {
      inside = true;
    } else if (c == '>') {
      inside = false;
    } else if (c == ',' || c == ';') {
      result.push_back(',');
    } else if (inside) {
      result.push_back(c);
      kept = true;
    }
  }
  return kept ? result : std::string(text);
}

void SplitMailAddress(std::string_view address, std::string& localPart, std::string& domain) {
  localPart = core::StripEnclosing(address, "<", "@");
  domain = core::StripEnclosing(address, "@", ">");
}

std::string FormatMailAddress(std::string_view displayName, std::string_view address) {
  if (address.empty()) return {};
  std::string result;
  if (!displayName.empty()) result.append("\"").append(displayName).append("\" ");
  result.append("<").append(address).append(">");
  return result;
}

std::string FormatMailAddress3(std::string_view displayName, std::string_view localPart, std::string_view domain) {
  std::string address(localPart);
  address.append("@").append(domain);
  return FormatMailAddress(displayName, address);
}

}  // namespace tovenmarsh::mail
