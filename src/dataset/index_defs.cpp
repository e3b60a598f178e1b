// Index definition lists and the index search.
#include "dataset/index_defs.h"

#include "dataset/database_error.h"
#include "dataset/field_defs.h"

namespace tovenmarsh::dataset {

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string_view part = names.substr(start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty()) out.emplace_back(part);
    start = end + 1;
  }
  return out;
}

TIndexDef& TIndexDefs::Add(std::string_view name, std::string_view fields, TIndexOptions options) {
  if (IndexOf(name) >= 0) DatabaseErrorFmt(msg::kDuplicateIndexName, std::string(name).c_str());
  items_.push_back(std::make_unique<TIndexDef>(std::string(name), std::string(fields), options));
  return *items_.back();
}

void TIndexDefs::Clear() {
  items_.clear();
  updated_ = false;
}

int TIndexDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

const TIndexDef& TIndexDefs::Find(std::string_view name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(msg::kIndexNotFound, std::string(name).c_str());
  return *items_[static_cast<size_t>(i)];
}

const TIndexDef* TIndexDefs::GetIndexForFields(std::string_view fields, bool caseInsensitive) const {
  auto qualifies = [&](const TIndexDef& def) {
    if (def.Has(ixDescending)) return false;
    if (caseInsensitive && !def.Has(ixCaseInsensitive)) return false;
    return true;
  };
  // Pass 1: the same field list; pass 2: a field list that begins with the names.
  for (const auto& def : items_)
    if (qualifies(*def) && SameName(def->Fields(), fields)) return def.get();
  for (const auto& def : items_) {
    if (!qualifies(*def)) continue;
    const std::string& list = def->Fields();
    if (list.size() > fields.size() && list[fields.size()] == ';' &&
        SameName(std::string_view(list).substr(0, fields.size()), fields))
      return def.get();
  }
  return nullptr;
}

const TIndexDef& TIndexDefs::FindIndexForFields(std::string_view fields) const {
  const TIndexDef* def = GetIndexForFields(fields, false);
  if (!def) DatabaseErrorFmt(msg::kNoIndexForFields, std::string(fields).c_str());
  return *def;
}

void TIndexDefs::Update() {
  if (updated_ || !updateHook_) return;
  updateHook_();
  updated_ = true;
}

}  // namespace tovenmarsh::dataset
