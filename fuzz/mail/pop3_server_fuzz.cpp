// Drives the POP3 protocol object with arbitrary client bytes cut into read rounds (the first
// byte sets the round size), logged in or not. Nothing may crash, and every answer must start
// with "+OK" or "-ERR" (multi-line bodies follow a "+OK" and end with "." CR LF).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/manager_thread.h"
#include "core/sockets.h"
#include "mail/pop3d/pop3_server.h"

namespace {

using namespace tovenmarsh;

// One account ("joe1", password "pw") with two messages whose files do not exist.
class TOneAccountDirectory : public mail::TMailDirectory {
 public:
  int FindAlias(resources::TAliasRec&) override { return 0; }
  int GetListMembers(const resources::TAliasRec&, resources::TMaillistRecs&) override { return 0; }
  bool GetCompany(resources::TCompanyRec&) override { return false; }
  bool GetAccount(resources::TAccountRec& rec) override {
    if (rec.name != "joe1") return false;
    rec.no = 1;
    rec.pass = "pw";
    return true;
  }
  int ListMessages(int, resources::TMailDropRecs& list) override {
    list.push_back(resources::TMailDropRec{"missing1", 10, 7, false});
    list.push_back(resources::TMailDropRec{"missing2", 20, 9, false});
    return 30;
  }
  bool DeleteMarked(const resources::TMailDropRecs&) override { return true; }
  int AddMessage(int, const resources::TMailDropRec&) override { return 1; }
};

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
  environment.now = [] { return 46000.5; };
  environment.openDirectory = [] {
    return std::unique_ptr<mail::TMailDirectory>(std::make_unique<TOneAccountDirectory>());
  };
  environment.limits.pop3CommandLine = 64;
  // Failed logins are not slowed here: the delay would only stall the fuzzer.
  static const auto throttle = std::make_shared<mail::TLoginThrottle>(mail::TLoginThrottle::TSettings{0, 0});
  mail::TPOP3Server server(environment, throttle);
  const size_t round = (data[0] & 0x3F) + 1;
  std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string script;
  if ((data[0] & 0x80) != 0) script = "USER joe1\r\nPASS pw\r\n";
  script.append(input);
  input = script;
  while (!input.empty() && !server.CloseRequested()) {
    const std::string_view piece = input.substr(0, round);
    input.remove_prefix(piece.size());
    server.Output().Clear();
    server.Input().Clear();
    server.Input().AddText(piece);
    if (!server.Run()) break;
    const std::string_view out = server.Output().View();
    if (!out.empty() && out.substr(0, 3) != "+OK" && out.substr(0, 4) != "-ERR") std::abort();
    if (!out.empty() && out.substr(out.size() - 2) != "\r\n") std::abort();
  }
  return 0;
}
