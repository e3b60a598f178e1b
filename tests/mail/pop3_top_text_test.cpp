// TOP reads a stored message only as far as the lines asked for; what it answers must be the
// cut of the whole message all the same. Random messages (lines of random length and ending,
// some a bare CR or LF, blank lines early and late, line ends straddling the read pieces) are
// compared with a model that cuts the whole file at once.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/pop3d/pop3_system.h"
#include "mail/store/mailbox_file.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

// The header lines, the blank line and n body lines of the whole file, the file taken with the
// CR LF its last line lacks; all of it when no blank line ends the header.
std::string ModelTop(std::string whole, int n) {
  whole += "\r\n";
  size_t start = 2;
  if (whole.compare(0, 2, "\r\n") != 0) {
    start = whole.find("\r\n\r\n");
    if (start == std::string::npos) return whole;
    start += 4;
  }
  for (int line = 0; line < n && start < whole.size(); ++line) start = whole.find("\r\n", start) + 2;
  return whole.substr(0, start);
}

std::string RandomMessage(std::mt19937& random) {
  static const char* const kEnds[] = {"\r\n", "\r\n", "\r\n", "\n", "\r", ""};
  std::string message;
  const int lines = std::uniform_int_distribution<int>(0, 40)(random);
  // Long lines now and then, so that the 64 KB pieces split lines and line ends.
  std::uniform_int_distribution<int> shortLine(0, 80);
  std::uniform_int_distribution<int> longLine(10000, 70000);
  for (int i = 0; i < lines; ++i) {
    const int length = random() % 6 == 0 ? longLine(random) : shortLine(random);
    message += std::string(static_cast<size_t>(length), static_cast<char>('a' + i % 26));
    message += kEnds[random() % 6];
  }
  return message;
}

class Pop3TopText : public testing::MailFixture {};

TEST_F(Pop3TopText, PiecewiseReadingCutsLikeTheWholeMessage) {
  directory.AddAccount(1, "joe", "pw");
  std::mt19937 random(20261211);
  std::vector<std::string> stored;
  for (int m = 0; m < 60; ++m) {
    std::string message = RandomMessage(random);
    if (m % 5 == 0) {
      // A blank line or a line end exactly where a piece ends.
      message = std::string(65536 - 30 - (m % 3), 'h') + "\r\n\r\n" + message;
    }
    resources::TMailDropRec record;
    DeliverMessageToMailbox(folders, "s@x.example", message, record);
    testing::TFakeDirectory(directory).AddMessage(1, record);
    stored.push_back("Return-Path: <s@x.example>\r\n" + message);
  }
  testing::TFakeDirectory view(directory);
  TPOP3System system;
  ASSERT_TRUE(system.Login(view, "joe1", "pw"));
  ASSERT_EQ(system.Count(), static_cast<int>(stored.size()));
  for (int m = 0; m < system.Count(); ++m) {
    ASSERT_TRUE(system.SelectMessage(folders, m + 1));
    const std::string& whole = stored[static_cast<size_t>(m)];
    for (const int n : {0, 1, 2, 3, 7, 20, 100000}) {
      EXPECT_EQ(system.TopText(folders, n), ModelTop(whole, n)) << "message " << m << ", " << n << " lines";
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
