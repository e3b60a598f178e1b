// Field definition lists.
#include "dataset/field_defs.h"

#include "dataset/database_error.h"
#include "platform/format.h"
#include "platform/win1252.h"

namespace tovenmarsh::dataset {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (platform::Win1252Upper(static_cast<unsigned char>(a[i])) !=
        platform::Win1252Upper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

TFieldDef& TFieldDefs::Add(std::string_view name, TFieldType type, int size, bool required,
                           int fieldNo) {
  if (name.empty()) DatabaseError(msg::kFieldNameMissing);
  if (IndexOf(name) >= 0) DatabaseErrorFmt(msg::kDuplicateFieldName, std::string(name).c_str());
  if (fieldNo <= 0) fieldNo = Count() + 1;
  items_.push_back(std::make_unique<TFieldDef>(std::string(name), type, size, required, fieldNo));
  updated_ = false;
  return *items_.back();
}

TFieldDef& TFieldDefs::AddUnique(std::string_view name, TFieldType type, int size, bool required,
                                 int fieldNo) {
  std::string unique(name);
  for (int n = 1; IndexOf(unique) >= 0; ++n)
    unique = platform::Format("%s_%d", std::string(name).c_str(), n);
  return Add(unique, type, size, required, fieldNo);
}

void TFieldDefs::Clear() {
  items_.clear();
  updated_ = false;
}

int TFieldDefs::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameName(items_[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

const TFieldDef& TFieldDefs::Find(std::string_view name) const {
  int i = IndexOf(name);
  if (i < 0) DatabaseErrorFmt(msg::kFieldNotFound, std::string(name).c_str());
  return *items_[static_cast<size_t>(i)];
}

const TFieldDef* TFieldDefs::FindByNumber(int fieldNo) const {
  for (const auto& def : items_)
    if (def->FieldNo() == fieldNo) return def.get();
  return nullptr;
}

void TFieldDefs::Update() {
  if (updated_ || !updateHook_) return;
  updateHook_();
  updated_ = true;
}

}  // namespace tovenmarsh::dataset
