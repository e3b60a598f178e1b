// The program entry: registers the subsystems' start and stop routines at their steps of the
// server's start and stop sequences, then shows the control window, drawn in the terminal when
// there is one, else headless; the process ends when the window closes.
#include <string>
#include <vector>

#include "core/control_window.h"
#include "core/server_control.h"
#include "core/server_steps.h"
#include "core/system_parameters.h"
#include "mail/services/mail_services.h"
#include "platform/allocator_arenas.h"
#include "resources/database_resources.h"
#include "resources/fen_table_access.h"
#include "web/http/http_server.h"
#include "web/http/session_daemon.h"
#include "web/app/web_app.h"
#include "web/app/web_default_files.h"
#include "web/app/text_index.h"
#include "web/app/web_pages_search.h"

namespace {

using namespace tovenmarsh;

void RegisterSubsystems() {
  core::RegisterServerSubsystem(
      {"InitDatabaseResources", core::kStepDatabaseResources, core::kStopDatabaseResources,
       [] {
         // The folder is read at each start: the configuration has just been loaded.
         const std::string folder = core::SystemParameters().DatabaseFolder();
         resources::InitDatabaseResources([folder] { resources::CreateDatabaseTables(folder); },
                                          resources::FenTableOpener(folder));
       },
       [] { resources::DoneDatabaseResources(); }});
  core::RegisterServerSubsystem({"StartMailServices", core::kStepMailServices, core::kStopMailServices,
                                 [] {
                                   mail::StartMailServices();
                                   web::StartTextIndexDaemon();
                                 },
                                 [] {
                                   web::StopTextIndexDaemon();
                                   mail::StopMailServices();
                                 }});
  core::RegisterServerSubsystem({"StartHTTPServer", core::kStepWebServices, core::kStopWebServices,
                                 [] {
                                   web::InstallDefaultWebFiles();
                                   web::StartHTTPServer([] {
                                     web::TWebAppContext context;
                                     context.SearchForm = web::SearchFormPage;
                                     context.SearchResults = web::SearchResultsPage();
                                     context.ViewDocument = web::ViewDocumentPage;
                                     web::RegisterWebApplication(std::move(context));
                                   });
                                 },
                                 [] { web::StopHTTPServer([] { web::FreeWebApplication(); }); }});
  core::RegisterServerSubsystem({"StartSessionDaemon", core::kStepLoginSessions, core::kStopLoginSessions,
                                 [] { web::StartSessionDaemon(); }, [] { web::StopSessionDaemon(); }});
}

}  // namespace

int main(int argc, char** argv) {
  using tovenmarsh::core::Tdialogfm;
  // Two heaps for all threads: with one per thread, the session and flush threads that handle
  // large messages each kept their own peak, and the server's memory grew with its thread count
  // rather than with its work. Two keep the allocator's lock from being a single point of waiting.
  (void)tovenmarsh::platform::LimitAllocatorArenas(2);
  RegisterSubsystems();
  tovenmarsh::core::SetProgramArguments(std::vector<std::string>(argv + 1, argv + argc));
  Tdialogfm window(tovenmarsh::core::HasTerminal() ? Tdialogfm::TMode::Terminal : Tdialogfm::TMode::Headless);
  return window.Run();
}
