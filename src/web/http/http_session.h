// THTTPSession: the exchange in progress on one HTTP connection: the request and response
// messages, the parsed request line, the status to answer with, and the query and post
// parameters (created when first asked for).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "web/http/http_message.h"
#include "web/http/request_line.h"
#include "web/http/web_params.h"

namespace tovenmarsh::web {

class THTTPSession {
 public:
  THTTPSession() { Reset(); }
  THTTPSession(const THTTPSession&) = delete;
  THTTPSession& operator=(const THTTPSession&) = delete;

  // Takes the request line apart (request_line.h); the web directory lies in webFolder. Raises
  // ERequestRefused or EURLDecodeError for a path that must not be served; the session then
  // keeps its reset state (no file name, no web directory).
  void ParseRequestLine(std::string_view line, const std::string& webFolder);
  // The same in the installation's web folder.
  void ParseRequestLine(std::string_view line);
  // Clears both messages and every request field; status 200, method GET.
  void Reset();

  std::string GetQueryValue(std::string_view name) const;
  std::string GetPostValue(std::string_view name) const;
  TWebPostContent& PostContent();
  TWebQuery& Query();
  bool HasQuery() const { return !QueryText.empty(); }

  std::string SessionId;  // of the authenticated login session
  // The client's address as text (the connection's peer); kept across requests.
  std::string ClientAddress;
  // Shown on an error page below its heading (not on the status line); cleared by Reset.
  std::string ErrorText;
  THTTPMessage Request;
  THTTPMessage Response;
  int StatusIndex = kStatusOK;
  std::string StatusDetail;
  std::string RedirectURL;
  bool KeepAlive = true;
  int MajorVersion = 1;
  int MinorVersion = 1;
  std::string VersionText;
  std::string RequestLine;
  int MethodCode = hmGET;
  std::string MethodText;
  std::string URI;
  std::string Host;
  std::string DottedPrefix;
  std::string DirectoryPath;
  std::string FileName;
  std::string QueryText;
  std::string RequestPath;
  std::string WebDirectory;

 private:
  std::unique_ptr<TWebPostContent> postContent_;
  std::unique_ptr<TWebQuery> query_;
};

}  // namespace tovenmarsh::web
