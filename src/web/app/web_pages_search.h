// The search pages over the archived mail: the results of a search ("/searchfor") and one
// document ("/viewdocument"). The search form itself is SearchFormPage (web_app.h).
//
// With SecurityOn a user sees only documents whose level does not exceed the level of the
// login session the request carries (0 without one).
#pragma once

#include "web/app/text_index.h"
#include "web/http/http_system.h"

namespace tovenmarsh::web {

// The pages over the given word index; the installation's when none is given.
TActionHandler SearchResultsPage(std::function<TTextIndexEnvironment()> environment = InstallationTextIndex);
void ViewDocumentPage(THTTPSession& session, int& stop);

}  // namespace tovenmarsh::web
