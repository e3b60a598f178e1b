// Runs the web application over in-memory tables: a configuration of its own in a temporary
// folder, a fixed page template and log, and requests answered by a THTTPSystem as the
// connection would (an exception goes to the exception page). Also compares pages with the
// golden files kept beside this header (TM_UPDATE_GOLDEN=1 writes them instead).
//
// The requests come as from a browser on this host (127.0.0.1) that keeps the session cookie
// "tmid" it is given and sends it back; a POST carries the session's form token, as the
// pages' own forms do, unless sendToken is off.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/system_parameters.h"
#include "support/web_memory_table.h"
#include "web/http/http_system.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web::testing {

// "<h1>#description</h1>" and "#content" only, so a page's golden shows its own HTML.
extern const char* const kPlainTemplate;

class WebAppTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // One request on a fresh session: "GET /path?query" (HTTP/1.1 is added), headers, body.
  THTTPSession& Request(const std::string& methodAndURI, const std::string& body = "",
                        const std::string& headers = "");
  std::string Body() { return system->Session().Response.GetContentText(); }
  // The body between "<div>" and "</div>" of the plain template.
  std::string Content();
  // EXPECTs the text equal to the golden file name (or writes it).
  void ExpectGolden(const std::string& name, const std::string& text);

  std::unique_ptr<TWebTestTables> tables;
  std::unique_ptr<core::TSystemParameters> parameters;
  std::string folder;
  std::string pageTemplate;
  std::vector<std::string> logLines;
  std::unique_ptr<THTTPSystem> system;
  std::string exceptionText;  // what reached the exception page, "" when none

  // The browser's session: its cookie ("" when it has none) and the form token of the session
  // it names (one is started when there is none).
  std::string Token();
  std::shared_ptr<TSessionSystem> sessions;
  std::string cookie;
  bool sendToken = true;
};

}  // namespace tovenmarsh::web::testing
