// The system pages: the configuration form and its update, the database pool form and its
// update, the connection statistics and the log viewer.
//
// Contract: the updates store the submitted texts under their configuration keys (control
// characters removed, so no value can add a line to the configuration file), save the file and
// redirect to the site root; the pool update stores each size as the pool will use it (Max
// 1..256, Min 1..Max; a size that is not a number keeps the current one). The configuration
// update swaps the protected areas for those of the saved settings at once.
#pragma once

#include "web/http/http_session.h"

namespace tovenmarsh::web {

void ConfigFormPage(THTTPSession& session);      // 101
void ConfigUpdatePage(THTTPSession& session);    // 102
void PoolFormPage(THTTPSession& session);        // 111
void PoolUpdatePage(THTTPSession& session);      // 112
void StatisticsPage(THTTPSession& session);      // 120
void LogFilePage(THTTPSession& session);         // 130

}  // namespace tovenmarsh::web
