// What the storage fuzz targets share: an owner that always holds the write lock, the input
// decoding (groups of a 3-byte offset and a byte value patch a sound file; "RAW" first replaces
// it whole), writing the result into the in-memory file list, and the rule that damage surfaces
// only as one of a target's allowed engine errors.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/io/file_handler.h"
#include "engine/io/file_list.h"
#include "engine/store/shared_table_context.h"

namespace tovenmarsh::engine::fuzzing {

class TFuzzFilesOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return false; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return false; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
};

inline std::vector<uint8_t> PatchedFile(const uint8_t* data, size_t size, const std::vector<uint8_t>& sound) {
  if (size >= 3 && std::memcmp(data, "RAW", 3) == 0) return std::vector<uint8_t>(data + 3, data + size);
  std::vector<uint8_t> file = sound;
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const size_t at = (static_cast<size_t>(data[i]) << 16 | data[i + 1] << 8 | data[i + 2]) % file.size();
    file[at] = data[i + 3];
  }
  return file;
}

inline void WriteFuzzFile(const std::string& name, TFileList* list, const std::vector<uint8_t>& bytes) {
  TFileHandler writer(name, true, list);
  writer.CreateFile();
  writer.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  writer.Close();
}

// Anything but an allowed code is a finding: abort so the fuzzer reports it.
inline void RequireAllowedCode(const EFenEngineError& e, std::initializer_list<uint16_t> allowed) {
  for (uint16_t code : allowed)
    if (e.Code() == code) return;
  std::abort();
}

}  // namespace tovenmarsh::engine::fuzzing
