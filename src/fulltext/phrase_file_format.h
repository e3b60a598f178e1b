// Byte layout of the pair-signature file beside a words table ("words.phrases" beside
// "words.dat"). The file only speeds phrase searches up: a reader that finds it missing,
// unfinished, damaged or made with other settings verifies every candidate as without it.
//
// All numbers little-endian.
//   header (64 bytes): magic "TXPAIRS1", u32 version, u32 flags (1: the build finished),
//     u64 settings fingerprint (tokenizer, word size, fields: what decides the word stream),
//     i32 base index value, 4 reserved zero bytes, u64 slots cleared by updates (a cleared slot
//     changes neither the size nor the records, so this tells readers to drop what they cached),
//     16 reserved zero bytes, u64 checksum of the 56 bytes before it.
//   directory (4096 u64): the offset of each chunk of 16384 slots, 0 for none.
//   chunks (16384 u32: a record's offset / 8, 0 for none) and records, appended as needed.
//   record: i32 index value, u32 signature bytes (a multiple of 8), u64 checksum of the value,
//     the size and the signature; then the signature. Records start at multiples of 8.
// A document's slot is its index value minus the base.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tovenmarsh::fulltext::phrase_format {

inline constexpr char kMagic[8] = {'T', 'X', 'P', 'A', 'I', 'R', 'S', '1'};
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kFlagFinished = 1;
inline constexpr int64_t kHeaderSize = 64;
inline constexpr int64_t kHeaderChecked = 56;
inline constexpr int64_t kDirectoryEntries = 4096;
inline constexpr int64_t kDirectoryOffset = kHeaderSize;
inline constexpr int64_t kSlotsPerChunk = 16384;
inline constexpr int64_t kChunkBytes = kSlotsPerChunk * 4;
inline constexpr int64_t kDataOffset = kDirectoryOffset + kDirectoryEntries * 8;
inline constexpr int64_t kMaxSlots = kDirectoryEntries * kSlotsPerChunk;
inline constexpr int64_t kRecordHeaderSize = 16;
inline constexpr int64_t kMaxRecordOffset = int64_t{0xFFFFFFFF} * 8;

// Header fields.
inline constexpr size_t kVersionAt = 8, kFlagsAt = 12, kFingerprintAt = 16, kBaseAt = 24, kClearsAt = 32,
                        kChecksumAt = 56;

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint32_t Load32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline void Store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A checksum over whole 8-byte words (every checked span is a multiple of 8 long).
inline uint64_t Checksum(const uint8_t* p, size_t length, uint64_t seed) {
  uint64_t h = seed ^ (length * 0x9e3779b97f4a7c15ull);
  for (size_t i = 0; i + 8 <= length; i += 8) {
    h = (h ^ Load64(p + i)) * 0xff51afd7ed558ccdull;
    h ^= h >> 29;
  }
  h *= 0xc4ceb9fe1a85ec53ull;
  return h ^ (h >> 32);
}
inline constexpr uint64_t kHeaderSeed = 0x5041495253484452ull;
inline constexpr uint64_t kRecordSeed = 0x5041495253524543ull;

// The record's checksum: its value and size (the first 8 bytes) and the signature.
inline uint64_t RecordChecksum(const uint8_t* head, const uint8_t* signature, size_t size) {
  return Checksum(signature, size, Checksum(head, 8, kRecordSeed));
}

// The side file of the words table file (same folder, same stem, ".phrases").
inline std::string SideFileName(const std::string& wordsFile) {
  const size_t slash = wordsFile.find_last_of("/\\");
  const size_t dot = wordsFile.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? wordsFile.substr(0, dot) : wordsFile) + ".phrases";
}

}  // namespace tovenmarsh::fulltext::phrase_format
