// Fuzzes what a words-table row gives the full-text engine: its bit data (the match-bit record
// from the count field on, raw or packed, as txSize bytes of the row) and the properties row's
// stream. Damage must end in ETextIndex or EReadError; whatever is accepted must survive a
// round trip through the writers unchanged.
//
// Input: byte 0 odd: the rest is a properties stream. Byte 0 even: bytes 1-2 give the set's
// size (1 to 65536 bits), the rest is the row's bit data.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fulltext/match_bits.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_properties.h"
#include "platform/stream.h"

using namespace tovenmarsh;
using namespace tovenmarsh::fulltext;

namespace {

void Same(const TtaBits& a, const TtaBits& b) {
  if (a.Count() != b.Count() || a.Max() != b.Max()) __builtin_trap();
  for (int32_t i = 0; i <= a.Max(); ++i)
    if (a.TestBit(i) != b.TestBit(i)) __builtin_trap();
}

void BitData(int32_t bits, const uint8_t* data, size_t size) {
  // The stamp is never stored in the row; the reader puts one in front.
  std::vector<uint8_t> record(4 + size);
  for (size_t i = 0; i < size; ++i) record[4 + i] = data[i];
  TtaBits set(bits - 1);
  try {
    set.Load(record.data(), record.size());
  } catch (const ETextIndex&) {
    return;
  }
  // Packed and unpacked again, and raw and loaded again, it is the same set.
  std::vector<uint8_t> packed(static_cast<size_t>(set.MaxPackedSize()));
  const int32_t packedSize = set.Pack(packed.data());
  if (packedSize < static_cast<int32_t>(kPackedHeaderSize) || packedSize > set.MaxPackedSize())
    __builtin_trap();
  TtaBits again(bits - 1);
  again.Unpack(packed.data(), static_cast<size_t>(packedSize));
  Same(set, again);
  std::vector<uint8_t> raw(static_cast<size_t>(set.RawSize()));
  set.ToRaw(raw.data());
  TtaBits fromRaw(bits - 1);
  fromRaw.Load(raw.data(), raw.size());
  Same(set, fromRaw);
  // The engine's packer reads the row's own record to the same set.
  TtxBits engineBits;
  engineBits.SetSize(bits);
  std::vector<uint8_t> target(static_cast<size_t>(engineBits.MaxPackedSize()));
  const int32_t n = engineBits.Pack(record.data(), record.size(), target.data(), target.size());
  TtaBits viaEngine(bits - 1);
  viaEngine.Unpack(target.data(), static_cast<size_t>(n));
  Same(set, viaEngine);
}

void Properties(std::string_view bytes) {
  std::optional<TStoredProperties> read;
  try {
    platform::TStringStream stream(bytes);
    read = ReadStoredProperties(stream);
  } catch (const platform::EReadError&) {
    return;
  }
  if (!read) return;
  // Written back, it reads the same (in the current version, which always has the pair flag).
  platform::TMemoryStream written;
  WriteStoredProperties(written, *read);
  written.SetPosition(0);
  std::optional<TStoredProperties> back = ReadStoredProperties(written);
  if (!back) __builtin_trap();
  TStoredProperties expected = *read;
  expected.version = kStoredPropertiesVersion;
  expected.hasPairFlag = true;
  if (!(*back == expected)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 70000) return 0;
  if (data[0] & 1) {
    Properties(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    return 0;
  }
  if (size < 3) return 0;
  BitData(1 + (data[1] | data[2] << 8), data + 3, size - 3);
  return 0;
}
