// The HTTP connection: request framing and response writing (see http_server.h).
#include "web/http/http_server.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "core/system_parameters.h"
#include "core/worker_threads.h"
#include "mail/message/mime_types.h"
#include "web/html/html_text.h"
#include "web/http/request_line.h"

namespace tovenmarsh::web {

namespace {

// A Content-Length value: decimal digits only (blanks around them allowed), no overflow.
bool ParseContentLength(std::string_view text, int64_t& value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// Status indexes of refusals that only the framing answers.
constexpr int kStatusURITooLarge = 30;
constexpr int kStatusNotImplemented = 33;

// The line-end counter only has to tell 1 to 4 apart; it stops there, so no run of blank lines
// can overflow it.
constexpr int kLineEndCap = 4;

// A field name is a token (RFC 7230 3.2.6): no blank, TAB, "=" or other separator.
bool IsTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The header block as framed (lines ending in CR LF): false when a line's name before its
// colon is not a token, or the first line begins with a blank (RFC 7230 3.2.4). Such a name
// would be kept here with its blanks and not be recognised, while another parser in front
// reads "Content-Length : 26" as a length.
bool HeaderNamesValid(std::string_view block) {
  bool first = true;
  while (!block.empty()) {
    const size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 2);
    const bool folded = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (folded && first) return false;
    first = false;
    if (folded) continue;  // continues the header before it
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
      if (!IsTokenChar(line[i])) return false;
    }
  }
  return true;
}

// A request line as HTTP writes it: a method token, one blank, a target of visible ASCII,
// and, unless the client speaks the old version-less form, one blank and "HTTP/" followed by
// digits and dots. Anything else (binary garbage, blanks or control bytes inside the target,
// a version that is none) cannot be answered sensibly and is refused.
bool RequestLineWellFormed(std::string_view line) {
  const size_t first = line.find(' ');
  if (first == std::string_view::npos || first == 0) return false;
  for (size_t i = 0; i < first; ++i) {
    if (!IsTokenChar(line[i])) return false;
  }
  const size_t second = std::min(line.find(' ', first + 1), line.size());
  if (second == first + 1) return false;
  for (size_t i = first + 1; i < second; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  if (second == line.size()) return true;
  const std::string_view version = line.substr(second + 1);
  return version.size() > 5 && version.substr(0, 5) == "HTTP/" &&
         version.find_first_not_of("0123456789.", 5) == std::string_view::npos;
}

// Whether bytes of a further request follow position at (stray line ends do not count).
bool MoreRequests(std::string_view input, size_t at) {
  return input.find_first_not_of("\r\n", at) != std::string_view::npos;
}

}  // namespace

std::string StatusLineText(int index, bool withReason, std::string_view detail) {
  std::string line;
  if (index > 0) line = "HTTP/1.1 " + std::to_string(StatusCode(index));
  if (withReason) {
    line += ' ';
    line += StatusReason(index);
  }
  if (!detail.empty()) {
    if (index > 0) line += ' ';
    // The detail must stay on the status line.
    for (char c : detail) line += (c == '\r' || c == '\n') ? ' ' : c;
  }
  line += "\r\n";
  return line;
}

std::string ErrorPage(int index, std::string_view detail) {
  const std::string reason = StatusReason(index);
  return "<HTML><HEAD><TITLE>HTTP" + std::to_string(StatusCode(index)) + " " + reason +
         "</TITLE></HEAD><BODY><H1>" + reason + "</H1><BR><H3>" + HTMLEscape(detail) +
         "</H3></BODY></HTML>";
}

THTTPServer::THTTPServer(THTTPLimits limits) : THTTPServer(InstallationHTTPEnvironment(), std::move(limits)) {}

THTTPServer::THTTPServer(THTTPEnvironment environment, THTTPLimits limits)
    : system_(std::move(environment)), limits_(std::move(limits)) {
  SetKind(core::ckHTTP);
  ReadSpec().terminator.clear();
  ReadSpec().count = 0;
  ReadSpec().maximum = limits_.readRound;
  Timeouts().firstReadWait = kHTTPReadWait;
}

void THTTPServer::WriteStatusLine(int index, bool withReason, std::string_view detail) {
  Output().AddText(StatusLineText(index, withReason, detail));
}

bool THTTPServer::Execute() {
  Session().ClientAddress = ConnectionInfo().peerAddress;
  const std::string_view input = Input().View();
  answered_ = Output().Length();
  if (input.empty()) return true;
  const std::chrono::steady_clock::time_point now = limits_.clock();
  if (timing_ && now - started_ > (state_ == stBody ? limits_.requestTime : limits_.headTime)) {
    Refuse(kStatusRequestTimeout);
    return true;
  }
  size_t i = 0;
  while (i < input.size() && !CloseRequested()) {
    if (!timing_) {
      timing_ = true;
      started_ = now;
    }
    if (state_ == stBody) {
      const size_t take = static_cast<size_t>(
          std::min<int64_t>(remaining_, static_cast<int64_t>(input.size() - i)));
      try {
        Session().Request.AppendBody(input.data() + i, take);
        remaining_ -= static_cast<int64_t>(take);
      } catch (const std::exception&) {
        remaining_ = 0;
      }
      i += take;
      if (remaining_ <= 0) WriteResponse(MoreRequests(input, i));
      continue;
    }
    const char c = input[i++];
    // Lines end in CR LF only: a lone CR or LF is a line end to some parsers and not to others.
    if ((c == '\n') != (previous_ == '\r')) {
      Refuse(kStatusBadRequest);
      break;
    }
    previous_ = c;
    if (c == '\r' || c == '\n') {
      if (lineEnds_ < kLineEndCap) ++lineEnds_;
    } else {
      lineEnds_ = 0;
    }
    if (state_ == stRequestLine) {
      if (lineEnds_ == 2 && !text_.empty()) {
        if (!RequestLineDone()) break;
      } else if (lineEnds_ == 0) {
        if (text_.size() >= limits_.requestLine) {
          Refuse(kStatusURITooLarge);
          break;
        }
        text_ += c;
      }
    } else {
      if (lineEnds_ == 4) {
        if (!HeadersDone(MoreRequests(input, i))) break;
      } else if (lineEnds_ <= 2) {
        if (text_.size() >= limits_.headerBlock) {
          Refuse(kStatusBadRequest);
          break;
        }
        text_ += c;
      }
    }
  }
  // A head still incomplete may wait for its next bytes only as long as its time allows.
  int wait = kHTTPReadWait;
  if (timing_ && state_ != stBody) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(limits_.headTime - (now - started_)).count();
    wait = static_cast<int>(std::clamp<int64_t>(left, 1, kHTTPReadWait));
  }
  Timeouts().firstReadWait = wait;
  return true;
}

bool THTTPServer::RequestLineDone() {
  Session().Reset();
  if (!RequestLineWellFormed(text_)) {
    Refuse(kStatusBadRequest);
    return false;
  }
  const std::string line = text_ + "\r\n";
  text_.clear();
  try {
    Session().ParseRequestLine(line, system_.Environment().webFolder);
  } catch (const ERequestRefused&) {
    Refuse(kStatusForbidden);
    return false;
  }
  state_ = stHeaders;
  return true;
}

bool THTTPServer::HeadersDone(bool moreRequests) {
  THTTPMessage& request = Session().Request;
  if (!HeaderNamesValid(text_)) {
    Refuse(kStatusBadRequest);
    return false;
  }
  request.SetHeaderText(text_);
  text_.clear();
  if (!request.GetHeaderByName("Transfer-Encoding").empty()) {
    Refuse(kStatusNotImplemented);
    return false;
  }
  // Every Content-Length line must be a plain number, and all must agree: a body framed one
  // way here and another way by a proxy in front would let one request hide inside another.
  int64_t length = 0;
  bool seen = false;
  const platform::TStringList& headers = request.Headers();
  for (int i = 0; i < headers.Count(); ++i) {
    if (!mail::SameTextAscii(headers.Names(i), "Content-Length")) continue;
    int64_t value = 0;
    if (!ParseContentLength(headers.ValueFromIndex(i), value) || (seen && value != length)) {
      Refuse(kStatusBadRequest);
      return false;
    }
    length = value;
    seen = true;
  }
  if (length > limits_.body) {
    Refuse(kStatusEntityTooLarge);
    return false;
  }
  remaining_ = length;
  if (remaining_ < 1) {
    WriteResponse(moreRequests);
  } else {
    state_ = stBody;
  }
  return true;
}

void THTTPServer::WriteResponse(bool moreRequests) {
  THTTPSession& s = Session();
  system_.Execute();
  if (s.StatusIndex >= kFirstErrorStatus) {
    s.Response.SetContentText(
        ErrorPage(s.StatusIndex, s.ErrorText.empty() ? s.StatusDetail : s.ErrorText));
    s.Response.SetHeader(hhContentType, "text/html");
  }
  // Without a length a keep-alive client could only wait for the connection to close.
  if (!s.Response.HasBody() && s.Response.GetHeaderByName("Content-Length").empty()) {
    s.Response.SetIntHeader(hiContentLength, 0);
  }
  // Nothing is sent before the round ends, so pipelined requests for a large file would each
  // add a copy: the response that reaches the bound is the round's (and connection's) last.
  const size_t body = s.MethodCode != hmHEAD && s.Response.HasBody()
                          ? static_cast<size_t>(s.Response.BodyStream().Size())
                          : 0;
  if (moreRequests && Output().Length() + body >= limits_.roundOutput) {
    s.KeepAlive = false;
    s.Response.SetHeader(hhConnection, "close");
  }
  WriteStatusLine(s.StatusIndex, true, s.StatusDetail);
  Output().AddText(s.Response.GetHeaderText());
  Output().AddText("\r\n");
  if (s.MethodCode != hmHEAD && s.Response.HasBody()) Output().AddStream(s.Response.BodyStream());
  answered_ = Output().Length();
  state_ = stRequestLine;
  timing_ = false;
  SetClose(!s.KeepAlive);
}

void THTTPServer::Refuse(int statusIndex) {
  THTTPSession& s = Session();
  s.Response.Clear();
  s.Response.SetHeader(hhServer, system_.Environment().serverHeader);
  s.Response.SetDateHeader(hdDate, UTCNow());
  s.Response.SetHeader(hhConnection, "close");
  s.Response.SetHeader(hhContentType, "text/html");
  s.Response.SetContentText(ErrorPage(statusIndex, ""));
  WriteStatusLine(statusIndex, true, "");
  Output().AddText(s.Response.GetHeaderText());
  Output().AddText("\r\n");
  Output().AddStream(s.Response.BodyStream());
  text_.clear();
  state_ = stRequestLine;
  timing_ = false;
  SetClose(true);
}

bool THTTPServer::HandleException(const std::exception& e) {
  THTTPSession& s = Session();
  const std::string earlier = Output().GetText().substr(0, std::min(answered_, Output().Length()));
  Output().Clear();
  Output().AddText(earlier);
  s.Response.Clear();
  const platform::TDateTime now = UTCNow();
  s.Response.SetHeader(hhServer, system_.Environment().serverHeader);
  s.Response.SetDateHeader(hdDate, now);
  s.Response.SetDateHeader(hdLastModified, now);
  s.Response.SetDateHeader(hdExpires, now);
  s.Response.SetHeader(hhCacheControl, "no-cache");
  s.Response.SetHeader(hhContentType, "text/html");
  bool filled = false;
  try {
    filled = system_.HandleException(e);
  } catch (const std::exception&) {
    filled = false;
  }
  if (!filled) {
    s.Response.SetContentText(ErrorPage(kStatusInternalError, PublicMessage(e)));
  }
  // The hook may have touched any header: these two hold whatever it did.
  s.Response.SetHeader(hhConnection, "close");
  s.Response.SetHeader(hhContentType, "text/html");
  WriteStatusLine(kStatusOK, true, "");
  Output().AddText(s.Response.GetHeaderText());
  Output().AddText("\r\n");
  if (s.Response.HasBody()) Output().AddStream(s.Response.BodyStream());
  text_.clear();
  state_ = stRequestLine;
  timing_ = false;
  SetClose(true);
  return false;
}

core::TTCPServerClass HTTPServerClass(THTTPEnvironment environment) {
  return core::TTCPServerClass{"THTTPServer", [environment = std::move(environment)] {
                                 return std::unique_ptr<core::TTCPServer>(std::make_unique<THTTPServer>(environment));
                               }};
}

int StartHTTPServer(const std::function<void()>& registerApplication, int port) {
  ClearHTTPRegistries();
  if (registerApplication) registerApplication();
  core::TServerListenThread& listener = core::StartTCPServer(port, HTTPServerClass(InstallationHTTPEnvironment()), 10, 5,
                                                               kHTTPConnectionsPerAddress, true);
  return listener.WaitListening(5000);
}

void StopHTTPServer(const std::function<void()>& freeApplication) {
  if (freeApplication) freeApplication();
  ClearHTTPRegistries();
}

}  // namespace tovenmarsh::web
