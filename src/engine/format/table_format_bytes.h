// Little-endian field access for the table files (.DAT, .IDX, .BLB).
//
// Every stored integer of the three table files is little-endian; these helpers read and write
// them at a byte offset without alignment or host-order assumptions. A TFormatField names one
// field of a fixed layout (offset and width) so that each layout is written down once and its
// adjacency checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tovenmarsh::engine {

// One field of a fixed on-disk layout.
struct TFormatField {
  uint32_t Offset;
  uint32_t Width;
  constexpr uint32_t End() const { return Offset + Width; }
};

// True when b starts where a ends (layouts are declared in order and checked with this).
constexpr bool FollowsField(TFormatField a, TFormatField b) { return a.End() == b.Offset; }

inline uint8_t GetU8(const uint8_t* p, size_t at) { return p[at]; }
inline void PutU8(uint8_t* p, size_t at, uint8_t v) { p[at] = v; }

inline uint16_t GetU16(const uint8_t* p, size_t at) {
  return static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
}
inline void PutU16(uint8_t* p, size_t at, uint16_t v) {
  p[at] = static_cast<uint8_t>(v);
  p[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline uint32_t GetU32(const uint8_t* p, size_t at) {
  return static_cast<uint32_t>(p[at]) | (static_cast<uint32_t>(p[at + 1]) << 8) |
         (static_cast<uint32_t>(p[at + 2]) << 16) | (static_cast<uint32_t>(p[at + 3]) << 24);
}
inline void PutU32(uint8_t* p, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline int32_t GetI32(const uint8_t* p, size_t at) { return static_cast<int32_t>(GetU32(p, at)); }
inline void PutI32(uint8_t* p, size_t at, int32_t v) { PutU32(p, at, static_cast<uint32_t>(v)); }
inline int16_t GetI16(const uint8_t* p, size_t at) { return static_cast<int16_t>(GetU16(p, at)); }
inline void PutI16(uint8_t* p, size_t at, int16_t v) { PutU16(p, at, static_cast<uint16_t>(v)); }

inline uint64_t GetU64(const uint8_t* p, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[at + i];
  return v;
}
inline void PutU64(uint8_t* p, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline int64_t GetI64(const uint8_t* p, size_t at) { return static_cast<int64_t>(GetU64(p, at)); }
inline void PutI64(uint8_t* p, size_t at, int64_t v) { PutU64(p, at, static_cast<uint64_t>(v)); }

inline double GetF64(const uint8_t* p, size_t at) {
  const uint64_t bits = GetU64(p, at);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}
inline void PutF64(uint8_t* p, size_t at, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof d);
  PutU64(p, at, bits);
}

// Field-typed shorthands.
inline uint8_t GetU8(const uint8_t* p, TFormatField f) { return GetU8(p, f.Offset); }
inline uint16_t GetU16(const uint8_t* p, TFormatField f) { return GetU16(p, f.Offset); }
inline uint32_t GetU32(const uint8_t* p, TFormatField f) { return GetU32(p, f.Offset); }
inline int32_t GetI32(const uint8_t* p, TFormatField f) { return GetI32(p, f.Offset); }
inline int16_t GetI16(const uint8_t* p, TFormatField f) { return GetI16(p, f.Offset); }
inline int64_t GetI64(const uint8_t* p, TFormatField f) { return GetI64(p, f.Offset); }
inline double GetF64(const uint8_t* p, TFormatField f) { return GetF64(p, f.Offset); }
inline void PutU8(uint8_t* p, TFormatField f, uint8_t v) { PutU8(p, f.Offset, v); }
inline void PutU16(uint8_t* p, TFormatField f, uint16_t v) { PutU16(p, f.Offset, v); }
inline void PutU32(uint8_t* p, TFormatField f, uint32_t v) { PutU32(p, f.Offset, v); }
inline void PutI32(uint8_t* p, TFormatField f, int32_t v) { PutI32(p, f.Offset, v); }
inline void PutI16(uint8_t* p, TFormatField f, int16_t v) { PutI16(p, f.Offset, v); }
inline void PutI64(uint8_t* p, TFormatField f, int64_t v) { PutI64(p, f.Offset, v); }
inline void PutF64(uint8_t* p, TFormatField f, double v) { PutF64(p, f.Offset, v); }

// Short strings of a fixed field: a length byte and at most Width - 1 characters. A stored length
// beyond the field is cut to the field, so damaged bytes never read past it.
inline std::string GetShortString(const uint8_t* p, TFormatField f) {
  uint32_t n = p[f.Offset];
  if (n > f.Width - 1) n = f.Width - 1;
  return std::string(reinterpret_cast<const char*>(p + f.Offset + 1), n);
}
inline void PutShortString(uint8_t* p, TFormatField f, const std::string& s) {
  const size_t n = s.size() < f.Width - 1 ? s.size() : f.Width - 1;
  std::memset(p + f.Offset, 0, f.Width);
  p[f.Offset] = static_cast<uint8_t>(n);
  std::memcpy(p + f.Offset + 1, s.data(), n);
}

}  // namespace tovenmarsh::engine
