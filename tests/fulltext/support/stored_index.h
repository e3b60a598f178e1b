// A full-text index over stored tables for tests: a documents table ("docs": no integer
// primary, title string, body memo) and "words.dat" in a scratch folder, wired through the
// TFenTable links, with an in-memory twin of the documents for the model and for comparing
// with the in-memory links.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dataset/fen_table.h"
#include "fulltext/tx_ranking.h"
#include "fulltext/tx_text_links.h"
#include "fulltext/tx_update.h"
#include "fulltext/tx_words_links.h"
#include "fulltext/word_cache.h"
#include "support/corpus.h"

namespace tovenmarsh::fulltext::testing {

struct TStoredOptions {
  bool reverse = false;   // a txReverse field and index
  bool makeLink = false;  // TtxMakeWordsFenLink: part of the bit data in a 28-byte txBytes
  int wordFieldSize = 20;
};

class TStoredIndex {
 public:
  explicit TStoredIndex(TStoredOptions options = {});
  ~TStoredIndex();

  const std::string& Folder() const { return folder_; }
  // Adds or replaces a document in the documents table and in the twin.
  void Put(int32_t index, const std::string& title, const std::string& body);
  void Remove(int32_t index);
  // Positions the documents table on a document.
  bool Goto(int32_t index);

  void Build(int32_t segmentSize = 0);
  std::unique_ptr<TtxSearch> Search(const std::string& query, TSearchLogic logic);
  TDocSet Run(const std::string& query, TSearchLogic logic);
  // Closes both tables and makes new table objects and links over the same files.
  void Reopen();

  // Every word's documents as stored in words.dat (read through the link), and txCount.
  std::map<std::string, TDocSet> Stored();
  std::map<std::string, int32_t> Counts();

  dataset::TFenTable& Docs() { return *docs_; }
  dataset::TFenTable& WordsTable() { return *wordsTable_; }
  TtxTextFenLink& Text() { return *text_; }
  TtxCustomWordsFenLink& Words() { return *words_; }
  TtxCache& Cache() { return cache_; }
  // The in-memory twin of the documents (fields "title" and "body").
  TMemoryTextLink& Twin() { return twin_; }

 private:
  void MakeObjects();

  std::string folder_;
  std::unique_ptr<dataset::TFenTable> docs_;
  std::unique_ptr<dataset::TFenTable> wordsTable_;
  std::unique_ptr<TtxTextFenLink> text_;
  std::unique_ptr<TtxCustomWordsFenLink> words_;
  TStoredOptions options_;
  TtxCache cache_;
  TMemoryTextLink twin_;
  int32_t segmentSize_ = 0;
};

}  // namespace tovenmarsh::fulltext::testing
