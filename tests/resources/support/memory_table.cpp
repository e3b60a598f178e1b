// In-memory application tables for the resource and control tests.
#include "support/memory_table.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/win1252.h"

namespace tovenmarsh::resources::testing {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  return platform::Win1252UpperString(a) == platform::Win1252UpperString(b);
}

bool IsNumber(const TFieldValue& v) {
  return std::holds_alternative<int>(v) || std::holds_alternative<bool>(v) ||
         std::holds_alternative<double>(v);
}

double AsNumber(const TFieldValue& v) {
  if (const int* n = std::get_if<int>(&v)) return *n;
  if (const bool* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
  return std::get<double>(v);
}

int CompareValues(const TFieldValue& a, const TFieldValue& b, bool caseInsensitive) {
  const bool aNull = std::holds_alternative<std::monostate>(a);
  const bool bNull = std::holds_alternative<std::monostate>(b);
  if (aNull || bNull) return aNull == bNull ? 0 : (aNull ? -1 : 1);
  if (IsNumber(a) && IsNumber(b)) {
    const double x = AsNumber(a), y = AsNumber(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const std::string* s = std::get_if<std::string>(&a);
  const std::string* t = std::get_if<std::string>(&b);
  if (s && t) {
    std::string x = caseInsensitive ? platform::Win1252UpperString(*s) : *s;
    std::string y = caseInsensitive ? platform::Win1252UpperString(*t) : *t;
    int c = x.compare(y);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return a.index() < b.index() ? -1 : 1;
}

// The engine treats an empty string as NULL.
TFieldValue Normalized(const TFieldValue& v) {
  if (const std::string* s = std::get_if<std::string>(&v); s && s->empty()) return {};
  return v;
}

}  // namespace

std::vector<int> IndexFieldPositions(const TAppTableDef& table, const TAppIndexDef& index) {
  std::vector<int> positions;
  std::string_view rest = index.fields;
  while (!rest.empty()) {
    size_t cut = rest.find(';');
    std::string_view name = rest.substr(0, cut);
    int position = FieldPosition(table, name);
    if (position < 0) throw EMemoryTableError("Unknown index field " + std::string(name));
    positions.push_back(position);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  return positions;
}

TMemoryStore& TMemoryDatabase::Store(const TAppTableDef& table) {
  auto& store = stores_[std::string(table.fileName)];
  if (!store) store = std::make_unique<TMemoryStore>(table);
  return *store;
}

TTableOpener TMemoryDatabase::Opener() {
  return [this](const TAppTableDef& table, int number) -> std::unique_ptr<TTableAccess> {
    opened_.push_back(number);
    return std::make_unique<TMemoryTable>(Store(table));
  };
}

TMemoryTable::TMemoryTable(TMemoryStore& store)
    : store_(store), name_(store.def.fileName) {
  SetIndex("");
}

void TMemoryTable::Rebuild() {
  const int64_t keep = position_ < order_.size() ? order_[position_] : 0;
  order_.clear();
  for (const auto& [recNo, row] : store_.rows) {
    if (!range_ || Matches(row, *range_)) order_.push_back(recNo);
  }
  const bool ci = index_->caseInsensitive;
  std::stable_sort(order_.begin(), order_.end(), [&](int64_t x, int64_t y) {
    const auto& a = store_.rows.at(x);
    const auto& b = store_.rows.at(y);
    for (int f : indexFields_) {
      int c = CompareValues(a[static_cast<size_t>(f)], b[static_cast<size_t>(f)], ci);
      if (c != 0) return c < 0;
    }
    return false;
  });
  auto it = std::find(order_.begin(), order_.end(), keep);
  if (keep != 0 && it != order_.end()) {
    position_ = static_cast<size_t>(it - order_.begin());
  } else {
    position_ = std::min(position_, order_.size());
  }
}

bool TMemoryTable::Matches(const std::vector<TFieldValue>& row, const TKeyValues& key) const {
  for (size_t i = 0; i < key.size() && i < indexFields_.size(); ++i) {
    if (CompareValues(row[static_cast<size_t>(indexFields_[i])], Normalized(key[i]),
                      index_->caseInsensitive) != 0) {
      return false;
    }
  }
  return true;
}

const std::vector<TFieldValue>& TMemoryTable::Current() const {
  if (position_ >= order_.size()) throw EMemoryTableError("No current record");
  auto it = store_.rows.find(order_[position_]);
  if (it == store_.rows.end()) throw EMemoryTableError("Record was deleted by another user");
  return it->second;
}

void TMemoryTable::SetIndex(const std::string& indexName) {
  for (const TAppIndexDef& index : store_.def.indexes) {
    if (SameText(index.name, indexName)) {
      index_ = &index;
      indexFields_ = IndexFieldPositions(store_.def, index);
      range_.reset();
      position_ = 0;
      Rebuild();
      return;
    }
  }
  throw EMemoryTableError("Index '" + indexName + "' not found");
}

void TMemoryTable::SetRange(const TKeyValues& key) {
  range_ = key;
  position_ = order_.size();
  Rebuild();
  position_ = 0;
}

void TMemoryTable::CancelRange() {
  range_.reset();
  Rebuild();
}

bool TMemoryTable::FindKey(const TKeyValues& key) {
  Rebuild();
  for (size_t i = 0; i < order_.size(); ++i) {
    if (Matches(store_.rows.at(order_[i]), key)) {
      position_ = i;
      return true;
    }
  }
  return false;
}

void TMemoryTable::First() {
  position_ = order_.size();
  Rebuild();
  position_ = 0;
}

void TMemoryTable::Next() {
  if (position_ < order_.size()) ++position_;
}

bool TMemoryTable::Eof() { return position_ >= order_.size(); }

int TMemoryTable::RecordCount() {
  Rebuild();
  return static_cast<int>(order_.size());
}

void TMemoryTable::Refresh() { Rebuild(); }

TFieldValue TMemoryTable::Field(int position) {
  if (position < 0 || static_cast<size_t>(position) >= store_.def.fields.size()) {
    throw EMemoryTableError(platform::Format("No field %d", position));
  }
  if (state_ != TTableState::Browse) return buffer_[static_cast<size_t>(position)];
  return Current()[static_cast<size_t>(position)];
}

void TMemoryTable::SetField(int position, const TFieldValue& value) {
  if (state_ == TTableState::Browse) throw EMemoryTableError("Dataset not in edit or insert mode");
  if (position < 0 || static_cast<size_t>(position) >= store_.def.fields.size()) {
    throw EMemoryTableError(platform::Format("No field %d", position));
  }
  const TAppFieldDef& field = store_.def.fields[static_cast<size_t>(position)];
  TFieldValue v = Normalized(value);
  const bool null = std::holds_alternative<std::monostate>(v);
  switch (field.type) {
    case TAppFieldType::String:
    case TAppFieldType::Memo:
      if (!null && !std::holds_alternative<std::string>(v)) throw EMemoryTableError("Not a text");
      break;
    case TAppFieldType::Integer:
    case TAppFieldType::AutoInc:
      if (!null && !IsNumber(v)) throw EMemoryTableError("Not an integer");
      if (!null) v = static_cast<int>(AsNumber(v));
      break;
    case TAppFieldType::Boolean:
      if (!null && !IsNumber(v)) throw EMemoryTableError("Not a boolean");
      if (!null) v = AsNumber(v) != 0;
      break;
    case TAppFieldType::DateTime:
      if (!null && !IsNumber(v)) throw EMemoryTableError("Not a date");
      if (!null) v = AsNumber(v);
      break;
  }
  buffer_[static_cast<size_t>(position)] = std::move(v);
}

void TMemoryTable::Insert() {
  if (state_ != TTableState::Browse) throw EMemoryTableError("Dataset already in edit mode");
  buffer_.assign(store_.def.fields.size(), TFieldValue());
  state_ = TTableState::Insert;
}

void TMemoryTable::Edit() {
  if (state_ == TTableState::Edit) return;
  if (state_ == TTableState::Insert) throw EMemoryTableError("Dataset already in insert mode");
  buffer_ = Current();
  editing_ = order_[position_];
  state_ = TTableState::Edit;
}

void TMemoryTable::CheckPost(const std::vector<TFieldValue>& row, int64_t self) const {
  for (size_t i = 0; i < store_.def.fields.size(); ++i) {
    if (store_.def.fields[i].required && std::holds_alternative<std::monostate>(row[i])) {
      throw EMemoryTableError("Field '" + std::string(store_.def.fields[i].name) +
                              "' must have a value");
    }
  }
  for (const TAppIndexDef& index : store_.def.indexes) {
    if (!index.unique) continue;
    std::vector<int> fields = IndexFieldPositions(store_.def, index);
    for (const auto& [recNo, other] : store_.rows) {
      if (recNo == self) continue;
      bool same = true;
      for (int f : fields) {
        if (CompareValues(other[static_cast<size_t>(f)], row[static_cast<size_t>(f)],
                          index.caseInsensitive) != 0) {
          same = false;
          break;
        }
      }
      if (same) throw EMemoryTableError("Key violation in " + name_);
    }
  }
}

void TMemoryTable::Remember(int64_t recNo) {
  if (!inTransaction_) return;
  auto it = store_.rows.find(recNo);
  if (it == store_.rows.end()) {
    undo_.push_back({recNo, std::nullopt});
  } else {
    undo_.push_back({recNo, it->second});
  }
}

void TMemoryTable::Post() {
  if (state_ == TTableState::Browse) return;
  if (store_.postsBeforeFailure >= 0 && store_.posts >= store_.postsBeforeFailure) {
    throw EMemoryTableError("Injected write failure on " + name_);
  }
  if (state_ == TTableState::Insert) {
    for (size_t i = 0; i < store_.def.fields.size(); ++i) {
      if (store_.def.fields[i].type == TAppFieldType::AutoInc &&
          std::holds_alternative<std::monostate>(buffer_[i])) {
        buffer_[i] = store_.nextAutoInc;
      }
    }
    CheckPost(buffer_, 0);
    for (size_t i = 0; i < store_.def.fields.size(); ++i) {
      if (store_.def.fields[i].type == TAppFieldType::AutoInc) {
        store_.nextAutoInc = std::max(store_.nextAutoInc, std::get<int>(buffer_[i]) + 1);
      }
    }
    editing_ = store_.nextRecNo++;
  } else {
    CheckPost(buffer_, editing_);
  }
  Remember(editing_);
  store_.rows[editing_] = buffer_;
  ++store_.posts;
  state_ = TTableState::Browse;
  // Keep the posted row current.
  order_.assign(1, editing_);
  position_ = 0;
  Rebuild();
}

void TMemoryTable::Cancel() {
  state_ = TTableState::Browse;
  buffer_.clear();
}

void TMemoryTable::Delete() {
  if (state_ != TTableState::Browse) throw EMemoryTableError("Dataset in edit mode");
  Current();
  if (store_.failDelete) throw EMemoryTableError("Injected delete failure on " + name_);
  const int64_t recNo = order_[position_];
  Remember(recNo);
  store_.rows.erase(recNo);
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(position_));
  Rebuild();
}

void TMemoryTable::StartTransaction() {
  if (store_.failStartTransaction) throw EMemoryTableError("Injected transaction failure");
  if (inTransaction_) throw EMemoryTableError("Transaction already active");
  inTransaction_ = true;
  undo_.clear();
}

void TMemoryTable::Commit() {
  if (!inTransaction_) throw EMemoryTableError("No transaction active");
  inTransaction_ = false;
  undo_.clear();
}

void TMemoryTable::Rollback() {
  if (!inTransaction_) throw EMemoryTableError("No transaction active");
  for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
    if (it->before) {
      store_.rows[it->recNo] = *it->before;
    } else {
      store_.rows.erase(it->recNo);
    }
  }
  inTransaction_ = false;
  undo_.clear();
  Rebuild();
}

}  // namespace tovenmarsh::resources::testing
