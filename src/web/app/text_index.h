// The word index of the archived mail: "words.dat" beside the document table, fed by a daemon
// that indexes every unindexed document (stamping it with the access level of its local
// recipients), and the search that the search pages run over it.
//
// Contract:
// - The indexer and every search work in an engine session and database of their own, with
//   table objects of their own for "words.dat" and "document.dat" (the engine's table locks
//   keep them apart); the pooled document resource is used to walk, stamp and show rows.
// - A document's bit is its number ("no"), whatever rows exist: the index never depends on the
//   lowest number that is left in the table.
// - Address fields (to, from, replyto, fromdomain) give one word per address, with every "."
//   and "@" turned into "_" (AddressToWord); a search text goes through the same turn.
// - A document whose index update fails is logged, stamped, and left unindexed for the next
//   pass; any other failure rolls the pass's open work back and ends the pass.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "resources/database_resource.h"
#include "resources/resource_pool.h"

namespace tovenmarsh::web {

struct TTextIndexEnvironment {
  // The folder of "document.dat" and "words.dat".
  std::string folder;
  // Where document resources (pool 9) and the alias and account lookups come from.
  resources::TResourcePool* pool = nullptr;
  // Asked between documents: true ends the pass early (shut-down); the rest waits for the next.
  std::function<bool()> stopRequested;
};
// The installation's: the database folder and the process's pool.
TTextIndexEnvironment InstallationTextIndex();

// text with every "." and "@" replaced by "_".
std::string AddressToWord(std::string_view text);

// The lowest level of the local accounts that the ","-separated addresses reach (each through
// exactly one alias); 0 when none does or the lookups cannot be made.
int GetRecipientLevel(const TTextIndexEnvironment& environment, const std::string& addresses);

// One indexing pass: every document with indexed = false is added to the word index, stamped
// with its recipients' level and marked indexed. Answers how many documents were indexed.
int IndexDocuments(const TTextIndexEnvironment& environment);

// Deletes "words.dat" (and the phrase signatures beside it) and marks every document unindexed.
void ResetTextIndex(const TTextIndexEnvironment& environment);

// Start-up: with rebuild on, ResetTextIndex first; when "words.dat" is missing, or unfinished
// (a build cut short: not readable or without its properties row), builds it from every
// document.
void PrepareTextIndex(const TTextIndexEnvironment& environment, bool rebuild);

// The numbers of the documents that match words (smart query logic) and were created within
// [fromDate, toDate] (date texts; empty for no bound) and, with security on, whose level does not
// exceed userLevel; in the ranked order for a sort order beginning with "A", else reversed.
// documents is a borrowed document resource. Raises core::EConvertError-like errors for a date
// that cannot be read.
std::vector<int> SearchDocuments(const TTextIndexEnvironment& environment, const std::string& words,
                                 const std::string& sortOrder, const std::string& fromDate,
                                 resources::TDatabaseResource& documents, bool securityOn, int userLevel,
                                 const std::string& toDate);

// Starts the indexing daemon (PrepareTextIndex, then a pass every minute at idle priority and
// one at once). Stopping needs nothing more than the framework's stop of its threads.
void StartTextIndexDaemon();
void StopTextIndexDaemon();

}  // namespace tovenmarsh::web
