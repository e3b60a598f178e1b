// The read-only system pages: the thread and connection counters and the log viewer, which
// shows the log newest first, 12 lines a page.
// Implements StatisticsPage and LogFilePage of web/app/web_pages_system.h.
#include <algorithm>
#include <cstdint>

#include "core/str_utils.h"
#include "platform/string_list.h"
#include "web/html/html_text.h"
#include "web/app/web_app.h"
#include "web/app/web_pages_system.h"
#include "web/app/web_table.h"

namespace tovenmarsh::web {

void StatisticsPage(THTTPSession& session) {
  core::TSystemParameters& parameters = AppParameters();
  struct TRow {
    const char* caption;
    int current;
    int peak;
  };
  const TRow rows[] = {
      {"Threads :", parameters.ThreadCount(), parameters.ThreadPeak()},
      {"HTTP    :", parameters.ConnectionCount(core::ckHTTP),
       parameters.ConnectionPeak(core::ckHTTP)},
      {"SMTP    :", parameters.ConnectionCount(core::ckSMTP),
       parameters.ConnectionPeak(core::ckSMTP)},
      {"POP3    :", parameters.ConnectionCount(core::ckPOP3),
       parameters.ConnectionPeak(core::ckPOP3)},
      {"POPMail :", parameters.ConnectionCount(core::ckPOPMail),
       parameters.ConnectionPeak(core::ckPOPMail)},
      {"Relay   :", parameters.ConnectionCount(core::ckRelay),
       parameters.ConnectionPeak(core::ckRelay)},
  };
  TWebTable table;
  table.Attributes = &OverviewAttributes();
  table.SetSize(3, 6);
  table.Column(1).Caption = "Current level";
  table.Column(2).Caption = "Peak level";
  for (int i = 0; i < 6; ++i) {
    table.Cell(0, i).Text = rows[i].caption;
    table.Cell(1, i).Text = core::IntToText(rows[i].current);
    table.Cell(2, i).Text = core::IntToText(rows[i].peak);
  }
  ReplaceInBody(session, "#content", table.GetHTML());
}

void LogFilePage(THTTPSession& session) {
  platform::TStringList lines;
  AppReadLog(lines);
  const int count = lines.Count();
  const int offset = std::max(0, core::TextToInt(session.GetQueryValue("ls")));
  std::vector<std::string> shown;
  for (int i = count - offset - 1; i >= 0 && static_cast<int>(shown.size()) < kListPageRows;
       --i) {
    shown.push_back(lines[i]);
  }
  TWebTable table;
  table.Attributes = &OverviewAttributes();
  table.SetSize(1, static_cast<int>(shown.size()));
  for (size_t i = 0; i < shown.size(); ++i) {
    TWebCell& cell = table.Cell(0, static_cast<int>(i));
    cell.Text = "<font SIZE=\"-1\">" + TextToHTML(shown[i]) + "</font>";
    cell.Markup = true;
  }
  if (offset > 0) {
    table.AddLink("Prev", "Prev",
                  SameURLLink(session, {"ls"},
                              {core::IntToText(std::max(0, offset - kListPageRows))}, false));
  }
  // In 64 bits: the offset comes from the query and may be as large as an int holds.
  if (static_cast<int64_t>(count) - offset - kListPageRows > 0) {
    table.AddLink("Next", "Next",
                  SameURLLink(session, {"ls"}, {core::IntToText(offset + kListPageRows)}, false));
  }
  ReplaceInBody(session, "#content", table.GetHTML());
}

}  // namespace tovenmarsh::web
