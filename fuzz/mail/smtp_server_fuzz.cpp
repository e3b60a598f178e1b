// Drives the SMTP protocol object with arbitrary client bytes cut into read rounds (the first
// byte sets the round size). Whatever arrives, every byte answered must be a reply line
// ("ddd " or "ddd-" ... CR LF), and nothing may crash. The queue folder cannot be written, so
// a finished message takes the failure path (421) instead of touching the disk.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/manager_thread.h"
#include "core/server_errors.h"
#include "core/sockets.h"
#include "mail/smtpd/smtp_server.h"

namespace {

using namespace tovenmarsh;

class TLocalOnlyDirectory : public mail::TMailDirectory {
 public:
  int FindAlias(resources::TAliasRec& rec) override {
    if (rec.domain == "local.test") rec.companyno = 1;
    if (rec.name == "joe") {
      rec.description = "Joe";
      rec.maillist = rec.expandable = rec.active = true;
      return 1;
    }
    return rec.name == "dup" ? -1 : 0;
  }
  int GetListMembers(const resources::TAliasRec&, resources::TMaillistRecs& list) override {
    list.push_back(resources::TMaillistRec{"a", "local.test", "A", ""});
    list.push_back(resources::TMaillistRec{"b", "local.test", "", ""});
    return 2;
  }
  bool GetCompany(resources::TCompanyRec&) override { return false; }
  bool GetAccount(resources::TAccountRec&) override { return false; }
  int ListMessages(int, resources::TMailDropRecs&) override { return 0; }
  bool DeleteMarked(const resources::TMailDropRecs&) override { return true; }
  int AddMessage(int, const resources::TMailDropRec&) override { return 1; }
};

void CheckReplies(std::string_view out) {
  while (!out.empty()) {
    const size_t end = out.find("\r\n");
    if (end == std::string_view::npos || end < 3) std::abort();
    for (size_t i = 0; i < 3; ++i) {
      if (out[i] < '0' || out[i] > '9') std::abort();
    }
    if (end > 3 && out[3] != ' ' && out[3] != '-') std::abort();
    out.remove_prefix(end + 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    core::StartSockets();
    return true;
  }();
  (void)started;
  if (size == 0) return 0;
  mail::TMailEnvironment environment;
  environment.folders = mail::TMailFolders{"/nonexistent/tovenmarsh/queue/", "/nonexistent/tovenmarsh/mail/",
                                           "/nonexistent/tovenmarsh/document/"};
  environment.hostName = "mx.test";
  environment.now = [] { return 46000.5; };
  environment.openDirectory = [] { return std::unique_ptr<mail::TMailDirectory>(std::make_unique<TLocalOnlyDirectory>()); };
  environment.limits.smtpCommandLine = 64;
  environment.limits.messageSize = 256;
  environment.limits.recipients = 4;
  mail::TSMTPServer server(environment);
  server.ConnectionInfo().peerAddress = (data[0] & 0x80) != 0 ? "127.0.0.1" : "203.0.113.1";
  const size_t round = (data[0] & 0x3F) + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  server.Greeting();
  CheckReplies(server.Output().View());
  while (!input.empty() && !server.CloseRequested()) {
    const std::string_view piece = input.substr(0, round);
    input.remove_prefix(piece.size());
    server.Output().Clear();
    server.Input().Clear();
    server.Input().AddText(piece);
    bool ended = false;
    try {
      ended = !server.Run();
    } catch (const core::ETCPServer&) {
      ended = true;
    }
    CheckReplies(server.Output().View());
    if (ended) break;
  }
  return 0;
}
