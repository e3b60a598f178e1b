// MX look-up through the C library's resolver (res_query), and the answer's reading.
#include "platform/mail_exchangers.h"

#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

#include <cstdint>

namespace tovenmarsh::platform {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr int kTypeMx = 15;
constexpr int kClassIn = 1;
constexpr int kMaxPointers = 64;  // more jumps than any real name needs: a loop

unsigned Get16(const unsigned char* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

// Reads the (possibly compressed) name at pos; next is where the name ends in place. False when
// it runs outside the message or loops.
bool ReadName(const unsigned char* message, size_t length, size_t pos, std::string& name, size_t& next) {
  name.clear();
  bool jumped = false;
  int pointers = 0;
  for (;;) {
    if (pos >= length) return false;
    const unsigned label = message[pos];
    if (label == 0) {
      if (!jumped) next = pos + 1;
      return true;
    }
    if ((label & 0xC0) == 0xC0) {
      if (pos + 1 >= length || ++pointers > kMaxPointers) return false;
      if (!jumped) next = pos + 2;
      jumped = true;
      pos = (label & 0x3F) << 8 | message[pos + 1];
      continue;
    }
    if ((label & 0xC0) != 0) return false;
    if (pos + 1 + label > length) return false;
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(message + pos + 1), label);
    if (name.size() > 255) return false;
    pos += 1 + label;
  }
}

}  // namespace

bool ParseMxResponse(const unsigned char* message, size_t length, std::vector<TMailExchanger>& exchangers) {
  if (length < kHeaderSize) return false;
  const unsigned questions = Get16(message + 4);
  const unsigned answers = Get16(message + 6);
  size_t pos = kHeaderSize;
  std::string name;
  for (unsigned i = 0; i < questions; ++i) {
    if (!ReadName(message, length, pos, name, pos) || pos + 4 > length) return false;
    pos += 4;
  }
  for (unsigned i = 0; i < answers; ++i) {
    if (!ReadName(message, length, pos, name, pos) || pos + 10 > length) return false;
    const unsigned type = Get16(message + pos);
    const unsigned recordClass = Get16(message + pos + 2);
    const size_t dataLength = Get16(message + pos + 8);
    pos += 10;
    if (pos + dataLength > length) return false;
    if (type == kTypeMx && recordClass == kClassIn) {
      if (dataLength < 3) return false;
      TMailExchanger exchanger;
      exchanger.preference = static_cast<int>(Get16(message + pos));
      size_t end = 0;
      if (!ReadName(message, length, pos + 2, exchanger.host, end)) return false;
      exchangers.push_back(std::move(exchanger));
    }
    pos += dataLength;
  }
  return true;
}

TMxAnswer LookupMailExchangers(const std::string& domain, std::vector<TMailExchanger>& exchangers) {
  exchangers.clear();
  if (domain.empty()) return TMxAnswer::None;
  // res_query keeps its state per thread and reads /etc/resolv.conf on first use.
  std::vector<unsigned char> answer(NS_MAXMSG);
  h_errno = 0;
  const int length = res_query(domain.c_str(), kClassIn, kTypeMx, answer.data(), static_cast<int>(answer.size()));
  if (length < 0) {
    // No such domain, or no records of the type: the domain itself is the exchanger.
    if (h_errno == HOST_NOT_FOUND || h_errno == NO_DATA) return TMxAnswer::None;
    return TMxAnswer::Failed;
  }
  if (!ParseMxResponse(answer.data(), static_cast<size_t>(length), exchangers)) return TMxAnswer::Failed;
  return exchangers.empty() ? TMxAnswer::None : TMxAnswer::Found;
}

}  // namespace tovenmarsh::platform
