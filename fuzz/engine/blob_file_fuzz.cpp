// BLOB files from damaged bytes: a sound file holding a few values (block size 128) is built
// in memory, the input patches it (groups of a 3-byte offset and a byte value; "RAW" first
// replaces the whole file), and every value is read, rewritten and freed. Only engine errors may
// come out, and damaged sizes never allocate more than the chain holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/store/blob_file.h"
#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"
#include "engine/storage_fuzz_support.h"

using namespace tovenmarsh::engine;
using namespace tovenmarsh::engine::fuzzing;

namespace {

struct TBase {
  std::vector<uint8_t> Bytes;
  std::vector<std::pair<uint32_t, uint32_t>> Values;  // first block, owner
};

const TBase& SoundFile() {
  static const TBase base = [] {
    TBase b;
    TFileList list;
    TFuzzFilesOwner owner;
    TBlobFile f(&owner, "BASE.BLB", 128, true, &list);
    f.CreateFile();
    for (uint32_t i = 1; i <= 6; ++i) {
      std::vector<uint8_t> v(i * 150, static_cast<uint8_t>(i));
      b.Values.push_back({f.WriteValue(0, i, v.data(), v.size()), i});
    }
    std::vector<uint8_t> small(10, 9);
    b.Values[2].first = f.WriteValue(b.Values[2].first, 3, small.data(), small.size());
    f.FlushBlocks();
    f.WriteHeader(true);
    b.Bytes.resize(static_cast<size_t>(f.GetSize()));
    f.Seek(0);
    f.Read(b.Bytes.data(), static_cast<int64_t>(b.Bytes.size()));
    f.Close();
    return b;
  }();
  return base;
}

// Damage may only surface as the corruption, version, read and limit errors of these files.
void CheckCode(const EFenEngineError& e) {
  RequireAllowedCode(e, {kErrRecordChanged, kErrEndOfBlob, kErrHeaderCorrupt, kErrBlobBuffersCorrupt,
                         kErrWrongVersion, kErrReadError, kErrTableFull});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TBase& base = SoundFile();
  const std::vector<uint8_t> file = PatchedFile(data, size, base.Bytes);
  TFileList list;
  TFuzzFilesOwner owner;
  try {
    WriteFuzzFile("FUZZ.BLB", &list, file);
    TBlobFile f(&owner, "FUZZ.BLB", 128, true, &list);
    f.Open();
    f.Verify();
    // An end offset beyond the file: on disk an appended block leaves a sparse gap, but this
    // memory file would allocate all of it; the values are then only walked and read.
    const bool appends = f.EndOffset() <= f.GetSize();
    for (const auto& [first, id] : base.Values) {
      try {
        f.WalkChain(first, id, 1, true, false, TBlobFile::kChainVerify, [](const std::string&) {});
        f.WalkChain(first, id, 1, true, false, TBlobFile::kChainRepair, nullptr);
        std::vector<uint8_t> value;
        f.ReadValue(first, id, value);
        if (!appends) continue;
        value.resize(value.size() / 2 + 300, 1);
        const uint32_t again = f.WriteValue(first, id, value.data(), value.size());
        f.ReadValue(again, id, value);
        f.FreeChain(again, id, true);
        f.FlushBlocks();
      } catch (const EFenEngineError& e) {
        CheckCode(e);
      }
    }
  } catch (const EFenEngineError& e) {
    CheckCode(e);
  }
  return 0;
}
