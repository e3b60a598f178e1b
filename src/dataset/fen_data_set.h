// Data sets over an engine cursor. TFenDataSet puts one engine cursor (engine::TDataCursor)
// behind the record-set framework's data set; TFenDBDataSet binds it by name to a database of
// a session, attached while open.
//
// Contract: navigation answers of the cursor (0, 8705 before the first, 8706 after the last)
// drive the framework; every other engine failure arrives as EFenEngineError. Field values
// pass in the engine's value forms unchanged. A bookmark of another size than the cursor's
// (taken under another index) is refused with EDatabaseError. Opening attaches to the
// database (opening it through the session); closing detaches, and the database's own Close
// closes every data set attached to it. Opening and closing the engine cursor run under the
// engine lock, since they change the table objects that the session's users share; record
// work does not. Key search, ranges and locate use the active index (or, for tables, a lookup
// cursor on another index); a locate that no index serves runs through an engine filter. OnFilterRecord filters the records fetched while Filtered is on (RecNo then
// still counts the unfiltered order). BLOB fields are read and written through TFenBlobStream;
// a written value stays open in the record buffer until Post, Cancel, Delete or Close, which
// close every BLOB the cursor holds open (the engine allows 64 at a time). The Filter text
// (with FilterOptions) is an engine filter on the cursor, in force while Filtered is on: the
// cursor then steps and counts only the records it accepts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/data_set.h"
#include "dataset/fen_database.h"
#include "dataset/fen_session.h"

namespace tovenmarsh::engine {
class TDataCursor;
class TFilter;
}

namespace tovenmarsh::dataset {

inline constexpr const char* kErrorCreatingHandle = "Error creating table handle.";

class TFenDataSet : public TDataSet {
 public:
  TFenDataSet();
  ~TFenDataSet() override;

  engine::TDataCursor* Handle() const { return cursor_.get(); }
  bool CanModify() const override { return canModify_; }
  bool AutoDisplayLabels() const { return autoDisplayLabels_; }
  void SetAutoDisplayLabels(bool value);

  std::unique_ptr<platform::TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  // Closes the field's BLOB in the active record buffer; a change not yet posted is dropped.
  void CloseBlob(TField& field);
  void SetFilterText(std::string text) override;
  void SetFilterOptions(TFilterOptions options) override;
  void SetFiltered(bool filtered) override;
  void SetOnFilterRecord(TFilterRecordEvent handler) override;

  // The active index's fields: count (0: no index, physical order) and the i-th one
  // ("Field index out of range"; "Cannot access index field '%s'" without a field object).
  int IndexFieldCount() const override { return static_cast<int>(indexFieldNumbers_.size()); }
  TField& IndexFields(int i);
  // How many leading index fields the key being edited uses (key editing only).
  void SetKeyFieldCount(int count);

  // A new record starts as a copy of the record that was current (its BLOB values copied too;
  // the auto-increment number is the new record's own).
  bool CopyOnAppend() const { return copyOnAppend_; }
  void SetCopyOnAppend(bool value) { copyOnAppend_ = value; }
  // Writes the table's changed caches and headers (exclusive cursor outside a transaction) and
  // asks the system to put its files on disk (not for a read-only table, nor when the session
  // writes through anyway).
  void FlushBuffers();

 protected:
  // Key buffers: the search key, the range bounds being edited and in force, and the saved
  // copy of the buffer being edited.
  enum TKeyIndex { kKeySearch = 0, kKeyRangeStart, kKeyRangeEnd, kKeyCurRangeStart, kKeyCurRangeEnd, kKeySave };
  struct TKeyBuffer {
    bool Modified = false;
    int32_t FieldCount = 0;
    std::vector<uint8_t> Record;
    bool operator==(const TKeyBuffer&) const = default;
  };
  TKeyBuffer& KeyBuffer(int index) { return keyBuffers_.at(static_cast<size_t>(index)); }
  void InitKeyBuffer(TKeyBuffer& buffer);
  // Starts editing a key buffer (cleared or kept) in key-editing state.
  void SetKeyBuffer(int index, bool clear);
  void PostKeyBuffer(bool commit) override;
  uint8_t* KeyRecordBuffer() override;
  bool IsIndexField(const TField& field) const override;
  // Puts values 0..lastIndex into the index fields of a key buffer (no index: "No index
  // currently active"); the buffer's field count is lastIndex + 1.
  void SetKeyFields(int index, const std::vector<TVariant>& values, int lastIndex);
  // Range bounds for a detail: the master fields' values in the leading index fields.
  void SetLinkRanges(const std::vector<TField*>& masterFields);
  // Fills key buffer `index` through the index fields in the set-key state; the state and the
  // current key are restored whatever happens.
  void FillKeyBuffer(int index, const std::function<void(TKeyBuffer&)>& fill);
  // Applies the edited range bounds when they differ from the bounds in force.
  bool ApplyKeyRange();
  // Lifts the range in force; false when there was none.
  bool ResetCursorRange();
  // Switches the cursor to an index (engine name; "" the primary index).
  void SwitchToIndex(const std::string& engineName);
  void ReadIndexInfo();
  // Seeks through the active index when its leading fields are the key fields in order and its
  // case rule is the one asked for, else through the lookup cursor when there is one; otherwise
  // through an engine filter of "field = value" conditions.
  bool LocateRecord(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                    TLocateOptions options, bool sync) override;
  // Searches with the expression filter and OnFilterRecord in force for the search only.
  bool FindRecord(bool restart, bool forward) override;
  void PrepareNewRecord(uint8_t* buffer) override;
  // A cursor of the same table whose index serves the key fields (";"-separated, in order) with
  // that case rule; none here. It stays valid until DestroyLookupCursor.
  virtual engine::TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive);
  virtual void DestroyLookupCursor() {}
  // Whether the session writes every change through to the disk already.
  virtual bool WritesThrough() const { return false; }

  // A new engine cursor for this data set (none here).
  virtual std::unique_ptr<engine::TDataCursor> CreateHandle();
  // Closes and frees the engine cursor.
  virtual void DestroyHandle();
  // Runs once the cursor is open and the fields are bound, before the first record is read.
  virtual void PrepareCursor() {}
  void AfterFieldsBound() override { PrepareCursor(); }

  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return cursor_ != nullptr; }
  int GetRecordSize() const override;
  int GetBookmarkSize() const override;
  void InternalFirst() override;
  void InternalLast() override;
  int FetchRecord(uint8_t* buffer, TGetMode mode) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  bool InternalSetToNearest(uint8_t* buffer) override;
  int CompareBookmarkData(const TBookmark& a, const TBookmark& b) override;
  void InternalInitRecord(uint8_t* buffer) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override;
  int GetRecordCount() override;
  void InternalSetRecNo(int recNo) override;
  bool ReadFieldData(const TField& field, const uint8_t* buffer, void* destination) override;
  void WriteFieldData(const TField& field, uint8_t* buffer, const void* source) override;
  [[noreturn]] void RaiseSourceError(int code) override;
  // Raises a code the cursor answered, naming the cursor's table (its navigation codes come
  // back as numbers, without the names a raised engine error carries) and the field, if any.
  [[noreturn]] void RaiseCursorError(int code, const std::string& field = {}) const;

  // Reads the field definitions from the open cursor's descriptors.
  void ReadFieldDefs();
  // Closes the BLOBs of the record just posted or cancelled.
  void FreeFieldBuffers() override;
  void ActiveRecordLeaving() override;

  std::unique_ptr<engine::TDataCursor> cursor_;

 private:
  friend class TFenBlobStream;
  // Whether the field's BLOB is open and changed in the buffer (only the active one can be).
  bool BlobFieldModified(int fieldNo, const uint8_t* buffer);
  void MarkBlobFieldModified(int fieldNo, const uint8_t* buffer);
  // Closes every BLOB open in the buffer (streams on them become stale).
  void CloseRecordBlobs(uint8_t* buffer);

  void ApplyDisplayLabels();
  bool CallbackFilterActive() const { return Filtered() && static_cast<bool>(OnFilterRecord()); }
  // The engine filter made from Filter and FilterOptions (none for an empty text), active
  // while Filtered is on; a new one replaces the old.
  void ReplaceExpressionFilter(const std::string& text, TFilterOptions options);
  int FetchOne(uint8_t* buffer, TGetMode mode);
  // Seeks the key values through an index of `search` (the own cursor or the lookup cursor).
  bool SeekLocateKey(engine::TDataCursor& search, const std::vector<TField*>& keyFields,
                     const std::vector<TVariant>& values, TLocateOptions options);
  // Finds the first record of the filter "field1 = value1 AND field2 = value2 ...".
  bool FilterLocate(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                    TLocateOptions options);
  // Switches the expression filter on (or off) while Filtered is off; nothing otherwise.
  void SwitchSearchFilter(bool on);

  void AllocateKeyBuffers();

  bool canModify_ = false;
  bool copyOnAppend_ = false;
  engine::TFilter* expressionFilter_ = nullptr;  // owned by the cursor
  bool autoDisplayLabels_ = false;
  std::array<TKeyBuffer, 6> keyBuffers_;
  int currentKey_ = -1;
  std::vector<uint16_t> indexFieldNumbers_;
  bool indexCaseInsensitive_ = false;
  std::vector<int> modifiedBlobs_;  // field numbers of the BLOBs changed in the active buffer
  uint32_t blobGeneration_ = 0;     // advances whenever the record's open BLOBs are closed
  bool activeBlobsOpen_ = false;    // a stream opened a value in the active buffer
};

class TFenDBDataSet : public TFenDataSet, public TFenDatabaseClient {
 public:
  // Attach flags.
  static constexpr int kFlagCursorOpen = 0;
  static constexpr int kFlagTableAccess = 3;
  static constexpr int kFlagFieldDefs = 4;
  static constexpr int kFlagIndexDefs = 5;

  explicit TFenDBDataSet(TFenComponentOwner* owner = nullptr);
  ~TFenDBDataSet() override;

  const std::string& DatabaseName() const { return databaseName_; }
  virtual void SetDatabaseName(std::string name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(std::string name);
  TFenComponentOwner* Owner() const { return owner_; }

  // The database while attached (none otherwise).
  TFenDatabase* Database() const { return database_; }
  // The session named by SessionName.
  TFenSession& DBSession() const;

  void Disconnect() override { Close(); }
  // Sets or clears one attach flag; the first set attaches, clearing the last detaches.
  int SetDBFlag(int flag, bool value);
  bool DBFlag(int flag) const { return (flags_ & (1u << flag)) != 0; }

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  bool WritesThrough() const override;

  // Sets an attach flag for the lifetime of a scope.
  class TFlagScope {
   public:
    TFlagScope(TFenDBDataSet& dataSet, int flag) : dataSet_(dataSet), flag_(flag) { dataSet_.SetDBFlag(flag_, true); }
    ~TFlagScope() {
      try {
        dataSet_.SetDBFlag(flag_, false);
      } catch (...) {
        // Detaching never fails the operation it ends.
      }
    }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

   private:
    TFenDBDataSet& dataSet_;
    int flag_;
  };

 private:
  // Moves a closed database of DatabaseName kept in the default session into `session`.
  void AdoptKeptDatabase(TFenSession& session);

  TFenComponentOwner* const owner_;
  std::string databaseName_;
  std::string sessionName_;
  TFenDatabase* database_ = nullptr;
  TFenSession* attachedSession_ = nullptr;
  uint16_t flags_ = 0;
};

}  // namespace tovenmarsh::dataset
