// Fuzz target for the HTTP connection object: arbitrary bytes, split into read rounds of a size
// the input chooses, go through framing, access control (Basic credentials and cookies against
// a small account list) and dispatch. Besides never crashing it checks that every response
// starts with a status line, that every session cookie set is HttpOnly and SameSite=Strict and
// holds a session id (never credentials), that the output stays bounded by the limits, and
// that splitting the bytes differently changes nothing in what is answered (dates aside).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/manager_thread.h"
#include "core/sockets.h"
#include "web/http/http_server.h"
#include "web/http/login_session.h"

namespace {

using namespace tovenmarsh;
using namespace tovenmarsh::web;

void Check(bool condition) {
  if (!condition) std::abort();
}

void SetUpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  core::StartSockets();
  RegisterAction("/", hmAny, "", 0, [](THTTPSession& s, int&) { s.Response.SetContentText("frame"); });
  RegisterAction("/admin/page", hmGET, "7", 1, [](THTTPSession& s, int&) { s.Response.SetContentText("admin"); });
  RegisterAction("/boom", hmAny, "", 1, [](THTTPSession&, int&) { throw std::runtime_error("<boom>"); });
  RegisterAction("/post", hmPOST, "", 1, [](THTTPSession& s, int& stop) {
    s.Response.SetContentText(s.GetPostValue("a"));
    stop = 1;
  });
  RegisterProtectedArea("/admin", "tovenmarsh", 5);
  RegisterProtectedArea("/", "tovenmarsh", 0);
}

// Date values change with the clock, and session ids are random: both are blanked before
// outputs are compared.
std::string WithoutDates(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    end = end == std::string::npos ? text.size() : end + 2;
    std::string line = text.substr(at, end - at);
    for (const char* name : {"Date: ", "Last-Modified: ", "Expires: "}) {
      if (line.rfind(name, 0) == 0) line = name;
    }
    const size_t expires = line.find("; Expires=");
    if (expires != std::string::npos) line = line.substr(0, expires);
    if (line.rfind("Set-Cookie: ", 0) == 0) {
      const size_t value = line.find('=');
      const size_t end = line.find_first_of(";\r", value);
      if (value != std::string::npos) line.replace(value + 1, end == std::string::npos ? end : end - value - 1, "");
    }
    out += line;
    at = end;
  }
  return out;
}

// A fresh session list per feed, so that both feeds start from the same state.
void FreshSessions() {
  InstallSessionList(std::make_shared<TSessionSystem>([](resources::TAccountRec& rec) {
    if (rec.name.find('1') == std::string::npos) return false;
    rec.pass = "pw";
    rec.level = 5;
    return true;
  }));
}

// Every session cookie the server sets is kept from scripts and other sites, and names a session
// (32 hexadecimal digits) or clears one (empty): it never carries credentials.
void CheckCookies(const std::string& out) {
  for (size_t at = out.find("Set-Cookie: "); at != std::string::npos; at = out.find("Set-Cookie: ", at + 1)) {
    const size_t end = out.find("\r\n", at);
    const std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    Check(line.find("; HttpOnly") != std::string::npos && line.find("; SameSite=Strict") != std::string::npos);
    Check(line.rfind("Set-Cookie: tmid=", 0) == 0);
    const size_t start = std::string("Set-Cookie: tmid=").size();
    const size_t stop = line.find(';', start);
    const std::string value = line.substr(start, stop - start);
    Check(value.empty() || (value.size() == 32 && value.find_first_not_of("0123456789abcdef") == std::string::npos));
  }
}

std::string Feed(const std::string& data, size_t chunk, bool& closed) {
  FreshSessions();
  THTTPLimits limits;
  limits.requestLine = 256;
  limits.headerBlock = 1024;
  limits.body = 512;
  THTTPServer server(limits);
  std::string out;
  for (size_t at = 0; at < data.size() && !server.CloseRequested(); at += chunk) {
    server.Input().Clear();
    server.Input().AddText(std::string_view(data).substr(at, chunk));
    server.Run();
    const std::string round = server.Output().GetText();
    Check(round.empty() || round.rfind("HTTP/1.1 ", 0) == 0);
    CheckCookies(round);
    out += round;
    server.Output().Clear();
  }
  closed = server.CloseRequested();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  if (size == 0) return 0;
  const size_t chunk = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool closedWhole = false, closedSplit = false;
  const std::string whole = Feed(bytes, bytes.size() + 1, closedWhole);
  const std::string split = Feed(bytes, chunk, closedSplit);
  Check(WithoutDates(whole) == WithoutDates(split));
  Check(closedWhole == closedSplit);
  // Each response is at most a few KiB: bounded by what its request may hold, not by input.
  Check(whole.size() <= 4096 * (bytes.size() / 4 + 1));
  return 0;
}
