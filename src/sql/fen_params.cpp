// Query parameters: values, lists, markers, the bound form and the stored form.
#include "sql/fen_params.h"

#include <cmath>
#include <cstring>

#include "dataset/database_error.h"
#include "dataset/fields.h"
#include "dataset/time_stamp.h"
#include "engine/base/engine_strings.h"

namespace tovenmarsh::sql {

using dataset::TVariant;
namespace ds = dataset;

namespace {

constexpr const char* kNoParamValue = "No value for parameter '%s'";
constexpr const char* kUnknownParamType = "Field '%s' is of unknown type";
constexpr const char* kUnsupportedParamType = "Field '%s' is of an unsupported type";
constexpr const char* kUnableToLoad = "Unable to load bind parameters";
constexpr const char* kParamTooLarge = "Parameter '%s', cannot save data larger than %d bytes";
constexpr int kMaxStoredData = 2048;
// Longer strings than a string field holds travel as memo text.
constexpr size_t kMaxBoundString = 250;
// A BLOB slot: a 32-bit length and the address of the bytes.
constexpr int kBlobSlotSize = 4 + static_cast<int>(sizeof(const void*));

bool IsBlobParam(TFieldType t) {
  return t == ds::ftBlob || t == ds::ftGraphic || t == ds::ftFmtMemo || t == ds::ftParadoxOle ||
         t == ds::ftDBaseOle || t == ds::ftTypedBinary || t == ds::ftMemo;
}

// Engine type and subtype, data size and scale of one parameter's bound form.
struct TParamEncoding {
  uint8_t Type = 0, SubType = 0;
  int Size = 0;
  uint8_t Scale = 0;
};

TParamEncoding EncodingOf(const TFenParam& p) {
  switch (p.DataType) {
    case ds::ftUnknown: ds::DatabaseErrorFmt(kUnknownParamType, p.Name.c_str());
    case ds::ftString: {
      size_t length = p.IsNull ? 0 : p.AsString().size();
      if (length > kMaxBoundString) return {engine::fldBlob, engine::fldstMemo, kBlobSlotSize, 0};
      return {engine::fldZString, 0, static_cast<int>(length) + 1, 0};
    }
    case ds::ftSmallint: return {engine::fldInt16, 0, 2, 0};
    case ds::ftWord: return {engine::fldUInt16, 0, 2, 0};
    case ds::ftBoolean: return {engine::fldBool, 0, 2, 0};
    case ds::ftInteger:
    case ds::ftAutoInc: return {engine::fldInt32, 0, 4, 0};
    case ds::ftFloat:
    case ds::ftCurrency: return {engine::fldFloat, 0, 8, 0};
    case ds::ftBCD: return {engine::fldBCD, 0, 8, 4};
    case ds::ftDate: return {engine::fldDate, 0, 4, 0};
    case ds::ftTime: return {engine::fldTime, 0, 4, 0};
    case ds::ftDateTime: return {engine::fldTimeStamp, 0, 8, 0};
    default:
      if (IsBlobParam(p.DataType)) {
        return {engine::fldBlob, ds::EngineTypeOf(p.DataType, 0).SubType, kBlobSlotSize, 0};
      }
      ds::DatabaseErrorFmt(kUnsupportedParamType, p.Name.c_str());
  }
}

template <typename T>
void Put(uint8_t* out, T value) {
  std::memcpy(out, &value, sizeof value);
}

// The value of a parameter in its fixed encoding (not strings nor BLOBs).
std::vector<uint8_t> FixedValue(const TFenParam& p) {
  std::vector<uint8_t> out;
  auto put = [&](auto value) {
    out.resize(sizeof value);
    Put(out.data(), value);
  };
  switch (p.DataType) {
    case ds::ftSmallint: put(static_cast<int16_t>(p.AsInteger())); break;
    case ds::ftWord: put(static_cast<uint16_t>(p.AsInteger())); break;
    case ds::ftBoolean: put(static_cast<int16_t>(p.AsBoolean() ? 1 : 0)); break;
    case ds::ftInteger:
    case ds::ftAutoInc: put(p.AsInteger()); break;
    case ds::ftFloat:
    case ds::ftCurrency: put(p.AsFloat()); break;
    case ds::ftBCD: put(p.AsBCD()); break;
    case ds::ftDate: put(ds::DateTimeToTimeStamp(p.AsDateTime()).Date); break;
    case ds::ftTime: put(ds::DateTimeToTimeStamp(p.AsDateTime()).Time); break;
    case ds::ftDateTime:
      put(ds::TimeStampToMSecs(ds::DateTimeToTimeStamp(p.AsDateTime())));
      break;
    default: break;
  }
  return out;
}

// Reads a fixed encoding back into the parameter.
void TakeFixedValue(TFenParam& p, const uint8_t* in, size_t size) {
  auto get = [&](auto& value) {
    if (size < sizeof value) ds::DatabaseError(kUnableToLoad);
    std::memcpy(&value, in, sizeof value);
  };
  int16_t i16 = 0;
  uint16_t u16 = 0;
  int32_t i32 = 0;
  int64_t i64 = 0;
  double f = 0;
  switch (p.DataType) {
    case ds::ftSmallint: get(i16); p.Value = TVariant(static_cast<int>(i16)); break;
    case ds::ftWord: get(u16); p.Value = TVariant(static_cast<int>(u16)); break;
    case ds::ftBoolean: get(i16); p.Value = TVariant(i16 != 0); break;
    case ds::ftInteger:
    case ds::ftAutoInc: get(i32); p.Value = TVariant(static_cast<int>(i32)); break;
    case ds::ftFloat:
    case ds::ftCurrency: get(f); p.Value = TVariant(f); break;
    case ds::ftBCD: get(i64); p.Value = TVariant(static_cast<double>(i64) / 10000.0); break;
    case ds::ftDate:
      get(i32);
      p.Value = TVariant::FromDateTime(ds::TimeStampToDateTime({0, i32}));
      break;
    case ds::ftTime:
      get(i32);
      p.Value = TVariant::FromDateTime(ds::TimeStampToDateTime({i32, ds::kDateDelta}));
      break;
    case ds::ftDateTime:
      get(f);
      p.Value = TVariant::FromDateTime(ds::TimeStampToDateTime(ds::MSecsToTimeStamp(f)));
      break;
    default: break;
  }
}

class TReader {
 public:
  explicit TReader(const std::vector<uint8_t>& data) : data_(data) {}
  template <typename T>
  T Get() {
    T value{};
    Need(sizeof value);
    std::memcpy(&value, data_.data() + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  const uint8_t* Take(size_t n) {
    Need(n);
    const uint8_t* p = data_.data() + at_;
    at_ += n;
    return p;
  }

 private:
  void Need(size_t n) const {
    if (n > data_.size() - at_) ds::DatabaseError(kUnableToLoad);
  }
  const std::vector<uint8_t>& data_;
  size_t at_ = 0;
};

}  // namespace

// ---- TFenParam ----

void TFenParam::Set(TVariant value, TFieldType type) {
  Value = std::move(value);
  DataType = type;
  Bound = true;
  IsNull = false;
}

std::string TFenParam::AsString() const { return IsNull ? std::string() : Value.AsString(); }
void TFenParam::SetAsString(std::string value) { Set(TVariant(std::move(value)), ds::ftString); }
void TFenParam::SetAsMemo(std::string value) { Set(TVariant(std::move(value)), ds::ftMemo); }
void TFenParam::SetAsBlob(std::string value) { Set(TVariant(std::move(value)), ds::ftBlob); }
int32_t TFenParam::AsInteger() const {
  return IsNull ? 0 : static_cast<int32_t>(Value.AsInteger());
}
void TFenParam::SetAsInteger(int32_t value) { Set(TVariant(static_cast<int>(value)), ds::ftInteger); }
void TFenParam::SetAsSmallInt(int16_t value) {
  Set(TVariant(static_cast<int>(value)), ds::ftSmallint);
}
void TFenParam::SetAsWord(uint16_t value) { Set(TVariant(static_cast<int>(value)), ds::ftWord); }
bool TFenParam::AsBoolean() const { return !IsNull && Value.AsBoolean(); }
void TFenParam::SetAsBoolean(bool value) { Set(TVariant(value), ds::ftBoolean); }
double TFenParam::AsFloat() const { return IsNull ? 0 : Value.AsFloat(); }
void TFenParam::SetAsFloat(double value) { Set(TVariant(value), ds::ftFloat); }
void TFenParam::SetAsCurrency(double value) { Set(TVariant(value), ds::ftCurrency); }
int64_t TFenParam::AsBCD() const {
  return IsNull ? 0 : static_cast<int64_t>(std::llround(Value.AsFloat() * 10000.0));
}
void TFenParam::SetAsBCD(int64_t currency) {
  Set(TVariant(static_cast<double>(currency) / 10000.0), ds::ftBCD);
}
void TFenParam::SetAsDate(platform::TDateTime value) {
  Set(TVariant::FromDateTime(value), ds::ftDate);
}
void TFenParam::SetAsTime(platform::TDateTime value) {
  Set(TVariant::FromDateTime(value), ds::ftTime);
}
platform::TDateTime TFenParam::AsDateTime() const { return IsNull ? 0 : Value.AsDateTime(); }
void TFenParam::SetAsDateTime(platform::TDateTime value) {
  Set(TVariant::FromDateTime(value), ds::ftDateTime);
}

void TFenParam::Clear() {
  IsNull = true;
  Value = TVariant(0);
}

void TFenParam::Assign(const TFenParam& other) {
  DataType = other.DataType;
  IsNull = other.IsNull;
  Value = other.IsNull ? TVariant() : other.Value;
  Bound = other.Bound;
  Name = other.Name;
  if (ParamType == TParamType::ptUnknown) ParamType = other.ParamType;
}

void TFenParam::AssignField(const ds::TField& field) {
  const bool longMemo = field.DataType() == ds::ftMemo && field.Size() > 255;
  DataType = longMemo ? ds::ftString : field.DataType();
  if (field.IsNull()) {
    Clear();
  } else {
    Value = ds::IsBlobType(field.DataType()) ? TVariant(field.AsString()) : field.Value();
    IsNull = false;
  }
  Bound = true;
  Name = field.FieldName();
}

void TFenParam::AssignTo(ds::TField& field) const {
  if (IsNull) {
    field.Clear();
  } else {
    field.SetValue(Value);
  }
}

// ---- TFenParams ----

TFenParam& TFenParams::Add(TParamType paramType, std::string name, TFieldType dataType) {
  auto param = std::make_unique<TFenParam>(this);
  param->ParamType = paramType;
  param->Name = std::move(name);
  param->DataType = dataType;
  items_.push_back(std::move(param));
  return *items_.back();
}

TFenParam* TFenParams::FindParam(std::string_view name) const {
  for (const auto& p : items_) {
    if (engine::SameText(p->Name, name)) return p.get();
  }
  return nullptr;
}

TFenParam& TFenParams::ParamByName(std::string_view name) const {
  TFenParam* p = FindParam(name);
  if (p == nullptr) ds::DatabaseErrorFmt(ds::msg::kParameterNotFound, std::string(name).c_str());
  return *p;
}

void TFenParams::AssignValues(const TFenParams& other) {
  for (const auto& dst : items_) {
    for (const auto& src : other.items_) {
      if (src->Name == dst->Name) {
        dst->Assign(*src);
        break;
      }
    }
  }
}

bool TFenParams::IsEqual(const TFenParams& other) const {
  if (Count() != other.Count()) return false;
  for (size_t i = 0; i < items_.size(); ++i) {
    const TFenParam& a = *items_[i];
    const TFenParam& b = *other.items_[i];
    if (a.Value.GetKind() != b.Value.GetKind() || !(a.Value == b.Value) || a.Name != b.Name ||
        a.DataType != b.DataType || a.IsNull != b.IsNull || a.Bound != b.Bound ||
        a.ParamType != b.ParamType) {
      return false;
    }
  }
  return true;
}

void TFenParams::Assign(const TFenParams& other) {
  if (&other == this) return;
  items_.clear();
  for (const auto& src : other.items_) {
    TFenParam& p = Add(src->ParamType, src->Name, src->DataType);
    p.Assign(*src);
  }
}

std::vector<uint8_t> TFenParams::WriteData() const {
  std::vector<uint8_t> out;
  auto put = [&](auto value) {
    size_t at = out.size();
    out.resize(at + sizeof value);
    Put(out.data() + at, value);
  };
  put(static_cast<uint16_t>(2));
  put(static_cast<uint32_t>(items_.size()));
  for (const auto& p : items_) {
    put(static_cast<uint32_t>(p->Name.size()));
    out.insert(out.end(), p->Name.begin(), p->Name.end());
    put(static_cast<uint8_t>(p->ParamType));
    put(static_cast<uint8_t>(p->DataType));
    if (p->DataType != ds::ftUnknown) {
      std::vector<uint8_t> data;
      const std::string text = p->IsNull ? std::string() : p->AsString();
      if (p->DataType == ds::ftString || p->DataType == ds::ftMemo) {
        data.assign(text.begin(), text.end());
        data.push_back(0);
      } else if (IsBlobParam(p->DataType)) {
        data.assign(text.begin(), text.end());
      } else if (!p->IsNull) {
        data = FixedValue(*p);
      }
      if (data.size() > static_cast<size_t>(kMaxStoredData)) {
        ds::DatabaseErrorFmt(kParamTooLarge, p->Name.c_str(), kMaxStoredData);
      }
      put(static_cast<uint32_t>(data.size()));
      out.insert(out.end(), data.begin(), data.end());
    }
    put(static_cast<uint8_t>(p->IsNull ? 1 : 0));
    put(static_cast<uint8_t>(p->Bound ? 1 : 0));
  }
  return out;
}

void TFenParams::ReadData(const std::vector<uint8_t>& data) {
  TReader in(data);
  const uint16_t version = in.Get<uint16_t>();
  if (version == 0 || version > 2) ds::DatabaseError(kUnableToLoad);
  const bool wide = version == 2;
  const uint32_t count = wide ? in.Get<uint32_t>() : in.Get<uint16_t>();
  std::vector<std::unique_ptr<TFenParam>> read;
  for (uint32_t i = 0; i < count; ++i) {
    auto p = std::make_unique<TFenParam>(this);
    const uint32_t nameLength = wide ? in.Get<uint32_t>() : in.Get<uint8_t>();
    const uint8_t* name = in.Take(nameLength);
    p->Name.assign(reinterpret_cast<const char*>(name), nameLength);
    const uint8_t paramType = in.Get<uint8_t>();
    if (paramType > static_cast<uint8_t>(TParamType::ptResult)) ds::DatabaseError(kUnableToLoad);
    p->ParamType = static_cast<TParamType>(paramType);
    const uint8_t dataType = in.Get<uint8_t>();
    if (dataType > ds::ftGuid) ds::DatabaseError(kUnableToLoad);
    p->DataType = static_cast<TFieldType>(dataType);
    std::string bytes;
    if (p->DataType != ds::ftUnknown) {
      const uint32_t length = wide ? in.Get<uint32_t>() : in.Get<uint16_t>();
      const uint8_t* value = in.Take(length);
      bytes.assign(reinterpret_cast<const char*>(value), length);
    }
    p->IsNull = in.Get<uint8_t>() != 0;
    p->Bound = in.Get<uint8_t>() != 0;
    if (!p->IsNull) {
      if (p->DataType == ds::ftString || p->DataType == ds::ftMemo ||
          p->DataType == ds::ftTypedBinary) {
        p->Value = TVariant(bytes.substr(0, bytes.find('\0')));
      } else if (IsBlobParam(p->DataType)) {
        p->Value = TVariant(bytes);
      } else {
        TakeFixedValue(*p, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      }
    }
    read.push_back(std::move(p));
  }
  items_ = std::move(read);
}

// ---- markers ----

std::string ReplaceParamMarkers(std::string_view text, TFenParams* list) {
  std::string out;
  out.reserve(text.size());
  char quote = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      out += c;
      ++i;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      out += c;
      ++i;
      continue;
    }
    if (c != ':') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == ':') {
      out += ':';
      i += 2;
      continue;
    }
    // A marker: the name runs to a separator outside quotes; quotes inside it nest as in the
    // text around it.
    size_t start = i + 1;
    size_t end = start;
    char nameQuote = 0;
    while (end < text.size()) {
      const char d = text[end];
      if (nameQuote != 0) {
        if (d == nameQuote) nameQuote = 0;
      } else if (d == '\'' || d == '"') {
        nameQuote = d;
      } else if (d == '\n' || d == '\r' || d == ' ' || d == ')' || d == ',' || d == ';') {
        break;
      }
      ++end;
    }
    std::string name(text.substr(start, end - start));
    if (!name.empty() && (name.front() == '\'' || name.front() == '"')) {
      for (char q : {'\'', '"'}) {
        if (!name.empty() && name.front() == q) name.erase(0, 1);
        if (!name.empty() && name.back() == q) name.pop_back();
      }
    }
    out += '?';
    if (list != nullptr) list->Add(TParamType::ptUnknown, name, ds::ftUnknown);
    i = end;
  }
  return out;
}

// ---- bound form ----

TBoundParams BindParamValues(const TFenParams& params) {
  TBoundParams bound;
  std::vector<TParamEncoding> encodings;
  size_t total = 0;
  for (int i = 0; i < params.Count(); ++i) {
    const TFenParam& p = params[i];
    if (p.DataType == ds::ftUnknown) ds::DatabaseErrorFmt(kNoParamValue, p.Name.c_str());
    encodings.push_back(EncodingOf(p));
    total += static_cast<size_t>(encodings.back().Size) + 1;
  }
  bound.Buffer.assign(total, 0);
  size_t offset = 0;
  for (int i = 0; i < params.Count(); ++i) {
    const TFenParam& p = params[i];
    const TParamEncoding& e = encodings[static_cast<size_t>(i)];
    if (offset > 0xFFFF) ds::DatabaseErrorFmt(kUnsupportedParamType, p.Name.c_str());
    engine::FieldDesc d;
    d.FieldNumber = static_cast<uint16_t>(i + 1);
    d.Name = p.Name.substr(0, engine::kMaxNameLength);
    d.FieldType = e.Type;
    d.SubType = e.SubType;
    d.PhysicalSize = static_cast<uint8_t>(e.Size);
    d.PhysicalScale = e.Scale;
    d.Offset = static_cast<uint16_t>(offset);
    bound.Descriptors.push_back(d);
    uint8_t* slot = bound.Buffer.data() + offset;
    slot[0] = p.IsNull ? 0 : 1;
    if (!p.IsNull) {
      if (e.Type == engine::fldBlob) {
        // The bytes are kept with the bound form, which the statement copies when binding.
        bound.Blobs.push_back(std::make_unique<std::string>(p.AsString()));
        const std::string& bytes = *bound.Blobs.back();
        Put(slot + 1, static_cast<uint32_t>(bytes.size()));
        Put(slot + 5, static_cast<const void*>(bytes.data()));
      } else if (e.Type == engine::fldZString) {
        const std::string text = p.AsString();
        std::memcpy(slot + 1, text.data(), text.size());
      } else {
        std::vector<uint8_t> value = FixedValue(p);
        std::memcpy(slot + 1, value.data(), value.size());
      }
    }
    offset += static_cast<size_t>(e.Size) + 1;
  }
  return bound;
}

}  // namespace tovenmarsh::sql
