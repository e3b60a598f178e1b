// The words and text links over TFenTable: the words table's fields and rows, the properties
// row that navigation never yields, the bit data split over txBytes and txBlob, the property
// rules of the link classes, the word neighbourhood, the driver registry, and the text link's
// field processing, index field and index range.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "dataset/fen_table.h"
#include "dataset/fields.h"
#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/tx_drivers.h"
#include "fulltext/tx_make.h"
#include "fulltext/tx_update.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

int Code(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETextIndex& e) {
    return e.Code();
  }
  return 0;
}

std::vector<std::string> Walk(TtxWordsRowLink& link) {
  std::vector<std::string> out;
  for (bool ok = link.First(); ok; ok = link.Next()) out.push_back(link.Word());
  return out;
}

TEST(WordsFenLink, TableFormatAndPropertiesRow) {
  TStoredIndex idx;
  idx.Put(1, "zebra \xc4pfel", "apple");
  idx.Build();
  idx.Reopen();
  TtxCustomWordsFenLink& link = idx.Words();
  link.Open();
  dataset::TFenTable& t = idx.WordsTable();
  std::vector<std::string> names;
  for (int i = 0; i < t.FieldCount(); ++i) names.push_back(t.Fields()[i].FieldName());
  EXPECT_EQ(names, (std::vector<std::string>{"txWord", "txCount", "txLike", "txSize", "txBlob"}));
  EXPECT_EQ(t.FieldByName("txWord").Size(), 20);
  EXPECT_EQ(t.FieldByName("txLike").Size(), 5);
  EXPECT_EQ(t.RecordCount(), 4);  // three words and the properties row
  EXPECT_EQ(Walk(link), (std::vector<std::string>{"APPLE", "ZEBRA", "\xc4PFEL"}));
  // Backwards from the last word: the properties row (between ZEBRA and ÄPFEL) is passed over.
  std::vector<std::string> back;
  t.Last();
  back.push_back(link.Word());
  while (link.Prior()) back.push_back(link.Word());
  EXPECT_EQ(back, (std::vector<std::string>{"\xc4PFEL", "ZEBRA", "APPLE"}));
  EXPECT_TRUE(link.Locate("ZEBRA", -1, false));
  EXPECT_EQ(link.Count(), 1);
  EXPECT_EQ(link.Like(), LikeKey("ZEBRA"));
  EXPECT_FALSE(link.Locate("ZEBR", -1, false));
  // The like index was added after the build.
  t.UpdateIndexDefs();
  EXPECT_NE(t.IndexDefs().GetIndexForFields("txLike;txWord", false), nullptr);
  link.SelectKey(kkLike);
  EXPECT_EQ(Code([&] { link.SelectKey(kkReverse); }), txeReverseNotAvailable);
}

TEST(WordsFenLink, EmptyIndexHoldsOnlyTheProperties) {
  TStoredIndex idx;
  idx.Build();
  idx.Reopen();
  idx.Words().Open();
  EXPECT_EQ(idx.WordsTable().RecordCount(), 1);
  EXPECT_FALSE(idx.Words().First());
  EXPECT_TRUE(idx.Words().AtEnd());
  EXPECT_TRUE(idx.Run("anything", slAnd).empty());
}

TEST(WordsFenLink, ShortWordFieldCutsThePropertiesKey) {
  TStoredIndex idx({false, true, 10});
  idx.Put(1, "abcdefghijklmnop", "short");
  idx.Build();
  idx.Reopen();
  EXPECT_EQ(idx.Words().WordFieldSize(), 10);
  EXPECT_EQ(idx.Run("short", slAnd), (TDocSet{1}));  // the properties were found again
  EXPECT_EQ(idx.Run("abcdefghij", slAnd), (TDocSet{1}));
  idx.Words().Open();
  EXPECT_EQ(Walk(idx.Words()), (std::vector<std::string>{"ABCDEFGHIJ", "SHORT"}));
}

TEST(WordsFenLink, BitDataSplitsOverBytesAndBlob) {
  TStoredIndex idx({false, true, 20});
  // An irregular half of 240 documents: the set packs to far more than 28 bytes.
  int32_t odd = 0;
  for (int32_t i = 1; i <= 240; ++i) {
    const bool isOdd = (i * 7919) % 13 < 6;
    odd += isOdd ? 1 : 0;
    idx.Put(i, isOdd ? "odd" : "even", "");
  }
  idx.Build();
  idx.Reopen();
  TtxCustomWordsFenLink& link = idx.Words();
  link.Open();
  dataset::TFenTable& t = idx.WordsTable();
  ASSERT_TRUE(link.Locate("ODD", -1, false));
  const int32_t n = link.Size();
  ASSERT_GT(n, 28);
  auto* blob = dynamic_cast<dataset::TBlobField*>(&t.FieldByName("txBlob"));
  ASSERT_NE(blob, nullptr);
  EXPECT_EQ(blob->BlobSize(), n - 28);
  EXPECT_EQ(t.FieldByName("txBytes").Size(), 28);
  EXPECT_EQ(idx.Run("odd", slAnd).size(), static_cast<size_t>(odd));
  // A BLOB of another length is refused.
  t.Edit();
  blob->SetAsString(std::string(static_cast<size_t>(n - 27), 'x'));
  t.Post();
  ASSERT_TRUE(link.Locate("ODD", -1, false));
  std::vector<uint8_t> buffer(static_cast<size_t>(n) + 64);
  EXPECT_EQ(Code([&] { link.ReadBits(buffer.data(), buffer.size()); }), txeInconsistentBlobSize);
  EXPECT_EQ(Code([&] { link.ReadBits(buffer.data(), 20); }), txeDecompressBufferTooSmall);
}

TEST(WordsFenLink, PropertyRules) {
  TtxWordsFenLink words;
  EXPECT_EQ(Code([&] { words.SetWordFieldSize(30); }), txeReadOnlyProperty);
  EXPECT_EQ(Code([&] { words.SetBytesFieldSize(30); }), txeReadOnlyProperty);
  words.SetTransactions(100);
  EXPECT_EQ(words.Transactions(), 100);
  TtxMakeWordsFenLink make;
  EXPECT_EQ(make.BytesFieldSize(), 28);
  EXPECT_EQ(Code([&] { make.SetCharFieldSize(64); }), txeCapabilityNotSupported);
  make.SetBlobFieldSize(64);
  EXPECT_EQ(make.BlobFieldSize(), 64);
  EXPECT_EQ(make.BytesFieldSize(), 0);
  make.SetBytesFieldSize(23);  // out of range: ignored
  EXPECT_EQ(make.BytesFieldSize(), 0);
  make.SetWordFieldSize(4);
  EXPECT_EQ(make.WordFieldSize(), 20);
  make.SetWordFieldSize(40);
  EXPECT_EQ(make.WordFieldSize(), 40);
  EXPECT_EQ(Code([&] { words.Parameter(7); }), txeInvalidWordsDataSet);
  dataset::TFenTable table;
  table.SetTableName("/tmp/some/words.dat");
  words.SetFenTable(&table);
  EXPECT_EQ(words.Parameter(1), "words.dat");
  EXPECT_EQ(words.Parameter(0), "/tmp/some/");
  EXPECT_EQ(Code([&] { words.Parameter(4); }), txeInvalidParameter);
  EXPECT_EQ(Code([&] { words.First(); }), txeWordsDataSetClosed);
  words.SetFenTable(nullptr);
  EXPECT_EQ(Code([&] { words.Open(); }), txeInvalidWordsDataSet);
}

TEST(WordsFenLink, TableWithoutTxSizeIsRefused) {
  TStoredIndex idx;
  idx.Put(1, "word", "");
  dataset::TFenTable bad;
  bad.SetTableName(idx.Folder() + "bad");
  bad.FieldDefs().Add("txWord", dataset::ftString, 20, true);
  bad.FieldDefs().Add("txCount", dataset::ftInteger);
  bad.FieldDefs().Add("txBlob", dataset::ftBlob);
  bad.CreateTable();
  TtxWordsFenLink link;
  link.SetFenTable(&bad);
  auto search = idx.Search("word", slAnd);
  search->SetWordsLink(&link);
  EXPECT_EQ(Code([&] { search->Execute(); }), txeInvalidWordsDataSet);
  bad.Close();
}

TEST(WordsFenLink, TransactionsKeepTheIndexWhole) {
  TStoredIndex idx;
  for (int32_t i = 1; i <= 30; ++i) idx.Put(i, "w" + std::to_string(i) + " all", "");
  idx.Words().SetTransactions(7);
  idx.Build();
  EXPECT_FALSE(idx.Words().Counters().TransactionOpen);
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Words().Counters().RowsInserted, 31);
}

TEST(WordsFenLink, WordNeighbourhood) {
  TStoredIndex idx;
  idx.Put(1, "ant bee cat dog", "eel");
  idx.Put(2, "bee dog", "fox");
  idx.Build();
  idx.Reopen();
  idx.Words().Open();
  std::vector<std::pair<std::string, int64_t>> list;
  idx.Words().WordList("CAT", 2, list, 2);
  EXPECT_EQ(list, (std::vector<std::pair<std::string, int64_t>>{{"ANT", 1}, {"BEE", 2}, {"CAT", 1}, {"DOG", 2}}));
  idx.Words().WordList("DA", 1, list, 3);
  EXPECT_EQ(list, (std::vector<std::pair<std::string, int64_t>>{{"CAT", 1}, {"DOG", 2}, {"EEL", 1}, {"FOX", 1}}));
  idx.Words().WordList("ZZ", 2, list, 2);  // after the last word
  EXPECT_EQ(list, (std::vector<std::pair<std::string, int64_t>>{{"EEL", 1}, {"FOX", 1}}));
}

TEST(TableDrivers, ClassWithoutDriverIsNotSupported) {
  TStoredIndex idx;
  idx.Put(1, "word", "");
  TtxTableDrivers none;
  idx.Words().SetDrivers(none);
  TtxMake make;
  TtxCache cache;
  make.SetCache(&cache);
  make.SetTextLink(&idx.Text());
  make.SetWordsLink(&idx.Words());
  EXPECT_EQ(Code([&] { make.Execute(); }), txeDataSetNotSupported);
  EXPECT_EQ(DefaultTableDrivers().Find(idx.Docs()).Name, "TFenTable");
  EXPECT_NE(dynamic_cast<TtxWordsFenLink*>(DefaultTableDrivers().Find(idx.Docs()).MakeWordsLink().get()), nullptr);
}

// A documents table with a float and an integer column and a descending index on "no".
class TextFenLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.SetTableName(idx_.Folder() + "items");
    table_.FieldDefs().Add("no", dataset::ftInteger, 0, true);
    table_.FieldDefs().Add("name", dataset::ftString, 40);
    table_.FieldDefs().Add("price", dataset::ftFloat);
    table_.FieldDefs().Add("stock", dataset::ftInteger);
    table_.IndexDefs().Add("", "no", dataset::ixPrimary | dataset::ixUnique);
    table_.IndexDefs().Add("ByNoDown", "no", dataset::ixDescending);
    table_.IndexDefs().Add("ByName", "name", 0);
    table_.IndexDefs().Add("ByStock", "stock", 0);
    table_.CreateTable();
    table_.Open();
    Add(5, "blue-green pen", 2.5, 1234);
    Add(9, "red pen", 10, 7);
    Add(7, "grey ink", 0.25, 0);
    text_.SetFenTable(&table_);
    text_.SetFieldNames({"name", "price", "stock", "missing"});
    text_.SetIndexFieldName("no");
    words_.SetFenTable(&wordsTable_);
    wordsTable_.SetTableName(idx_.Folder() + "words.dat");
  }
  void TearDown() override {
    table_.Close();
    wordsTable_.Close();
  }
  void Add(int no, const char* name, double price, int stock) {
    table_.Append();
    table_.FieldByName("no").SetAsInteger(no);
    table_.FieldByName("name").SetAsString(name);
    table_.FieldByName("price").SetAsFloat(price);
    table_.FieldByName("stock").SetAsInteger(stock);
    table_.Post();
  }
  std::vector<std::string> StoredWords() {
    words_.Open();
    std::vector<std::string> out;
    for (bool ok = words_.First(); ok; ok = words_.Next()) out.push_back(words_.Word());
    return out;
  }

  TStoredIndex idx_;
  dataset::TFenTable table_;
  dataset::TFenTable wordsTable_;
  TtxTextFenLink text_;
  TtxWordsFenLink words_;
  TtxCache cache_;
};

TEST_F(TextFenLinkTest, NumbersAreOneWordAndEveryFieldIsBuilt) {
  text_.SetSubFieldNames({"name", "nofield"});
  TtxMake make;
  make.SetCache(&cache_);
  make.SetTextLink(&text_);
  make.SetWordsLink(&words_);
  make.Execute();
  EXPECT_EQ(text_.FieldNames(), (std::vector<std::string>{"name", "price", "stock"}));
  EXPECT_EQ(text_.SubFieldNames(), (std::vector<std::string>{"name"}));
  const std::vector<std::string> stored = StoredWords();
  for (const char* w : {"0", "0.25", "10", "1234", "2.5", "7", "BLUE", "GREEN", "GREY", "INK", "PEN", "RED"})
    EXPECT_NE(std::find(stored.begin(), stored.end(), w), stored.end()) << w;
  EXPECT_EQ(std::find(stored.begin(), stored.end(), "25"), stored.end());
}

TEST_F(TextFenLinkTest, RangeFromADescendingIndexLeavesThePosition) {
  table_.SetIndexName("ByNoDown");
  table_.First();
  table_.Next();
  ASSERT_EQ(table_.FieldByName("no").AsInteger(), 7);
  text_.Open();
  EXPECT_EQ(text_.LowestIndex(), 5);
  EXPECT_EQ(text_.HighestIndex(), 9);
  EXPECT_EQ(text_.Parameter(5), "D");
  EXPECT_EQ(table_.FieldByName("no").AsInteger(), 7);
  EXPECT_EQ(table_.IndexName(), "ByNoDown");
  // Ordered by name, with no index on the index field first: the same range, same position.
  table_.SetIndexName("ByName");
  text_.ForgetRange();
  table_.First();
  EXPECT_EQ(text_.HighestIndex(), 9);
  EXPECT_EQ(text_.LowestIndex(), 5);
  EXPECT_EQ(table_.FieldByName("name").AsString(), "blue-green pen");
  EXPECT_EQ(table_.IndexName(), "ByName");
  EXPECT_TRUE(text_.Locate(9));
  EXPECT_EQ(table_.FieldByName("name").AsString(), "red pen");
}

// The indexing daemon walks the documents not yet indexed through a range on another index:
// the update must number documents from the lowest of all, and leave the range in force.
TEST_F(TextFenLinkTest, RangeOnAnotherIndexIsKeptAndNotTakenForTheIndexRange) {
  table_.SetIndexName("ByStock");
  table_.SetRange({dataset::TVariant(0)}, {dataset::TVariant(10)});  // documents 7 and 9
  table_.First();
  ASSERT_EQ(table_.FieldByName("no").AsInteger(), 7);
  TtxMake make;
  make.SetCache(&cache_);
  TtxTextFenLink all;
  dataset::TFenTable whole;
  whole.SetTableName(idx_.Folder() + "items");
  all.SetFenTable(&whole);
  all.SetFieldNames({"name"});
  all.SetIndexFieldName("no");
  make.SetTextLink(&all);
  make.SetWordsLink(&words_);
  make.Execute();
  whole.Close();
  text_.SetFieldNames({"name"});
  Add(6, "violet pen", 1, 3);  // inside the range
  table_.First();
  ASSERT_TRUE(text_.Locate(6));
  TtxUpdate update;
  update.SetTextLink(&text_);
  update.SetWordsLink(&words_);
  update.UpdateCurrent();
  EXPECT_EQ(text_.LowestIndex(), 5);
  EXPECT_EQ(text_.HighestIndex(), 9);
  EXPECT_EQ(table_.IndexName(), "ByStock");
  EXPECT_EQ(table_.FieldByName("no").AsInteger(), 6);
  std::vector<int> shown;
  for (table_.First(); !table_.Eof(); table_.Next()) shown.push_back(table_.FieldByName("no").AsInteger());
  EXPECT_EQ(shown, (std::vector<int>{7, 6, 9}));  // stock 0, 3, 7: the range still holds
  // Searched over the whole table, the new document is found under its own number.
  TtxTextFenLink searchText;
  dataset::TFenTable searchTable;
  searchTable.SetTableName(idx_.Folder() + "items");
  searchTable.Open();
  searchText.SetFenTable(&searchTable);
  TtxSearch search;
  search.SetTextLink(&searchText);
  search.SetWordsLink(&words_);
  search.SearchFor = "pen";
  search.Execute();
  std::vector<int32_t> hits;
  search.GetIndexValues(hits);
  EXPECT_EQ(hits, (std::vector<int32_t>{5, 6, 9}));
  searchTable.Close();
}

TEST_F(TextFenLinkTest, UnknownIndexFieldIsDropped) {
  text_.Open();
  text_.SetIndexFieldName("nosuchfield");
  EXPECT_EQ(text_.IndexFieldName(), "");
  EXPECT_EQ(Code([&] { text_.Locate(5); }), txeMissingIndexFieldName);
  EXPECT_EQ(Code([&] { text_.CurrentIndexValue(); }), txeMissingIndexFieldName);
  text_.Close();
  EXPECT_EQ(Code([&] { text_.AtEnd(); }), txeTextDataSetClosed);
  TtxTextFenLink none;
  EXPECT_EQ(Code([&] { none.Open(); }), txeInvalidTextDataSet);
}

TEST_F(TextFenLinkTest, OnProcessFieldReplacesTheBuiltInRule) {
  int calls = 0;
  text_.OnProcessField = [&calls](TtxTextDataSetLink&, TtxEngine& engine, dataset::TField& field) {
    ++calls;
    if (field.FieldName() == "name") engine.AddWord("X" + field.AsString().substr(0, 3), true);
  };
  TtxMake make;
  make.SetCache(&cache_);
  make.SetTextLink(&text_);
  make.SetWordsLink(&words_);
  make.Execute();
  EXPECT_EQ(calls, 9);
  EXPECT_EQ(StoredWords(), (std::vector<std::string>{"XBLU", "XGRE", "XRED"}));
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
