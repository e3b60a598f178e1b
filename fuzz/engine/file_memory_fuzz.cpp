// Memory files against a model: the input is a sequence of 4-byte operations (write, read, seek,
// truncate, lock, unlock) on two handles of one memory file; every result must agree with a byte
// string, a position per handle and a list of held lock ranges.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/io/file_abstract.h"
#include "engine/io/file_list.h"

using tovenmarsh::engine::TAbstractFile;
using tovenmarsh::engine::TFileList;

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

struct Range {
  int64_t start, length;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFileList list;
  TAbstractFile* file = nullptr;
  const int32_t first = list.CreateFile("fuzz.dat", true, false, file);
  Check(first == 1);
  bool readOnly = false;
  TAbstractFile* same = nullptr;
  Check(list.Close(file, true, first) == 0);
  const int32_t a = list.Open("FUZZ.DAT", true, false, false, false, false, readOnly, file);
  const int32_t b = list.Open("fuzz.dat", true, false, false, false, false, readOnly, same);
  Check(a > 0 && b > 0 && a != b && file == same);
  const int32_t handles[2] = {a, b};
  int64_t positions[2] = {0, 0};
  std::string model;
  std::vector<Range> locks;
  for (size_t i = 0; i + 4 <= size && i < 4 * 2000; i += 4) {
    const int h = data[i + 1] & 1;
    const uint8_t x = data[i + 2];
    const uint8_t y = data[i + 3];
    int64_t& position = positions[h];
    switch (data[i] % 6) {
      case 0: {  // write
        const std::string bytes(static_cast<size_t>(x % 64 + 1), static_cast<char>(y));
        Check(file->Write(handles[h], bytes.data(), static_cast<int64_t>(bytes.size())) ==
              static_cast<int64_t>(bytes.size()));
        if (static_cast<int64_t>(model.size()) < position) model.resize(position, '\0');
        model.replace(static_cast<size_t>(position),
                      std::min(bytes.size(), model.size() - static_cast<size_t>(position)), bytes);
        position += static_cast<int64_t>(bytes.size());
        break;
      }
      case 1: {  // read
        std::string buffer(static_cast<size_t>(x) * 4, '\0');
        const int64_t got =
            file->Read(handles[h], buffer.data(), static_cast<int64_t>(buffer.size()));
        const int64_t available =
            position >= static_cast<int64_t>(model.size()) ? 0 : model.size() - position;
        const int64_t expected = std::min<int64_t>(available, buffer.size());
        Check(got == expected);
        if (got > 0)
          Check(buffer.compare(0, got, model, static_cast<size_t>(position), got) == 0);
        position += got;
        break;
      }
      case 2: {  // seek; a target below 0 is refused and the position stays
        const int origin = y % 3;
        const int64_t base = origin == 0 ? 0 : origin == 1 ? position : model.size();
        const int64_t offset = static_cast<int64_t>(x) * 8 - (origin == 0 ? 0 : 1024);
        const int64_t result = file->Seek(handles[h], offset, origin);
        if (base + offset < 0) {
          Check(result == -1);
        } else {
          Check(result == base + offset);
          position = result;
        }
        break;
      }
      case 3:  // truncate or extend at the position
        Check(file->Write(handles[h], "", 0) == 0);
        model.resize(static_cast<size_t>(position), '\0');
        break;
      case 4: {  // lock
        const Range r{static_cast<int64_t>(x) * 4, static_cast<int64_t>(y % 9)};
        bool expected = r.length > 0;
        for (const Range& held : locks)
          if (r.start <= held.start + held.length - 1 && held.start <= r.start + r.length - 1)
            expected = false;
        Check(file->LockRange(r.start, r.length) == expected);
        if (expected) locks.push_back(r);
        break;
      }
      default: {  // unlock
        const Range r{static_cast<int64_t>(x) * 4, static_cast<int64_t>(y % 9)};
        bool expected = false;
        for (auto it = locks.begin(); it != locks.end(); ++it) {
          if (it->start == r.start && it->length == r.length) {
            locks.erase(it);
            expected = true;
            break;
          }
        }
        Check(file->UnlockRange(r.start, r.length) == expected);
      }
    }
    Check(file->Size() == static_cast<int64_t>(model.size()));
  }
  Check(list.Close(file, true, a) == 0);
  Check(list.Close(file, true, b) == 0);
  Check(list.Exists("fuzz.dat", true));
  return 0;
}
