// Taking an HTTP request line apart: method, URI, version, host, the dotted prefix, the request
// path, the folder and file it names inside the web folder, and the raw query text.
//
// Contract: the path is percent-decoded once and made canonical ("." and empty segments
// dropped, ".." resolved, always starting with "/"); a path that would leave the web folder,
// or that holds a NUL or a backslash, raises ERequestRefused, and a "%" in the path without
// two hexadecimal digits raises EURLDecodeError, so no refused request ever reaches the file
// system. The query text is kept raw: its names and values are decoded one by one
// (web_params.h).
#pragma once

#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tovenmarsh::web {

using platform::Exception;
TM_DECLARE_EXCEPTION(ERequestRefused, Exception);

// Method codes; 0 stands for any method in the action registry.
enum THTTPMethod : int {
  hmAny = 0, hmGET = 1, hmPUT = 2, hmPOST = 3, hmHEAD = 4, hmDELETE = 5, hmTRACE = 6, hmOPTIONS = 7
};

// The code of a method name, ignoring case; 0 when unknown.
int MethodCode(std::string_view name);

// Resolves "." and ".." segments and collapses empty ones, keeping a leading and a trailing
// "/". False when a ".." would climb above the start of the path.
bool CanonicalPath(std::string_view path, std::string& result);

// The parts of one request line, with the defaults a reset session has.
struct TRequestLine {
  std::string Line;
  int MethodCode = hmGET;
  std::string MethodText;
  std::string URI;  // as received, not decoded
  std::string VersionText;
  int MajorVersion = 1;
  int MinorVersion = 1;
  bool KeepAlive = true;
  std::string Host;
  std::string DottedPrefix;
  std::string DirectoryPath;  // "\"-separated, with a trailing "\"
  std::string FileName;
  std::string QueryText;      // raw, not decoded
  std::string RequestPath;    // decoded and canonical, "/"-separated
  std::string WebDirectory;   // web folder + directory path, "/"-separated
};

// Parses line (CR LF at its end allowed); webFolder ends in a delimiter.
TRequestLine ParseRequestLineParts(std::string_view line, const std::string& webFolder);

}  // namespace tovenmarsh::web
