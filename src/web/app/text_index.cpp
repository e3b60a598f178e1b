// The word index of the archived mail: preparation, the indexing pass and its daemon, the
// search.
#include "web/app/text_index.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <set>
#include <stdexcept>
#include <utility>

#include "core/date_utils.h"
#include "core/log.h"
#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "core/timed_server.h"
#include "core/worker_threads.h"
#include "dataset/fen_database.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "dataset/fields.h"
#include "fulltext/phrase_file_format.h"
#include "fulltext/phrase_writer.h"
#include "fulltext/tx_make.h"
#include "fulltext/tx_ranking.h"
#include "fulltext/tx_text_links.h"
#include "fulltext/tx_update.h"
#include "fulltext/tx_words_links.h"
#include "fulltext/word_cache.h"
#include "mail/message/mail_address.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/stream.h"
#include "resources/account_control.h"
#include "resources/alias_control.h"
#include "resources/table_defs.h"

namespace tovenmarsh::web {

namespace doc = resources::document;
using fulltext::TtxTextDataSetLink;

namespace {

constexpr const char* kWordsTable = "words.dat";
constexpr const char* kDocumentTable = "document.dat";
// Line ends and tabs, then the visible delimiters (caret notation).
constexpr const char* kBuildDelimiters = "^M^J^I ,.;:?![]{}()<>/+*=\\|&#%$^^~`\"";
constexpr int kCacheMemoryLimit = 4096;
constexpr int kWordRowsPerCommit = 5000;
constexpr int kMinWordLength = 3;

bool IsAddressField(const std::string& name) {
  return name == "to" || name == "from" || name == "replyto" || name == "fromdomain";
}

// Each address of an address field is one word.
void ProcessField(TtxTextDataSetLink& link, fulltext::TtxEngine& engine, dataset::TField& field) {
  if (!IsAddressField(field.FieldName())) {
    link.ProcessField(engine, field);
    return;
  }
  const std::string text = field.AsString();
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string address(text.substr(start, end - start));
    address.erase(0, address.find_first_not_of(" \t"));
    address.erase(address.find_last_not_of(" \t") + 1);
    if (!address.empty()) engine.AddWord(AddressToWord(address), true);
    start = end + 1;
  }
}

// An engine session and database of their own on the folder, and the tables of the word
// index opened in them: the indexer and each search never share a session.
class TIndexTables {
 public:
  explicit TIndexTables(const std::string& folder) {
    const std::string suffix = std::to_string(resources::NextResourceNumber());
    session_ = std::make_unique<dataset::TFenSession>();
    session_->SetSessionName("TextIndexSession" + suffix);
    session_->SetForceBufferFlush(true);
    // Documents arrive through other sessions: only a header re-read sees them.
    session_->SetStrictChangeDetection(true);
    session_->OpenSession();
    session_->AddPassword("");
    database_ = std::make_unique<dataset::TFenDatabase>(session_.get());
    database_->SetDatabaseName("TextIndexDatabase" + suffix);
    database_->SetSessionName(session_->SessionName());
    database_->SetDirectory(platform::IncludeTrailingPathDelimiter(folder));
    database_->Open();
    words_ = NewTable(kWordsTable);
    documents_ = NewTable(kDocumentTable);
  }

  ~TIndexTables() {
    for (dataset::TFenTable* table : {words_.get(), documents_.get()}) {
      try {
        if (table->Active()) table->Close();
      } catch (...) {
        core::LogCurrentException("closing a table of the word index");
      }
    }
    words_.reset();
    documents_.reset();
    try {
      database_->Close();
    } catch (...) {
      core::LogCurrentException("closing the word index's database");
    }
    database_.reset();
    session_.reset();
  }

  TIndexTables(const TIndexTables&) = delete;
  TIndexTables& operator=(const TIndexTables&) = delete;

  dataset::TFenTable& Words() { return *words_; }
  dataset::TFenTable& Documents() { return *documents_; }

 private:
  std::unique_ptr<dataset::TFenTable> NewTable(const char* name) {
    auto table = std::make_unique<dataset::TFenTable>();
    table->SetSessionName(session_->SessionName());
    table->SetDatabaseName(database_->DatabaseName());
    table->SetTableName(name);
    return table;
  }

  std::unique_ptr<dataset::TFenSession> session_;
  std::unique_ptr<dataset::TFenDatabase> database_;
  std::unique_ptr<dataset::TFenTable> words_;
  std::unique_ptr<dataset::TFenTable> documents_;
};

// The tables with the words link, the text link and the cache set up over them.
class TIndexObjects {
 public:
  explicit TIndexObjects(const std::string& folder) : tables_(folder) {
    words_.SetFenTable(&tables_.Words());
    words_.SetTransactions(kWordRowsPerCommit);
    text_.SetFenTable(&tables_.Documents());
    text_.SetFieldNames({"description", "to", "from", "replyto", "fromdomain", "content"});
    text_.SetIndexFieldName("no");
    // A document's bit is its number: deleting the lowest rows must not move every bit.
    text_.OnMinIndex = [](TtxTextDataSetLink&) { return 0; };
    text_.OnProcessField = ProcessField;
    cache_.SetAltMemMgr(true);
    cache_.SetMemoryLimit(kCacheMemoryLimit);
  }
  ~TIndexObjects() {
    text_.SetFenTable(nullptr);
    words_.SetFenTable(nullptr);
  }
  TIndexObjects(const TIndexObjects&) = delete;
  TIndexObjects& operator=(const TIndexObjects&) = delete;

  TIndexTables& Tables() { return tables_; }
  fulltext::TtxWordsFenLink& Words() { return words_; }
  fulltext::TtxTextFenLink& Text() { return text_; }
  fulltext::TtxCache& Cache() { return cache_; }

 private:
  TIndexTables tables_;
  fulltext::TtxWordsFenLink words_;
  fulltext::TtxTextFenLink text_;
  fulltext::TtxCache cache_;
};

bool WordsTableExists(const std::string& folder) {
  return platform::FileExists(platform::IncludeTrailingPathDelimiter(folder) + kWordsTable);
}

// The phrase signatures beside words.dat describe its documents: they go with it.
void RemovePhraseSignatures(const std::string& folder) {
  fulltext::TtxPhraseWriter::Remove(
      fulltext::phrase_format::SideFileName(platform::IncludeTrailingPathDelimiter(folder) + kWordsTable));
}

// A build cut short by a crash leaves words.dat without the properties row that its end writes,
// or not readable at all: every later update would fail on it, so it is built again.
bool WordsTableFinished(const std::string& folder) {
  try {
    TIndexObjects objects(folder);
    objects.Words().Open();
    platform::TMemoryStream properties;
    objects.Words().ReadProperties(properties);
    objects.Words().Close();
    return true;
  } catch (const std::exception& e) {
    core::LogMessage(std::string("Text index unfinished, built again: ") + e.what());
    return false;
  }
}

void SetIndexed(resources::TDatabaseResource& resource, bool indexed) {
  resource.Edit();
  resource.Table().SetField(doc::indexed, indexed);
  resource.Post();
}

// Writes the cached words in one transaction of words.dat. Without one every word row is a
// durable write of its own (a journal sync each): a document took seconds, and a stop waited
// behind the pass. A failure leaves the transaction to the close, which drops it.
void FlushWords(fulltext::TtxWordsFenLink& words, fulltext::TtxUpdate& updater) {
  words.StartTransaction();
  updater.FlushCache();
  words.Commit();
}

int NumberOf(resources::TDatabaseResource& resource) { return resource.Table().GetInt(doc::no); }

}  // namespace

TTextIndexEnvironment InstallationTextIndex() {
  TTextIndexEnvironment environment;
  environment.folder = core::SystemParameters().DatabaseFolder();
  environment.pool = &resources::DatabasePool();
  return environment;
}

std::string AddressToWord(std::string_view text) {
  std::string word(text);
  std::replace(word.begin(), word.end(), '.', '_');
  std::replace(word.begin(), word.end(), '@', '_');
  return word;
}

int GetRecipientLevel(const TTextIndexEnvironment& environment, const std::string& addresses) {
  int lowest = 0;
  bool found = false;
  try {
    resources::TAliasControl aliases(*environment.pool);
    resources::TAccountControl accounts(*environment.pool);
    const std::string lines = core::TextToLines(addresses, ",");
    size_t start = 0;
    while (start < lines.size()) {
      size_t end = lines.find("\r\n", start);
      if (end == std::string::npos) end = lines.size();
      const std::string address = lines.substr(start, end - start);
      start = end + 2;
      if (address.empty()) continue;
      resources::TAliasRec alias;
      mail::SplitMailAddress(address, alias.name, alias.domain);
      if (aliases.FindAlias(alias) != 1) continue;
      resources::TAccountRec account;
      account.no = alias.accountno;
      if (account.no == 0 || !accounts.GetAccount(account)) continue;
      lowest = found ? std::min(lowest, account.level) : account.level;
      found = true;
    }
  } catch (const std::exception& e) {
    // Without the lookups no address reaches an account.
    core::LogMessage(std::string("Recipient level not found: ") + e.what());
    return 0;
  }
  return found ? lowest : 0;
}

int IndexDocuments(const TTextIndexEnvironment& environment) {
  TIndexObjects objects(environment.folder);
  fulltext::TtxUpdate updater;
  updater.SetTextLink(&objects.Text());
  updater.SetWordsLink(&objects.Words());
  updater.SetCache(&objects.Cache());
  updater.SetDelayedWrites(true);
  resources::TResourceLease<> lease(*environment.pool, resources::piDocument);
  resources::TDatabaseResource& documents = *lease;
  resources::TTableAccess& table = documents.Table();
  // Documents whose update failed this pass: they keep indexed = false (the next pass tries
  // again) and the walk steps over them.
  std::set<int> failed;
  const auto firstPending = [&] {
    table.First();
    while (!table.Eof() && failed.count(NumberOf(documents)) != 0) table.Next();
  };
  int indexed = 0;
  try {
    documents.Reset();
    table.SetIndex("indexed");
    table.SetRange({false});
    if (!table.Eof()) {
      int last = 0;
      for (;;) {
        if (environment.stopRequested && environment.stopRequested()) break;
        // The words are gathered and written before the row's transaction starts: the queue
        // archives into the same table and must not wait behind a words.dat flush.
        firstPending();
        if (table.Eof()) break;
        const int number = NumberOf(documents);
        if (number < last) break;
        last = number;
        bool updated = false;
        try {
          fulltext::TtxTextFenLink& text = objects.Text();
          if (!text.IsOpen()) text.Open();
          if (!text.Locate(number)) throw std::runtime_error("document not readable");
          updater.UpdateCurrent();
          updated = true;
          ++indexed;
        } catch (const std::exception& e) {
          core::LogMessage(platform::Format("Document number %d failed to textindex", number) + ": " + e.what());
        }
        // The words reach words.dat before the row says so: a crash in between leaves the
        // document to be indexed again, never marked and missing.
        FlushWords(objects.Words(), updater);
        documents.BeginWork();
        firstPending();
        if (table.Eof() || NumberOf(documents) != number) {
          documents.CommitWork();
          if (!updated) failed.insert(number);
          continue;
        }
        const std::string to = table.GetString(doc::to);
        const std::string from = table.GetString(doc::from);
        const std::string replyto = table.GetString(doc::replyto);
        const int level = GetRecipientLevel(environment, to + "," + from + "," + replyto + ",");
        documents.Edit();
        table.SetField(doc::level, level);
        // A failed document is never marked: a crash before a later fix-up would leave it
        // marked and never found.
        if (updated) table.SetField(doc::indexed, true);
        documents.Post();
        documents.CommitWork();
        if (!updated) failed.insert(number);
        firstPending();
        if (table.Eof()) break;
        table.Next();
        while (!table.Eof() && failed.count(NumberOf(documents)) != 0) table.Next();
        if (table.Eof()) break;
      }
    }
  } catch (const std::exception& e) {
    documents.RollbackWork();
    core::LogMessage(std::string("Text indexing stopped: ") + e.what());
  }
  try {
    FlushWords(objects.Words(), updater);
  } catch (const std::exception& e) {
    core::LogMessage(std::string("Text index not written: ") + e.what());
  }
  return indexed;
}

void ResetTextIndex(const TTextIndexEnvironment& environment) {
  {
    TIndexTables tables(environment.folder);
    if (tables.Words().Exists()) tables.Words().DeleteTable();
  }
  RemovePhraseSignatures(environment.folder);
  resources::TResourceLease<> lease(*environment.pool, resources::piDocument);
  resources::TDatabaseResource& documents = *lease;
  resources::TTableAccess& table = documents.Table();
  documents.Reset();
  table.CancelRange();
  table.SetIndex("indexed");
  table.SetRange({true});
  try {
    while (!table.Eof()) {
      documents.BeginWork();
      table.First();
      if (table.Eof()) {
        documents.CommitWork();
        break;
      }
      SetIndexed(documents, false);
      documents.CommitWork();
      table.First();
    }
  } catch (const std::exception& e) {
    documents.RollbackWork();
    core::LogMessage(std::string("Text index reset stopped: ") + e.what());
  }
}

void PrepareTextIndex(const TTextIndexEnvironment& environment, bool rebuild) {
  if (rebuild) ResetTextIndex(environment);
  if (WordsTableExists(environment.folder)) {
    if (WordsTableFinished(environment.folder)) return;
    // The build below takes every document, indexed or not.
    TIndexTables tables(environment.folder);
    tables.Words().DeleteTable();
  }
  RemovePhraseSignatures(environment.folder);
  TIndexObjects objects(environment.folder);
  fulltext::TtxMake make;
  make.SetTextLink(&objects.Text());
  make.SetWordsLink(&objects.Words());
  make.SetCache(&objects.Cache());
  make.SetAnsi(false);
  make.SetCounterLimit(0);
  make.SetMinWordLen(kMinWordLength);
  make.SetWordDelims(kBuildDelimiters);
  make.Execute();
}

std::vector<int> SearchDocuments(const TTextIndexEnvironment& environment, const std::string& words,
                                 const std::string& sortOrder, const std::string& fromDate,
                                 resources::TDatabaseResource& documents, bool securityOn, int userLevel,
                                 const std::string& toDate) {
  const double from = fromDate.empty() ? 0.0 : core::ParseDateStr(fromDate);
  const double to = toDate.empty() ? 2147483647.0 : core::ParseDateStr(toDate);
  const std::string order = sortOrder.empty() ? std::string("D") : sortOrder;
  std::vector<int32_t> hits;
  if (WordsTableExists(environment.folder)) {
    TIndexObjects objects(environment.folder);
    fulltext::TtxSearch search;
    search.SetTextLink(&objects.Text());
    search.SetWordsLink(&objects.Words());
    search.SearchFor = AddressToWord(words);
    search.SearchLogic = fulltext::slSmart;
    search.Execute();
    search.GetIndexValues(hits);
  }
  if (order[0] != 'A' && order[0] != 'a') std::reverse(hits.begin(), hits.end());
  std::vector<int> results;
  resources::TTableAccess& table = documents.Table();
  documents.Reset();
  table.SetIndex("");
  for (const int32_t number : hits) {
    if (!table.FindKey({static_cast<int>(number)})) continue;
    const double created = table.GetDate(doc::created);
    if (created < from || created > to) continue;
    if (securityOn && table.GetInt(doc::level) > userLevel) continue;
    results.push_back(number);
  }
  return results;
}

// ---- the daemon

namespace {

class TTextIndexDaemon : public core::TDaemon {
 public:
  TTextIndexDaemon() {
    SetTouchOnRun(false);
    SetMayExpire(false);
  }
  std::string ClassName() const override { return "TTextIndexDaemon"; }

 protected:
  bool Execute() override {
    TTextIndexEnvironment environment = InstallationTextIndex();
    environment.stopRequested = [this] { return StopFlag(); };
    IndexDocuments(environment);
    return true;
  }
};

}  // namespace

void StartTextIndexDaemon() {
  try {
    PrepareTextIndex(InstallationTextIndex(), core::SystemParameters().Rebuild());
  } catch (const std::exception&) {
    // Mail goes on without the index; the passes log what keeps failing.
    core::LogCurrentException("preparing the text index");
  }
  core::TDaemon& daemon = core::StartDaemon(core::ClassRef<core::TDaemon, TTextIndexDaemon>(), 1,
                                            platform::TThreadPriority::Idle);
  daemon.Wake();
}

void StopTextIndexDaemon() {}

}  // namespace tovenmarsh::web
