#include "support/web_memory_table.h"

#include <algorithm>
#include <cctype>

#include "resources/table_resources.h"

namespace tovenmarsh::web::testing {

namespace r = tovenmarsh::resources;

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Values compare by kind: null lowest, then numbers (integers, booleans, dates), then strings.
int CompareValues(const r::TFieldValue& a, const r::TFieldValue& b, bool caseInsensitive) {
  auto rank = [](const r::TFieldValue& v) {
    if (std::holds_alternative<std::monostate>(v)) return 0;
    if (std::holds_alternative<std::string>(v)) return 2;
    return 1;
  };
  auto number = [](const r::TFieldValue& v) -> double {
    if (auto i = std::get_if<int>(&v)) return *i;
    if (auto b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    if (auto d = std::get_if<double>(&v)) return *d;
    return 0;
  };
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 0) return 0;
  if (ra == 1) {
    const double x = number(a), y = number(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  std::string x = std::get<std::string>(a), y = std::get<std::string>(b);
  if (caseInsensitive) {
    x = Lower(x);
    y = Lower(y);
  }
  return x.compare(y) < 0 ? -1 : (x == y ? 0 : 1);
}

bool IsEmpty(const r::TFieldValue& v) {
  if (std::holds_alternative<std::monostate>(v)) return true;
  if (auto s = std::get_if<std::string>(&v)) return s->empty();
  return false;
}

}  // namespace

TWebMemoryTable::TWebMemoryTable(TWebMemoryStore& store)
    : store_(store), name_(store.def.fileName) {
  SetIndex("");
  primary_ = index_;
}

void TWebMemoryTable::SetIndex(const std::string& indexName) {
  for (const r::TAppIndexDef& index : store_.def.indexes) {
    if ((indexName.empty() && index.primary) || (!indexName.empty() && index.name == indexName)) {
      index_.clear();
      std::string fields(index.fields);
      size_t from = 0;
      while (from <= fields.size()) {
        size_t end = fields.find(';', from);
        if (end == std::string::npos) end = fields.size();
        index_.push_back({r::FieldPosition(store_.def, fields.substr(from, end - from)),
                          index.caseInsensitive});
        from = end + 1;
      }
      range_.reset();
      return;
    }
  }
  throw EWebMemoryTableError("Unknown index " + indexName);
}

int TWebMemoryTable::Compare(const TRow& a, const TRow& b,
                             const std::vector<TIndexField>& fields) const {
  for (const TIndexField& f : fields) {
    const int c = CompareValues(a[static_cast<size_t>(f.position)],
                                b[static_cast<size_t>(f.position)], f.caseInsensitive);
    if (c != 0) return c;
  }
  return 0;
}

bool TWebMemoryTable::Matches(const TRow& row, const r::TKeyValues& key) const {
  for (size_t i = 0; i < key.size() && i < index_.size(); ++i) {
    if (CompareValues(row[static_cast<size_t>(index_[i].position)], key[i],
                      index_[i].caseInsensitive) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<int64_t> TWebMemoryTable::View() const {
  std::vector<int64_t> view;
  for (const auto& [seq, row] : store_.rows) {
    if (!range_ || Matches(row, *range_)) view.push_back(seq);
  }
  std::stable_sort(view.begin(), view.end(), [&](int64_t a, int64_t b) {
    return Compare(store_.rows.at(a), store_.rows.at(b), index_) < 0;
  });
  return view;
}

void TWebMemoryTable::SetRange(const r::TKeyValues& key) {
  range_ = key;
  First();
}

void TWebMemoryTable::CancelRange() { range_.reset(); }

bool TWebMemoryTable::FindKey(const r::TKeyValues& key) {
  for (int64_t seq : View()) {
    if (Matches(store_.rows.at(seq), key)) {
      current_ = seq;
      return true;
    }
  }
  return false;
}

void TWebMemoryTable::First() {
  const auto view = View();
  current_ = view.empty() ? -1 : view.front();
}

void TWebMemoryTable::Next() {
  const auto view = View();
  auto at = std::find(view.begin(), view.end(), current_);
  current_ = (at == view.end() || at + 1 == view.end()) ? -1 : *(at + 1);
}

bool TWebMemoryTable::Eof() { return current_ < 0 || !store_.rows.count(current_); }

int TWebMemoryTable::RecordCount() { return static_cast<int>(View().size()); }

r::TFieldValue TWebMemoryTable::Field(int position) {
  if (state_ != r::TTableState::Browse) return buffer_.at(static_cast<size_t>(position));
  if (Eof()) return {};
  return store_.rows.at(current_).at(static_cast<size_t>(position));
}

void TWebMemoryTable::SetField(int position, const r::TFieldValue& value) {
  if (state_ == r::TTableState::Browse) throw EWebMemoryTableError("Not in edit mode");
  buffer_.at(static_cast<size_t>(position)) = value;
}

void TWebMemoryTable::Insert() {
  buffer_.assign(store_.def.fields.size(), r::TFieldValue{});
  state_ = r::TTableState::Insert;
}

void TWebMemoryTable::Edit() {
  if (Eof()) throw EWebMemoryTableError("No current record");
  buffer_ = store_.rows.at(current_);
  state_ = r::TTableState::Edit;
}

void TWebMemoryTable::Post() {
  if (state_ == r::TTableState::Browse) throw EWebMemoryTableError("Not in edit mode");
  if (store_.failPostAfter >= 0 && store_.posts >= store_.failPostAfter) {
    throw EWebMemoryTableError("Injected write failure");
  }
  for (size_t i = 0; i < store_.def.fields.size(); ++i) {
    const r::TAppFieldDef& field = store_.def.fields[i];
    if (field.type == r::TAppFieldType::AutoInc && IsEmpty(buffer_[i])) {
      buffer_[i] = store_.nextAutoInc++;
    }
    if (field.required && IsEmpty(buffer_[i])) {
      throw EWebMemoryTableError("Field " + std::string(field.name) + " must have a value");
    }
  }
  for (const auto& [seq, row] : store_.rows) {
    if (seq != current_ || state_ == r::TTableState::Insert) {
      if (Compare(row, buffer_, primary_) == 0) throw EWebMemoryTableError("Key violation");
    }
  }
  ++store_.posts;
  if (state_ == r::TTableState::Insert) {
    current_ = store_.nextSeq++;
  }
  store_.rows[current_] = buffer_;
  state_ = r::TTableState::Browse;
}

void TWebMemoryTable::Cancel() { state_ = r::TTableState::Browse; }

void TWebMemoryTable::Delete() {
  if (Eof()) throw EWebMemoryTableError("No current record");
  const auto view = View();
  auto at = std::find(view.begin(), view.end(), current_);
  const int64_t next = (at == view.end() || at + 1 == view.end()) ? -1 : *(at + 1);
  store_.rows.erase(current_);
  current_ = next;
}

void TWebMemoryTable::StartTransaction() {
  if (snapshot_) throw EWebMemoryTableError("Transaction already open");
  snapshot_ = TSnapshot{store_.rows, store_.nextSeq, store_.nextAutoInc};
}

void TWebMemoryTable::Commit() { snapshot_.reset(); }

void TWebMemoryTable::Rollback() {
  if (!snapshot_) return;
  store_.rows = snapshot_->rows;
  store_.nextSeq = snapshot_->nextSeq;
  store_.nextAutoInc = snapshot_->nextAutoInc;
  snapshot_.reset();
}

TWebTestTables::TWebTestTables() : pool_(std::make_unique<r::TResourcePool>(2000)) {
  const r::TTableOpener opener = [this](const r::TAppTableDef& table, int) {
    return std::make_unique<TWebMemoryTable>(Store(table.pool));
  };
  for (int index = r::piAccount; index <= r::piDocument; ++index) {
    r::TResourcePool* pool = pool_.get();
    pool_->Register(
        index, [index, opener, pool] { return r::CreateTableResource(index, opener, pool); }, 1,
        4);
  }
}

TWebTestTables::~TWebTestTables() { pool_.reset(); }

TWebMemoryStore& TWebTestTables::Store(int pool) {
  auto& store = stores_[pool];
  if (!store) store = std::make_unique<TWebMemoryStore>(*r::TableDefForPool(pool));
  return *store;
}

void TWebTestTables::Insert(int pool, const std::vector<std::pair<int, r::TFieldValue>>& fields) {
  r::TResourceLease<> lease(*pool_, pool);
  lease->BeginWork();
  lease->Insert();
  for (const auto& [position, value] : fields) lease->Table().SetField(position, value);
  lease->Post();
  lease->CommitWork();
  // Fixed stamps, so pages compare byte for byte.
  TWebMemoryStore& store = Store(pool);
  const int created = r::FieldPosition(store.def, "created");
  if (created >= 0) store.rows.rbegin()->second[static_cast<size_t>(created)] = 46000.5;
}

std::vector<std::string> TWebTestTables::Dump(int pool) {
  std::vector<std::string> out;
  TWebMemoryStore& store = Store(pool);
  for (const auto& [seq, row] : store.rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      const r::TFieldValue& v = row[i];
      if (store.def.fields[i].type == r::TAppFieldType::DateTime) continue;
      if (store.def.fields[i].name == "mailboxid") continue;
      if (!line.empty()) line += '|';
      if (auto s = std::get_if<std::string>(&v)) line += *s;
      if (auto n = std::get_if<int>(&v)) line += std::to_string(*n);
      if (auto b = std::get_if<bool>(&v)) line += *b ? "T" : "F";
    }
    out.push_back(line);
  }
  return out;
}

std::vector<int> TWebTestTables::FreeSlots() {
  std::vector<int> slots;
  for (int index = r::piAccount; index <= r::piDocument; ++index) {
    slots.push_back(pool_->FreeSlots(index));
  }
  return slots;
}

}  // namespace tovenmarsh::web::testing
