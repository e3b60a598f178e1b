// The application tables' definitions in the record-set layer's terms: the field and index
// definitions that a table object is given before it creates its table.
#pragma once

#include "dataset/field_defs.h"
#include "dataset/field_types.h"
#include "dataset/index_defs.h"
#include "resources/table_defs.h"

namespace tovenmarsh::resources {

dataset::TFieldType DatasetFieldType(TAppFieldType type);
dataset::TIndexOptions DatasetIndexOptions(const TAppIndexDef& index);

// Clears both lists, then adds the table's fields in their physical order and its indexes,
// the primary one first.
void FillTableDefs(const TAppTableDef& table, dataset::TFieldDefs& fields,
                   dataset::TIndexDefs& indexes);

}  // namespace tovenmarsh::resources
