// Data files from damaged bytes: a sound table (three fields, a few live and deleted records)
// is built in memory, the input patches it (groups of a 3-byte offset and a byte value; "RAW"
// first replaces the whole file), and the file is opened, verified, read record by record along
// its free list, and changed. Only engine errors may come out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"
#include "engine/storage_fuzz_support.h"

using namespace tovenmarsh::engine;
using namespace tovenmarsh::engine::fuzzing;

namespace {

const std::vector<uint8_t>& SoundFile() {
  static const std::vector<uint8_t> bytes = [] {
    TFileList list;
    TFuzzFilesOwner owner;
    TDataFile f(&owner, "BASE.DAT", true, &list);
    TDataFileDefinition d;
    d.Fields.resize(3);
    d.Fields[0].Name = "Name";
    d.Fields[0].FieldType = fldZString;
    d.Fields[0].Size = 8;
    d.Fields[1].Name = "Id";
    d.Fields[1].FieldType = fldInt32;
    d.Fields[1].SubType = fldstAutoInc;
    d.Fields[2].Name = "When";
    d.Fields[2].FieldType = fldDate;
    d.Fields[2].MinValue = "DATE";
    f.CreateTable(d);
    for (int i = 0; i < 12; ++i) {
      TRecord* r = f.TakeFreeRecord();
      f.InitRecord(*r, true);
      r->Buffer[9] = 1;
      r->Buffer[10] = static_cast<uint8_t>('a' + i);
      r->Changed = true;
      f.ReleaseRecord(r);
    }
    for (uint32_t n : {3u, 7u, 8u}) {
      TRecord* r = f.GetRecord(n);
      f.DeleteRecord(*r);
      f.ReleaseRecord(r);
    }
    f.WriteChangedRecords();
    f.WriteHeader(true);
    std::vector<uint8_t> out(static_cast<size_t>(f.GetSize()));
    f.Seek(0);
    f.Read(out.data(), static_cast<int64_t>(out.size()));
    f.Close();
    return out;
  }();
  return bytes;
}

constexpr uint64_t kMaxGrownFile = 16u << 20;

// Damage may only surface as the corruption, version, read and limit errors of these files.
void CheckCode(const EFenEngineError& e) {
  RequireAllowedCode(e, {kErrHeaderCorrupt, kErrRecordBuffersCorrupt, kErrWrongVersion, kErrReadError, kErrTableFull,
                         kErrLanguageDriver});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file = PatchedFile(data, size, SoundFile());
  TFileList list;
  TFuzzFilesOwner owner;
  try {
    WriteFuzzFile("FUZZ.DAT", &list, file);
    TDataFile f(&owner, "FUZZ.DAT", true, &list);
    f.Open();
    try {
      f.VerifyHeader();
    } catch (const EFenEngineError& e) {
      CheckCode(e);
    }
    f.SetNormalCapacity(3);
    const uint32_t last = f.NextRecord() > 40 ? 40 : f.NextRecord() - 1;
    for (uint32_t n = 1; n <= last; ++n) {
      TRecord* r = f.GetRecord(n, n % 2 ? 1 : -1, n % 7 + 1);
      if (r) f.ReleaseRecord(r);
    }
    uint32_t steps = 0;
    for (uint32_t n = f.FirstFree(); n != 0 && n < f.NextRecord() && steps < 50; ++steps) {
      TRecord* r = f.GetRecord(n);
      n = r->Link();
      f.ReleaseRecord(r);
    }
    // A damaged header may put the next record gigabytes out; a disk file would only grow
    // sparse there, but this in-memory one fills every byte and the run stalls.
    if (static_cast<uint64_t>(f.NextRecord()) * f.RecordSize() > kMaxGrownFile) return 0;
    for (int i = 0; i < 4; ++i) {
      TRecord* r = f.TakeFreeRecord();
      f.InitRecord(*r, true);
      r->Changed = true;
      f.ReleaseRecord(r);
    }
    f.WriteChangedRecords();
    f.WriteHeader(false);
  } catch (const EFenEngineError& e) {
    CheckCode(e);
  }
  return 0;
}
