// Fuzzes the reader of the pair-signature file beside words.dat: whatever the bytes, the
// header and directory checks, the slot and record reads and the signature test stay inside
// the file and their buffers, and a signature handed out has a size the writer makes.
//
// Input: the file's bytes. The settings fingerprint is taken from the header itself, so that
// damaged slots and records past a sound header are reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "fulltext/pair_signature.h"
#include "fulltext/phrase_file_format.h"
#include "fulltext/phrase_reader.h"

using namespace tovenmarsh;
using namespace tovenmarsh::fulltext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace pf = phrase_format;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const uint64_t fingerprint = size >= pf::kFingerprintAt + 8 ? pf::Load64(data + pf::kFingerprintAt) : 0;
  const int32_t base = size >= pf::kBaseAt + 4 ? static_cast<int32_t>(pf::Load32(data + pf::kBaseAt)) : 0;
  TtxPhraseReader reader(std::make_unique<TMemoryPhraseSource>(bytes));
  if (!reader.Validate(fingerprint)) return 0;
  const uint64_t pair = SignaturePairHash(SignatureWordHash("RED"), SignatureWordHash("CAR"));
  for (int64_t offset = -2; offset < 300; ++offset) {
    const int64_t value = int64_t{base} + offset;
    if (value < INT32_MIN || value > INT32_MAX) continue;
    const uint8_t* bits = nullptr;
    size_t length = 0;
    if (!reader.Get(static_cast<int32_t>(value), bits, length)) continue;
    if (bits == nullptr || length == 0 || length % 8 != 0 || length > TPairSignature::kMaxBytes) __builtin_trap();
    // The bytes are the reader's to show: every one of them may be touched.
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bits[i]);
    (void)SignatureMayHold(bits, length, pair);
  }
  return 0;
}
