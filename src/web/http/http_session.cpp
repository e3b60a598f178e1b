// THTTPSession (see http_session.h).
#include "web/http/http_session.h"

#include "core/system_parameters.h"

namespace tovenmarsh::web {

void THTTPSession::ParseRequestLine(std::string_view line) {
  ParseRequestLine(line, core::SystemParameters().WebFolder());
}

void THTTPSession::ParseRequestLine(std::string_view line, const std::string& webFolder) {
  TRequestLine parts = ParseRequestLineParts(line, webFolder);
  RequestLine = std::move(parts.Line);
  MethodCode = parts.MethodCode;
  MethodText = std::move(parts.MethodText);
  URI = std::move(parts.URI);
  VersionText = std::move(parts.VersionText);
  MajorVersion = parts.MajorVersion;
  MinorVersion = parts.MinorVersion;
  KeepAlive = parts.KeepAlive;
  Host = std::move(parts.Host);
  DottedPrefix = std::move(parts.DottedPrefix);
  DirectoryPath = std::move(parts.DirectoryPath);
  FileName = std::move(parts.FileName);
  QueryText = std::move(parts.QueryText);
  RequestPath = std::move(parts.RequestPath);
  WebDirectory = std::move(parts.WebDirectory);
}

void THTTPSession::Reset() {
  Request.Clear();
  Response.Clear();
  StatusIndex = kStatusOK;
  StatusDetail.clear();
  ErrorText.clear();
  RedirectURL.clear();
  VersionText.clear();
  RequestLine.clear();
  MethodCode = hmGET;
  MethodText.clear();
  URI.clear();
  Host.clear();
  DottedPrefix.clear();
  DirectoryPath.clear();
  FileName.clear();
  QueryText.clear();
  RequestPath.clear();
  WebDirectory.clear();
  // Parameters belong to the request they were parsed from.
  if (postContent_) postContent_->Clear();
  if (query_) query_->Clear();
}

std::string THTTPSession::GetQueryValue(std::string_view name) const {
  return query_ ? query_->GetValue(name) : std::string();
}

std::string THTTPSession::GetPostValue(std::string_view name) const {
  return postContent_ ? postContent_->GetValue(name) : std::string();
}

TWebPostContent& THTTPSession::PostContent() {
  if (!postContent_) postContent_ = std::make_unique<TWebPostContent>();
  return *postContent_;
}

TWebQuery& THTTPSession::Query() {
  if (!query_) query_ = std::make_unique<TWebQuery>();
  return *query_;
}

}  // namespace tovenmarsh::web
