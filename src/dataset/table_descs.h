// Field and index definitions to and from the engine's field and index descriptors.
//
// Contract: FieldDescsFromDefs writes one descriptor per definition, in order (name cut to 30
// characters, type and subtype from the type mapping, field number = position + 1, required
// flag); FieldDefsFromDescs is the reverse and leaves out hidden descriptors and types the data
// set cannot show, renaming a repeated name "Name_1", "Name_2"... IndexDescFromDef resolves
// every ";"-separated field name through the field definitions and raises EDatabaseError for
// a name that is missing or for more than 16 fields. IndexDescsForCreate orders the
// definitions for table creation: an ixPrimary definition becomes the primary index; without
// one the primary slot stays empty and every definition is secondary.
#pragma once

#include <vector>

#include "dataset/field_defs.h"
#include "dataset/fields.h"
#include "dataset/index_defs.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::dataset {

std::vector<engine::FieldDesc> FieldDescsFromDefs(const TFieldDefs& defs);
void FieldDefsFromDescs(const std::vector<engine::FieldDesc>& descs, TFieldDefs& defs);

engine::IndexDesc IndexDescFromDef(const TIndexDef& def, const TFieldDefs& fieldDefs);
// Adds the definition of index `number` (0 = primary) read from its descriptor; field numbers
// without a field definition are left out of the field list.
void AddIndexDefFromDesc(TIndexDefs& defs, const engine::IndexDesc& desc, int number,
                         const TFieldDefs& fieldDefs);

// Gives every bound data field whose descriptor holds a description that text as its label.
void ApplyDisplayLabels(TFields& fields, const std::vector<engine::FieldDesc>& descs);

struct TCreateIndexDescs {
  bool HasPrimary = false;
  engine::IndexDesc Primary;                 // all zero when HasPrimary is false
  std::vector<engine::IndexDesc> Secondary;  // in definition order
};
TCreateIndexDescs IndexDescsForCreate(const TIndexDefs& defs, const TFieldDefs& fieldDefs);

}  // namespace tovenmarsh::dataset
