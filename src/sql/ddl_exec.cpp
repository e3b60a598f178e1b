// Data definition execution: descriptors from parsed definitions, and the engine's create,
// add-index, restructure and delete calls.
#include "sql/ddl_exec.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/sql_messages.h"
#include "sql/table_target.h"

namespace tovenmarsh::sql {

using engine::FieldDesc;
using engine::IndexDesc;
using M = TSqlMessage;

namespace {

engine::TTableAttributes AttributesOf(const TDataQuery& q) {
  engine::TTableAttributes a;
  a.LanguageId = q.LanguageId;
  a.SortId = q.SortId;
  a.BlobBlockSize = q.BlobBlockSize;
  a.Description = q.Description;
  a.Password = q.Password;
  a.Encrypted = q.Encrypted;
  a.UserMajor = q.UserMajorVersion;
  a.UserMinor = q.UserMinorVersion;
  a.LastAutoInc = q.LastAutoInc;
  return a;
}

void ExecuteCreateTable(TDataQuery& q, engine::TDataDirectory* directory) {
  std::vector<FieldDesc> fields;
  for (size_t i = 0; i < q.CreateFields.size(); ++i) {
    FieldDesc f = FieldDescOfColumn(*q.CreateFields[i]);
    f.FieldNumber = static_cast<uint16_t>(i + 1);
    fields.push_back(std::move(f));
  }
  std::vector<IndexDesc> indexes(1);
  if (!q.CreateIndexes.empty()) {
    indexes[0] = IndexDescOfDefinition(*q.CreateIndexes.front(), fields);
    indexes[0].Name.clear();
  }
  engine::TTableAttributes attributes = AttributesOf(q);
  attributes.LastAutoInc = -1;
  TTableTarget target(q, directory, q.TableName, q.InMemory);
  target.NewCursor(true)->CreateTable(attributes, false, std::move(indexes), std::move(fields));
}

void ExecuteCreateIndex(TDataQuery& q, engine::TDataDirectory* directory) {
  TTableTarget target(q, directory, q.TableName, q.InMemory);
  auto cursor = target.NewCursor(true);
  cursor->Open();
  TCloseCursor closer{*cursor};
  std::vector<FieldDesc> fields;
  for (uint32_t n = 1; n <= cursor->GetFieldCount(); ++n) fields.push_back(cursor->GetFieldDesc(n));
  cursor->AddIndex(IndexDescOfDefinition(*q.CreateIndexes.front(), fields));
  cursor->Close();
}

size_t FindColumn(const std::vector<FieldDesc>& fields, const std::string& name) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (engine::SameText(fields[i].Name, name)) return i;
  }
  RaiseSqlError(M::ColumnNotFound, {name});
}

// Restructure events of ALTER TABLE: a column the statement drops loses its values by intent;
// every other fault (a duplicate key, a failed check, a value that does not convert) stops the
// restructure with its error.
void AlterEvent(void*, int kind, const std::string&, bool& quiet, bool& proceed) {
  quiet = false;
  proceed = kind == 3;
}

void ExecuteAlterTable(TDataQuery& q, engine::TDataDirectory* directory) {
  TTableTarget target(q, directory, q.TableName, q.InMemory);
  auto cursor = target.NewCursor(true);
  cursor->Open();
  std::vector<FieldDesc> fields;
  std::vector<IndexDesc> indexes;
  engine::TTableAttributes a = AttributesOf(q);
  {
    TCloseCursor closer{*cursor};
    engine::TTableInfo info = cursor->GetTableInfo();
    if (!q.PasswordGiven) {
      a.Encrypted = info.Encrypted;
      a.Password = info.Password;
    }
    if (!q.LanguageGiven) a.LanguageId = info.LanguageId;
    if (!q.LanguageGiven && !q.SortGiven) a.SortId = info.SortId;
    if (!q.BlockSizeGiven) a.BlobBlockSize = info.BlobBlockSize;
    if (!q.DescriptionGiven) a.Description = info.Description;
    if (!q.MajorGiven) a.UserMajor = info.UserMajor;
    if (!q.MinorGiven) a.UserMinor = info.UserMinor;
    for (uint32_t n = 1; n <= cursor->GetFieldCount(); ++n) fields.push_back(cursor->GetFieldDesc(n));
    indexes.push_back(info.NoPrimaryIndex ? IndexDesc{} : cursor->GetIndexDesc(engine::kPrimaryIndex));
    for (uint8_t n = 1; n <= info.SecondaryIndexCount; ++n) indexes.push_back(cursor->GetIndexDesc(n));
    cursor->Close();
  }
  uint16_t highest = 0;
  for (const FieldDesc& f : fields) highest = std::max(highest, f.FieldNumber);

  for (const auto& item : q.CreateFields) {
    const size_t n = fields.size();
    if (item->PositionGiven && (item->Position < 1 || static_cast<size_t>(item->Position) > n)) {
      RaiseSqlError(M::AtPositionRange, {std::to_string(n)});
    }
    const size_t at = item->PositionGiven ? static_cast<size_t>(item->Position - 1) : n;
    if (item->IsAdd) {
      FieldDesc f = FieldDescOfColumn(*item);
      f.FieldNumber = ++highest;
      fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(f));
    } else if (item->IsRedefine) {
      size_t i = FindColumn(fields, item->ColumnName);
      FieldDesc f = fields[i];
      if (item->TypeGiven) {
        f.FieldType = item->DataType;
        f.SubType = item->SubType;
        f.Size = item->Size;
        f.Scale = item->Scale;
        f.PhysicalSize = 0;
        f.PhysicalScale = 0;
      }
      if (!item->NewName.empty()) f.Name = item->NewName;
      if (item->DescriptionGiven) f.Description = item->Description;
      if (item->CharCaseGiven) f.Case = item->CharCase;
      if (item->RequiredGiven) f.Required = item->Required;
      if (item->DefaultGiven) f.DefaultValue = item->Default;
      if (item->MinimumGiven) f.MinValue = item->Minimum;
      if (item->MaximumGiven) f.MaxValue = item->Maximum;
      fields[i] = f;
      if (item->PositionGiven && at != i) {
        fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(i));
        fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at), std::move(f));
      }
    } else if (item->IsDrop) {
      fields.erase(fields.begin() +
                   static_cast<std::ptrdiff_t>(FindColumn(fields, item->ColumnName)));
    }
  }

  for (const auto& key : q.CreateIndexes) {
    if (key->IsDrop) {
      indexes[0] = IndexDesc{};
      continue;
    }
    if (key->IsAdd && indexes[0].FieldCount > 0) RaiseSqlError(M::PrimaryKeyAdd);
    indexes[0] = IndexDescOfDefinition(*key, fields);
    indexes[0].Name.clear();
  }

  cursor->SetRestructureCallback(nullptr, &AlterEvent);
  cursor->AlterTable(a, std::move(indexes), std::move(fields), !q.NoBackup);
}

void ExecuteDropTable(TDataQuery& q, engine::TDataDirectory* directory) {
  TTableTarget target(q, directory, q.TableName, q.InMemory);
  target.NewCursor(true)->DeleteTable();
}

void ExecuteDropIndex(TDataQuery& q, engine::TDataDirectory* directory) {
  TTableTarget target(q, directory, q.TableName, q.InMemory);
  auto cursor = target.NewCursor(true);
  cursor->Open();
  TCloseCursor closer{*cursor};
  // The primary index has no name of its own: the engine finds it by the empty name.
  cursor->DeleteIndex(engine::SameText(q.IndexName, "PRIMARY") ? std::string() : q.IndexName, true);
  cursor->Close();
}

}  // namespace

FieldDesc FieldDescOfColumn(const TCreateField& field) {
  FieldDesc f;
  f.FieldNumber = static_cast<uint16_t>(field.FieldNo);
  f.Name = field.ColumnName;
  f.Description = field.Description;
  f.FieldType = field.DataType;
  f.SubType = field.SubType;
  f.Size = field.Size;
  f.Scale = field.Scale;
  f.Required = field.Required;
  f.Case = field.CharCase;
  f.MinValue = field.Minimum;
  f.MaxValue = field.Maximum;
  f.DefaultValue = field.Default;
  f.Calculated = false;
  return f;
}

IndexDesc IndexDescOfDefinition(const TCreateIndex& index, const std::vector<FieldDesc>& fields) {
  IndexDesc d;
  d.Name = index.IndexName.substr(0, engine::kMaxNameLength);
  d.Unique = index.Unique;
  d.Descending = index.Descending;
  d.CaseInsensitive = index.NoCase;
  d.Compression = index.Compression;
  // More columns than a key holds are counted but not stored: the engine refuses the count.
  d.FieldCount = static_cast<uint8_t>(std::min<size_t>(index.Columns.size(), 255));
  for (size_t k = 0; k < index.Columns.size() && k < d.FieldNumbers.size(); ++k) {
    uint16_t number = 0;
    for (const FieldDesc& f : fields) {
      if (engine::SameText(f.Name, index.Columns[k])) {
        number = f.FieldNumber;
        break;
      }
    }
    d.FieldNumbers[k] = number;
  }
  return d;
}

void ExecuteDataDefinition(TDataQuery& query, engine::TDataDirectory* directory) {
  switch (query.Kind) {
    case skCreateTable: ExecuteCreateTable(query, directory); break;
    case skCreateIndex: ExecuteCreateIndex(query, directory); break;
    case skAlterTable: ExecuteAlterTable(query, directory); break;
    case skDropTable: ExecuteDropTable(query, directory); break;
    case skDropIndex: ExecuteDropIndex(query, directory); break;
    default: break;
  }
}

}  // namespace tovenmarsh::sql
