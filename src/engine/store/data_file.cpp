// Data file: header and descriptors (creation, reading, writing, verification), the free list
// of deleted records, the auto-increment and BLOB-stamp counters, and the lock bytes.
#include "engine/store/data_file.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/base/engine_strings.h"
#include "engine/format/key_encoding.h"
#include "engine/base/languages.h"
#include "engine/base/value_text.h"

namespace tovenmarsh::engine {

using namespace data_format;

namespace {

// Local date and time as a day number from 30 December 1899 with the time as fraction.
double LocalDayNumber() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::tm midnight = local;
  midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
  // Days from 1899-12-30 to the local date, by the proleptic Gregorian count.
  auto daysFromCivil = [](int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int>(doe) - 719468;
  };
  const int days = daysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                                 static_cast<unsigned>(local.tm_mday)) -
                   daysFromCivil(1899, 12, 30);
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  return days + seconds / 86400.0;
}

// The scrambled form of a header string: the characters, not the length byte.
void ScrambleShortString(uint8_t* p, TFormatField f) {
  const uint8_t n = std::min<uint8_t>(p[f.Offset], static_cast<uint8_t>(f.Width - 1));
  EncryptBlock(p + f.Offset + 1, n, kHeaderKey1, kHeaderKey2);
}

bool ValidValueText(const FieldDesc& f, const std::string& text) {
  if (text.empty()) return true;
  switch (f.FieldType) {
    case fldDate: return SameEngineName(text, "DATE") || IsValidDateText(text);
    case fldTime: return SameEngineName(text, "TIME") || IsValidTimeText(text);
    // A time stamp's default may also be "DATE" or "TIME", as table definition allows.
    case fldTimeStamp:
      return SameEngineName(text, "NOW") || SameEngineName(text, "DATE") || SameEngineName(text, "TIME") ||
             IsValidDateTimeText(text);
    case fldInt32: return IsValidIntegerText(text);
    case fldUInt32: return IsValidIntegerText(text) || IsValidFloatText(text);
    case fldInt16: return IsValidSmallIntText(text);
    case fldUInt16: return IsValidWordText(text);
    case fldBool: return IsValidBooleanText(text);
    case fldFloat:
    case fldFloatIEEE: return IsValidFloatText(text);
    case fldBCD: return IsValidFloatText(text) || IsValidCurrencyText(text);
    default: return true;
  }
}

}  // namespace

void TRecord::CopyFields(const TRecord& other) {
  const size_t n = std::min(Buffer.size(), other.Buffer.size());
  if (n > kRecordPrefixSize)
    std::memcpy(Buffer.data() + kRecordPrefixSize, other.Buffer.data() + kRecordPrefixSize, n - kRecordPrefixSize);
  Changed = true;
}

bool TRecord::Equals(const uint8_t* buffer) const { return std::memcmp(Buffer.data(), buffer, Buffer.size()) == 0; }

TDataFile::TDataFile(TTableFilesOwner* owner, std::string fileName, bool memory, TFileList* list)
    : TFileHandler(std::move(fileName), memory, list), owner_(owner), header_(kHeaderSize, 0) {}

TDataFile::~TDataFile() { ClearCache(); }

void TDataFile::RaiseCode(uint16_t code) const { RaiseEngineError(code, FileName()); }

void TDataFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    ReadHeader();
    if (FieldCount() > static_cast<uint32_t>(kMaxFieldsPerTable)) RaiseCode(kErrHeaderCorrupt);
    ReadDescriptors();
  } catch (...) {
    fields_.clear();
    TFileHandler::Close();
    throw;
  }
  SizeCache();
}

void TDataFile::Close() {
  DropRecords();
  ClearCache();
  fields_.clear();
  if (writeByteHeld_) UnlockWriteByte();
  TFileHandler::Close();
}

void TDataFile::SizeCache() {
  const uint32_t size = RecordSize();
  normalCapacity_ = size == 0 ? kMaxCacheRecords : std::max<size_t>(1, std::min<size_t>(kCacheBytes / size, kMaxCacheRecords));
  capacity_ = normalCapacity_;
  readAheadLimit_ = size == 0 ? 1 : std::max<uint32_t>(1, 65535 / size);
}

void TDataFile::SetNormalCapacity(size_t capacity) {
  normalCapacity_ = std::max<size_t>(1, capacity);
  capacity_ = std::max(normalCapacity_, cache_.size());
}

void TDataFile::CreateTable(const TDataFileDefinition& def) {
  if (def.Fields.size() > static_cast<size_t>(kMaxFieldsPerTable) || def.Fields.empty()) RaiseCode(kErrFieldLimits);
  std::vector<FieldDesc> fields = def.Fields;
  for (size_t i = 0; i < fields.size(); ++i) fields[i].FieldNumber = static_cast<uint16_t>(i + 1);
  const int recordSize = LayoutRecordFields(fields);
  uint32_t blobs = 0;
  for (const FieldDesc& f : fields)
    if (f.IsBlob() && ++blobs > static_cast<uint32_t>(kMaxBlobFieldsPerTable)) RaiseCode(kErrBlobFieldsOrBlockSize);
  if (blobs > 0 && def.BlobBlockSize != 0 && !(def.BlobBlockSize >= 64 && def.BlobBlockSize <= 65535))
    RaiseCode(kErrBlobFieldsOrBlockSize);
  if (recordSize > kMaxRecordSize) RaiseCode(kErrMaxRecordSize);
  std::fill(header_.begin(), header_.end(), 0);
  uint8_t* h = header_.data();
  PutU16(h, kLanguageId, def.LanguageId);
  PutU16(h, kSortId, def.SortId);
  PutU16(h, kUserVersion1, def.UserVersion1);
  PutU16(h, kUserVersion2, def.UserVersion2);
  PutU8(h, kEncrypted, def.Encrypted ? 1 : 0);
  if (def.Encrypted) {
    PutShortString(h, kPassword, def.Password);
    PutShortString(h, kDescription, def.Description);
    ScrambleShortString(h, kPassword);
    ScrambleShortString(h, kDescription);
  } else {
    PutShortString(h, kDescription, def.Description);
  }
  PutU16(h, kFieldCount, static_cast<uint16_t>(fields.size()));
  PutU32(h, kBlobBlockSize, def.BlobBlockSize);
  PutU16(h, kBlobFieldCount, static_cast<uint16_t>(blobs));
  PutU8(h, kFileVersion, kVersion);
  PutU32(h, kFirstFree, 0);
  PutU32(h, kNextRecord, 1);
  PutU32(h, kLastAutoInc, 0);
  PutU16(h, kRecordSize, static_cast<uint16_t>(recordSize));
  std::vector<uint8_t> header = header_;
  DropRecords();
  ClearCache();
  TFileHandler::CreateFile();  // closes first when open
  header_ = header;
  fields_ = fields;
  descriptorsChanged_ = true;
  SetHeaderDirty();
  // Descriptors before the header: a header never describes fields that are not there.
  WriteDescriptors();
  WriteHeader(true);
  SizeCache();
}

// ---- header ----

void TDataFile::ReadHeader() {
  {
    TFileAccess access(*this);
    Seek(0);
    Read(header_.data(), kHeaderSize);
  }
  PutU8(header_.data(), kHeaderChanged, 0);
  diskCounter_ = UpdateCounter();
}

void TDataFile::WriteHeader(bool force) {
  if (!force && !HeaderDirty()) return;
  std::vector<uint8_t> bytes = header_;
  PutU32(bytes.data(), kUpdateCounter, UpdateCounter() + 1);
  PutI64(bytes.data(), kEngineVersionField, kEngineVersion);
  PutF64(bytes.data(), kLastUpdate, LocalDayNumber() - kLastUpdateBias);
  {
    TFileAccess access(*this);
    Seek(0);
    Write(bytes.data(), kHeaderSize);
  }
  header_ = bytes;
  PutU8(header_.data(), kHeaderChanged, 0);
  diskCounter_ = UpdateCounter();
  if (owner_) owner_->MarkFilesWritten();
}

bool TDataFile::HeaderChanged() {
  // The counter alone first (no system call): unchanged means nobody wrote the header.
  uint8_t counter[kUpdateCounter.Width];
  if (PeekHead(kUpdateCounter.Offset, counter, kUpdateCounter.Width) && GetU32(counter, 0) == diskCounter_)
    return false;
  std::vector<uint8_t> bytes(kHeaderSize);
  {
    TFileAccess access(*this);
    Seek(0);
    Read(bytes.data(), kHeaderSize);
  }
  if (GetU32(bytes.data(), kUpdateCounter) == diskCounter_) return false;
  header_ = bytes;
  PutU8(header_.data(), kHeaderChanged, 0);
  diskCounter_ = UpdateCounter();
  return true;
}

void TDataFile::CountHeaderChange() {
  PutU32(header_.data(), kUpdateCounter, UpdateCounter() + 1);
  SetHeaderDirty();
  if (owner_) owner_->MarkFilesWritten();
}

uint32_t TDataFile::BlobBlockSize() const { return GetU32(header_.data(), kBlobBlockSize); }
uint32_t TDataFile::FirstFree() const { return GetU32(header_.data(), kFirstFree); }
uint32_t TDataFile::LastAutoInc() const { return GetU32(header_.data(), kLastAutoInc); }
uint32_t TDataFile::FieldCount() const { return GetU16(header_.data(), kFieldCount); }
uint16_t TDataFile::LanguageId() const { return GetU16(header_.data(), kLanguageId); }
uint16_t TDataFile::SortId() const { return GetU16(header_.data(), kSortId); }
bool TDataFile::HeaderDirty() const { return GetU8(header_.data(), kHeaderChanged) != 0; }
void TDataFile::SetHeaderDirty() { PutU8(header_.data(), kHeaderChanged, 1); }
void TDataFile::SetNextRecord(uint32_t next) {
  PutU32(header_.data(), kNextRecord, next);
  SetHeaderDirty();
}

std::string TDataFile::Description() const {
  std::vector<uint8_t> h = header_;
  if (Encrypted()) ScrambleShortString(h.data(), kDescription);
  return GetShortString(h.data(), kDescription);
}

std::string TDataFile::Password() const {
  if (!Encrypted()) return {};
  std::vector<uint8_t> h = header_;
  ScrambleShortString(h.data(), kPassword);
  return GetShortString(h.data(), kPassword);
}

// ---- descriptors ----

void TDataFile::ReadDescriptors() {
  const uint32_t count = FieldCount();
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * kFieldDescSize);
  {
    TFileAccess access(*this);
    Seek(kHeaderSize);
    Read(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  fields_.clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* d = bytes.data() + static_cast<size_t>(i) * kFieldDescSize;
    if (Encrypted()) DecryptBlock(d, kFieldDescSize, kRecordKey1, kRecordKey2);
    fields_.push_back(DecodeFieldDesc(d));
  }
  descriptorsChanged_ = false;
}

void TDataFile::WriteDescriptors() {
  if (!descriptorsChanged_) return;
  std::vector<uint8_t> bytes(fields_.size() * kFieldDescSize);
  for (size_t i = 0; i < fields_.size(); ++i) {
    uint8_t* d = bytes.data() + i * kFieldDescSize;
    EncodeFieldDesc(fields_[i], d);
    if (Encrypted()) EncryptBlock(d, kFieldDescSize, kRecordKey1, kRecordKey2);
  }
  {
    TFileAccess access(*this);
    Seek(kHeaderSize);
    Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  descriptorsChanged_ = false;
  if (owner_) owner_->MarkFilesWritten();
}

void TDataFile::SetDescriptor(uint32_t i, const FieldDesc& desc) {
  FieldDesc& f = fields_.at(i - 1);
  f.FieldNumber = desc.FieldNumber;
  f.Name = desc.Name;
  f.SubType = desc.SubType;
  f.Description = desc.Description;
  f.Required = desc.Required;
  f.MinValue = desc.MinValue;
  f.MaxValue = desc.MaxValue;
  f.DefaultValue = desc.DefaultValue;
  descriptorsChanged_ = true;
}

const FieldDesc* TDataFile::FieldByNumber(uint16_t number) const {
  for (const FieldDesc& f : fields_)
    if (f.FieldNumber == number) return &f;
  return nullptr;
}

const FieldDesc* TDataFile::FieldByName(const std::string& name) const {
  for (const FieldDesc& f : fields_)
    if (SameEngineName(f.Name, name)) return &f;
  return nullptr;
}

void TDataFile::VerifyHeader() {
  if (GetU8(header_.data(), kFileVersion) != kVersion) RaiseCode(kErrWrongVersion);
  const uint16_t language = LanguageId();
  if (language != 0) {
    const int position = LanguagePositionOfId(language);
    std::vector<std::string> orders;
    if (position >= 0) SortOrdersOfLanguage(position, orders);
    if (position < 0 || SortId() >= orders.size()) RaiseCode(kErrLanguageDriver);
  }
  const bool fieldsSound = WithTableLocale(language, SortId(), [&] {
    uint32_t offset = kRecordPrefixSize;
    for (size_t i = 0; i < fields_.size(); ++i) {
      const FieldDesc& stored = fields_[i];
      FieldDesc f = stored;
      ApplySizeRule(f);
      if (f.PhysicalSize != stored.PhysicalSize || f.PhysicalScale != stored.PhysicalScale) return false;
      if (!IsValidDescName(f.Name)) return false;
      for (size_t j = 0; j < i; ++j)
        if (SameEngineName(fields_[j].Name, f.Name)) return false;
      if (f.FieldNumber != i + 1 || f.FieldType == 0) return false;
      const bool sized = f.FieldType == fldZString || f.FieldType == fldBytes || f.FieldType == fldVarBytes;
      if (sized ? f.Size > kMaxStringSize : f.Size != 0) return false;
      if (f.Scale != 0 && f.FieldType != fldBCD) return false;
      if (!ValidValueText(f, f.MinValue) || !ValidValueText(f, f.MaxValue) || !ValidValueText(f, f.DefaultValue))
        return false;
      if (f.IsAutoInc()) {
        if (f.Offset != kRecId.Offset) return false;
      } else if (!f.Calculated) {
        if (f.Offset != offset) return false;
        offset += f.PhysicalSize + 1u;
      }
    }
    return offset == RecordSize();
  });
  if (!fieldsSound || fields_.size() != FieldCount()) RaiseCode(kErrHeaderCorrupt);
  const int64_t size = GetSize();
  const int64_t records = size - RecordsOffset(FieldCount());
  const uint32_t recordSize = RecordSize();
  if (records < 0 || recordSize == 0 || records % recordSize != 0 ||
      records / recordSize + 1 != static_cast<int64_t>(NextRecord()))
    RaiseCode(kErrHeaderCorrupt);
}

// ---- free list and counters ----

uint32_t TDataFile::FreeSlot(bool allowReuse) const {
  return allowReuse && FirstFree() != 0 ? FirstFree() : NextRecord();
}

TRecord* TDataFile::TakeFreeRecord(bool allowReuse) {
  const uint32_t slot = FreeSlot(allowReuse);
  const bool fromFreeList = slot != NextRecord();
  TRecord* r = GetRecord(slot, 1, 1, !fromFreeList);
  if (!r) return nullptr;
  if (fromFreeList) {
    // Only a slot taken from the free list leaves it: a new record's link is its own number.
    if (r->Status() != kStatusDeleted) {
      ReleaseRecord(r);
      RaiseCode(kErrRecordBuffersCorrupt);
    }
    const uint32_t next = r->Link();
    if (next >= NextRecord() || next == slot) {
      ReleaseRecord(r);
      RaiseCode(kErrRecordBuffersCorrupt);
    }
    PutU32(header_.data(), kFirstFree, next);
    SetHeaderDirty();
  }
  return r;
}

void TDataFile::DeleteRecord(TRecord& record) {
  record.SetStatus(kStatusDeleted);
  record.SetLink(FirstFree());
  PutU32(header_.data(), kFirstFree, record.Number);
  SetHeaderDirty();
}

uint32_t TDataFile::NextAutoInc() {
  uint32_t v = LastAutoInc();
  if (v >= 2147483647u) v = 0;
  ++v;
  SetLastAutoInc(v);
  return v;
}

void TDataFile::SetLastAutoInc(uint32_t value) {
  PutU32(header_.data(), kLastAutoInc, value);
  SetHeaderDirty();
}

void TDataFile::SetHeaderInfo(uint16_t userVersion1, uint16_t userVersion2, const std::string& description,
                              const std::string& password) {
  uint8_t* h = header_.data();
  PutU16(h, kUserVersion1, userVersion1);
  PutU16(h, kUserVersion2, userVersion2);
  PutShortString(h, kDescription, description);
  PutShortString(h, kPassword, {});
  if (Encrypted()) {
    PutShortString(h, kPassword, password);
    ScrambleShortString(h, kPassword);
    ScrambleShortString(h, kDescription);
  }
  SetHeaderDirty();
}

uint32_t TDataFile::NextBlobStamp() {
  uint32_t v = GetU32(header_.data(), kLastBlobStamp);
  if (v >= 2147483647u) v = 0;
  ++v;
  PutU32(header_.data(), kLastBlobStamp, v);
  SetHeaderDirty();
  return v;
}

void TDataFile::InitRecord(TRecord& record, bool isNew) {
  std::fill(record.Buffer.begin(), record.Buffer.end(), 0);
  if (isNew) PutU32(record.Buffer.data(), kRecId, NextAutoInc());
  PutU32(record.Buffer.data(), kRecLink, record.Number);
  record.Changed = false;
  if (record.Parked && record.UseCount == 0) Unpark({&record});
}

void TDataFile::EmptyFile() {
  DropRecords();
  {
    TFileAccess access(*this);
    Seek(RecordsOffset(FieldCount()));
    Write(nullptr, 0);
  }
  PutU32(header_.data(), kUpdateCounter, 0);
  PutU32(header_.data(), kFirstFree, 0);
  PutU32(header_.data(), kNextRecord, 1);
  PutU32(header_.data(), kLastAutoInc, 0);
  SetHeaderDirty();
}

void TDataFile::FinishRewrite(uint32_t count) {
  DropRecords();
  {
    TFileAccess access(*this);
    Seek(RecordOffset(FieldCount(), RecordSize(), count + 1));
    Write(nullptr, 0);
  }
  PutU32(header_.data(), kFirstFree, 0);
  SetNextRecord(count + 1);
  if (owner_) owner_->MarkFilesWritten();
}

// ---- lock bytes ----

bool TDataFile::LockRecordByte(uint32_t number) { return LockRange(RecordLockByte(number), 1, true); }
bool TDataFile::UnlockRecordByte(uint32_t number) { return LockRange(RecordLockByte(number), 1, false); }
// The bytes run down from the write byte: the last record's byte starts the range.
bool TDataFile::LockRecordBytes(uint32_t first, uint32_t last) {
  return LockRange(RecordLockByte(last), static_cast<int64_t>(last) - first + 1, true);
}
bool TDataFile::UnlockRecordBytes(uint32_t first, uint32_t last) {
  return LockRange(RecordLockByte(last), static_cast<int64_t>(last) - first + 1, false);
}

bool TDataFile::LockWriteByte(int retries) {
  for (int attempt = 0; attempt < std::max(1, retries); ++attempt) {
    if (LockRange(kTableWriteByte, 1, true)) {
      writeByteHeld_ = true;
      return true;
    }
    if (attempt + 1 < retries) std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  return false;
}

bool TDataFile::UnlockWriteByte() {
  const bool ok = LockRange(kTableWriteByte, 1, false);
  if (ok) writeByteHeld_ = false;
  return ok;
}

}  // namespace tovenmarsh::engine
