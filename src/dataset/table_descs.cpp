// Conversions between definitions and engine descriptors.
#include "dataset/table_descs.h"

#include "dataset/database_error.h"

namespace tovenmarsh::dataset {

namespace e = tovenmarsh::engine;

std::vector<e::FieldDesc> FieldDescsFromDefs(const TFieldDefs& defs) {
  std::vector<e::FieldDesc> out;
  out.reserve(static_cast<size_t>(defs.Count()));
  for (int i = 0; i < defs.Count(); ++i) {
    const TFieldDef& def = defs[i];
    e::FieldDesc desc;
    desc.FieldNumber = static_cast<uint16_t>(i + 1);
    desc.Name = def.Name().substr(0, e::kMaxNameLength);
    TEngineType t = EngineTypeOf(def.DataType(), def.Size());
    desc.FieldType = t.FieldType;
    desc.SubType = t.SubType;
    desc.Size = static_cast<uint8_t>(t.Size < 0 ? 0 : (t.Size > 255 ? 255 : t.Size));
    desc.Scale = static_cast<uint8_t>(t.Scale < 0 ? 0 : (t.Scale > 255 ? 255 : t.Scale));
    desc.Required = def.Required();
    out.push_back(std::move(desc));
  }
  return out;
}

void FieldDefsFromDescs(const std::vector<e::FieldDesc>& descs, TFieldDefs& defs) {
  defs.Clear();
  for (const e::FieldDesc& desc : descs) {
    if (desc.Hidden) continue;
    TFieldType type = FieldTypeOfEngine(desc.FieldType, desc.SubType);
    if (type == ftUnknown) continue;
    int size = 0;
    if (desc.FieldType == e::fldBCD)
      size = desc.Scale;
    else if (EngineTypeCarriesSize(desc.FieldType))
      size = desc.Size;
    TFieldDef& def = defs.AddUnique(desc.Name, type, size, desc.Required, desc.FieldNumber);
    if (type == ftBCD) def.SetPrecision(20);
  }
}

e::IndexDesc IndexDescFromDef(const TIndexDef& def, const TFieldDefs& fieldDefs) {
  e::IndexDesc desc;
  desc.Name = def.Name().substr(0, e::kMaxNameLength);
  desc.Descending = def.Has(ixDescending);
  desc.FieldDescending.fill(desc.Descending ? 1 : 0);
  desc.CaseInsensitive = def.Has(ixCaseInsensitive);
  desc.Unique = def.Has(ixUnique);
  std::vector<std::string> names = SplitFieldNames(def.Fields());
  if (names.size() > static_cast<size_t>(e::kMaxFieldsPerIndex))
    DatabaseErrorFmt(msg::kTooManyIndexFields, def.Name().c_str());
  if (names.empty()) DatabaseError(msg::kFieldNameMissing);
  for (size_t i = 0; i < names.size(); ++i) {
    // A name missing from the definitions must not become a field number of 0 or a stale one.
    const TFieldDef& field = fieldDefs.Find(names[i]);
    desc.FieldNumbers[i] = static_cast<uint16_t>(field.FieldNo());
  }
  desc.FieldCount = static_cast<uint8_t>(names.size());
  return desc;
}

void AddIndexDefFromDesc(TIndexDefs& defs, const e::IndexDesc& desc, int number,
                         const TFieldDefs& fieldDefs) {
  std::string fields;
  int count = desc.FieldCount > e::kMaxFieldsPerIndex ? e::kMaxFieldsPerIndex : desc.FieldCount;
  for (int i = 0; i < count; ++i) {
    const TFieldDef* field = fieldDefs.FindByNumber(desc.FieldNumbers[static_cast<size_t>(i)]);
    if (!field) continue;
    if (!fields.empty()) fields += ';';
    fields += field->Name();
  }
  TIndexOptions options = 0;
  if (number == 0) options |= ixPrimary;
  if (desc.Descending) options |= ixDescending;
  if (desc.CaseInsensitive) options |= ixCaseInsensitive;
  if (desc.Unique) options |= ixUnique;
  defs.Add(desc.Name, fields, options);
}

void ApplyDisplayLabels(TFields& fields, const std::vector<e::FieldDesc>& descs) {
  for (int i = 0; i < fields.Count(); ++i) {
    TField& field = fields[i];
    if (field.FieldKind() != TFieldKind::fkData || field.FieldNo() <= 0) continue;
    for (const e::FieldDesc& desc : descs) {
      if (desc.FieldNumber == field.FieldNo() && !desc.Description.empty()) {
        field.SetDisplayLabel(desc.Description);
        break;
      }
    }
  }
}

TCreateIndexDescs IndexDescsForCreate(const TIndexDefs& defs, const TFieldDefs& fieldDefs) {
  TCreateIndexDescs out;
  int primary = -1;
  for (int i = 0; i < defs.Count(); ++i) {
    if (defs[i].Has(ixPrimary)) {
      primary = i;
      break;
    }
  }
  for (int i = 0; i < defs.Count(); ++i) {
    e::IndexDesc desc = IndexDescFromDef(defs[i], fieldDefs);
    if (i == primary) {
      out.HasPrimary = true;
      out.Primary = std::move(desc);
    } else {
      out.Secondary.push_back(std::move(desc));
    }
  }
  return out;
}

}  // namespace tovenmarsh::dataset
