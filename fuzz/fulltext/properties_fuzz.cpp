// Fuzzes the reader of the stored properties stream and applying what it read to an engine,
// and the bit-set stream loader that shares its tagged-value reader. Damaged input must end in
// EReadError or a container error, with no oversized allocation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fulltext/cl_bits.h"
#include "fulltext/tx_engine.h"
#include "fulltext/tx_properties.h"
#include "platform/stream.h"

using namespace tovenmarsh;
using namespace tovenmarsh::fulltext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    platform::TStringStream stream(bytes);
    if (auto p = ReadStoredProperties(stream)) {
      TtxEngine engine;
      engine.ApplyStoredProperties(*p);
      engine.ParseString("the quick brown fox");
      platform::TMemoryStream again;
      engine.WriteProperties(again);
    }
  } catch (const platform::EReadError&) {
  }
  try {
    platform::TStringStream stream(bytes);
    TClBits bits(0);
    bits.LoadFromStream(stream);
  } catch (const platform::EReadError&) {
  } catch (const EClException&) {
  }
  return 0;
}
