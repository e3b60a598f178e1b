// The relay task against an independent SMTP server: Python's standard smtpd, on a loopback
// port of its own. What that server receives (sender, recipients, message with the dot
// transparency undone) must be exactly what the queue files hold, also for two messages over
// one connection and for bodies full of lines that begin with a dot.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mail/store/queue_file.h"
#include "mail/relay/relay_list.h"
#include "mail/relay/relay_task.h"
#include "support/mail_fakes.h"

extern char** environ;

namespace tovenmarsh::mail {
namespace {

// Writes every message to <out>/<n>: the sender, the recipients joined by ",", then the data.
const char kServer[] = R"PY(
import sys, warnings, asyncore, os
warnings.simplefilter('ignore')
import smtpd
out = sys.argv[1]
class Sink(smtpd.SMTPServer):
    count = 0
    def process_message(self, peer, mailfrom, rcpttos, data, **kw):
        Sink.count += 1
        with open(os.path.join(out, 'tmp'), 'wb') as f:
            f.write(mailfrom.encode() + b'\n' + ','.join(rcpttos).encode() + b'\n' + data)
        os.rename(os.path.join(out, 'tmp'), os.path.join(out, str(Sink.count)))
server = Sink(('127.0.0.1', 0), None, decode_data=False)
with open(os.path.join(out, 'port.tmp'), 'w') as f:
    f.write(str(server.socket.getsockname()[1]))
os.rename(os.path.join(out, 'port.tmp'), os.path.join(out, 'port'))
asyncore.loop(timeout=0.05)
)PY";

class RelayOracleTest : public testing::MailFixture {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    testing::MailFixture::TearDown();
  }

  // Starts the server; 0 when Python's smtpd is not there.
  int StartServer() {
    out_ = temp.Path() + "smtpd/";
    std::filesystem::create_directories(out_);
    testing::WriteFileBytes(temp.Path() + "server.py", kServer);
    if (std::system("python3 -W ignore -c 'import smtpd, asyncore' 2>/dev/null") != 0) return 0;
    const std::string script = temp.Path() + "server.py";
    const char* argv[] = {"python3", script.c_str(), out_.c_str(), nullptr};
    if (::posix_spawnp(&pid_, "python3", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return 0;
    for (int i = 0; i < 500; ++i) {
      if (std::filesystem::exists(out_ + "port")) return std::stoi(testing::FileBytes(out_ + "port"));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

  std::string Received(int n) {
    for (int i = 0; i < 500 && !std::filesystem::exists(out_ + std::to_string(n)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return testing::FileBytes(out_ + std::to_string(n));
  }

  pid_t pid_ = 0;
  std::string out_;
};

std::string WithBareLineFeeds(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

TEST_F(RelayOracleTest, PythonSmtpdReceivesExactlyTheQueuedMessages) {
  const int port = StartServer();
  if (port == 0) GTEST_SKIP() << "Python's smtpd is not available";
  std::string dotted = "Subject: dots\r\n\r\n";
  for (int i = 0; i < 200; ++i) dotted += (i % 3 == 0 ? "." : i % 3 == 1 ? ".." : ".x") + std::to_string(i) + "\r\n";
  dotted += ".";
  const std::string plain = "Subject: plain\r\nTo: someone\r\n\r\nline one\r\nline two";
  TDataRec first{QueueMessageText(folders, "client.test", "alice@source.test", "x@y\r\n", "", dotted, 0)};
  TDataRec second{QueueMessageText(folders, "client.test", "", "x@y\r\n", "", plain, 0)};
  TRelayList list;
  auto add = [&](TDataRec* file, const char* user, const char* reversePath) {
    auto entry = std::make_unique<TQueueRec>();
    entry->user = user;
    entry->domain = "far.test";
    entry->reversePath = reversePath;
    entry->queueFile = file;
    list.Add(std::move(entry));
  };
  add(&first, "bob", "alice@source.test");
  add(&first, "carol", "alice@source.test");
  add(&second, "dave", "");  // a bounce: the null reverse path
  TRelayEnvironment environment;
  environment.list = &list;
  environment.folders = folders;
  environment.now = [] { return 46000.5; };
  environment.hostName = "mx.test";
  environment.relayServer = "127.0.0.1";
  environment.port = port;
  environment.timeouts.firstReadWait = 10;
  {
    TRelayTask task(environment);
    task.Run();
  }
  for (const TQueueRec& entry : list.Snapshot()) EXPECT_EQ(entry.relayState, rsDelivered) << entry.user;
  EXPECT_EQ(Received(1), "alice@source.test\nbob@far.test,carol@far.test\n" + WithBareLineFeeds(dotted));
  EXPECT_EQ(Received(2), "<>\ndave@far.test\n" + WithBareLineFeeds(plain));  // smtpd shows the null path so
}

}  // namespace
}  // namespace tovenmarsh::mail
