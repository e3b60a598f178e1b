// The mail administration pages: for companies, domains, accounts, aliases, external POP3
// mailboxes ("popmails") and mailing-list entries, a list to choose a row, a form to edit or
// create one, and an update that writes the form back or removes the row.
//
// Contract: each page borrows one table resource of its entity's pool for the request and
// gives it back whatever happens; an update runs between BeginWork and CommitWork and on any
// failure rolls the work back and re-raises, so the exception page reports it and the table
// keeps its state before the request. Every value shown is passed raw to the building blocks,
// which escape it.
#pragma once

#include "platform/exception.h"
#include "web/http/http_session.h"

namespace tovenmarsh::web {

// A submitted value that the pages cannot store (a ";" inside a key field).
TM_DECLARE_EXCEPTION(EWebInputError, platform::Exception);

enum class TMailEntity { Company, Domain, Account, Alias, Popmail, Maillist };

// Actions 10, 20, ... 60: at most 12 rows from the offset "ls", each linked to the next step.
void MailListPage(TMailEntity entity, THTTPSession& session);
// Actions 11, 21, ... 61: the row of "key", or the new-row defaults, in a form that posts to
// the next step.
void MailFormPage(TMailEntity entity, THTTPSession& session);
// Actions 12, 22, ... 62 by POST: "do" U writes the form into the row of "key" (inserting it
// when it is missing), R removes it with its cascades; then redirects to the site root.
// "Perform" = "Cancel" only redirects. The form is checked first: a required field left
// empty, a number that is none, a text too long or holding ";" in a key field, or a key that
// another row has already, brings the form back with the values sent and a message saying
// what to correct, and changes nothing. A key field holding ";" that passes anyway raises
// EWebInputError (rolled back).
void MailUpdatePage(TMailEntity entity, THTTPSession& session);
// The same actions by GET change nothing: "do" R shows the row as plain text, anything else
// the row's form, each with OK and Cancel posting to the update.
void MailConfirmPage(TMailEntity entity, THTTPSession& session);

}  // namespace tovenmarsh::web
