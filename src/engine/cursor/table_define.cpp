// Table definition through a cursor: validation of new definitions, create, delete, rename and
// empty, adding and dropping indexes, and rewriting the header information in place.
// Implements the table definition calls of engine/cursor/cursor.h.
//
// Checks run in a fixed order so that a definition with several faults always reports the same
// one first. Index additions run under the table's write lock; a unique index deletes the
// records whose key it already holds and reports each deletion through the restructure event.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/cursor/cursor.h"
#include "engine/format/data_file_format.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/expr/expr_convert.h"
#include "engine/base/languages.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return Trim(s);
}

bool ValidLimitText(const FieldDesc& f, const std::string& text) {
  if (text.empty()) return true;
  const std::string word = Upper(text);
  if (f.FieldType == fldDate && word == "DATE") return true;
  if (f.FieldType == fldTime && word == "TIME") return true;
  if (f.FieldType == fldTimeStamp && (word == "NOW" || word == "DATE" || word == "TIME")) return true;
  switch (f.FieldType) {
    case fldBlob: case fldBytes: case fldVarBytes: case fldZString:
      return true;
    default:
      return IsValidFieldText(text, f.FieldType);
  }
}

}  // namespace

void TDataCursor::CheckFieldList(std::vector<FieldDesc>& fields, bool keepComputed) const {
  for (size_t i = 0; i < fields.size(); ++i) {
    FieldDesc& f = fields[i];
    f.Name = Trim(f.Name);
    bool duplicate = false;
    for (size_t j = 0; j < i; ++j) duplicate = duplicate || Upper(fields[j].Name) == Upper(f.Name);
    if (f.Name.empty() || f.Name.size() > static_cast<size_t>(kMaxNameLength) || !IsValidDescName(f.Name) || duplicate)
      Raise(kErrInvalidFieldName, f.Name);
    bool numberTwice = false;
    for (size_t j = 0; j < i; ++j) numberTwice = numberTwice || fields[j].FieldNumber == f.FieldNumber;
    const bool sized = f.FieldType == fldZString || f.FieldType == fldBytes || f.FieldType == fldVarBytes;
    if (numberTwice || f.FieldType == 0 || f.FieldType > fldVarBytes || (sized && f.Size > kMaxStringSize) ||
        (sized && f.Size == 0))
      Raise(kErrInvalidFieldDefinition, f.Name);
    if (!sized) f.Size = 0;
    if (!ValidLimitText(f, f.DefaultValue) || !ValidLimitText(f, f.MinValue) || !ValidLimitText(f, f.MaxValue))
      Raise(kErrInvalidValidityCheck, f.Name);
    if (f.FieldType != fldBCD) f.Scale = 0;
    if (!keepComputed) f.Calculated = false;
  }
}

void TDataCursor::ValidateDefinition(const TTableAttributes& a, std::vector<IndexDesc>& indexes,
                                     std::vector<FieldDesc>& fields) const {
  if (a.Encrypted) {
    const std::string password = Trim(a.Password);
    if (password.empty() || password.size() >= 16) Raise(kErrInvalidPassword);
  }
  if (a.LanguageId != 0) {
    const int position = LanguagePositionOfId(a.LanguageId);
    std::vector<std::string> orders;
    if (position >= 0) SortOrdersOfLanguage(position, orders);
    if (position < 0 || a.SortId >= orders.size()) Raise(kErrLanguageDriver);
  }
  const size_t secondary = indexes.empty() ? 0 : indexes.size() - 1;
  if (fields.size() > static_cast<size_t>(kMaxFieldsPerTable) || a.LastAutoInc < -1) Raise(kErrFieldLimits);
  if (secondary > 30) Raise(kErrIndexLimits);
  if (a.BlobBlockSize < static_cast<uint32_t>(kMinBlobBlockSize)) Raise(kErrBlobFieldsOrBlockSize);
  // Fields.
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].FieldNumber == 0) fields[i].FieldNumber = static_cast<uint16_t>(i + 1);
  // Value texts read with the new table's language settings.
  WithTableLocale(a.LanguageId, a.SortId, [&] {
    CheckFieldList(fields, queryResult_);
    return 0;
  });
  std::vector<FieldDesc> laid = fields;
  LayoutRecordFields(laid);
  fields = laid;
  // Indexes.
  for (size_t i = 0; i < indexes.size(); ++i) {
    IndexDesc& d = indexes[i];
    if (i == 0) {
      d.Name.clear();
      d.Unique = true;
    } else {
      d.Name = Trim(d.Name);
      if (d.Name.empty() || !IsValidDescName(d.Name)) Raise(kErrInvalidSecondaryIndexName, {}, d.Name);
      for (size_t j = 1; j < i; ++j)
        if (Upper(indexes[j].Name) == Upper(d.Name)) Raise(kErrSecondaryIndexExists, {}, d.Name);
    }
    if (i == 0 && d.FieldCount == 0) continue;  // no primary index
    int size = 0;
    if (d.FieldCount > kMaxFieldsPerIndex) Raise(kErrInvalidKeySize, {}, d.Name);
    for (int k = 0; k < d.FieldCount; ++k) {
      const FieldDesc* f = nullptr;
      for (const FieldDesc& x : fields)
        if (x.FieldNumber == d.FieldNumbers[k]) f = &x;
      if (!f) Raise(kErrInvalidIndexFieldNumber, std::to_string(d.FieldNumbers[k]), d.Name);
      if (f->IsBlob()) Raise(kErrInvalidIndexFieldType, f->Name, d.Name);
      size += f->PhysicalSize + 1;
    }
    if (size == 0 || size > kMaxKeySize) Raise(kErrInvalidKeySize, {}, d.Name);
    d.KeySize = static_cast<int16_t>(size + (d.Unique ? 0 : 4));
  }
}

void TDataCursor::CreateTable(const TTableAttributes& attributes, bool overwrite, std::vector<IndexDesc> indexes,
                              std::vector<FieldDesc> fields) {
  CheckClosed();
  CheckExclusive();
  CheckWritable();
  TDataSession* session = directory_->Session();
  const bool addPassword = attributes.Encrypted && session && !session->HasPassword(attributes.Password);
  if (addPassword) session->AddPassword(attributes.Password);
  struct TForget {
    TDataSession* s;
    bool on;
    std::string p;
    ~TForget() {
      if (on) s->RemovePassword(p);
    }
  } forget{session, addPassword, attributes.Password};
  ValidateDefinition(attributes, indexes, fields);
  if (directory_->TableExists(tableName_, inMemory_)) {
    if (!overwrite) Raise(kErrTableExists);
    const int rc = directory_->DeleteTable(tableName_, inMemory_);
    if (rc < 0) Raise(static_cast<uint16_t>(-rc));
  }
  TTableDefinition d;
  d.Data.Fields = fields;
  d.Data.BlobBlockSize = attributes.BlobBlockSize;
  d.Data.LanguageId = attributes.LanguageId;
  d.Data.SortId = attributes.SortId;
  d.Data.UserVersion1 = attributes.UserMajor;
  d.Data.UserVersion2 = attributes.UserMinor;
  d.Data.Encrypted = attributes.Encrypted;
  d.Data.Password = Trim(attributes.Password);
  d.Data.Description = attributes.Description;
  for (size_t i = 0; i < indexes.size(); ++i) {
    if (i == 0 && indexes[0].FieldCount == 0) continue;
    d.Indexes.push_back(indexes[i]);
    d.Compression.push_back(indexes[i].Compression);
  }
  TDataTable* table = nullptr;
  const int rc = directory_->CreateTable(tableName_, inMemory_, temporary_, d, &table);
  if (rc < 0) Raise(static_cast<uint16_t>(-rc));
  if (attributes.LastAutoInc > 0) {
    TTableGuard guard(*table);
    table->Data().SetLastAutoInc(static_cast<uint32_t>(attributes.LastAutoInc));
    table->WriteCaches(true, true, true);
  }
  const int closed = directory_->CloseTable(table);
  if (closed < 0) Raise(static_cast<uint16_t>(-closed));
}

TTableInfo TDataCursor::GetTableInfo() {
  auto fill = [](TDataFile& data, TIndexFile& index) {
    TTableInfo info;
    const uint32_t block = data.BlobBlockSize() ? data.BlobBlockSize() : 512u;
    info.BlobBlockSize = block;
    info.BlobDataPerBlock = block - 18;
    info.LanguageId = data.LanguageId();
    info.SortId = data.SortId();
    info.UserMajor = GetU16(data.Header(), data_format::kUserVersion1.Offset);
    info.UserMinor = GetU16(data.Header(), data_format::kUserVersion2.Offset);
    info.LastAutoInc = data.LastAutoInc();
    info.Encrypted = data.Encrypted();
    info.Description = data.Description();
    if (info.Encrypted) info.Password = data.Password();
    info.FieldCount = data.FieldCount();
    info.RecordSize = data.RecordSize();
    info.PhysicalRecordCount = index.RecordCount();
    info.SecondaryIndexCount = index.SecondaryCount();
    info.NoPrimaryIndex = index.NoPrimary();
    return info;
  };
  if (open_) {
    TCursorBracket bracket(*this);
    return fill(table_->Data(), table_->Index());
  }
  // The files of a closed table, read as they are; the index header of an encrypted table is
  // scrambled, which only the owner can tell the index file.
  struct TReadOnlyOwner : TTableFilesOwner {
    bool Scrambled = false;
    bool InTransaction() const override { return false; }
    bool HoldsWriteLock() const override { return true; }
    bool StrictChangeDetection() const override { return false; }
    bool Encrypted() const override { return Scrambled; }
    void MarkFilesWritten() override {}
    bool ChangedOnDisk() override { return false; }
  } owner;
  const std::string base = (inMemory_ ? std::string() : directory_->Path()) + tableName_;
  TDataFile data(nullptr, base, inMemory_);
  TIndexFile index(&owner, base.substr(0, base.size() - 4) + ".IDX", inMemory_);
  data.Open();
  owner.Scrambled = data.Encrypted();
  try {
    index.Open();
  } catch (...) {
    data.Close();
    throw;
  }
  TTableInfo info = fill(data, index);
  index.Close();
  data.Close();
  return info;
}

void TDataCursor::ApplyHeaderInfo(const TTableAttributes& a) {
  TDataFile& data = table_->Data();
  data.SetHeaderInfo(a.UserMajor, a.UserMinor, a.Description, Trim(a.Password));
  if (a.LastAutoInc >= 0) data.SetLastAutoInc(static_cast<uint32_t>(a.LastAutoInc));
}

void TDataCursor::WriteHeaderInfo(const std::string& password, const std::string& description, uint16_t userMajor,
                                  uint16_t userMinor, int64_t lastAutoInc) {
  if (!open_) Raise(kErrInvalidFileHandle);
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  TDataFile& data = table_->Data();
  if (data.Encrypted()) {
    const std::string p = Trim(password);
    if (p.empty() || p.size() >= 16) Raise(kErrInvalidPassword);
  }
  if (lastAutoInc < -1 || lastAutoInc > 2147483647) Raise(kErrFieldLimits);
  TTableAttributes a;
  a.Password = password;
  a.Description = description;
  a.UserMajor = userMajor;
  a.UserMinor = userMinor;
  a.LastAutoInc = lastAutoInc;
  ApplyHeaderInfo(a);
  // The new password opens the table from now on: this session keeps holding it.
  TDataSession* session = directory_->Session();
  if (data.Encrypted() && session && !session->HasPassword(Trim(password))) session->AddPassword(Trim(password));
  table_->WriteCaches(false, true, false);
  seen_ = CurrentStamp();
}

void TDataCursor::DeleteTable() {
  CheckClosed();
  const int rc = directory_->DeleteTable(tableName_, inMemory_);
  if (rc < 0) Raise(static_cast<uint16_t>(-rc));
}

void TDataCursor::RenameTable(const std::string& newName) {
  CheckClosed();
  TDataCursor check(directory_);
  check.SetTableName(newName);  // refuses a name outside the directory
  if (directory_->TableExists(check.TableName(), inMemory_)) Raise(kErrTableExists);
  const int rc = directory_->RenameTable(tableName_, check.TableName(), false, inMemory_);
  if (rc < 0) Raise(static_cast<uint16_t>(-rc));
  tableName_ = check.TableName();
}

void TDataCursor::RenameToBackup() {
  CheckClosed();
  const int rc = directory_->RenameTable(tableName_, tableName_, true, inMemory_);
  if (rc < 0) Raise(static_cast<uint16_t>(-rc));
}

void TDataCursor::EmptyTable() {
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  table_->EmptyTable();
  table_->Index().MarkChanged();
  ComputeRange();
  if (PositionFirst()) bof_ = true;
}

bool TDataCursor::Event(int kind, const std::string& text) {
  if (!restructureEvent_) return false;
  if (eventsQuiet_) return true;
  bool quiet = false, proceed = true;
  restructureEvent_(restructureOwner_, kind, text, quiet, proceed);
  eventsQuiet_ = quiet;
  return proceed;
}

void TDataCursor::RemoveRecord(uint32_t number, const std::vector<uint8_t>& old, const std::vector<uint8_t>& skipSlots) {
  for (uint8_t slot : AllSlots()) {
    if (std::find(skipSlots.begin(), skipSlots.end(), slot) != skipSlots.end()) continue;
    TCursorIndex ix;
    LoadIndex(slot, ix);
    std::vector<uint8_t> key(ix.KeySize);
    BuildIndexKey(ix, old.data(), key.data());
    DeleteKey(slot, key.data(), number);
  }
  const uint32_t id = GetU32(old.data(), 5);
  uint8_t status[5];
  BuildStatusKey(0, id, status);
  DeleteKey(kStatusIndex, status, number);
  BuildStatusKey(1, id, status);
  InsertKey(kStatusIndex, status, number);
  table_->Index().DecrementRecordCount();
  FreeBlobs(old.data());
  TRecord* r = table_->Data().GetRecord(number);
  if (!r) Raise(kErrRecordBuffersCorrupt);
  table_->Data().DeleteRecord(*r);
  table_->Data().ReleaseRecord(r);
}

void TDataCursor::FillIndex(uint8_t slot, bool reportDeletions) {
  TCursorIndex ix;
  LoadIndex(slot, ix);
  TDataFile& data = table_->Data();
  const uint32_t next = data.NextRecord();
  std::vector<uint8_t> record(recordSize_), key(ix.KeySize);
  for (uint32_t n = 1; n < next; ++n) {
    TRecord* r = data.GetRecord(n);
    if (!r) Raise(kErrRecordBuffersCorrupt);
    std::memcpy(record.data(), r->Buffer.data(), recordSize_);
    data.ReleaseRecord(r);
    if (record[0] != 0) continue;
    BuildIndexKey(ix, record.data(), key.data());
    TBTree tree(table_->Index().Store(slot), ix.Order());
    if (ix.Unique && tree.Find(key.data(), nullptr, nullptr) == TBTree::kDone) {
      // A unique index keeps the first record of a key; later ones are deleted and reported.
      RemoveRecord(n, record, {slot});
      if (reportDeletions)
        Event(1, EngineErrorText(kErrDuplicateKey, EngineErrorNames{tableName_, {}, ix.Desc.Name, {}}) +
                     " (record " + std::to_string(n) + " deleted)");
    } else if (tree.Insert(key.data(), n) != TBTree::kDone) {
      Raise(kErrIndexPageCorrupt);
    }
    if (progressCallback_)
      progressCallback_(progressOwner_, static_cast<int32_t>(n), static_cast<int32_t>(int64_t{n} * 100 / (next - 1)));
  }
}

void TDataCursor::AddPrimaryIndex(IndexDesc desc) {
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  desc.Name.clear();
  desc.Unique = true;
  if (desc.FieldCount == 0) Raise(kErrInvalidKeySize);
  table_->Index().AddPrimaryIndex(desc, table_->Data().Fields(), desc.Compression);
  noPrimary_ = false;
  FillIndex(0, true);
  table_->Index().MarkChanged();
  ActivateIndex(0);
}

void TDataCursor::AddIndex(IndexDesc desc) {
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  if (desc.FieldCount == 0) Raise(kErrInvalidKeySize, {}, desc.Name);
  const uint8_t former = indexNumber_;
  const uint8_t slot = table_->Index().AddSecondaryIndex(desc, table_->Data().Fields(), desc.Compression);
  FillIndex(slot, true);
  table_->Index().MarkChanged();
  ActivateIndex(former);
}

void TDataCursor::AddIndexExclusive(const TSortOptions& options) {
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  TIndexFile& file = table_->Index();
  if (!file.NoPrimary() || file.SecondaryCount() > 0) Raise(kErrPrimaryIndexExists);
  TDataFile& data = table_->Data();
  const uint32_t written = SortRecords(data, options, inMemory_ ? std::string() : directory_->Path(), &file);
  // The records were renumbered: the record-status index is made anew, one live key each.
  FreeIndexPages(kStatusIndex);
  // Keys go in in key order (ids, which the sort has shuffled): each lands on the last leaf,
  // where inserting in record order would visit every page of the tree again and again.
  std::vector<std::pair<int32_t, uint32_t>> ids;
  ids.reserve(written);
  for (uint32_t n = 1; n <= written; ++n) {
    TRecord* r = data.GetRecord(n, 1, data.ReadAheadLimit());
    if (!r) Raise(kErrRecordBuffersCorrupt);
    ids.emplace_back(static_cast<int32_t>(r->RecordId()), n);
    data.ReleaseRecord(r);
  }
  std::stable_sort(ids.begin(), ids.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [id, n] : ids) {
    uint8_t key[5];
    BuildStatusKey(0, static_cast<uint32_t>(id), key);
    InsertKey(kStatusIndex, key, n);
  }
  file.SetRecordCount(static_cast<int32_t>(written));
  file.MarkChanged();
  ComputeRange();
  if (PositionFirst()) bof_ = true;
}

void TDataCursor::FreeIndexPages(uint8_t slot) {
  TCursorIndex ix;
  LoadIndex(slot, ix);
  TIndexFile& file = table_->Index();
  TBTree tree(file.Store(slot), ix.Order());
  std::vector<uint32_t> pages;
  int64_t records = 0;
  const std::string fault = tree.Verify(&pages, &records);
  if (!fault.empty()) Raise(kErrIndexPageCorrupt);
  for (uint32_t offset : pages) {
    TPage* page = file.FetchPage(slot, offset);
    if (!page) Raise(kErrIndexPageCorrupt);
    file.FreePage(slot, page);
    file.ReleasePage(page);
  }
  file.SetRoot(slot, 0);
}

void TDataCursor::DeleteIndex(const std::string& name, bool move) {
  CheckExclusive();
  CheckWritable();
  TCursorBracket bracket(*this);
  TIndexFile& file = table_->Index();
  const std::string wanted = Upper(name);
  int found = -1;
  for (uint8_t s = 0; s <= file.SecondaryCount() && found < 0; ++s) {
    if (s == 0 && file.NoPrimary()) continue;
    if (Upper(file.SlotDesc(s).Name) == wanted) found = s;
  }
  if (found < 0) Raise(kErrInvalidSecondaryIndexName, {}, name);
  (void)move;  // a dropped secondary slot always moves behind the others, keeping its freed pages
  FreeIndexPages(static_cast<uint8_t>(found));
  file.DropSlot(static_cast<uint8_t>(found), true);
  noPrimary_ = file.NoPrimary();
  file.MarkChanged();
  ActivateIndex(0);
}

}  // namespace tovenmarsh::engine
