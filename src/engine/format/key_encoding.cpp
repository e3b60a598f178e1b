// Index-key encodings and block scrambling.
#include "engine/format/key_encoding.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/base/engine_locale.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::engine {
namespace {

void PutBigEndian(uint64_t v, uint8_t* out, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

uint64_t GetBigEndian(const uint8_t* in, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | in[i];
  return v;
}

template <class T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

void EncodeIntegerKey(int32_t value, uint8_t* out) {
  PutBigEndian(static_cast<uint32_t>(value) ^ 0x80000000u, out, 4);
}

void EncodeSmallIntKey(int16_t value, uint8_t* out) {
  PutBigEndian(static_cast<uint16_t>(static_cast<uint16_t>(value) ^ 0x8000u), out, 2);
}

void EncodeWordKey(uint16_t value, uint8_t* out) { PutBigEndian(value, out, 2); }

void EncodeLargeIntKey(int64_t value, uint8_t* out) {
  PutBigEndian(static_cast<uint64_t>(value) ^ 0x8000000000000000ull, out, 8);
}

void EncodeFloatKey(double value, uint8_t* out) {
  if (value == 0) value = 0.0;  // -0.0 and +0.0 are one value
  if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if (std::isnan(value)) bits = 0x7FF8000000000000ull;
  bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
  PutBigEndian(bits, out, 8);
}

void InvertKeyBytes(uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

int32_t DecodeIntegerKey(const uint8_t* in) {
  return static_cast<int32_t>(static_cast<uint32_t>(GetBigEndian(in, 4)) ^ 0x80000000u);
}

int64_t DecodeLargeIntKey(const uint8_t* in) {
  return static_cast<int64_t>(GetBigEndian(in, 8) ^ 0x8000000000000000ull);
}

double DecodeFloatKey(const uint8_t* in) {
  uint64_t bits = GetBigEndian(in, 8);
  bits = (bits & 0x8000000000000000ull) ? (bits & ~0x8000000000000000ull) : ~bits;
  return std::bit_cast<double>(bits);
}

void BuildFieldKey(const FieldDesc& field, const uint8_t* value, uint8_t* key, uint16_t languageId,
                   uint16_t sortId, bool descending, bool caseInsensitive) {
  uint8_t* out = key + 1;
  size_t span = static_cast<size_t>(field.PhysicalSize) + 1;
  switch (field.FieldType) {
    case fldZString: {
      size_t room = field.PhysicalSize;  // declared size + 1
      size_t length = ::strnlen(reinterpret_cast<const char*>(value), room > 0 ? room - 1 : 0);
      if (caseInsensitive) {
        std::string upper = LocaleUpperCase(
            languageId, sortId, std::string_view(reinterpret_cast<const char*>(value), length));
        std::memcpy(out, upper.data(), length);
      } else {
        std::memcpy(out, value, length);
      }
      span = room;  // the null byte and the declared length; the final terminator stays 0
      break;
    }
    case fldDate:
    case fldInt32:
    case fldTime:
      EncodeIntegerKey(Load<int32_t>(value), out);
      break;
    case fldBool:
    case fldUInt16:
      EncodeWordKey(Load<uint16_t>(value), out);
      break;
    case fldInt16:
      EncodeSmallIntKey(Load<int16_t>(value), out);
      break;
    case fldFloat:
    case fldTimeStamp:
      EncodeFloatKey(Load<double>(value), out);
      break;
    case fldBCD:
      EncodeLargeIntKey(Load<int64_t>(value), out);
      break;
    default:
      std::memcpy(out, value, field.PhysicalSize);
      break;
  }
  if (descending && languageId == 0) InvertKeyBytes(key, span);
}

void EncryptBlock(uint8_t* buffer, uint16_t length, uint8_t key1, uint8_t key2) {
  uint8_t low = key1, high = key2;
  for (uint16_t i = 0; i < length; ++i) {
    buffer[i] = static_cast<uint8_t>(buffer[i] ^ low ^ high);
    low = static_cast<uint8_t>(low + 1);
    high = static_cast<uint8_t>(high - 1);
  }
}

void DecryptBlock(uint8_t* buffer, uint16_t length, uint8_t key1, uint8_t key2) {
  EncryptBlock(buffer, length, key1, key2);
}

}  // namespace tovenmarsh::engine
