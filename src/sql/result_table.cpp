// The canned result of a SELECT: the result table's cursor and field list.
#include <algorithm>

#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/data_query.h"
#include "sql/select_exec.h"

namespace tovenmarsh::sql {

namespace {

size_t FileNameStart(const std::string& name) {
  const size_t slash = name.find_last_of("\\/:");
  return slash == std::string::npos ? 0 : slash + 1;
}

}  // namespace

void TDataQuery::CreateResultCursor() {
  engine::TDataDirectory* database = Statement->Directory();
  engine::TDataSession* session = database->Session();
  std::string table;
  auto open = [&](const std::string& name, const std::string& path) {
    ResultDirectory = session != nullptr ? session->OpenDirectory(name, path) : database;
  };
  if (HasInto && !TableName.empty()) {
    const size_t start = FileNameStart(TableName);
    table = TableName.substr(start);
    if (InMemory) open("MEMORY", "");
    else if (start > 0) open("", TableName.substr(0, start));
    else open("", session != nullptr ? session->GetPrivateDir() : database->Path());
  } else {
    // A result without INTO lives only as long as its cursor: kept in memory, it costs no
    // files to create, sync and delete per statement.
    open("MEMORY", "");
    table = ResultDirectory->UniqueTableName(true);
  }
  ResultCursor = std::make_unique<engine::TDataCursor>(ResultDirectory);
  ResultCursor->SetTableName(table);
}

void TDataQuery::CreateResultTable() {
  std::vector<engine::FieldDesc> fields;
  for (const auto& c : ResultColumns) {
    engine::FieldDesc f;
    if (!c->Calculated && c->Aggregate == agNone) {
      f = c->SourceTable->Cursor->GetFieldDescByNumber(static_cast<uint16_t>(c->FieldNo));
    } else if (c->Aggregate != agNone && !c->Calculated && !c->CountAll &&
               (c->Aggregate == agMin || c->Aggregate == agMax || c->Aggregate == agSum) &&
               c->DataType == c->SourceTable->Cursor->GetFieldDescByNumber(static_cast<uint16_t>(c->FieldNo)).FieldType) {
      f = c->SourceTable->Cursor->GetFieldDescByNumber(static_cast<uint16_t>(c->FieldNo));
    } else {
      f.FieldType = c->DataType;
      f.SubType = c->SubType;
      if (c->DataType == engine::fldZString) f.Size = static_cast<uint8_t>(std::max(1, c->DataSize - 1));
      if (c->DataType == engine::fldBytes || c->DataType == engine::fldVarBytes) {
        f.Size = static_cast<uint8_t>(std::max(1, c->DataSize));
      }
      if (c->DataType == engine::fldBCD) {
        f.Scale = c->Scale;
        f.Size = c->Scale;
      }
    }
    // Result rows take nulls (outer joins, aggregates over nothing) and no defaults.
    f.Required = false;
    f.DefaultValue.clear();
    f.MinValue.clear();
    f.MaxValue.clear();
    f.Description.clear();
    f.Calculated = false;
    f.Hidden = false;
    if (f.IsAutoInc()) f.SubType = 0;
    f.Name = c->ResultName;
    f.FieldNumber = static_cast<uint16_t>(c->ResultNo);
    f.Offset = 0;
    f.PhysicalSize = 0;
    f.PhysicalScale = 0;
    fields.push_back(f);
  }
  for (const auto& c : ResultColumns) {
    if (c->Aggregate != agAvg) continue;
    engine::FieldDesc f;
    f.FieldNumber = static_cast<uint16_t>(fields.size() + 1);
    f.Name = "Sys__Avg__Count" + std::to_string(f.FieldNumber);
    f.FieldType = engine::fldInt32;
    f.Hidden = true;
    c->CountFieldNo = static_cast<int16_t>(f.FieldNumber);
    fields.push_back(f);
  }
  OrderSatisfied = false;
  if (!OrderBy.empty() && !OrderNoCase &&
      std::none_of(OrderBy.begin(), OrderBy.end(), [](const auto& o) { return o->Descending; })) {
    if (!GroupBy.empty() && !AggregateOnly && OrderBy.size() == GroupBy.size() && !Distinct) {
      OrderSatisfied = true;
      for (size_t i = 0; i < OrderBy.size(); ++i) {
        if (OrderBy[i]->ColumnNo != GroupBy[i]->ColumnNo) OrderSatisfied = false;
      }
    } else if (Distinct && GroupBy.empty() && OrderBy.size() == ResultColumns.size()) {
      OrderSatisfied = true;
      for (size_t i = 0; i < OrderBy.size(); ++i) {
        if (OrderBy[i]->ColumnNo != static_cast<int32_t>(i + 1)) OrderSatisfied = false;
      }
    }
  }
  ResultCursor->SetExclusive(true);
  ResultCursor->SetInMemory(InMemory || !HasInto || TableName.empty());
  ResultCursor->SetQueryResult(true);
  engine::TTableAttributes attributes;
  attributes.LanguageId = LanguageId;
  attributes.SortId = SortId;
  attributes.BlobBlockSize = BlobBlockSize;
  attributes.Description = Description;
  attributes.Encrypted = Encrypted && !Password.empty();
  attributes.Password = attributes.Encrypted ? Password : std::string();
  attributes.UserMajor = 1;
  attributes.UserMinor = 0;
  ResultCursor->CreateTable(attributes, true, {engine::IndexDesc{}}, fields);
  // Files of a temporary table go when it closes: the mark goes on after it is made.
  ResultCursor->SetTemporary(!HasInto);
  engine::TDataSession* session = ResultDirectory->Session();
  const bool addPassword = attributes.Encrypted && session != nullptr && !session->HasPassword(Password);
  if (addPassword) session->AddPassword(Password);
  try {
    ResultCursor->Open();
  } catch (...) {
    if (addPassword) session->RemovePassword(Password);
    throw;
  }
  if (addPassword) session->RemovePassword(Password);
}

}  // namespace tovenmarsh::sql
