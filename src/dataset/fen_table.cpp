// Tables: names and options, opening through an engine cursor on the active index, and
// creating and deleting tables from definitions.
#include "dataset/fen_table.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "dataset/table_descs.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"

namespace tovenmarsh::dataset {

namespace {

constexpr size_t kMaxEngineString = 255;

}  // namespace

TFenTable::TFenTable(TFenComponentOwner* owner) : TFenDBDataSet(owner) {
  masterLink_.OnMasterChange = [this] { MasterChanged(); };
  masterLink_.OnMasterDisable = [this] { MasterDisabled(); };
}

TFenTable::~TFenTable() {
  masterLink_.OnMasterChange = nullptr;
  masterLink_.OnMasterDisable = nullptr;
  try {
    Close();
  } catch (...) {
    // Going away regardless.
  }
}

void TFenTable::SetMasterSource(TDataSource* source) {
  CheckMasterSource(this, source);
  masterLink_.SetDataSource(source);
}

void TFenTable::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  SetLinkRanges(masterLink_.Fields());
  if (ApplyKeyRange()) First();
}

void TFenTable::MasterDisabled() {
  if (Active()) CancelRange();
}

void TFenTable::PrepareCursor() {
  if (!MasterLinked()) return;
  SetLinkRanges(masterLink_.Fields());
  ApplyKeyRange();
}

void TFenTable::PrepareNewRecord(uint8_t* buffer) {
  TFenDBDataSet::PrepareNewRecord(buffer);
  if (!MasterLinked()) return;
  const std::vector<TField*>& master = masterLink_.Fields();
  const size_t n = std::min(master.size(), static_cast<size_t>(IndexFieldCount()));
  for (size_t i = 0; i < n; ++i) IndexFields(static_cast<int>(i)).SetValue(master[i]->Value());
}

engine::TDataCursor* TFenTable::GetLookupCursor(const std::string& keyFields, bool caseInsensitive) {
  if (lookupKnown_ && keyFields == lookupFields_ && caseInsensitive == lookupCaseInsensitive_)
    return lookupCursor_.get();
  DestroyLookupCursor();
  // A second cursor would not keep to the range: the filter route does.
  if (KeyBuffer(kKeyCurRangeStart).Modified || KeyBuffer(kKeyCurRangeEnd).Modified) return nullptr;
  UpdateIndexDefs();
  const TIndexDef* def = indexDefs_.GetIndexForFields(keyFields, caseInsensitive);
  if (def != nullptr && def->Has(ixCaseInsensitive) == caseInsensitive) {
    // A cursor of its own on the same table and options, on that index, with the Filter in
    // force when Filtered (no range is in force here, and OnFilterRecord never reaches it).
    std::unique_ptr<engine::TDataCursor> lookup = NewCursor(exclusive_);
    lookup->SetShareExclusive(true);
    TranslateEngineErrors([&] { OpenUnderLock(*lookup); });
    try {
      TranslateEngineErrors([&] {
        lookup->SwitchToIndex(def->Name());
        if (Filtered() && !Filter().empty()) {
          engine::TFilter* filter = lookup->AddFilter(this, Filter(), (FilterOptions() & foNoPartialCompare) != 0,
                                                      (FilterOptions() & foCaseInsensitive) != 0, false, false);
          if (filter != nullptr) lookup->ActivateFilter(filter);
        }
      });
    } catch (...) {
      std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
      try {
        lookup->Close();
      } catch (...) {
        // The first failure is the one to report.
      }
      throw;
    }
    lookupCursor_ = std::move(lookup);
  }
  lookupFields_ = keyFields;
  lookupCaseInsensitive_ = caseInsensitive;
  lookupKnown_ = true;
  return lookupCursor_.get();
}

void TFenTable::DestroyLookupCursor() {
  lookupKnown_ = false;
  lookupFields_.clear();
  if (!lookupCursor_) return;
  std::unique_ptr<engine::TDataCursor> cursor = std::move(lookupCursor_);
  std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
  try {
    if (cursor->IsOpen()) cursor->Close();
  } catch (...) {
    // Freed regardless; its table objects go with the directory.
  }
}

void TFenTable::CheckTableName() const {
  if (tableName_.empty()) DatabaseError(kMissingTableName);
}

void TFenTable::SetTableName(std::string name) {
  if (name == tableName_) return;
  CheckInactive();
  name = name.substr(0, kMaxEngineString);
  const size_t cut = name.find_last_of(":\\/");
  if (cut != std::string::npos) {
    // A name with a folder names the database too.
    if (!inMemory_) SetDatabaseName(name.substr(0, cut + 1));
    name = name.substr(cut + 1);
  }
  tableName_ = std::move(name);
  indexDefs_.SetUpdated(false);
}

void TFenTable::SetIndex(std::string text, bool fieldNames) {
  if (text == indexName_ && fieldNames == byFieldNames_) return;
  if (Active()) {
    CheckBrowseMode();
    SwitchToIndex(ResolveIndex(text, fieldNames));
    indexName_ = std::move(text);
    byFieldNames_ = fieldNames;
    // A detail keeps following its master on the new index.
    if (MasterLinked()) {
      SetLinkRanges(masterLink_.Fields());
      ApplyKeyRange();
    }
    First();
    return;
  }
  indexName_ = std::move(text);
  byFieldNames_ = fieldNames;
}

std::string TFenTable::ResolveIndex(const std::string& text, bool fieldNames) {
  if (!fieldNames) return text;
  UpdateIndexDefs();
  return indexDefs_.FindIndexForFields(text).Name();
}

void TFenTable::SetExclusive(bool value) {
  CheckInactive();
  exclusive_ = value;
}

void TFenTable::SetReadOnly(bool value) {
  CheckInactive();
  readOnly_ = value;
}

void TFenTable::SetInMemory(bool value) {
  CheckInactive();
  inMemory_ = value;
  if (value) TFenDBDataSet::SetDatabaseName("Memory");
}

void TFenTable::SetDatabaseName(std::string name) {
  TFenDBDataSet::SetDatabaseName(inMemory_ ? std::string("Memory") : std::move(name));
}

std::unique_ptr<engine::TDataCursor> TFenTable::NewCursor(bool exclusive) {
  auto cursor = std::make_unique<engine::TDataCursor>(Database()->Handle());
  cursor->SetTableName(tableName_);
  cursor->SetInMemory(inMemory_);
  cursor->SetExclusive(exclusive);
  cursor->SetReadOnly(readOnly_);
  passwordRequest_ = TFenPasswordRequest{Database()->Session(), 0};
  cursor->SetPasswordCallback(&passwordRequest_, &TFenSession::PasswordCallback);
  return cursor;
}

std::unique_ptr<engine::TDataCursor> TFenTable::CreateHandle() {
  CheckTableName();
  indexDefs_.SetUpdated(false);
  const std::string engineIndex = ResolveIndex(indexName_, byFieldNames_);
  std::unique_ptr<engine::TDataCursor> cursor = NewCursor(exclusive_);
  OpenUnderLock(*cursor);
  try {
    readOnly_ = cursor->ReadOnly();
    if (!engineIndex.empty()) cursor->SwitchToIndex(engineIndex);
  } catch (...) {
    std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
    cursor->Close();
    throw;
  }
  return cursor;
}

void TFenTable::OpenUnderLock(engine::TDataCursor& cursor) {
  // Opening shares the directory's table objects between the session's users: one at a time.
  TFenSession& session = *Database()->Session();
  session.Lock();
  try {
    cursor.Open();
  } catch (...) {
    session.Unlock();
    throw;
  }
  session.Unlock();
}

engine::TDataCursor& TFenTable::DefinitionCursor(std::unique_ptr<engine::TDataCursor>& own) {
  if (cursor_) return *cursor_;
  own = NewCursor(false);
  own->SetSequentialScan(true);
  OpenUnderLock(*own);
  return *own;
}

void TFenTable::InitFieldDefs() {
  CheckTableName();
  TFlagScope attached(*this, kFlagFieldDefs);
  std::unique_ptr<engine::TDataCursor> own;
  TranslateEngineErrors([&] {
    engine::TDataCursor& cursor = DefinitionCursor(own);
    std::vector<engine::FieldDesc> descs;
    for (uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) descs.push_back(cursor.GetFieldDesc(n));
    FieldDefsFromDescs(descs, FieldDefs());
    if (own) {
      std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
      own->Close();
      own.reset();
    }
  });
}

void TFenTable::UpdateIndexDefs() {
  if (indexDefs_.Updated()) return;
  CheckTableName();
  TFlagScope attached(*this, kFlagIndexDefs);
  std::unique_ptr<engine::TDataCursor> own;
  TranslateEngineErrors([&] {
    engine::TDataCursor& cursor = DefinitionCursor(own);
    // Index fields are named through the field definitions, which must be the table's own.
    if (!Active() || FieldDefs().Count() == 0) {
      std::vector<engine::FieldDesc> descs;
      for (uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) descs.push_back(cursor.GetFieldDesc(n));
      FieldDefsFromDescs(descs, FieldDefs());
    }
    indexDefs_.Clear();
    const engine::IndexDesc primary = cursor.GetIndexDesc(engine::kPrimaryIndex);
    const bool hasPrimary = primary.FieldCount > 0;
    const int secondaries = cursor.GetIndexCount() - (hasPrimary ? 1 : 0);
    if (hasPrimary) AddIndexDefFromDesc(indexDefs_, primary, 0, FieldDefs());
    for (int n = 1; n <= secondaries; ++n)
      AddIndexDefFromDesc(indexDefs_, cursor.GetIndexDesc(static_cast<uint8_t>(n)), n, FieldDefs());
    if (own) {
      std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
      own->Close();
      own.reset();
    }
  });
  indexDefs_.SetUpdated(true);
}

bool TFenTable::SeekKey(bool nearest) {
  CheckBrowseMode();
  if (BeforeScroll) BeforeScroll(*this);
  CursorPosChanged();
  TKeyBuffer& key = KeyBuffer(kKeySearch);
  const bool found = TranslateEngineErrors([&] {
    return cursor_->FindKey(key.Record.data(), false, nullptr, 0, nearest, key.FieldCount);
  });
  if (found || nearest) {
    Resync(false);
    if (AfterScroll) AfterScroll(*this);
  }
  return found;
}

bool TFenTable::GotoKey() { return SeekKey(false); }

void TFenTable::GotoNearest() { SeekKey(true); }

bool TFenTable::FindKey(const std::vector<TVariant>& values) {
  CheckBrowseMode();
  SetKeyFields(kKeySearch, values, -1);
  return GotoKey();
}

void TFenTable::FindNearest(const std::vector<TVariant>& values) {
  CheckBrowseMode();
  SetKeyFields(kKeySearch, values, -1);
  GotoNearest();
}

void TFenTable::ApplyRange() {
  CheckBrowseMode();
  if (ApplyKeyRange()) First();
}

void TFenTable::SetRange(const std::vector<TVariant>& startValues, const std::vector<TVariant>& endValues) {
  CheckBrowseMode();
  SetKeyFields(kKeyRangeStart, startValues, -1);
  SetKeyFields(kKeyRangeEnd, endValues, -1);
  ApplyRange();
}

void TFenTable::CancelRange() {
  CheckBrowseMode();
  UpdateCursorPosOrNearest();
  if (ResetCursorRange()) Resync(false);
}

bool TFenTable::Exists() {
  if (Active()) return true;
  if (tableName_.empty()) return false;
  TFlagScope attached(*this, kFlagTableAccess);
  return TranslateEngineErrors([this] { return Database()->Handle()->TableExists(tableName_, inMemory_); });
}

void TFenTable::CreateTable() {
  CheckInactive();
  CheckTableName();
  if (FieldDefs().Count() == 0) {
    for (int i = 0; i < Fields().Count(); ++i) {
      const TField& field = Fields()[i];
      if (field.FieldKind() != TFieldKind::fkData) continue;
      FieldDefs().Add(field.FieldName(), field.DataType(), field.Size(), field.Required());
    }
  }
  TFlagScope attached(*this, kFlagTableAccess);
  const std::vector<engine::FieldDesc> fields = FieldDescsFromDefs(FieldDefs());
  const TCreateIndexDescs descs = IndexDescsForCreate(indexDefs_, FieldDefs());
  std::vector<engine::IndexDesc> indexes;
  indexes.push_back(descs.HasPrimary ? descs.Primary : engine::IndexDesc{});
  indexes.insert(indexes.end(), descs.Secondary.begin(), descs.Secondary.end());
  engine::TTableAttributes attributes;
  attributes.BlobBlockSize = 512;
  attributes.UserMajor = 1;
  attributes.UserMinor = 0;
  TranslateEngineErrors([&] {
    std::unique_ptr<engine::TDataCursor> cursor = NewCursor(true);
    cursor->SetReadOnly(false);
    cursor->CreateTable(attributes, false, indexes, fields);
  });
  indexDefs_.SetUpdated(false);
}

void TFenTable::AddIndex(const std::string& name, const std::string& fields, TIndexOptions options) {
  CheckTableName();
  if (!Active()) InitFieldDefs();
  const engine::IndexDesc desc = IndexDescFromDef(TIndexDef(name, fields, options), FieldDefs());
  TFlagScope attached(*this, kFlagIndexDefs);
  std::unique_ptr<engine::TDataCursor> own;
  if (Active()) {
    CheckBrowseMode();
    CursorPosChanged();
  } else {
    own = NewCursor(true);
    OpenUnderLock(*own);
  }
  engine::TDataCursor& cursor = own ? *own : *cursor_;
  // The engine asks on; the handler only hears how far it is.
  cursor.SetProgressCallback(this, [](void* owner, int32_t done, int32_t percent) {
    auto* table = static_cast<TFenTable*>(owner);
    try {
      if (table->OnIndexProgress) table->OnIndexProgress(*table, done, percent);
    } catch (...) {
      // A report that fails must not break off the index build halfway.
    }
  });
  struct TProgressOff {
    engine::TDataCursor& cursor;
    ~TProgressOff() { cursor.SetProgressCallback(nullptr, nullptr); }
  } progressOff{cursor};
  try {
    TranslateEngineErrors([&] {
      if ((options & ixPrimary) != 0)
        cursor.AddPrimaryIndex(desc);
      else
        cursor.AddIndex(desc);
    });
  } catch (...) {
    if (own) {
      std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
      own->Close();
    }
    indexDefs_.SetUpdated(false);
    throw;
  }
  if (own) {
    std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
    TranslateEngineErrors([&] { own->Close(); });
  }
  indexDefs_.SetUpdated(false);
}

void TFenTable::DeleteTable() {
  CheckInactive();
  CheckTableName();
  TFlagScope attached(*this, kFlagTableAccess);
  TranslateEngineErrors([&] { NewCursor(true)->DeleteTable(); });
}

}  // namespace tovenmarsh::dataset
