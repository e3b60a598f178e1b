// Byte and BLOB fields. Fixed bytes: Size raw bytes; variable bytes: a 16-bit length, then up
// to Size bytes. BLOB values travel through the data set's BLOB stream.
// Implements the byte and BLOB field classes of dataset/fields.h.
#include <cstring>
#include <vector>

#include "dataset/data_set.h"
#include "dataset/database_error.h"
#include "dataset/fields.h"

namespace tovenmarsh::dataset {

std::string TBytesField::AsString() const {
  std::vector<uint8_t> buffer(static_cast<size_t>(DataSize()), 0);
  if (!GetData(buffer.data())) return {};
  if (DataType() == ftVarBytes) {
    uint16_t n;
    std::memcpy(&n, buffer.data(), 2);
    n = static_cast<uint16_t>(std::min<int>(n, Size()));
    return std::string(reinterpret_cast<const char*>(buffer.data() + 2), n);
  }
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

void TBytesField::SetAsString(std::string_view value) {
  if (value.empty()) {
    Clear();
    return;
  }
  std::vector<uint8_t> buffer(static_cast<size_t>(DataSize()), 0);
  size_t n = std::min(value.size(), static_cast<size_t>(Size()));
  if (DataType() == ftVarBytes) {
    uint16_t len = static_cast<uint16_t>(n);
    std::memcpy(buffer.data(), &len, 2);
    std::memcpy(buffer.data() + 2, value.data(), n);
  } else {
    std::memcpy(buffer.data(), value.data(), n);
  }
  SetData(buffer.data());
}

TVariant TBytesField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

std::string TBlobField::AsString() const {
  TDataSet* ds = DataSet();
  if (!ds) return {};
  auto stream = ds->CreateBlobStream(const_cast<TBlobField&>(*this), TBlobStreamMode::bmRead);
  std::string out;
  char chunk[4096];
  for (;;) {
    size_t n = stream->Read(chunk, sizeof chunk);
    if (n == 0) break;
    out.append(chunk, n);
  }
  return out;
}

void TBlobField::SetAsString(std::string_view value) {
  TDataSet* ds = DataSet();
  if (!ds) DatabaseError(msg::kNotEditing);
  // Write mode empties the BLOB first, so "" leaves it empty.
  auto stream = ds->CreateBlobStream(*this, TBlobStreamMode::bmWrite);
  if (!value.empty()) stream->WriteBuffer(value.data(), value.size());
}

void TBlobField::LoadFromStream(platform::TStream& stream) {
  TDataSet* ds = DataSet();
  if (!ds) DatabaseError(msg::kNotEditing);
  // Write mode empties the value first: what the stream holds replaces it whole.
  auto blob = ds->CreateBlobStream(*this, TBlobStreamMode::bmWrite);
  stream.SetPosition(0);
  char chunk[64 * 1024];
  for (;;) {
    const size_t n = stream.Read(chunk, sizeof chunk);
    if (n == 0) break;
    blob->WriteBuffer(chunk, n);
  }
}

void TBlobField::SaveToStream(platform::TStream& stream) const {
  TDataSet* ds = DataSet();
  if (!ds) return;
  auto blob = ds->CreateBlobStream(const_cast<TBlobField&>(*this), TBlobStreamMode::bmRead);
  char chunk[64 * 1024];
  for (;;) {
    const size_t n = blob->Read(chunk, sizeof chunk);
    if (n == 0) break;
    stream.WriteBuffer(chunk, n);
  }
}

int64_t TBlobField::BlobSize() const {
  TDataSet* ds = DataSet();
  if (!ds) return 0;
  auto stream = ds->CreateBlobStream(const_cast<TBlobField&>(*this), TBlobStreamMode::bmRead);
  return stream->Size();
}

TVariant TBlobField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

void TBlobField::SetValue(const TVariant& value) {
  if (value.IsNull()) {
    SetAsString({});
    return;
  }
  SetAsString(value.AsString());
}

}  // namespace tovenmarsh::dataset
