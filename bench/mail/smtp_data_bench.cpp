// The SMTP server's own work per message, without sockets: one transaction (MAIL, RCPT, DATA,
// the message in read rounds of 64 KB, the end-of-data line) for messages of 2 KB, 100 KB,
// 1 MB and 10 MB, queue file written. The folders live on /dev/shm when it exists, so the
// figure is the protocol object's CPU cost, not the disk's flush time. Bytes per second must
// stay flat as the size grows: handling that moved or rescanned the data per line would fall
// off with size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "mail/smtpd/smtp_server.h"

namespace {

using namespace tovenmarsh;

// Body lines of 76 characters, some starting with a dot (stuffed on the wire).
std::string StuffedBody(size_t bytes) {
  std::string body = "From: a@example.org\r\nTo: b@example.net\r\nSubject: bench\r\n\r\n";
  const std::string line(76, 'x');
  size_t n = 0;
  while (body.size() < bytes) {
    if (++n % 50 == 0) body += "..";
    body += line;
    body += "\r\n";
  }
  return body;
}

class TBenchFolder {
 public:
  TBenchFolder() {
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/tm_smtp_bench_XXXXXX";
    root_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TBenchFolder() {
    if (!root_.empty()) std::system(("rm -rf '" + root_ + "'").c_str());
  }
  const std::string& Root() const { return root_; }

 private:
  std::string root_;
};

std::string Round(mail::TSMTPServer& server, std::string_view bytes) {
  server.Output().Clear();
  server.Input().Clear();
  server.Input().AddText(bytes);
  server.Run();
  return server.Output().GetText();
}

void BM_SmtpTransaction(benchmark::State& state) {
  TBenchFolder folder;
  if (folder.Root().empty()) {
    state.SkipWithError("no temporary folder");
    return;
  }
  core::OpenLog(folder.Root() + "/bench.log");
  core::StartSockets();
  mail::TMailEnvironment environment;
  environment.folders = mail::MailFoldersBelow(folder.Root());
  environment.hostName = "bench.example";
  environment.limits.messageSize = 64u * 1024u * 1024u;
  mail::TSMTPServer server(environment);
  server.ConnectionInfo().peerAddress = "127.0.0.1";
  Round(server, "HELO client.example\r\n");
  const std::string body = StuffedBody(static_cast<size_t>(state.range(0)));
  const size_t round = environment.limits.readRound;
  for (auto _ : state) {
    Round(server, "MAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.net>\r\nDATA\r\n");
    for (size_t at = 0; at < body.size(); at += round) Round(server, std::string_view(body).substr(at, round));
    const std::string reply = Round(server, "\r\n.\r\n");
    if (reply.compare(0, 3, "250") != 0) {
      state.SkipWithError(("DATA answered " + reply).c_str());
      break;
    }
    state.PauseTiming();
    unlink(environment.folders.QueueFileName(server.LastQueueFile()).c_str());
    state.ResumeTiming();
  }
  core::StopSockets();
  core::CloseLog();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_SmtpTransaction)->Arg(2 << 10)->Arg(100 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
