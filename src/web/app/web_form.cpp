// TWebForm (see web_form.h).
#include "web/app/web_form.h"

#include "web/html/html_text.h"

namespace tovenmarsh::web {

void TWebForm::AddField(const std::string& caption, const std::string& value, int kind, int width) {
  fields_.push_back(TWebFormField{caption, value, kind, width});
}

void TWebForm::AddButton(const std::string& name, const std::string& value, const std::string& url) {
  buttons_.push_back(TWebButton{name, value, url});
}

void TWebForm::Clear() {
  fields_.clear();
  buttons_.clear();
  table_.Clear();
}

std::string TWebForm::GetHTML() {
  std::string html = "\r\n";
  html += std::string("<form method=\"") + (GetMethod ? "GET" : "POST") + "\" action=\"" +
          LinkAttribute(ActionURL) + "\">\r\n";
  // The page's last phase puts the session's form token here (web_app.h).
  if (!GetMethod) html += "<input type=\"hidden\" name=\"token\" value=\"#token\">\r\n";

  table_.Clear();
  table_.SetSize(2, static_cast<int>(fields_.size()));
  table_.Column(0).Width = 15;
  table_.Column(1).Width = 85;
  table_.HeaderRow = false;
  table_.Attributes = &FormAttributes();
  for (size_t i = 0; i < fields_.size(); ++i) {
    const int row = static_cast<int>(i);
    table_.Cell(0, row).Text = fields_[i].Caption;
    TWebCell& cell = table_.Cell(1, row);
    cell.Name = fields_[i].Caption;
    cell.Text = fields_[i].Value;
    cell.Kind = fields_[i].Kind;
    cell.Size = fields_[i].Width;
  }
  for (const TWebButton& button : buttons_) table_.AddLink(button.Name, button.Value, button.Link);
  html += table_.GetHTML();
  html += "</form>\r\n";
  return html;
}

}  // namespace tovenmarsh::web
