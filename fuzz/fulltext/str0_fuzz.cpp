// Fuzzes the "STR0" string-table loader: any bytes are either refused as an invalid string
// resource or give texts for every id without reading outside the table.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fulltext/string_resource.h"

using namespace tovenmarsh::fulltext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMemoryResourceModule module;
  module.Add("T", std::string(reinterpret_cast<const char*>(data), size));
  try {
    TClStringResource strings(module, "T");
    for (int64_t id : {0LL, 1LL, 2LL, 5LL, 55LL, 255LL, 30480LL, 65535LL, 4294967295LL}) strings.GetString(id);
    if (size >= 12) strings.GetString(data[8] | data[9] << 8 | data[10] << 16 | static_cast<int64_t>(data[11]) << 24);
  } catch (const ETpsStringResourceError&) {
  }
  return 0;
}
