// Searching a data set over an engine cursor: Locate and Lookup through an index (the active
// one or a lookup cursor's) or through an engine filter of "field = value" conditions, and
// FindFirst/FindNext/FindPrior/FindLast with the filters in force for the search only.
// Implements the search calls of TFenDataSet in dataset/fen_data_set.h.
//
// Contract: both routes of Locate answer the same on the same data: a string field compares
// by text (case rule and prefix as the options say; a trailing "*" after at least one
// character is dropped on the filter route), every other field by value in its stored form;
// a null or empty value finds null fields. The filter tree is built, used and dropped inside
// the call; it never outlives it, whatever fails.
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_data_set.h"
#include "dataset/fen_engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "engine/expr/expr_source.h"
#include "engine/expr/expr_token.h"

namespace tovenmarsh::dataset {

namespace {

namespace e = tovenmarsh::engine;

bool IsNullValue(const TVariant& value) {
  return value.IsNull() || (value.GetKind() == TVariant::Kind::String && value.AsString().empty());
}

// Fields compared as text in a locate: strings and text BLOBs.
bool ComparedAsText(const TField& field) { return IsStringType(field.DataType()) || field.IsBlob(); }

std::string JoinNames(const std::vector<TField*>& fields) {
  std::string names;
  for (const TField* f : fields) {
    if (!names.empty()) names += ';';
    names += f->FieldName();
  }
  return names;
}

void Link(e::TExpToken* parent, e::TExpToken* left, e::TExpToken* right) {
  parent->Left = left;
  parent->Right = right;
  left->Parent = parent;
  right->Parent = parent;
}

}  // namespace

e::TDataCursor* TFenDataSet::GetLookupCursor(const std::string& /*keyFields*/, bool /*caseInsensitive*/) {
  return nullptr;
}

bool TFenDataSet::SeekLocateKey(e::TDataCursor& search, const std::vector<TField*>& keyFields,
                                const std::vector<TVariant>& values, TLocateOptions options) {
  const size_t n = keyFields.size();
  uint8_t* key = TempBuffer();
  {
    TTempState scope(*this, TDataSetState::dsFilter, key);
    search.ClearRecordBuffer(key);
    for (size_t i = 0; i < n; ++i) keyFields[i]->SetValue(values[i]);
  }
  int partialLength = 0;
  int wholeFields = static_cast<int>(n);
  if ((options & loPartialKey) != 0 && IsStringType(keyFields[n - 1]->DataType())) {
    partialLength = static_cast<int>(values[n - 1].AsString().size());
    wholeFields = static_cast<int>(n) - 1;
  }
  // The key is built before the record part is overwritten with the record found.
  std::vector<uint8_t> source(key, key + RecordSize());
  return TranslateEngineErrors([&] {
    return search.FindKey(source.data(), false, key, partialLength, partialLength > 0, wholeFields);
  });
}

bool TFenDataSet::FilterLocate(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                               TLocateOptions options) {
  const bool caseInsensitive = (options & loCaseInsensitive) != 0;
  const bool partialKey = (options & loPartialKey) != 0;
  // Values of the non-text fields take their stored form through the field objects, exactly as
  // a record would hold them.
  std::vector<uint8_t> scratch(static_cast<size_t>(RecordSize()), 0);
  TranslateEngineErrors([&] { cursor_->ClearRecordBuffer(scratch.data()); });
  {
    TTempState scope(*this, TDataSetState::dsFilter, scratch.data());
    for (size_t i = 0; i < keyFields.size(); ++i)
      if (!ComparedAsText(*keyFields[i]) && !IsNullValue(values[i])) keyFields[i]->SetValue(values[i]);
  }

  e::TExpTree tree;
  TranslateEngineErrors([&] {
    for (size_t i = 0; i < keyFields.size(); ++i) {
      const TField& field = *keyFields[i];
      const TVariant& value = values[i];
      const bool text = ComparedAsText(field);
      e::TExpTree compare = e::NewExpTree();
      compare->Text = "=";
      compare->NodeClass = text ? e::ncOption : e::ncBinary;
      compare->Operator = e::opEqual;
      compare->DataType = e::fldBool;
      compare->CaseInsensitive = text && caseInsensitive;

      e::TExpTree column = e::NewExpTree();
      column->Text = field.FieldName();
      column->FieldName = field.FieldName();
      column->NodeClass = e::ncColumn;
      if (!e::ResolveSourceColumn(*cursor_, *column)) RaiseCursorError(e::kErrInvalidField, field.FieldName());

      e::TExpTree constant = e::NewExpTree();
      constant->NodeClass = e::ncConstant;
      if (IsNullValue(value)) {
        constant->Text = "NULL";
        constant->IsNull = true;
      } else if (text) {
        std::string s = value.AsString();
        constant->DataType = column->DataType;
        constant->SubType = column->SubType;
        if (partialKey && s.size() >= 2 && s.back() == '*') s.pop_back();
        // Stored texts never end in blanks.
        while (!s.empty() && s.back() == ' ') s.pop_back();
        constant->Text = s;
        constant->SetStringValue(s);
        constant->IsNull = s.empty();
        if (partialKey && s != "*") compare->PartialLength = static_cast<int32_t>(s.size());
      } else {
        constant->Text = value.AsString();
        constant->DataType = column->DataType;
        constant->SubType = column->SubType;
        constant->Scale = column->Scale;
        constant->SetDataSize(column->DataSize);
        const e::FieldDesc& desc = cursor_->GetFieldDescByNumber(static_cast<uint16_t>(field.FieldNo()));
        if (!cursor_->ReadField(scratch.data(), desc, *constant))
          RaiseCursorError(e::kErrInvalidField, field.FieldName());
      }
      Link(compare.get(), column.release(), constant.release());
      if (!tree) {
        tree = std::move(compare);
        continue;
      }
      // Left-deep: ((first AND second) AND third) ...
      e::TExpTree both = e::NewExpTree();
      both->Text = "AND";
      both->NodeClass = e::ncBinary;
      both->Operator = e::opAnd;
      both->DataType = e::fldBool;
      Link(both.get(), tree.release(), compare.release());
      tree = std::move(both);
    }
  });

  // The filter borrows the tree; it is dropped before the tree goes.
  e::TFilter* filter = TranslateEngineErrors(
      [&] { return cursor_->AddFilter(this, {}, false, false, false, false, nullptr, false, tree.get()); });
  struct TDrop {
    e::TDataCursor& cursor;
    e::TFilter* filter;
    ~TDrop() {
      try {
        cursor.DropFilter(filter);
      } catch (...) {
        // The cursor goes on without it either way.
      }
    }
  } drop{*cursor_, filter};
  TranslateEngineErrors([&] {
    cursor_->ActivateFilter(filter);
    cursor_->First();
  });
  const int code = FetchRecord(TempBuffer(), TGetMode::gmNext);
  if (code == kSourceBof || code == kSourceEof) return false;
  if (code != 0) RaiseSourceError(code);
  return true;
}

bool TFenDataSet::LocateRecord(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                               TLocateOptions options, bool sync) {
  const size_t n = keyFields.size();
  if (n == 0 || values.size() < n) DatabaseErrorFmt(msg::kLocateValueCount, JoinNames(keyFields).c_str());
  CursorPosChanged();
  const bool caseInsensitive = (options & loCaseInsensitive) != 0;
  // Records that OnFilterRecord hides are known only to this layer: search them by the filter
  // route, which fetches through it.
  if (!CallbackFilterActive()) {
    bool fits = n <= indexFieldNumbers_.size() && indexCaseInsensitive_ == caseInsensitive;
    for (size_t i = 0; fits && i < n; ++i)
      fits = keyFields[i]->FieldKind() == TFieldKind::fkData && keyFields[i]->FieldNo() == indexFieldNumbers_[i];
    if (fits) return SeekLocateKey(*cursor_, keyFields, values, options);
    bool dataFields = true;
    for (const TField* f : keyFields) dataFields = dataFields && f->FieldKind() == TFieldKind::fkData;
    e::TDataCursor* lookup = dataFields ? GetLookupCursor(JoinNames(keyFields), caseInsensitive) : nullptr;
    if (lookup != nullptr) {
      if (!SeekLocateKey(*lookup, keyFields, values, options)) return false;
      if (sync) {
        const int code = TranslateEngineErrors([&] { return cursor_->GotoCursor(*lookup); });
        if (code != 0) RaiseCursorError(code);
      }
      return true;
    }
  }
  for (const TField* f : keyFields)
    if (f->FieldKind() != TFieldKind::fkData) return TDataSet::LocateRecord(keyFields, values, options, sync);
  return FilterLocate(keyFields, values, options);
}

void TFenDataSet::SwitchSearchFilter(bool on) {
  if (Filtered() || expressionFilter_ == nullptr) return;
  TranslateEngineErrors([&] {
    if (on)
      cursor_->ActivateFilter(expressionFilter_);
    else
      cursor_->DeactivateFilter(expressionFilter_);
  });
}

bool TFenDataSet::FindRecord(bool restart, bool forward) {
  CheckBrowseMode();
  if (BeforeScroll) BeforeScroll(*this);
  UpdateCursorPos();
  // Searching on from the active record: its bookmark marks where the search starts.
  const TBookmark from = restart ? TBookmark() : GetBookmark();
  CursorPosChanged();
  const bool switched = !Filtered();
  SwitchSearchFilter(true);
  struct TSwitchBack {
    TFenDataSet& dataSet;
    bool on;
    ~TSwitchBack() {
      if (!on) return;
      try {
        dataSet.SwitchSearchFilter(false);
      } catch (...) {
        // The search's answer stands; the next move repositions anyway.
      }
    }
  } back{*this, switched};

  uint8_t* temp = TempBuffer();
  const TGetMode step = forward ? TGetMode::gmNext : TGetMode::gmPrior;
  TGetMode mode = step;
  if (from.empty()) {
    if (forward)
      InternalFirst();
    else
      InternalLast();
  } else {
    // The active record may be one the filters hide: stand at it or its nearest neighbour and
    // take the first record beyond it in the search's direction.
    TranslateEngineErrors(
        [&] { return cursor_->GotoBookmark(reinterpret_cast<const uint8_t*>(from.data()), true); });
    mode = TGetMode::gmCurrent;
  }
  bool found = false;
  for (;;) {
    const TGetMode now = mode;
    mode = step;
    const int code = FetchRecord(temp, now);
    if (now == TGetMode::gmCurrent) {
      if (code != 0) continue;
    } else if (code == kSourceBof || code == kSourceEof) {
      break;
    } else if (code != 0) {
      RaiseSourceError(code);
    }
    if (!from.empty()) {
      const int order = CompareBookmarkData(GetBookmarkData(temp), from);
      if (forward ? order <= 0 : order >= 0) continue;
    }
    // While Filtered is on the fetch has applied OnFilterRecord already.
    if (switched && OnFilterRecord() && !RunFilterRecord(temp)) continue;
    found = true;
    break;
  }
  if (!found) return false;
  Resync(true);
  CursorPosChanged();
  if (AfterScroll) AfterScroll(*this);
  return true;
}

}  // namespace tovenmarsh::dataset
