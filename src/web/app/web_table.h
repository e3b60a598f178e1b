// TWebTable: an HTML table of columns and rows with an optional caption, header row and a bar
// of links below it.
//
// Cell texts, captions and names are data: they are escaped (texts shown as page text also get
// "<br>" for their line breaks). A cell whose Markup flag is set holds HTML that its caller
// built (escaping any data in it first) and is written as it is.
#pragma once

#include <string>
#include <vector>

#include "web/app/web_button_bar.h"
#include "web/app/web_styles.h"

namespace tovenmarsh::web {

// Cell kinds.
enum TWebCellKind : int {
  wkText = 0,      // text, a link when the cell has one
  wkImage = 1,
  wkTextInput = 2,
  wkPassword = 3,
  wkTextArea = 4,
  wkCheckbox = 5,
  wkRadio = 6,
};

struct TWebColumn {
  std::string Caption;
  std::string Link;
  int Width = 0;  // percent; 0 shares what the other columns leave
};

struct TWebCell {
  std::string Name;
  std::string Text;
  std::string Link;
  int Rows = 0;
  int Size = 0;
  bool Checked = false;
  int Kind = wkText;
  bool Markup = false;
};

class TWebTable {
 public:
  TWebTable() = default;

  // Columns x rows of empty cells (existing ones are dropped).
  void SetSize(int columns, int rows);
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  int RowCount() const { return rows_; }
  TWebColumn& Column(int index) { return columns_.at(static_cast<size_t>(index)); }
  TWebCell& Cell(int column, int row);
  // A link of the bottom bar (a URL made by BuildURL without "http://"; empty for a submit
  // button).
  void AddLink(const std::string& name, const std::string& value, const std::string& url);
  // Back to the state of a new table (the attribute table stays).
  void Clear();

  std::string GetHTML() const;

  bool HeaderRow = true;
  int ShownRows = -1;  // -1: all rows
  std::string Caption;
  const TWebAttributes* Attributes = nullptr;

 private:
  const char* Attribute(int index) const;
  std::string CellHTML(const TWebCell& cell) const;

  std::vector<TWebColumn> columns_;
  int rows_ = 0;
  std::vector<TWebCell> cells_;  // row by row
  std::vector<TWebButton> links_;
};

}  // namespace tovenmarsh::web
