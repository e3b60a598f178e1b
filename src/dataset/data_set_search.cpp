// Searching a data set: Locate and Lookup by scanning the record source, the match rule of a
// key field against a value, and the record-filter callback.
// Implements the search calls of TDataSet in dataset/data_set.h.
#include <cmath>

#include "dataset/data_set.h"
#include "dataset/database_error.h"
#include "dataset/index_defs.h"
#include "platform/win1252.h"

namespace tovenmarsh::dataset {

namespace {

bool SameText(std::string_view a, std::string_view b, bool caseInsensitive) {
  if (a.size() != b.size()) return false;
  if (!caseInsensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i)
    if (platform::Win1252Upper(a[i]) != platform::Win1252Upper(b[i])) return false;
  return true;
}

std::vector<TField*> KeyFieldList(const TDataSet& ds, std::string_view names,
                                  const std::vector<TVariant>& values) {
  std::vector<TField*> fields;
  for (const std::string& name : SplitFieldNames(names)) fields.push_back(&ds.FieldByName(name));
  // Every key field reads its own value; a short (or long) value list is a caller's mistake.
  if (fields.empty() || fields.size() != values.size())
    DatabaseErrorFmt(msg::kLocateValueCount, std::string(names).c_str());
  return fields;
}

}  // namespace

bool TDataSet::FieldMatches(const TField& field, const TVariant& value, TLocateOptions options) {
  bool valueNull = value.IsNull() || (value.GetKind() == TVariant::Kind::String && value.AsString().empty());
  bool fieldNull = field.IsNull();
  if (valueNull || fieldNull) return valueNull && fieldNull;
  TFieldType type = field.DataType();
  if (IsStringType(type)) {
    std::string want = value.AsString();
    std::string have = field.AsString();
    bool ci = (options & loCaseInsensitive) != 0;
    if (options & loPartialKey) {
      if (want.size() >= 2 && want.back() == '*') want.pop_back();
      if (want != "*") return have.size() >= want.size() && SameText(have.substr(0, want.size()), want, ci);
    }
    return SameText(have, want, ci);
  }
  switch (type) {
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint:
      return field.AsInteger() == value.AsInteger();
    case ftBoolean:
      return field.AsBoolean() == value.AsBoolean();
    case ftFloat: case ftCurrency:
      return field.AsFloat() == value.AsFloat();
    case ftBCD:
      return std::llround(field.AsFloat() * 10000) == std::llround(value.AsFloat() * 10000);
    case ftDate: case ftTime: case ftDateTime:
      // Compare to the millisecond, the resolution of the stored forms.
      return std::llround(field.AsDateTime() * 86400000.0) == std::llround(value.AsDateTime() * 86400000.0);
    default:
      return field.AsString() == value.AsString();
  }
}

bool TDataSet::LocateRecord(const std::vector<TField*>& keyFields, const std::vector<TVariant>& values,
                            TLocateOptions options, bool /*sync*/) {
  CursorPosChanged();
  InternalFirst();
  uint8_t* temp = TempBuffer();
  while (GetRecord(temp, TGetMode::gmNext, true) == TGetResult::grOK) {
    TTempState scope(*this, TDataSetState::dsFilter, temp);
    bool all = true;
    for (size_t i = 0; i < keyFields.size() && all; ++i)
      all = FieldMatches(*keyFields[i], values[i], options);
    if (all) return true;
  }
  return false;
}

bool TDataSet::Locate(std::string_view keyFields, const std::vector<TVariant>& values,
                      TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> fields = KeyFieldList(*this, keyFields, values);
  Fire(BeforeScroll, *this);
  if (!LocateRecord(fields, values, options, true)) return false;
  Resync(true);
  Fire(AfterScroll, *this);
  return true;
}

std::vector<TVariant> TDataSet::Lookup(std::string_view keyFields, const std::vector<TVariant>& values,
                                       std::string_view resultFields) {
  CheckBrowseMode();
  std::vector<TField*> fields = KeyFieldList(*this, keyFields, values);
  std::vector<TField*> results;
  for (const std::string& name : SplitFieldNames(resultFields)) results.push_back(&FieldByName(name));
  std::vector<TVariant> out(results.size());
  if (!LocateRecord(fields, values, 0, false)) return out;
  uint8_t* temp = TempBuffer();
  GetCalcFields(temp);
  TTempState scope(*this, TDataSetState::dsCalcFields, temp);
  for (size_t i = 0; i < results.size(); ++i) out[i] = results[i]->Value();
  return out;
}

bool TDataSet::FindRecord(bool restart, bool forward) {
  CheckBrowseMode();
  Fire(BeforeScroll, *this);
  if (restart) {
    CursorPosChanged();
    if (forward)
      InternalFirst();
    else
      InternalLast();
  } else {
    UpdateCursorPos();
    CursorPosChanged();
  }
  uint8_t* temp = TempBuffer();
  TGetMode mode = forward ? TGetMode::gmNext : TGetMode::gmPrior;
  while (GetRecord(temp, mode, true) == TGetResult::grOK) {
    if (!RunFilterRecord(temp)) continue;
    Resync(true);
    Fire(AfterScroll, *this);
    return true;
  }
  return false;
}

bool TDataSet::RunFilterRecord(uint8_t* record) {
  bool accept = true;
  if (!onFilterRecord_) return accept;
  TTempState scope(*this, TDataSetState::dsFilter, record);
  try {
    onFilterRecord_(*this, accept);
  } catch (const std::exception&) {
    // A failing handler does not stop the scan: Accept keeps the value it had then.
  }
  return accept;
}

}  // namespace tovenmarsh::dataset
