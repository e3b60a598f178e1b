// POP3 sessions over real tables while messages are delivered and deleted on other threads: the
// pooled mailbox resources are handed from one borrower to the next with their rows changing
// under them, and no login or command may fail for it.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mail/pop3d/pop3_server.h"
#include "mail/store/mail_directory.h"
#include "mail/store/mailbox_file.h"
#include "platform/paths.h"
#include "resources/fen_table_access.h"
#include "resources/resource_pool.h"
#include "resources/table_resources.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

namespace fs = std::filesystem;

constexpr int kAccounts = 4;

class Pop3DeliveryThreads : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    std::string pattern = platform::SystemTempFolder() + "pop3threadsXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    tables_ = pattern + "/";
    resources::CreateDatabaseTables(tables_);
    auto pool = std::make_unique<resources::TResourcePool>(30000);
    const resources::TTableOpener opener = resources::FenTableOpener(tables_);
    resources::RegisterTablePools(*pool, opener, 3, 3);
    for (int no = 1; no <= kAccounts; ++no) {
      resources::TResourceLease<> account(*pool, resources::piAccount);
      account->BeginWork();
      account->Insert();
      account->Table().SetField(resources::account::no, no);
      account->Table().SetField(resources::account::fullname, std::string("User"));
      account->Table().SetField(resources::account::pass, std::string("pw"));
      account->Post();
      account->CommitWork();
    }
    resources::SetDatabasePool(std::move(pool));
  }
  void TearDown() override {
    resources::SetDatabasePool(nullptr);
    std::error_code ignored;
    fs::remove_all(tables_, ignored);
    MailFixture::TearDown();
  }

  TMailEnvironment Installation() {
    TMailEnvironment environment = Environment();
    environment.openDirectory = [] { return OpenInstallationDirectory(); };
    return environment;
  }

  std::string tables_;
};

TEST_F(Pop3DeliveryThreads, SessionsNeverFailWhileMessagesComeAndGo) {
  constexpr int kDeliverers = 2;
  constexpr int kMessages = 40;
  constexpr int kSessions = kAccounts;  // one each: a maildrop is not locked against a second one
  constexpr int kRounds = 25;
  const TMailEnvironment environment = Installation();
  std::mutex lock;
  std::vector<std::string> problems;
  std::atomic<int> logins{0};
  auto problem = [&](std::string text) {
    std::lock_guard<std::mutex> guard(lock);
    problems.push_back(std::move(text));
  };

  std::vector<std::thread> threads;
  for (int d = 0; d < kDeliverers; ++d) {
    threads.emplace_back([&, d] {
      try {
        for (int i = 0; i < kMessages; ++i) {
          resources::TMailDropRec record;
          DeliverMessageToMailbox(environment.folders, "load@example.com",
                                  "Subject: " + std::to_string(d) + "/" + std::to_string(i) + "\r\n\r\nbody",
                                  record);
          environment.openDirectory()->AddMessage(1 + (d + i) % kAccounts, record);
        }
      } catch (const std::exception& e) {
        problem(std::string("delivery: ") + e.what());
      }
    });
  }
  for (int s = 0; s < kSessions; ++s) {
    threads.emplace_back([&, s] {
      const std::string user = "user" + std::to_string(1 + s);
      for (int round = 0; round < kRounds; ++round) {
        TPOP3Server server(environment);
        const std::string login = testing::Exchange(server, "USER " + user + "\r\nPASS pw\r\n");
        if (login != "+OK\r\n+OK tovenmarsh POP3 user and password is valid\r\n") {
          problem(user + " login: " + login);
          continue;
        }
        ++logins;
        const std::string stat = testing::Exchange(server, "STAT\r\n");
        int count = 0;
        if (stat.rfind("+OK ", 0) != 0 || !TryStrToInt(stat.substr(4, stat.find(' ', 4) - 4), count)) {
          problem(user + " STAT: " + stat);
          continue;
        }
        std::string commands;
        for (int n = 1; n <= count && n <= 3; ++n) {
          commands += "RETR " + std::to_string(n) + "\r\nDELE " + std::to_string(n) + "\r\n";
        }
        const std::string answers = testing::Exchange(server, commands + "QUIT\r\n");
        if (answers.find("-ERR") != std::string::npos) problem(user + " transaction: " + answers.substr(0, 300));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(problems, std::vector<std::string>{});
  EXPECT_EQ(logins.load(), kSessions * kRounds);
}

}  // namespace
}  // namespace tovenmarsh::mail
