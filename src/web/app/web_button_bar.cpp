// TWebButtonBar (see web_button_bar.h).
#include "web/app/web_button_bar.h"

#include "web/html/html_link.h"
#include "web/html/html_text.h"

namespace tovenmarsh::web {

std::string TWebButtonBar::GetHTML() const {
  std::string html = "<table border=\"0\" \"align=\"left\">\r\n<tr>\r\n";
  const bool links = !buttons_.empty() && !buttons_[0].Link.empty();
  for (const TWebButton& button : buttons_) {
    html += "\r\n";
    if (links) {
      html += "<td class=\"LinkStyle\">" + MakeLink(button.Value, button.Link) + "</td>";
    } else {
      html += "<td><input type=\"submit\" value=\"" + HTMLAttribute(button.Value) + "\" name=\"" +
              HTMLAttribute(button.Name) + "\" class=\"ButtonStyle\"></td>";
    }
  }
  html += "</tr>\r\n</table>\r\n";
  return html;
}

}  // namespace tovenmarsh::web
