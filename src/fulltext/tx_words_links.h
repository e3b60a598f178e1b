// Words links over stored tables: the words table of the full-text index as rows of a data set.
//
//   TtxWordsDataSetLink     the table format over any data set: field binding, the split of a
//                           row's bit data over txBytes / txChar / txBlob, navigation that never
//                           stops on the properties row, locate, posting with the transaction
//                           count, and the properties row.
//   TtxWordsBaseTableLink   index handling (key kinds word / like / reverse, index creation after
//                           a build), the build's open and close sequence, the Params switches
//                           and the word neighbourhood list.
//   TtxCustomWordsFenLink   over a TFenTable; TtxWordsFenLink (building, updating and searching
//                           "words.dat") and TtxMakeWordsFenLink (writable field sizes).
//
// Contract:
// - Fields in this order: txWord (string, WordFieldSize, required), txSegment (small integer,
//   only when segmented), txReverse (only with ReverseField), txCount (integer), txLike
//   (string, LikeFieldSize, when > 0), txSize (integer), txBytes (bytes, when > 0), txChar
//   (string, when > 0), txBlob (BLOB). Primary index "txWord" on txWord (or txWord;txSegment);
//   "txLike" on txLike;txWord and "txReverse" on txReverse are added after a build.
// - Opening binds the fields and takes their sizes from the table; a table without txWord,
//   txCount, txSize or txBlob is refused with 30482 "Invalid Words DataSet" (also when no table
//   is assigned). Row operations on a closed table raise 30473 "Words dataset is closed".
// - The properties row has txWord = 0x7F 0x7F "Properties" 0x7F 0x7F (cut to the field size)
//   and txSize 0; First, Next, Prior and SeekPrefix never stop on a row whose txSize is 0.
// - A row's bit data is the match-bit record from its count field on; txSize holds its length.
// - A Post that fails cancels the row, and a row that a failure left in edit or insert state
//   is cancelled by the next Insert, Edit or Locate: a failed update never leaves a
//   half-written row for a later browse-mode check to post.
// - The words table is created with language 0: keys sort bytewise, the order the search
//   engines assume, whatever the session's default language.
// - The link does not own its table; the table must outlive the link or be unset first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fulltext/tx_links.h"
#include "platform/string_list.h"

namespace tovenmarsh::dataset {
class TDataSet;
class TField;
class TFenTable;
class TFieldDefs;
}  // namespace tovenmarsh::dataset

namespace tovenmarsh::fulltext {

class TtxTableDrivers;

// The key of the properties row, before it is cut to the word field's size.
extern const char* const kPropertiesKey;

struct TtxWordsCounters {
  int64_t RowsRead = 0;
  int64_t RowsInserted = 0;
  int64_t RowsEdited = 0;
  int64_t RowsDeleted = 0;
  int64_t BytesRead = 0;
  int64_t BytesWritten = 0;
  int32_t PostsSinceCommit = 0;
  bool TransactionOpen = false;
};

class TtxWordsDataSetLink : public TtxWordsRowLink {
 public:
  enum TCapability : unsigned { capBlob = 1, capBytes = 2, capChar = 4, capTransactions = 8 };

  TtxWordsDataSetLink();
  ~TtxWordsDataSetLink() override;

  dataset::TDataSet* DataSet() const { return dataSet_; }

  // Field sizes (see the limits in SetSize*; a read-only link raises 30496, a missing
  // capability 30471; an out-of-range or unchanged value changes nothing).
  int WordFieldSize() const { return wordFieldSize_; }
  void SetWordFieldSize(int value);
  int LikeFieldSize() const { return likeFieldSize_; }
  void SetLikeFieldSize(int value);
  int BytesFieldSize() const { return bytesFieldSize_; }
  void SetBytesFieldSize(int value);
  int CharFieldSize() const { return charFieldSize_; }
  void SetCharFieldSize(int value);
  int BlobFieldSize() const { return blobFieldSize_; }
  void SetBlobFieldSize(int value);
  bool ReverseField() const { return reverseField_; }
  void SetReverseField(bool value) { reverseField_ = value; }
  int Transactions() const { return transactions_; }
  void SetTransactions(int value);

  std::function<void(TtxWordsDataSetLink&)> AfterPost;
  const TtxWordsCounters& Counters() const { return counters_; }
  void ResetCounters() { counters_ = TtxWordsCounters{}; }
  bool Ansi() const { return ansi_; }

  int KeyFieldSize() const override { return wordFieldSize_; }
  bool IsActive() override;
  void Open() override;
  void Close() override;
  void SelectKey(int kind) override;
  int SelectedKey() const override { return key_; }
  bool HasLike() const override { return likeField_ != nullptr && !keyFields_[kkLike].empty(); }
  bool HasReverse() const override { return reverseField_ && reverseFieldPtr_ != nullptr; }

  void ReadProperties(platform::TStream& stream) override;
  void WriteProperties(platform::TStream& stream) override;
  bool Locate(const std::string& word, int32_t segment, bool partial) override;
  bool First() override;
  bool Next() override;
  bool Prior() override;
  bool AtEnd() override;
  void SeekPrefix(const std::string& pattern, char anyChar, char oneChar) override;
  std::string Word() override;
  int32_t Segment() override;
  std::string Like() override;
  std::string Reverse() override;
  int32_t Size() override;
  int32_t Count() override;
  int32_t ReadBits(uint8_t* buffer, size_t length) override;

  void Insert() override;
  void Edit() override;
  void Post() override;
  void Delete() override;
  void SetWord(const std::string& word) override;
  void SetLike(const std::string& like) override;
  void SetSegment(int32_t segment) override;
  void SetCount(int32_t count) override;
  void WriteBits(const uint8_t* record, size_t size) override;

  // Transactions: commit the open one / start one (only with Transactions > 0).
  void Commit();
  void StartTransaction();

 protected:
  virtual unsigned Capabilities() const { return 0; }
  virtual bool WritableSizes() const { return false; }
  // Data set transactions (none here).
  virtual bool DataSetInTransaction() { return false; }
  virtual void DataSetTransaction(int /*operation*/) {}
  // Positions on the first row whose key (current key kind) is at or after prefix.
  virtual void SeekNearest(const std::string& prefix);
  // Changes the data set: forgets the bindings and the properties-read flag.
  void SetDataSet(dataset::TDataSet* dataSet);
  dataset::TDataSet& CheckOpen();
  void BindFields();
  void UnbindFields();
  // Adds the field definitions of a new words table.
  void DefineFields(dataset::TFieldDefs& defs) const;
  // Skips properties rows forward (true) or backward; false when the walk fell off the end.
  bool SkipProperties(bool forward);
  void CountPost();
  // Cancels a row left in edit or insert state by a failure.
  void DropUnposted();
  std::string PropertiesKey() const;
  // Finds the properties row (on the word key); the table is left there when found.
  virtual bool FindPropertiesRow();
  std::string KeyFieldList(int kind) const { return keyFields_[kind]; }
  // ReadBits of the row as the data set last read it.
  int32_t ReadRowBits(uint8_t* buffer, size_t length);

  dataset::TDataSet* dataSet_ = nullptr;
  dataset::TField* wordField_ = nullptr;
  dataset::TField* segmentField_ = nullptr;
  dataset::TField* reverseFieldPtr_ = nullptr;
  dataset::TField* countField_ = nullptr;
  dataset::TField* likeField_ = nullptr;
  dataset::TField* sizeField_ = nullptr;
  dataset::TField* bytesField_ = nullptr;
  dataset::TField* charField_ = nullptr;
  dataset::TField* blobField_ = nullptr;

  int wordFieldSize_ = 20;
  int likeFieldSize_ = 5;
  int bytesFieldSize_ = 0;
  int charFieldSize_ = 0;
  int blobFieldSize_ = 0;
  int reverseSize_ = 0;
  bool reverseField_ = false;
  int transactions_ = 0;
  bool ansi_ = true;
  int key_ = kkNone;
  // Per key kind: the index name and the field list ("" = not available).
  std::string keyNames_[4];
  std::string keyFields_[4];
  TtxWordsCounters counters_;
};

class TtxWordsBaseTableLink : public TtxWordsDataSetLink {
 public:
  TtxWordsBaseTableLink();

  // Select indexes by name instead of by field list.
  bool SelectByName() const { return selectByName_; }
  void SetSelectByName(bool value) { selectByName_ = value; }
  void SelectKey(int kind) override;
  void ReadProperties(platform::TStream& stream) override;

  // Up to `before` distinct words before word and `after` from there on, each with the sum of
  // txCount over its rows.
  void WordList(const std::string& word, int before, std::vector<std::pair<std::string, int64_t>>& list,
                int after);

  // A Params switch read as a Boolean ("1", "T", "TRUE" are true; empty takes the default).
  bool Switch(const char* name, bool byDefault) const;

  void StateEntered(TtxEngine& engine, int bit) override;
  void StateLeft(TtxEngine& engine, int bit) override;

  TtxTableDrivers& Drivers() const { return *drivers_; }
  void SetDrivers(TtxTableDrivers& drivers) { drivers_ = &drivers; }

 protected:
  // The table's own index operations.
  virtual void ApplyIndex(const std::string& name, const std::string& fields) = 0;
  virtual bool HasIndexOnFields(const std::string& fields) = 0;
  virtual void AddIndex(const std::string& name, const std::string& fields, bool primary) = 0;
  // Adds the word index when the table has none (the engine link defines it with the table).
  virtual void AddWordIndex();
  virtual void DefineIndexes() {}
  virtual void DisableControls() = 0;
  virtual void EnableControls() = 0;
  void EnterBuild(TtxEngine& engine);
  void LeaveBuild(TtxEngine& engine);

  bool selectByName_ = false;
  TtxTableDrivers* drivers_;
  int searchDisabled_ = 0;
};

class TtxCustomWordsFenLink : public TtxWordsBaseTableLink {
 public:
  TtxCustomWordsFenLink() = default;

  dataset::TFenTable* FenTable() const { return table_; }
  void SetFenTable(dataset::TFenTable* table);
  // 0 database name, 1 table name, 2 index name, 3 index field names (else 30480).
  std::string Parameter(int number) const;
  void SetParameter(int number, const std::string& value);
  // Beside the table's file: "words.phrases" for "words.dat" (none while closed or in memory).
  std::string PhraseFileName() override;

 protected:
  bool DataSetInTransaction() override;
  void DataSetTransaction(int operation) override;
  void SeekNearest(const std::string& prefix) override;
  bool FindPropertiesRow() override;
  void ApplyIndex(const std::string& name, const std::string& fields) override;
  bool HasIndexOnFields(const std::string& fields) override;
  void AddIndex(const std::string& name, const std::string& fields, bool primary) override;
  void AddWordIndex() override {}
  void DefineIndexes() override;
  void DisableControls() override;
  void EnableControls() override;

  dataset::TFenTable* table_ = nullptr;
};

// The link the application uses for "words.dat": default sizes, transactions only.
class TtxWordsFenLink : public TtxCustomWordsFenLink {
 protected:
  unsigned Capabilities() const override { return capTransactions; }
};

// A build link with writable field sizes (BLOB, bytes and transactions; txBytes 28 bytes).
class TtxMakeWordsFenLink : public TtxCustomWordsFenLink {
 public:
  TtxMakeWordsFenLink() { bytesFieldSize_ = 28; }

 protected:
  unsigned Capabilities() const override { return capBlob | capBytes | capTransactions; }
  bool WritableSizes() const override { return true; }
};

}  // namespace tovenmarsh::fulltext
