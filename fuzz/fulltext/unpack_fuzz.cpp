// Fuzzes the unpackers of stored match-bit data: packed records into a set, raw records, the
// run-length unpacker, segment placement and the 3-to-4 text decoding. Any input must end in a
// result or an ETextIndex, never in a read or write outside the buffers.
//
// Input: byte 0 picks the set's size (1 to 65536 bits via bytes 1-2), the rest is the record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fulltext/match_bits.h"
#include "fulltext/run_packer.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_utils.h"

using namespace tovenmarsh::fulltext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int32_t bits = 1 + (data[1] | data[2] << 8);
  const uint8_t mode = data[0];
  std::vector<uint8_t> record(data + 3, data + size);  // exactly sized: overreads show
  try {
    switch (mode % 5) {
      case 0: {
        TtaBits set(bits - 1);
        set.Unpack(record.data(), record.size());
        // What was accepted agrees with its header.
        if (set.Count() != -GetRecordInt(record.data(), kRecCountAt)) __builtin_trap();
        break;
      }
      case 1: {
        TtaBits set(bits - 1);
        set.LoadRaw(record.data(), record.size());
        set.SetBit(bits - 1);
        break;
      }
      case 2: {
        std::vector<uint8_t> out(static_cast<size_t>(bits));
        const int64_t n = UnpackRuns(record.data(), record.size(), out.data(), out.size());
        if (n > static_cast<int64_t>(out.size())) __builtin_trap();
        break;
      }
      case 3: {
        TtxBits set;
        set.SetSize(bits);
        set.Unpack(record.data(), record.size(), mode / 5 % 4, 16 * (1 + mode / 20));
        std::vector<uint8_t> raw(static_cast<size_t>(set.RawSize()));
        set.ChangeBit(record.data(), record.size(), raw.data(), raw.size(), true, 0);
        break;
      }
      default: {
        std::vector<uint8_t> out(static_cast<size_t>(bits % 512));
        const std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());
        if (DecodeBits(text, out.data(), out.size()) > out.size()) __builtin_trap();
      }
    }
  } catch (const ETextIndex&) {
  }
  return 0;
}
