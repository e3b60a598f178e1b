// The HTML building blocks: exact markup of a table, a button bar and a form for small
// fixtures, and the same blocks with hostile data, which must leave the markup unchanged.
#include <gtest/gtest.h>

#include <string>

#include "support/web_test_support.h"
#include "web/app/web_button_bar.h"
#include "web/app/web_form.h"
#include "web/app/web_table.h"

namespace tovenmarsh::web {
namespace {

using testing::kHostileValue;
using testing::MarkupSkeleton;

const std::string kRule = "<hr noshade size=\"1\" color=\"#000000\">";

TEST(WebButtonBar, SubmitButtons) {
  TWebButtonBar bar(2);
  bar.Button(0) = {"Perform", "OK", ""};
  bar.Button(1) = {"Perform", "Cancel", ""};
  EXPECT_EQ(bar.GetHTML(),
            "<table border=\"0\" \"align=\"left\">\r\n<tr>\r\n"
            "\r\n<td><input type=\"submit\" value=\"OK\" name=\"Perform\" class=\"ButtonStyle\"></td>"
            "\r\n<td><input type=\"submit\" value=\"Cancel\" name=\"Perform\" class=\"ButtonStyle\"></td>"
            "</tr>\r\n</table>\r\n");
}

TEST(WebButtonBar, LinksWhenTheFirstButtonHasOne) {
  TWebButtonBar bar(2);
  bar.Button(0) = {"Prev", "Prev", "h/list?ls=0&#sameurl"};
  bar.Button(1) = {"Next", "Next", ""};
  EXPECT_EQ(bar.GetHTML(),
            "<table border=\"0\" \"align=\"left\">\r\n<tr>\r\n"
            "\r\n<td class=\"LinkStyle\"><a href=\"http://h/list?ls=0&#sameurl\">Prev</a></td>"
            "\r\n<td class=\"LinkStyle\">Next</td>"
            "</tr>\r\n</table>\r\n");
}

TEST(WebButtonBar, HostileValuesAreInert) {
  TWebButtonBar benign(1), hostile(1);
  benign.Button(0) = {"n", "v", ""};
  hostile.Button(0) = {kHostileValue, kHostileValue, ""};
  EXPECT_EQ(MarkupSkeleton(hostile.GetHTML()), MarkupSkeleton(benign.GetHTML()));
  benign.Button(0).Link = hostile.Button(0).Link = "h/p";
  EXPECT_EQ(MarkupSkeleton(hostile.GetHTML()), MarkupSkeleton(benign.GetHTML()));
}

// Two companies, overview style, caption, header row and a "Next" link.
TWebTable CompanyTable(const std::string& name, const std::string& created) {
  TWebTable table;
  table.SetSize(2, 2);
  table.Attributes = &OverviewAttributes();
  table.Caption = "Companies";
  table.Column(0).Caption = "Name";
  table.Column(1).Caption = "Created";
  table.Cell(0, 0).Text = name;
  table.Cell(0, 0).Link = "h/admin/mail/companies?key=1&comtag=1&#newurl";
  table.Cell(1, 0).Text = created;
  table.Cell(0, 1).Text = "Beta";
  table.Cell(1, 1).Text = "02.01.2026";
  table.AddLink("Next", "Next", "h/admin/mail/companies?ls=12&#sameurl");
  return table;
}

TEST(WebTable, Golden) {
  EXPECT_EQ(
      CompanyTable("Acme", "01.01.2026").GetHTML(),
      "\r\n<table WIDTH=\"100%\" border=\"0\">\r\n<tr>\r\n"
      "<td ALIGN=\"center\" class=\"HeaderTextStyle\">\r\n<p ALIGN=\"left\">\r\nCompanies\r\n"
      "</p></td>\r\n</table>" +
          kRule +
          "<table class=\"OverviewTableStyle\" width=\"100%\">\r\n"
          "<tr><td width=\"50%\" class=\"OverviewHeaderCellStyle\">Name</td>"
          "<td width=\"50%\" class=\"OverviewHeaderCellStyle\">Created</td></tr>"
          "<tr><td width=\"50%\" class=\"OverviewCellEvenStyle\">"
          "<a href=\"http://h/admin/mail/companies?key=1&comtag=1&#newurl\">Acme</a></td>"
          "<td width=\"50%\" class=\"OverviewCellEvenStyle\">01.01.2026</td></tr>"
          "<tr><td width=\"50%\" class=\"OverviewCellOddStyle\">Beta</td>"
          "<td width=\"50%\" class=\"OverviewCellOddStyle\">02.01.2026</td></tr>"
          "</table>" +
          kRule +
          "<table border=\"0\" \"align=\"left\">\r\n<tr>\r\n"
          "\r\n<td class=\"LinkStyle\"><a href=\"http://h/admin/mail/companies?ls=12&#sameurl\">"
          "Next</a></td></tr>\r\n</table>\r\n");
}

TEST(WebTable, NoCaptionNoHeaderNoAttributesShownRows) {
  TWebTable table;
  table.SetSize(1, 3);
  table.HeaderRow = false;
  table.ShownRows = 2;
  for (int row = 0; row < 3; ++row) table.Cell(0, row).Text = "r" + std::to_string(row);
  EXPECT_EQ(table.GetHTML(), "\r\n" + kRule + "<table >\r\n<tr><td width=\"100%\" >r0</td></tr>"
                             "<tr><td width=\"100%\" >r1</td></tr></table>" + kRule);
  for (const int shown : {-1, 3, 4}) {
    table.ShownRows = shown;
    EXPECT_NE(table.GetHTML().find(">r2<"), std::string::npos) << shown;
  }
  table.ShownRows = 0;
  EXPECT_EQ(table.GetHTML().find("<tr>"), std::string::npos);
}

TEST(WebTable, ColumnWidths) {
  struct Case {
    std::vector<int> widths;
    std::string expected;  // the header cells' widths, joined
  } cases[] = {
      {{0, 0, 0}, "33 33 34"}, {{15, 85}, "15 85"}, {{60, 60}, "60 40"},
      {{20, 0, 0}, "20 40 40"}, {{0, 30}, "50 30"}, {{100, 0}, "100 0"},
  };
  for (const auto& c : cases) {
    TWebTable table;
    table.SetSize(static_cast<int>(c.widths.size()), 0);
    for (size_t i = 0; i < c.widths.size(); ++i) table.Column(static_cast<int>(i)).Width = c.widths[i];
    const std::string html = table.GetHTML();
    std::string found;
    for (size_t pos = html.find("width=\""); pos != std::string::npos;
         pos = html.find("width=\"", pos + 1)) {
      const size_t start = pos + 7;
      if (!found.empty()) found += ' ';
      found += html.substr(start, html.find('%', start) - start);
    }
    EXPECT_EQ(found, c.expected);
  }
}

TEST(WebTable, CellKinds) {
  TWebTable table;
  table.SetSize(1, 1);
  table.HeaderRow = false;
  table.Attributes = &FormAttributes();
  TWebCell& cell = table.Cell(0, 0);
  cell.Name = "Field";
  struct Case {
    int kind;
    std::string text;
    bool checked;
    std::string expected;
  } cases[] = {
      {wkImage, "logo.gif", false,
       "<img type=\"image\" name=\"Field\" src=\"logo.gif\" border=0 width=\"30\" height=\"4\">"},
      {wkTextInput, "Acme", false,
       "<input type=\"text\" name=\"Field\" value=\"Acme\" size=\"30\" class=\"FormFieldStyle\">"},
      {wkPassword, "secret", false,
       "<input type=\"password\" name=\"Field\" value=\"secret\" size=\"30\" class=\"FormFieldStyle\">"},
      {wkTextArea, "a\r\nb", false,
       "<textarea name=\"Field\" rows=\"4\" cols=\"30\" class=\"FormFieldStyle\">a&#13;&#10;b</textarea>"},
      {wkCheckbox, "False", false,
       "<input type=\"checkbox\" class=\"FormFieldStyle\" name=\"Field\" value=\"ON\">"},
      {wkCheckbox, "True", false,
       "<input type=\"checkbox\" checked class=\"FormFieldStyle\" name=\"Field\" value=\"ON\">"},
      {wkCheckbox, "", false, "<input type=\"checkbox\" class=\"FormFieldStyle\" name=\"Field\">"},
      {wkCheckbox, "", true,
       "<input type=\"checkbox\" checked class=\"FormFieldStyle\" name=\"Field\">"},
      {wkRadio, "a", true,
       "<input type=\"radio\" class=\"FormFieldStyle\" name=\"Field\" value=\"a\" checked>"},
      {wkRadio, "b", false,
       "<input type=\"radio\" class=\"FormFieldStyle\" name=\"Field\" value=\"b\">"},
      {wkText, "a\r\nb", false, "a<br>b"},
  };
  for (const auto& c : cases) {
    cell.Kind = c.kind;
    cell.Text = c.text;
    cell.Checked = c.checked;
    cell.Size = 30;
    cell.Rows = 4;
    EXPECT_EQ(table.GetHTML(),
              "\r\n" + kRule + "<table class=\"FormTableStyle\" width=\"100%\">\r\n"
              "<tr><td width=\"100%\" class=\"FormCellEvenStyle\" valign=\"top\">" + c.expected +
              "</td></tr></table>" + kRule)
        << c.kind << " " << c.text;
  }
  cell.Kind = wkText;
  cell.Markup = true;
  cell.Text = "<font SIZE=\"-1\">line</font>";
  EXPECT_NE(table.GetHTML().find(">" + cell.Text + "<"), std::string::npos);
}

TEST(WebTable, HostileValuesAreInert) {
  const std::string benign = CompanyTable("Acme", "x").GetHTML();
  TWebTable hostile = CompanyTable(kHostileValue, kHostileValue);
  hostile.Caption = kHostileValue;
  hostile.Column(0).Caption = kHostileValue;
  const std::string html = hostile.GetHTML();
  EXPECT_EQ(html.find("<script"), std::string::npos);
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("#content"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&quot;&gt;"), std::string::npos);
  EXPECT_EQ(MarkupSkeleton(html), MarkupSkeleton(benign));

  // Every input kind keeps the value inside its attribute or element.
  for (const int kind : {wkImage, wkTextInput, wkPassword, wkTextArea, wkCheckbox, wkRadio}) {
    TWebTable a, b;
    for (TWebTable* t : {&a, &b}) {
      t->SetSize(1, 1);
      t->Cell(0, 0).Kind = kind;
    }
    a.Cell(0, 0).Name = a.Cell(0, 0).Text = "x";
    b.Cell(0, 0).Name = b.Cell(0, 0).Text = kHostileValue;
    const std::string hostileHTML = b.GetHTML();
    EXPECT_EQ(MarkupSkeleton(hostileHTML), MarkupSkeleton(a.GetHTML())) << kind;
    EXPECT_EQ(hostileHTML.find("#content"), std::string::npos) << kind;
  }
}

TEST(WebForm, Golden) {
  TWebForm form;
  form.ActionURL = "http://h/admin/mail/companies?key=1&#newurl";
  form.AddField("Name", "Acme", wkTextInput, 40);
  form.AddField("Bounce", "True", wkCheckbox, 0);
  form.AddField("Created", "01.01.2026", wkText, 0);
  form.AddButton("Perform", "OK", "");
  form.AddButton("Perform", "Cancel", "");
  const std::string expected =
      "\r\n<form method=\"POST\" action=\"http://h/admin/mail/companies?key=1&#newurl\">\r\n"
      "<input type=\"hidden\" name=\"token\" value=\"#token\">\r\n"
      "\r\n" + kRule + "<table class=\"FormTableStyle\" width=\"100%\">\r\n"
      "<tr><td width=\"15%\" class=\"FormCellEvenStyle\" valign=\"top\">Name</td>"
      "<td width=\"85%\" class=\"FormCellEvenStyle\" valign=\"top\">"
      "<input type=\"text\" name=\"Name\" value=\"Acme\" size=\"40\" class=\"FormFieldStyle\"></td></tr>"
      "<tr><td width=\"15%\" class=\"FormCellOddStyle\" valign=\"top\">Bounce</td>"
      "<td width=\"85%\" class=\"FormCellOddStyle\" valign=\"top\">"
      "<input type=\"checkbox\" checked class=\"FormFieldStyle\" name=\"Bounce\" value=\"ON\"></td></tr>"
      "<tr><td width=\"15%\" class=\"FormCellEvenStyle\" valign=\"top\">Created</td>"
      "<td width=\"85%\" class=\"FormCellEvenStyle\" valign=\"top\">01.01.2026</td></tr>"
      "</table>" + kRule +
      "<table border=\"0\" \"align=\"left\">\r\n<tr>\r\n"
      "\r\n<td><input type=\"submit\" value=\"OK\" name=\"Perform\" class=\"ButtonStyle\"></td>"
      "\r\n<td><input type=\"submit\" value=\"Cancel\" name=\"Perform\" class=\"ButtonStyle\"></td>"
      "</tr>\r\n</table>\r\n</form>\r\n";
  EXPECT_EQ(form.GetHTML(), expected);
  EXPECT_EQ(form.GetHTML(), expected);  // building twice gives the same form

  form.GetMethod = true;
  EXPECT_EQ(form.GetHTML().rfind("\r\n<form method=\"GET\" action=\"", 0), 0u);
  EXPECT_EQ(form.GetHTML().find("#token"), std::string::npos) << "a GET form changes nothing";
  form.Clear();
  form.ActionURL = "h";
  EXPECT_EQ(form.GetHTML().find("<tr>"), std::string::npos);
}

TEST(WebForm, HostileValuesAreInert) {
  auto build = [](const std::string& value) {
    TWebForm form;
    form.ActionURL = "http://h/p?key=1&#newurl";
    for (const int kind : {wkTextInput, wkPassword, wkTextArea, wkCheckbox}) {
      form.AddField(value, value, kind, 10);
    }
    form.AddField("Content", value == "x" ? "x" : "<b>\"#content\"</b>'", wkText, 0);
    form.AddButton(value, value, "");
    return form.GetHTML();
  };
  const std::string html = build(kHostileValue);
  EXPECT_EQ(MarkupSkeleton(html), MarkupSkeleton(build("x")));
  EXPECT_EQ(html.find("#content"), std::string::npos);
  EXPECT_EQ(html.find("<script"), std::string::npos);
}

}  // namespace
}  // namespace tovenmarsh::web
