// Index-key encodings: field values turned into bytes whose unsigned bytewise order equals the
// values' order (big-endian, sign bit flipped), and the scrambling of encrypted tables.
//
// Contract: stateless and thread-safe. EncodeFloatKey gives -0.0 and +0.0 the same key and every
// NaN one key above +infinity. BuildFieldKey writes the value from key[1] on; key[0] is the
// field's null byte, written by the caller, and the caller zero-fills the key area first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovenmarsh::engine {

struct FieldDesc;

void EncodeIntegerKey(int32_t value, uint8_t* out);    // 4 bytes
void EncodeSmallIntKey(int16_t value, uint8_t* out);   // 2 bytes
void EncodeWordKey(uint16_t value, uint8_t* out);      // 2 bytes
void EncodeLargeIntKey(int64_t value, uint8_t* out);   // 8 bytes (also BCD and currency)
void EncodeFloatKey(double value, uint8_t* out);       // 8 bytes
void InvertKeyBytes(uint8_t* bytes, size_t n);         // descending order

// Inverses (for tests and key dumps).
int32_t DecodeIntegerKey(const uint8_t* in);
int64_t DecodeLargeIntKey(const uint8_t* in);
double DecodeFloatKey(const uint8_t* in);

// Writes the key bytes of one field. value points at the field's stored value (native byte
// order as kept in the record; strings zero-terminated); key points at the field's null byte in
// the key. Descending complements (language 0 only) the null byte and the value: for strings the
// declared size bytes after the null byte, leaving the final terminator; otherwise physical size
// + 1 bytes. Case-insensitive strings are upper-cased under the language.
void BuildFieldKey(const FieldDesc& field, const uint8_t* value, uint8_t* key, uint16_t languageId,
                   uint16_t sortId, bool descending, bool caseInsensitive);

// Scrambling, its own inverse: each byte is XORed with both bytes of a running 16-bit key (low
// byte key1, high byte key2), then the low byte is incremented and the high byte decremented.
void EncryptBlock(uint8_t* buffer, uint16_t length, uint8_t key1, uint8_t key2);
void DecryptBlock(uint8_t* buffer, uint16_t length, uint8_t key1, uint8_t key2);

// The engine's two key pairs: records and headers.
inline constexpr uint8_t kRecordKey1 = 0x5A;
inline constexpr uint8_t kRecordKey2 = 0xC3;
inline constexpr uint8_t kHeaderKey1 = 0x3C;
inline constexpr uint8_t kHeaderKey2 = 0xA7;

}  // namespace tovenmarsh::engine
