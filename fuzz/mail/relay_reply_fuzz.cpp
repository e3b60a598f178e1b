// Feeds arbitrary server answers to the relay and collection clients' parsers: SMTP reply
// lines, the trace-line count of a header, and POP3 listings. Whatever arrives, a parsed reply
// has a code of 100..599, and every listed item has a decimal message number and a printable,
// bounded unique id, so no server can make the client send a forged command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/fetch/popmail_task.h"
#include "mail/relay/relay_reply.h"

using namespace tovenmarsh;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= input.size()) {
    size_t end = input.find('\n', pos);
    if (end == std::string_view::npos) end = input.size();
    std::string line(input.substr(pos, end - pos));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  for (const std::string& line : lines) {
    int code = 0;
    bool more = false;
    if (mail::ParseReplyLine(line, code, more) && (code < 100 || code > 599)) std::abort();
  }
  if (mail::CountReceivedLines(input) < 0) std::abort();
  for (bool uidl : {false, true}) {
    for (const mail::TCollectItem& item : mail::ParseListing(lines, uidl, "box", 0)) {
      const std::string& number = item.rec.msgno;
      if (number.empty() || number.size() > 9) std::abort();
      for (char c : number) {
        if (c < '0' || c > '9') std::abort();
      }
      if (uidl && (item.rec.uidl.empty() || item.rec.uidl.size() > mail::kMaxUidlLength)) std::abort();
      for (char c : item.rec.uidl) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) std::abort();
      }
    }
  }
  return 0;
}
