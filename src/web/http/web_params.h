// Query-string and form-post parameters (TWebQuery, TWebPostContent).
//
// SetText takes the raw text as it arrived (application/x-www-form-urlencoded): it is split at
// every "&" into parts and each part at its first "=" into name and value, and only then are
// name and value decoded, each exactly once. So "%26" and "%3D" inside a value stay data,
// "100%25" reads 100% and "c%2B%2B" reads c++. Raw CR and LF (a client's line end after a post
// body) are dropped before splitting; empty parts are skipped. A part without "=" is a name
// with an empty value.
//
// A text of more than kMaxWebParameters parts is refused whole (SetText answers false and keeps
// nothing): an 8 MiB form of "a&a&..." would otherwise become millions of entries.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovenmarsh::web {

constexpr int kMaxWebParameters = 10000;

class TWebParameters {
 public:
  // False, with no parameters kept, when the text holds more than kMaxWebParameters parts.
  bool SetText(std::string_view raw);
  // The value of the first parameter named name (ignoring ASCII case); "" when none.
  std::string GetValue(std::string_view name) const;

  int Count() const { return static_cast<int>(items_.size()); }
  const std::pair<std::string, std::string>& Item(int index) const {
    return items_.at(static_cast<size_t>(index));
  }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> items_;
};

// Parameters of the request's query string.
class TWebQuery : public TWebParameters {};

// Parameters of a posted form body.
class TWebPostContent : public TWebParameters {};

}  // namespace tovenmarsh::web
