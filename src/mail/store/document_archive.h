// Archiving a queued message as a document: the message part is copied to the document folder
// under the queue file's name and a document row describes it (subject, addresses, sender's
// domain, body text) for the indexer and the search pages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "mail/store/mail_folders.h"

namespace tovenmarsh::mail {

// The columns of one document row as the archive fills them.
struct TDocumentRow {
  std::string description;  // decoded Subject
  std::string to;           // address list of the decoded To
  std::string from;         // address list of the decoded From
  std::string replyto;      // the envelope's reverse path, else from
  std::string fromdomain;   // domain of from
  std::string content;      // readable text of the message (MessageText)
  std::string extfileref;   // the queue file's (and document file's) name
};

// The row for a message part and its envelope reverse path.
TDocumentRow BuildDocumentRow(std::string_view message, std::string_view reversePath, std::string_view fileName);

// Where document rows go: the installation's inserts into document.dat through pool 9 in one
// transaction (rolled back and re-raised on failure).
class TDocumentStore {
 public:
  virtual ~TDocumentStore() = default;
  virtual void AddDocument(const TDocumentRow& row) = 0;
  // Adds the rows in order. `added` counts the rows that are in when it returns or raises: the
  // installation's adds them all in one transaction (all or none), this default one by one.
  virtual void AddDocuments(const std::vector<TDocumentRow>& rows, size_t& added);
  // Whether a row for the queue file name (its extfileref) exists. Asked only after a restart
  // found a document file without the archive mark; a store that cannot tell answers true
  // (the row is taken to be there).
  virtual bool HasDocument(const std::string& name);
};
TDocumentStore& InstallationDocumentStore();

// Reads the envelope and message part of queue file name, writes the document file (kept when
// one of that name exists already: it can only be this message, archived before a crash)
// and answers the row to add. The row is made from the message's first 2 MB (the table takes
// its text whole, and a server must take large mail in bounded memory); a longer message is
// logged as cut. The file is durable once the caller flushes it (SyncFiles) and
// the document folder (SyncFolder), which must come before the row is added. Raises on failure.
TDocumentRow PrepareArchive(const TMailFolders& folders, const std::string& name);
// PrepareArchive, the folder flush and the row. Raises on failure.
void ArchiveQueueFile(const TMailFolders& folders, const std::string& name, TDocumentStore& store);

}  // namespace tovenmarsh::mail
