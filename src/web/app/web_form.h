// TWebForm: an HTML form of captioned fields laid out in a two-column table, with its buttons
// (or links) below. Captions and values are raw data: the form escapes them, and a plain
// field shows the value's line breaks as "<br>" itself. The action URL is a link the server
// built (BuildURL), kept as it is apart from quotes and angle brackets. A POST form carries a
// hidden field "token" with the placeholder "#token", which the page's last phase fills.
#pragma once

#include <string>
#include <vector>

#include "web/app/web_table.h"

namespace tovenmarsh::web {

struct TWebFormField {
  std::string Caption;
  std::string Value;
  int Kind = wkText;
  int Width = 0;
};

class TWebForm {
 public:
  TWebForm() = default;

  void AddField(const std::string& caption, const std::string& value, int kind, int width);
  // A submit button (url empty) or a link of the bottom bar.
  void AddButton(const std::string& name, const std::string& value, const std::string& url);
  void Clear();

  std::string GetHTML();

  bool GetMethod = false;  // off: POST
  std::string ActionURL;

 private:
  std::vector<TWebFormField> fields_;
  std::vector<TWebButton> buttons_;
  TWebTable table_;
};

}  // namespace tovenmarsh::web
