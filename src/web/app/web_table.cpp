// TWebTable (see web_table.h).
#include "web/app/web_table.h"

#include <algorithm>
#include <stdexcept>

#include "core/str_utils.h"
#include "platform/format.h"
#include "web/html/html_link.h"
#include "web/html/html_text.h"

namespace tovenmarsh::web {

namespace {

const char kRule[] = "<hr noshade size=\"1\" color=\"#000000\">";

}  // namespace

void TWebTable::SetSize(int columns, int rows) {
  columns = std::max(columns, 0);
  rows_ = std::max(rows, 0);
  columns_.assign(static_cast<size_t>(columns), TWebColumn());
  cells_.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows_), TWebCell());
}

TWebCell& TWebTable::Cell(int column, int row) {
  if (column < 0 || column >= ColumnCount() || row < 0 || row >= rows_) {
    throw std::out_of_range("TWebTable cell out of range");
  }
  return cells_[static_cast<size_t>(row) * columns_.size() + static_cast<size_t>(column)];
}

void TWebTable::AddLink(const std::string& name, const std::string& value, const std::string& url) {
  links_.push_back(TWebButton{name, value, url});
}

void TWebTable::Clear() {
  columns_.clear();
  cells_.clear();
  rows_ = 0;
  links_.clear();
  HeaderRow = true;
  ShownRows = -1;
  Caption.clear();
}

const char* TWebTable::Attribute(int index) const {
  if (Attributes == nullptr || index < 0 || index >= kWebAttributeCount) return "";
  const char* attribute = (*Attributes)[static_cast<size_t>(index)];
  return attribute == nullptr ? "" : attribute;
}

std::string TWebTable::CellHTML(const TWebCell& cell) const {
  const std::string name = HTMLAttribute(cell.Name);
  switch (cell.Kind) {
    case wkImage:
      return "<img type=\"image\" name=\"" + name + "\" src=\"" + HTMLAttribute(cell.Text) +
             "\" border=0 width=\"" + core::IntToText(cell.Size) + "\" height=\"" +
             core::IntToText(cell.Rows) + "\">";
    case wkTextInput:
    case wkPassword:
      return std::string("<input type=\"") + (cell.Kind == wkPassword ? "password" : "text") +
             "\" name=\"" + name + "\" value=\"" + HTMLAttribute(cell.Text) + "\" size=\"" +
             core::IntToText(cell.Size) + "\" " + Attribute(waFormField) + ">";
    case wkTextArea:
      // Line breaks as references: the text area shows them, and the value survives the
      // form round trip unchanged.
      return "<textarea name=\"" + name + "\" rows=\"" + core::IntToText(cell.Rows) +
             "\" cols=\"" + core::IntToText(cell.Size) + "\" " + Attribute(waFormField) + ">" +
             HTMLAttribute(cell.Text) + "</textarea>";
    case wkCheckbox: {
      const bool checked = cell.Checked || core::TextToBool(cell.Text);
      return std::string("<input type=\"checkbox\" ") + (checked ? "checked " : "") +
             Attribute(waFormField) + " name=\"" + name + "\"" +
             (cell.Text.empty() ? "" : " value=\"ON\"") + ">";
    }
    case wkRadio:
      return std::string("<input type=\"radio\" ") + Attribute(waFormField) + " name=\"" + name +
             "\" value=\"" + HTMLAttribute(cell.Text) + "\"" + (cell.Checked ? " checked" : "") +
             ">";
    default:
      return cell.Markup ? MakeLinkHTML(cell.Text, cell.Link) : MakeLink(cell.Text, cell.Link);
  }
}

std::string TWebTable::GetHTML() const {
  std::string html = "\r\n";

  std::vector<int> widths;
  int left = 100;
  for (size_t i = 0; i < columns_.size(); ++i) {
    const int width = std::max(columns_[i].Width, 0);
    const int remaining = static_cast<int>(columns_.size() - i);
    const int taken = width == 0 ? left / remaining : std::min(width, left);
    widths.push_back(taken);
    left -= taken;
  }

  if (!Caption.empty()) {
    html += "<table WIDTH=\"100%\" border=\"0\">\r\n<tr>\r\n"
            "<td ALIGN=\"center\" class=\"HeaderTextStyle\">\r\n<p ALIGN=\"left\">\r\n" +
            TextToHTML(Caption) + "\r\n</p></td>\r\n</table>";
  }
  html += kRule;
  html += platform::Format("<table %s>%s", Attribute(waTable), "\r\n");

  if (HeaderRow) {
    html += "<tr>";
    for (size_t i = 0; i < columns_.size(); ++i) {
      html += platform::Format("<td width=\"%d%%\" %s>", widths[i], Attribute(waHeaderCell)) +
              MakeLink(columns_[i].Caption, columns_[i].Link) + "</td>";
    }
    html += "</tr>";
  }

  const int shown = ShownRows >= 0 && ShownRows <= rows_ ? ShownRows : rows_;
  for (int row = 0; row < shown; ++row) {
    html += "<tr>";
    const char* attribute = Attribute(row % 2 == 0 ? waEvenCell : waOddCell);
    for (size_t column = 0; column < columns_.size(); ++column) {
      const TWebCell& cell = cells_[static_cast<size_t>(row) * columns_.size() + column];
      html += platform::Format("<td width=\"%d%%\" %s>", widths[column], attribute) +
              CellHTML(cell) + "</td>";
    }
    html += "</tr>";
  }

  html += "</table>";
  html += kRule;
  if (!links_.empty()) {
    TWebButtonBar bar(static_cast<int>(links_.size()));
    for (size_t i = 0; i < links_.size(); ++i) bar.Button(static_cast<int>(i)) = links_[i];
    html += bar.GetHTML();
  }
  return html;
}

}  // namespace tovenmarsh::web
