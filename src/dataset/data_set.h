// The record-set framework's data set: states, the record buffers, field objects and their
// data, navigation, editing, bookmarks and notifications, over an abstract record source.
//
// Contract: a derived class supplies the record source through the protected virtual
// operations below (open/close the source, go before the first / after the last record,
// fetch the current/next/prior record into a buffer answering 0, 8705 or 8706, bookmarks,
// record initialisation, edit lock, post, cancel, delete, refresh, record count and the field
// data of a record buffer). Everything the rest of the system relies on lives here:
// - Open reads the first record: Bof is true, Eof is true only when nothing is visible.
// - Next on the last record sets Eof without an exception; Prior on the first sets Bof.
// - A failed fetch leaves the active record in place and marks the cursor position as changed:
//   the next move or edit first puts the cursor back on the active record.
// - After Delete the record that followed is current (else the one before; none: empty).
// - The browse-mode check (every move, Refresh, a new edit or insert) posts a modified edit or
//   insert and cancels an unmodified one. Cancel rereads the record, undoing the changes;
//   Close drops an unfinished edit and releases its lock.
// - Insert/Append fill the new record with the source's defaults; RecNo of it is -1.
// - Field writes outside the writable states raise "Dataset not in edit or insert mode".
// One buffer holds the active record and one scratch buffer receives fetches, so a failed fetch
// never disturbs the record the user sees. Layout of a record buffer: the source's record,
// then per calculated field a has-value byte and its value, then 4 bytes sequence number,
// 1 byte bookmark flag (3 reserved), then the bookmark.
// Derived classes must call Close() in their own destructor (it needs the source).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/data_set_state.h"
#include "dataset/field_defs.h"
#include "dataset/fields.h"
#include "dataset/variant.h"
#include "platform/stream.h"

namespace tovenmarsh::dataset {

class TDataSource;

// What a data set tells each data source connected to it (TDataSource, data_link.h); a source
// joins and leaves its data set's list itself.
class TDataSetListener {
 protected:
  virtual ~TDataSetListener() = default;

 private:
  friend class TDataSet;
  virtual void DataEvent(TDataEvent event, TField* field) = 0;
  virtual void DataSetDestroyed() = 0;
};

enum TFilterOption : uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = uint8_t;
enum TLocateOption : uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = uint8_t;

class TDataSet {
 public:
  using TNotifyEvent = std::function<void(TDataSet&)>;

  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  // Opening and state.
  void Open();
  void Close();
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  void SetActive(bool active) { active ? Open() : Close(); }
  TDataSetState State() const { return state_; }
  bool Modified() const { return modified_; }

  // Navigation.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return !Active() || recordCount_ == 0; }
  int RecordCount();
  int RecNo() const;
  void SetRecNo(int recNo);
  void Refresh();

  // Editing.
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  void CheckBrowseMode();
  void UpdateRecord();
  virtual bool CanModify() const { return true; }

  // Fields and definitions.
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(std::string_view name) const { return fields_.FindField(name); }
  TField& FieldByName(std::string_view name) const { return fields_.FieldByName(name); }
  // Adds a persistent field (only while closed); data fields bind to the definition of the
  // same name at open, calculated fields get a slot in every record buffer.
  TField& AddField(std::unique_ptr<TField> field, std::string name,
                   TFieldKind kind = TFieldKind::fkData);
  TFieldDefs& FieldDefs() { return fieldDefs_; }

  // Bookmarks.
  TBookmark GetBookmark() const;
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& bookmark);
  int CompareBookmarks(const TBookmark& a, const TBookmark& b);
  int BookmarkSize() const { return bookmarkSize_; }

  // Notifications to data sources.
  void DisableControls() { ++disableCount_; }
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }
  // The master data source this data set follows (none here).
  virtual TDataSource* GetDataSource() const { return nullptr; }

  // Filters: stored here, applied by the record source through the Set* hooks.
  const std::string& Filter() const { return filterText_; }
  virtual void SetFilterText(std::string text) { filterText_ = std::move(text); }
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool filtered) { filtered_ = filtered; }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  virtual void SetFilterOptions(TFilterOptions options) { filterOptions_ = options; }
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;
  const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
  virtual void SetOnFilterRecord(TFilterRecordEvent handler) { onFilterRecord_ = std::move(handler); }

  // Searching. Locate moves to the first record whose key fields (";"-separated) equal the
  // values (one per field, else EDatabaseError); a null or empty value finds null fields.
  // loCaseInsensitive and loPartialKey act on string fields only; with loPartialKey a string
  // value matches fields that begin with it (a trailing "*" after at least one character is
  // dropped). Not found leaves the active record in place. Lookup finds the same way (exact,
  // case-sensitive) without moving and answers the result fields' values (all null when not
  // found).
  bool Locate(std::string_view keyFields, const std::vector<TVariant>& values, TLocateOptions options);
  // The first / last / next / prior record that the filters accept, whether or not Filtered
  // is on; false (and no move) when there is none.
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  std::vector<TVariant> Lookup(std::string_view keyFields, const std::vector<TVariant>& values,
                               std::string_view resultFields);

  // Field data of the record buffer of the current state (used by the field objects).
  bool GetFieldData(const TField& field, void* destination);
  void SetFieldData(TField& field, const void* source);
  virtual std::unique_ptr<platform::TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) = 0;

  // Events.
  TNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert,
      BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
      AfterDelete, BeforeScroll, AfterScroll, OnNewRecord, OnCalcFields;

 protected:
  // ---- The record source ----
  // Opens the source and fills FieldDefs(); on failure the source is left closed.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  // Sizes of the source's record and of its bookmarks (read at open and by RecomputeLayout).
  virtual int GetRecordSize() const = 0;
  virtual int GetBookmarkSize() const = 0;
  // Puts the cursor before the first / after the last record.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Reads the record at the mode's place into the buffer's record part, and on success stores
  // its sequence number (SetBufferRecNo) and bookmark (SetBookmarkData). Answers 0, 8705 (no
  // record before), 8706 (no record after) or another failure code.
  virtual int FetchRecord(uint8_t* buffer, TGetMode mode) = 0;
  // Puts the cursor on the record of a bookmark; raises when it cannot.
  virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
  // Puts the cursor on the buffer's record (default: its bookmark).
  virtual void InternalSetToRecord(uint8_t* buffer);
  // Puts the cursor on the buffer's record and answers true; when that record is gone (another
  // user deleted it), puts it on the nearest record, if any, and answers false. The default
  // knows no nearest record and raises like InternalSetToRecord.
  virtual bool InternalSetToNearest(uint8_t* buffer);
  // -1, 0 or 1 (2 counts as equal) for two bookmarks of this source.
  virtual int CompareBookmarkData(const TBookmark& a, const TBookmark& b) = 0;
  // Fills a new record with the defaults.
  virtual void InternalInitRecord(uint8_t* buffer) = 0;
  // Locks the cursor's record and rereads it into the active buffer.
  virtual void InternalEdit() = 0;
  // Writes the active buffer: a modification in edit state, an insertion in insert state,
  // leaving the cursor on the written record. The default checks required fields only.
  virtual void InternalPost();
  // Releases what Edit took (the record lock); called in edit and insert state.
  virtual void InternalCancel() = 0;
  // Deletes the cursor's record; the cursor then stands on the following one.
  virtual void InternalDelete() = 0;
  virtual void InternalRefresh() = 0;
  virtual int GetRecordCount() = 0;
  virtual void InternalSetRecNo(int recNo) = 0;
  // Field data of a data field in a record buffer (value forms of field_types.h).
  virtual bool ReadFieldData(const TField& field, const uint8_t* buffer, void* destination) = 0;
  virtual void WriteFieldData(const TField& field, uint8_t* buffer, const void* source) = 0;
  // Raises the failure code of a fetch (default: the engine's error for the code).
  [[noreturn]] virtual void RaiseSourceError(int code);

  // ---- Hooks with empty defaults ----
  // Releases per-record resources after Post and Cancel (open BLOBs of the record).
  virtual void FreeFieldBuffers() {}
  // The active buffer is about to take another record (or be emptied): whatever it still
  // holds open for the record it leaves is released.
  virtual void ActiveRecordLeaving() {}
  // Runs at open once the fields are bound, before the source goes to its first record.
  virtual void AfterFieldsBound() {}
  // Prepares a new record before OnNewRecord (master values, copy on append).
  virtual void PrepareNewRecord(uint8_t* /*buffer*/) {}
  // The bookmark of the record that was active when the new record began (empty: none).
  const TBookmark& NewRecordSource() const { return newRecordSource_; }
  // Key editing: the record part of the key buffer being edited, and the index fields.
  virtual uint8_t* KeyRecordBuffer() { return nullptr; }
  virtual int IndexFieldCount() const { return 0; }
  virtual bool IsIndexField(const TField& /*field*/) const { return false; }
  // Ends key editing (Post commits the key buffer, Cancel restores it).
  virtual void PostKeyBuffer(bool /*commit*/) { SetState(TDataSetState::dsBrowse); }
  // Finds the first record matching the key into TempBuffer(); with sync the cursor is left on
  // it for a resync. The default scans the source from its first record; sources with indexes
  // or filters of their own override it.
  virtual bool LocateRecord(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                            TLocateOptions options, bool sync);
  // Searches from the active record (restart: from the first / last) for a record that the
  // filters accept. The default applies OnFilterRecord; sources with filters of their own
  // override it.
  virtual bool FindRecord(bool restart, bool forward);
  // Whether the field of the record being looked at (filter state) matches a locate value.
  static bool FieldMatches(const TField& field, const TVariant& value, TLocateOptions options);
  // Runs OnFilterRecord for a record in a temporary filter state: Accept starts true; a handler
  // that raises leaves it as it was.
  bool RunFilterRecord(uint8_t* record);

  // ---- Helpers for derived classes ----
  uint8_t* ActiveBuffer() { return buffers_[0].data(); }
  uint8_t* TempBuffer() { return buffers_[1].data(); }
  int RecordSize() const { return recordSize_; }
  int RecordBufferSize() const { return bookmarkOffset_ + bookmarkSize_; }
  TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) const;
  void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag);
  TBookmark GetBookmarkData(const uint8_t* buffer) const;
  void SetBookmarkData(uint8_t* buffer, std::string_view bookmark);
  int32_t GetBufferRecNo(const uint8_t* buffer) const;
  void SetBufferRecNo(uint8_t* buffer, int32_t recNo);
  // The record buffer that field reads and writes use in the current state (none: null).
  uint8_t* GetActiveRecordBuffer();
  // Marks the cursor as moved away from the active record / puts it back there.
  void CursorPosChanged() { cursorOnActive_ = false; }
  void UpdateCursorPos();
  // UpdateCursorPos for an operation that keeps the position only as a courtesy (refresh,
  // lifting a range, switching the index): when another user deleted the active record, the
  // cursor goes to the nearest record instead and the buffers show that one, or none.
  void UpdateCursorPosOrNearest();
  // Rereads the active record (exact: that record or "Record not found"; otherwise the
  // current, else the next, else the prior record, else empty).
  void Resync(bool exact);
  void SetState(TDataSetState state);
  void DataEvent(TDataEvent event, TField* field = nullptr);
  void CheckActive() const;
  void CheckInactive() const;
  void CheckCanModify() const;
  void CheckRequiredFields();
  // Fetch with the code mapping: 0 -> grOK, 8705 -> grBOF, 8706 -> grEOF, other codes raised
  // when check is set, else grError. On success the flag is bfCurrent and calculated fields
  // are computed.
  TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool check);
  // Recomputes the buffer layout (the bookmark size may have changed) and empties the buffers.
  void RecomputeLayout();
  void ClearBuffers();
  void GetCalcFields(uint8_t* buffer);
  // Temporary state with a record to look at (filter callbacks, calculations); restores the
  // previous state when the scope ends.
  class TTempState {
   public:
    TTempState(TDataSet& dataSet, TDataSetState state, uint8_t* buffer);
    ~TTempState();
    TTempState(const TTempState&) = delete;
    TTempState& operator=(const TTempState&) = delete;

   private:
    TDataSet& dataSet_;
    TDataSetState saved_;
    uint8_t* savedBuffer_;
  };

 private:
  friend class TDataSource;
  void OpenCursor();
  void CloseCursor();
  void CreateFields();
  void BindFields();
  void UnbindFields();
  void AllocateBuffers();
  bool GetNextRecord();
  bool GetPriorRecord();
  void SetCurrentRecord();
  void InitRecord(uint8_t* buffer);
  void BeginInsertAppend();
  void EndInsertAppend();
  static void Fire(const TNotifyEvent& event, TDataSet& self) {
    if (event) event(self);
  }

  TDataSetState state_ = TDataSetState::dsInactive;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  int recordCount_ = 0;         // 1 when the active buffer holds a record
  bool cursorOnActive_ = false; // the cursor stands on the active record
  std::vector<uint8_t> buffers_[2];
  uint8_t* tempStateBuffer_ = nullptr;  // calc or filter record of a temporary state
  int recordSize_ = 0;
  int calcSize_ = 0;
  int infoOffset_ = 0;
  int bookmarkOffset_ = 0;
  int bookmarkSize_ = 0;
  int disableCount_ = 0;
  std::string filterText_;
  bool filtered_ = false;
  TFilterOptions filterOptions_ = 0;
  TFilterRecordEvent onFilterRecord_;
  TFields fields_;
  TFieldDefs fieldDefs_;
  std::vector<TDataSetListener*> dataSources_;
  TBookmark newRecordSource_;
};

}  // namespace tovenmarsh::dataset
