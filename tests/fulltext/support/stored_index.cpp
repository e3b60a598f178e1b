// Test index over stored tables (see stored_index.h).
#include "support/stored_index.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

#include "fulltext/match_bits.h"
#include "fulltext/tx_make.h"
#include "platform/paths.h"

namespace tovenmarsh::fulltext::testing {

TStoredIndex::TStoredIndex(TStoredOptions options) : options_(options) {
  std::string pattern = platform::SystemTempFolder() + "txstoreXXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no scratch folder");
  folder_ = pattern + "/";
  MakeObjects();
  dataset::TFenTable& docs = *docs_;
  docs.FieldDefs().Add("no", dataset::ftInteger, 0, true);
  docs.FieldDefs().Add("title", dataset::ftString, 120);
  docs.FieldDefs().Add("body", dataset::ftMemo);
  docs.IndexDefs().Add("", "no", dataset::ixPrimary | dataset::ixUnique);
  docs.CreateTable();
  docs.Open();
}

TStoredIndex::~TStoredIndex() {
  text_.reset();
  words_.reset();
  if (docs_) docs_->Close();
  if (wordsTable_) wordsTable_->Close();
  docs_.reset();
  wordsTable_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void TStoredIndex::MakeObjects() {
  docs_ = std::make_unique<dataset::TFenTable>();
  docs_->SetTableName(folder_ + "docs");
  wordsTable_ = std::make_unique<dataset::TFenTable>();
  wordsTable_->SetTableName(folder_ + "words.dat");
  text_ = std::make_unique<TtxTextFenLink>();
  text_->SetFenTable(docs_.get());
  text_->SetFieldNames({"title", "body"});
  text_->SetIndexFieldName("no");
  if (options_.makeLink) {
    auto make = std::make_unique<TtxMakeWordsFenLink>();
    make->SetWordFieldSize(options_.wordFieldSize);
    words_ = std::move(make);
  } else {
    words_ = std::make_unique<TtxWordsFenLink>();
  }
  words_->SetReverseField(options_.reverse);
  words_->SetFenTable(wordsTable_.get());
}

void TStoredIndex::Put(int32_t index, const std::string& title, const std::string& body) {
  dataset::TFenTable& docs = *docs_;
  if (!docs.Active()) docs.Open();
  if (docs.Locate("no", {dataset::TVariant(static_cast<int>(index))}, 0)) docs.Edit();
  else docs.Append();
  docs.FieldByName("no").SetAsInteger(index);
  docs.FieldByName("title").SetAsString(title);
  docs.FieldByName("body").SetAsString(body);
  docs.Post();
  twin_.Put(index, {{"title", title}, {"body", body}});
}

void TStoredIndex::Remove(int32_t index) {
  dataset::TFenTable& docs = *docs_;
  if (docs.Locate("no", {dataset::TVariant(static_cast<int>(index))}, 0)) docs.Delete();
  twin_.Remove(index);
}

bool TStoredIndex::Goto(int32_t index) {
  return docs_->Locate("no", {dataset::TVariant(static_cast<int>(index))}, 0);
}

void TStoredIndex::Build(int32_t segmentSize) {
  segmentSize_ = segmentSize;
  TtxMake make;
  make.SetTextLink(text_.get());
  make.SetWordsLink(words_.get());
  make.SetCache(&cache_);
  if (segmentSize > 0) make.SetSegmentSize(segmentSize);
  make.Execute();
}

std::unique_ptr<TtxSearch> TStoredIndex::Search(const std::string& query, TSearchLogic logic) {
  auto search = std::make_unique<TtxSearch>();
  search->SetTextLink(text_.get());
  search->SetWordsLink(words_.get());
  search->SearchFor = query;
  search->SearchLogic = logic;
  return search;
}

TDocSet TStoredIndex::Run(const std::string& query, TSearchLogic logic) {
  auto search = Search(query, logic);
  search->Execute();
  std::vector<int32_t> values;
  search->GetIndexValues(values);
  return TDocSet(values.begin(), values.end());
}

void TStoredIndex::Reopen() {
  text_.reset();
  words_.reset();
  docs_->Close();
  wordsTable_->Close();
  MakeObjects();
  docs_->Open();
}

std::map<std::string, TDocSet> TStoredIndex::Stored() {
  std::map<std::string, TDocSet> out;
  TtxCustomWordsFenLink& link = *words_;
  link.Open();
  link.SelectKey(kkWord);
  const int32_t lowest = text_->LowestIndex();
  const int32_t range = text_->HighestIndex() - lowest + 1;
  const int32_t perSegment = segmentSize_ > 0 ? segmentSize_ : range;
  std::vector<uint8_t> buffer(static_cast<size_t>(perSegment / 8 + 64));
  for (bool ok = link.First(); ok; ok = link.Next()) {
    const int32_t n = link.ReadBits(buffer.data(), buffer.size());
    TtaBits bits(perSegment - 1);
    bits.Load(buffer.data(), static_cast<size_t>(n) + 4);
    const int32_t base = link.Segmented() ? link.Segment() * segmentSize_ : 0;
    TDocSet& docs = out[link.Word()];
    for (int32_t b = bits.FindFirstSet(); b >= 0; b = bits.FindNextSet(b)) docs.insert(lowest + base + b);
  }
  return out;
}

std::map<std::string, int32_t> TStoredIndex::Counts() {
  std::map<std::string, int32_t> out;
  TtxCustomWordsFenLink& link = *words_;
  link.Open();
  link.SelectKey(kkWord);
  for (bool ok = link.First(); ok; ok = link.Next()) out[link.Word()] += link.Count();
  return out;
}

}  // namespace tovenmarsh::fulltext::testing
