// Index files from damaged bytes: a sound file with three indexes (plain, both-compressed
// non-unique, leading-compressed) is built in memory, the input patches it (groups of a 3-byte
// offset and a byte value; an input starting with "RAW" replaces the whole file), and the file
// is opened, verified, walked, searched and changed. Only engine errors may come out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"
#include "engine/storage_fuzz_support.h"
#include "engine/store/index_file.h"

using namespace tovenmarsh::engine;
using namespace tovenmarsh::engine::fuzzing;

namespace {

std::vector<FieldDesc> Fields() {
  std::vector<FieldDesc> f(2);
  f[0].FieldNumber = 1;
  f[0].Name = "Name";
  f[0].FieldType = fldZString;
  f[0].Size = 12;
  f[1].FieldNumber = 2;
  f[1].Name = "Id";
  f[1].FieldType = fldInt32;
  LayoutRecordFields(f);
  return f;
}

std::vector<uint8_t> Key(uint16_t size, uint32_t n) {
  std::vector<uint8_t> key(size, 0);
  key[0] = 1;
  for (uint16_t i = 1; i < size && i < 9; ++i) key[i] = static_cast<uint8_t>('a' + (n >> (2 * (i - 1))) % 4);
  if (size > 4) {
    key[size - 2] = static_cast<uint8_t>(n >> 8);
    key[size - 1] = static_cast<uint8_t>(n);
  }
  return key;
}

const std::vector<uint8_t>& SoundFile() {
  static const std::vector<uint8_t> bytes = [] {
    TFileList list;
    TFuzzFilesOwner owner;
    TIndexFile f(&owner, "BASE.IDX", true, &list);
    f.CreateFile();
    const auto fields = Fields();
    IndexDesc primary;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 2;
    f.AddPrimaryIndex(primary, fields);
    IndexDesc byName;
    byName.Name = "ByName";
    byName.FieldCount = 1;
    byName.FieldNumbers[0] = 1;
    f.AddSecondaryIndex(byName, fields, 3);
    IndexDesc both = byName;
    both.Name = "Both";
    both.Unique = true;
    both.FieldCount = 2;
    both.FieldNumbers[1] = 2;
    f.AddSecondaryIndex(both, fields, 1);
    for (uint8_t slot : {0, 1, 2, 31}) {
      TBTree tree(f.Store(slot), TKeyOrder{});
      for (uint32_t n = 1; n <= 250; ++n) tree.Insert(Key(f.SlotShape(slot).KeySize, n * 7919 % 1000).data(), n);
      for (uint32_t n = 1; n <= 250; n += 3) tree.Delete(Key(f.SlotShape(slot).KeySize, n * 7919 % 1000).data());
    }
    f.FlushPages();
    f.WriteHeader(true);
    std::vector<uint8_t> out(static_cast<size_t>(f.GetSize()));
    f.Seek(0);
    f.Read(out.data(), static_cast<int64_t>(out.size()));
    f.Close();
    return out;
  }();
  return bytes;
}

// Damage may only surface as the corruption, version, read and limit errors of these files.
void CheckCode(const EFenEngineError& e) {
  RequireAllowedCode(e, {kErrHeaderCorrupt, kErrIndexPageCorrupt, kErrWrongVersion, kErrReadError, kErrTableFull});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file = PatchedFile(data, size, SoundFile());
  TFileList list;
  TFuzzFilesOwner owner;
  try {
    WriteFuzzFile("FUZZ.IDX", &list, file);
    TIndexFile f(&owner, "FUZZ.IDX", true, &list);
    f.Open();
    f.Verify(Fields());
    std::vector<uint8_t> slots;
    for (uint8_t s = 0; s <= f.SecondaryCount(); ++s) slots.push_back(s);
    slots.push_back(31);
    for (uint8_t slot : slots) {
      const uint16_t k = f.SlotShape(slot).KeySize;
      if (k == 0) continue;
      try {
        TBTree tree(f.Store(slot), TKeyOrder{});
        std::vector<uint32_t> pages;
        int64_t records = 0;
        tree.Verify(&pages, &records);
        uint32_t rec = 0;
        int64_t seq = 0;
        tree.Find(Key(k, 77).data(), &rec, &seq);
        tree.AtSequence(5, &rec, nullptr);
        TTreePosition at;
        if (tree.Seek(Key(k, 300).data(), false, &at) == TBTree::kDone)
          for (int i = 0; i < 20 && tree.Next(&at) == TBTree::kDone; ++i) {
          }
        if (tree.SeekSequence(3, &at) == TBTree::kDone) tree.Prior(&at);
        // Changes in one index per input. Not when the end offset lies beyond the file: on disk
        // the appended page leaves a sparse gap, but this memory file would allocate all of it.
        if (slot == slots[size % slots.size()] && f.EndOffset() <= f.GetSize()) {
          for (uint32_t n = 0; n < 8; ++n) tree.Insert(Key(k, n * 31).data(), n + 1);
          for (uint32_t n = 0; n < 12; ++n) tree.Delete(Key(k, n * 17).data());
          f.FlushPages();
        }
      } catch (const EFenEngineError& e) {
        CheckCode(e);
      }
    }
  } catch (const EFenEngineError& e) {
    CheckCode(e);
  }
  return 0;
}
