// The HTTP connection: request framing and response writing (see http_server.h).
#include "web/http_server.h"

#include <algorithm>
#include <memory>

#include "core/system_parameters.h"
#include "mail/mime_types.h"
#include "web/html_text.h"
#include "web/request_line.h"

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

THTTPServer::THTTPServer(THTTPLimits limits) : limits_(limits) {
  SetKind(core::ckHTTP);
  ReadSpec().terminator.clear();
  ReadSpec().count = 0;
  ReadSpec().maximum = limits_.readRound;
  Timeouts().firstReadWait = 5;
}

void THTTPServer::WriteStatusLine(int index, bool withReason, std::string_view detail) {
  Output().AddText(StatusLineText(index, withReason, detail));
}

bool THTTPServer::Execute() {
  const std::string_view input = Input().View();
  answered_ = Output().Length();
  size_t i = 0;
  while (i < input.size() && !CloseRequested()) {
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
      if (remaining_ <= 0) WriteResponse();
      continue;
    }
    const char c = input[i++];
    if (c == '\r' || c == '\n') {
      ++lineEnds_;
    } else {
      lineEnds_ = 0;
    }
    if (state_ == stRequestLine) {
      if (lineEnds_ == 2 && !text_.empty()) {
        if (!RequestLineDone()) break;
      } else if (lineEnds_ == 0) {
        if (text_.size() >= limits_.requestLine) {
          Refuse(30);  // Request-URI Too Large
          break;
        }
        text_ += c;
      }
    } else {
      if (lineEnds_ == 4) {
        if (!HeadersDone()) break;
      } else if (lineEnds_ <= 2) {
        if (text_.size() >= limits_.headerBlock) {
          Refuse(kStatusBadRequest);
          break;
        }
        text_ += c;
      }
    }
  }
  return true;
}

bool THTTPServer::RequestLineDone() {
  Session().Reset();
  const std::string line = text_ + "\r\n";
  text_.clear();
  try {
    Session().ParseRequestLine(line);
  } catch (const ERequestRefused&) {
    Refuse(kStatusForbidden);
    return false;
  }
  state_ = stHeaders;
  return true;
}

bool THTTPServer::HeadersDone() {
  THTTPMessage& request = Session().Request;
  request.SetHeaderText(text_);
  text_.clear();
  if (!request.GetHeaderByName("Transfer-Encoding").empty()) {
    Refuse(33);  // Not Implemented
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
    Refuse(29);  // Request Entity Too Large
    return false;
  }
  remaining_ = length;
  if (remaining_ < 1) {
    WriteResponse();
  } else {
    state_ = stBody;
  }
  return true;
}

void THTTPServer::WriteResponse() {
  THTTPSession& s = Session();
  system_.Execute();
  if (s.StatusIndex >= kFirstErrorStatus) {
    s.Response.SetContentText(ErrorPage(s.StatusIndex, s.StatusDetail));
    s.Response.SetHeader(hhContentType, "text/html");
  }
  // Without a length a keep-alive client could only wait for the connection to close.
  if (!s.Response.HasBody() && s.Response.GetHeaderByName("Content-Length").empty()) {
    s.Response.SetIntHeader(hiContentLength, 0);
  }
  WriteStatusLine(s.StatusIndex, true, s.StatusDetail);
  Output().AddText(s.Response.GetHeaderText());
  Output().AddText("\r\n");
  if (s.MethodCode != hmHEAD && s.Response.HasBody()) Output().AddStream(s.Response.BodyStream());
  answered_ = Output().Length();
  state_ = stRequestLine;
  SetClose(!s.KeepAlive);
}

void THTTPServer::Refuse(int statusIndex) {
  THTTPSession& s = Session();
  s.Response.Clear();
  s.Response.SetHeader(hhServer, ServerHeaderText());
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
  SetClose(true);
}

bool THTTPServer::HandleException(const std::exception& e) {
  THTTPSession& s = Session();
  const std::string earlier = Output().GetText().substr(0, std::min(answered_, Output().Length()));
  Output().Clear();
  Output().AddText(earlier);
  s.Response.Clear();
  const platform::TDateTime now = UTCNow();
  s.Response.SetHeader(hhServer, ServerHeaderText());
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
    s.Response.SetContentText(ErrorPage(kStatusInternalError, e.what()));
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
  SetClose(true);
  return false;
}

core::TTCPServerClass HTTPServerClass() {
  return core::ClassRef<core::TTCPServer, THTTPServer>();
}

}  // namespace tovenmarsh::web
