// Reading MX records out of DNS response messages built here byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mail_exchangers.h"

namespace tovenmarsh::platform {
namespace {

using TBytes = std::vector<unsigned char>;

void Put16(TBytes& out, unsigned value) {
  out.push_back(static_cast<unsigned char>(value >> 8));
  out.push_back(static_cast<unsigned char>(value & 0xFF));
}

void PutName(TBytes& out, const std::string& name) {
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<unsigned char>(dot - start));
    out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  out.push_back(0);
}

// A response header with the question "example.test MX IN" (its name at offset 12).
TBytes Response(unsigned answers) {
  TBytes out;
  Put16(out, 0x1234);  // id
  Put16(out, 0x8180);  // response, recursion
  Put16(out, 1);
  Put16(out, answers);
  Put16(out, 0);
  Put16(out, 0);
  PutName(out, "example.test");
  Put16(out, 15);
  Put16(out, 1);
  return out;
}

// A record header: the owner as a pointer to the question's name, type, class, TTL; then its data.
void PutRecord(TBytes& out, unsigned type, const TBytes& data) {
  Put16(out, 0xC00C);
  Put16(out, type);
  Put16(out, 1);
  Put16(out, 0);
  Put16(out, 300);
  Put16(out, static_cast<unsigned>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}

TBytes Mx(unsigned preference, const TBytes& name) {
  TBytes data;
  Put16(data, preference);
  data.insert(data.end(), name.begin(), name.end());
  return data;
}

TBytes Name(const std::string& text) {
  TBytes out;
  PutName(out, text);
  return out;
}

TEST(MailExchangers, RecordsWithPlainAndCompressedNames) {
  TBytes message = Response(4);
  PutRecord(message, 15, Mx(20, Name("mx2.example.test")));
  // "mx1" then a pointer to "example.test" in the question.
  PutRecord(message, 15, Mx(10, TBytes{3, 'm', 'x', '1', 0xC0, 12}));
  PutRecord(message, 1, TBytes{192, 0, 2, 1});  // an A record: passed over
  PutRecord(message, 15, Mx(0, TBytes{0}));     // the root
  std::vector<TMailExchanger> found;
  ASSERT_TRUE(ParseMxResponse(message.data(), message.size(), found));
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].preference, 20);
  EXPECT_EQ(found[0].host, "mx2.example.test");
  EXPECT_EQ(found[1].preference, 10);
  EXPECT_EQ(found[1].host, "mx1.example.test");
  EXPECT_EQ(found[2].preference, 0);
  EXPECT_EQ(found[2].host, "");
}

TEST(MailExchangers, MalformedMessagesAreRefused) {
  struct Case {
    const char* name;
    TBytes message;
  };
  TBytes loop = Response(1);
  PutRecord(loop, 15, Mx(10, TBytes{0xC0, static_cast<unsigned char>(loop.size() + 14)}));  // points at itself
  TBytes beyond = Response(1);
  PutRecord(beyond, 15, Mx(10, TBytes{0xC0, 0xFF}));  // points past the end
  TBytes cut = Response(1);
  PutRecord(cut, 15, Mx(10, Name("mx.example.test")));
  cut.resize(cut.size() - 4);
  TBytes longLabel = Response(1);
  PutRecord(longLabel, 15, Mx(10, TBytes{60, 'a'}));  // a label longer than the record
  TBytes missing = Response(2);                       // two answers announced, one there
  PutRecord(missing, 15, Mx(10, Name("mx.example.test")));
  Case cases[] = {
      {"shorter than a header", TBytes{0x12, 0x34, 0x81}},
      {"pointer loop", loop},
      {"pointer beyond the message", beyond},
      {"cut short", cut},
      {"label beyond the message", longLabel},
      {"fewer answers than announced", missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TMailExchanger> found;
    EXPECT_FALSE(ParseMxResponse(c.message.data(), c.message.size(), found));
  }
}

}  // namespace
}  // namespace tovenmarsh::platform
