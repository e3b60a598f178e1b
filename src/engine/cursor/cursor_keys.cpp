// Cursor keys: building an index key from a record, comparing keys under an index's order,
// padding partial keys, and switching the active index.
// Implements the key and index calls of engine/cursor/cursor.h.
//
// Keys of tables without a language compare bytewise (the encodings keep value order); keys of
// a table with a language compare string fields with the table's locale. A descending index
// keeps ascending keys and reverses every comparison.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/format/key_encoding.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {

int Sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

int CompareIndexKeys(const void* context, const uint8_t* a, const uint8_t* b, uint32_t length) {
  const TCursorIndex& ix = *static_cast<const TCursorIndex*>(context);
  const bool reverse = ix.Descending && ix.Slot != kStatusIndex;
  if (ix.Slot == kStatusIndex || ix.LanguageId == 0) {
    const int c = Sign(std::memcmp(a, b, length));
    return reverse ? -c : c;
  }
  uint32_t at = 0;
  for (size_t i = 0; i < ix.Fields.size() && at < length; ++i) {
    const FieldDesc& f = ix.Fields[i];
    const bool rev = reverse || (i < ix.Desc.FieldDescending.size() && ix.Desc.FieldDescending[i] != 0);
    const uint32_t width = f.PhysicalSize + 1u;
    int c;
    if (f.FieldType == fldZString) {
      c = Sign(static_cast<int>(a[at]) - static_cast<int>(b[at]));
      if (c == 0 && length - at > 1) {
        const uint32_t n = std::min<uint32_t>(f.PhysicalSize, length - at - 1);
        auto text = [&](const uint8_t* k) {
          const char* s = reinterpret_cast<const char*>(k + at + 1);
          return std::string_view(s, strnlen(s, n));
        };
        c = LocaleCompareStr(ix.LanguageId, ix.SortId, text(a), ix.CaseInsensitive, 0, text(b));
      }
    } else {
      c = Sign(std::memcmp(a + at, b + at, std::min(width, length - at)));
    }
    if (c != 0) return rev ? -c : c;
    at += width;
  }
  if (at < length) {
    const int c = Sign(std::memcmp(a + at, b + at, length - at));
    return reverse ? -c : c;
  }
  return 0;
}

std::string Upper(const std::string& s) {
  std::string r = s;
  size_t b = 0, e = r.size();
  while (b < e && static_cast<unsigned char>(r[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(r[e - 1]) <= ' ') --e;
  r = r.substr(b, e - b);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

}  // namespace

TKeyOrder TCursorIndex::Order() const {
  TKeyOrder order;
  order.Compare = &CompareIndexKeys;
  order.Context = this;
  // Where CompareIndexKeys is a plain memcmp (no language, or the status index), say so.
  if (Slot == kStatusIndex || LanguageId == 0) order.Bytewise = Descending && Slot != kStatusIndex ? -1 : 1;
  return order;
}

void TDataCursor::LoadIndex(uint8_t slot, TCursorIndex& out) const {
  TIndexFile& file = table_->Index();
  // Every member is set again; the field list keeps its memory (inserts describe each index
  // per record into the same objects).
  out.Slot = slot;
  out.LanguageId = languageId_;
  out.SortId = sortId_;
  out.Descending = false;
  out.CaseInsensitive = false;
  if (slot == kStatusIndex) {
    out.Fields.clear();
    out.Desc = IndexDesc{};
    out.KeySize = 5;
    out.Unique = true;
    return;
  }
  out.Desc = file.SlotDesc(slot);
  out.KeySize = static_cast<uint16_t>(out.Desc.KeySize);
  out.Unique = slot == 0 ? true : out.Desc.Unique;
  out.Descending = out.Desc.Descending;
  out.CaseInsensitive = out.Desc.CaseInsensitive;
  const size_t count = static_cast<size_t>(std::clamp<int>(out.Desc.FieldCount, 0, kMaxFieldsPerIndex));
  out.Fields.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const FieldDesc* f = table_->Data().FieldByNumber(out.Desc.FieldNumbers[i]);
    if (!f) {
      out.Fields.clear();
      Raise(kErrIndexPageCorrupt);
    }
    out.Fields[i] = *f;
  }
}

void TDataCursor::BuildIndexKey(const TCursorIndex& ix, const uint8_t* record, uint8_t* key) const {
  std::memset(key, 0, ix.KeySize);
  if (ix.Slot == kStatusIndex) {
    BuildStatusKey(record[0], GetU32(record, 5), key);
    return;
  }
  uint32_t at = 0;
  for (size_t i = 0; i < ix.Fields.size(); ++i) {
    const FieldDesc& f = ix.Fields[i];
    const uint8_t* value;
    if (f.IsAutoInc()) {
      key[at] = 1;
      value = record + 5;
    } else {
      key[at] = record[f.Offset] != 0 ? 1 : 0;
      value = record + f.Offset + 1;
    }
    const bool fieldDescending = !ix.Descending && ix.Desc.FieldDescending[i] != 0;
    if (key[at] != 0 || fieldDescending) {
      BuildFieldKey(f, value, key + at, languageId_, sortId_, fieldDescending, ix.CaseInsensitive);
    }
    at += f.PhysicalSize + 1u;
  }
  if (!ix.Unique && at + 4 <= ix.KeySize) EncodeIntegerKey(static_cast<int32_t>(GetU32(record, 5)), key + at);
}

void TDataCursor::BuildStatusKey(uint8_t status, uint32_t id, uint8_t* key) const {
  key[0] = status;
  EncodeIntegerKey(static_cast<int32_t>(id), key + 1);
}

void TDataCursor::BuildKey(const uint8_t* record, uint8_t* key) const { BuildIndexKey(index_, record, key); }

int TDataCursor::CompareKeys(const uint8_t* a, const uint8_t* b, uint32_t length) const {
  return CompareIndexKeys(&index_, a, b, length);
}

uint32_t TDataCursor::FieldsKeyLength(int fields) const {
  uint32_t n = 0;
  for (int i = 0; i < fields && i < static_cast<int>(index_.Fields.size()); ++i) n += index_.Fields[i].PhysicalSize + 1u;
  return n;
}

void TDataCursor::PadKey(uint8_t* key, uint32_t from, bool high) const {
  if (from >= index_.KeySize) return;
  std::memset(key + from, high ? 0xFF : 0x00, index_.KeySize - from);
  if (index_.LanguageId == 0 || index_.Slot == kStatusIndex) return;
  // Under a locale 0xFF is not the highest character (nor 0x00 always the lowest): the
  // characters of string fields take the collation's own extremes. Indicator bytes compare as
  // bytes and keep 0x00 or 0xFF.
  TCharMap map;
  GetCharMap(index_.LanguageId, index_.SortId, map);
  const uint8_t fill = high ? map[255] : map[0];
  uint32_t at = 0;
  for (const FieldDesc& f : index_.Fields) {
    const uint32_t end = std::min<uint32_t>(at + f.PhysicalSize + 1u, index_.KeySize);
    if (f.FieldType == fldZString)
      for (uint32_t b = std::max(from, at + 1); b < end; ++b) key[b] = fill;
    at += f.PhysicalSize + 1u;
  }
}

void TDataCursor::ActivateIndex(uint8_t n) {
  if (n != kPhysicalOrder) {
    if (n != kStatusIndex && n > table_->Index().SecondaryCount()) Raise(kErrInvalidSecondaryIndexName);
    LoadIndex(n, index_);
  } else {
    index_ = TCursorIndex{};
    index_.Slot = kPhysicalOrder;
  }
  indexNumber_ = n;
  if (Physical() && n == 0) index_.KeySize = 0;
  rangeActive_ = false;
  if (!rangeStart_.empty()) {
    std::fill(rangeStart_.begin(), rangeStart_.end(), 0x00);
    std::fill(rangeEnd_.begin(), rangeEnd_.end(), 0xFF);
  }
  currentKey_.assign(std::max<uint16_t>(index_.KeySize, 1), 0);
  Enter();
  try {
    ComputeRange();
    First();
  } catch (...) {
    Leave();
    throw;
  }
  Leave();
}

void TDataCursor::SetIndexNumber(uint8_t n) {
  if (n == indexNumber_) return;
  // Keep the current record across the switch.
  Enter();
  try {
    const uint32_t record = (bof_ && eof_) ? 0 : currentRecord_;
    const bool wasBof = bof_, wasEof = eof_;
    ActivateIndex(n);
    if (record != 0 && !wasBof && !wasEof) SeekRecordNumber(record);
  } catch (...) {
    Leave();
    throw;
  }
  Leave();
}

void TDataCursor::SwitchToIndex(const std::string& name) {
  if (!table_) Raise(kErrInvalidFileHandle);
  const std::string wanted = Upper(name);
  if (indexNumber_ != kPhysicalOrder && !Physical() && Upper(index_.Desc.Name) == wanted) return;
  // The slot is looked up under the table's lock: other cursors' writers rewrite the index header.
  int slot = -1;
  {
    TTableGuard guard(*table_);
    TIndexFile& file = table_->Index();
    // Without a primary index its empty name stands for physical order.
    if (wanted.empty() && file.NoPrimary()) {
      slot = kPhysicalOrder;
    } else {
      for (uint8_t s = 0; s <= file.SecondaryCount() && slot < 0; ++s) {
        if (s == 0 && file.NoPrimary()) continue;
        if (Upper(file.SlotDesc(s).Name) == wanted) slot = s;
      }
    }
  }
  if (slot >= 0) {
    SetIndexNumber(static_cast<uint8_t>(slot));
    return;
  }
  Raise(kErrInvalidSecondaryIndexName, {}, name);
}

int TDataCursor::GetIndexCount() const {
  if (!table_) Raise(kErrInvalidFileHandle);
  // Other cursors' writers rewrite the index header: read it under the table's lock.
  TTableGuard guard(*table_);
  TIndexFile& file = table_->Index();
  return file.SecondaryCount() + (file.NoPrimary() ? 0 : 1);
}

IndexDesc TDataCursor::GetIndexDesc(uint8_t n) const {
  if (n == kPhysicalOrder) return IndexDesc{};
  if (!table_) Raise(kErrInvalidFileHandle);
  TTableGuard guard(*table_);
  if (n != kStatusIndex && n > table_->Index().SecondaryCount()) Raise(kErrInvalidSecondaryIndexName);
  return table_->Index().SlotDesc(n);
}

IndexDesc TDataCursor::GetIndexDescByName(const std::string& name) const {
  if (!table_) Raise(kErrInvalidFileHandle);
  const std::string wanted = Upper(name);
  TTableGuard guard(*table_);
  TIndexFile& file = table_->Index();
  for (uint8_t s = 0; s <= file.SecondaryCount(); ++s)
    if (Upper(file.SlotDesc(s).Name) == wanted) return file.SlotDesc(s);
  Raise(kErrInvalidSecondaryIndexName, {}, name);
}

}  // namespace tovenmarsh::engine
