// Pair hashing and the per-document Bloom filter of adjacent word pairs.
#include "fulltext/pair_signature.h"

#include <algorithm>

#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {
namespace {

uint64_t Mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ull;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebull;
  x ^= x >> 31;
  return x;
}

// The pair's block comes from the hash's low half, the probes inside it from a second hash
// (double hashing); ranges are reduced by a multiply rather than a division.
template <typename Probe>
void ForEachProbe(uint64_t pairHash, size_t size, Probe&& probe) {
  const size_t blockBytes = size < TPairSignature::kBlockBytes ? size : TPairSignature::kBlockBytes;
  const size_t blocks = size / blockBytes;
  const size_t block = static_cast<size_t>((uint64_t{static_cast<uint32_t>(pairHash)} * blocks) >> 32);
  const uint64_t inner = Mix(pairHash ^ 0x2545f4914f6cdd1dull);
  const auto first = static_cast<uint32_t>(inner);
  const auto step = static_cast<uint32_t>(inner >> 32) | 1u;
  const uint64_t bits = blockBytes * 8;
  const size_t base = block * bits;
  for (int i = 0; i < TPairSignature::kProbes; ++i) {
    const uint32_t h = first + static_cast<uint32_t>(i) * step;
    if (!probe(base + static_cast<size_t>((uint64_t{h} * bits) >> 32))) return;
  }
}

}  // namespace

uint64_t SignatureWordHash(std::string_view word) {
  const uint8_t* fold = FoldTable();
  uint64_t h = 0xcbf29ce484222325ull;
  for (char c : word) h = (h ^ fold[static_cast<uint8_t>(c)]) * 0x100000001b3ull;
  return Mix(h ^ word.size());
}

uint64_t SignaturePairHash(uint64_t first, uint64_t second) {
  return Mix(first * 0x9e3779b97f4a7c15ull + ((second << 29) | (second >> 35)) + 0x632be59bd9b4e019ull);
}

bool SignatureMayHold(const uint8_t* bits, size_t size, uint64_t pairHash) {
  // A size the writer never makes is read as holding everything (the caller then reads the text).
  if (size == 0 || size % 8 != 0 || (size > TPairSignature::kBlockBytes && size % TPairSignature::kBlockBytes != 0))
    return true;
  bool held = true;
  ForEachProbe(pairHash, size, [&](size_t bit) {
    held = (bits[bit >> 3] & (1u << (bit & 7))) != 0;
    return held;
  });
  return held;
}

void TPairSignature::Make(std::vector<uint8_t>& out) const {
  size_t bytes = (pairs_.size() * kBitsPerPair + 63) / 64 * 8;
  if (bytes > kBlockBytes) bytes = (bytes + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
  bytes = std::clamp<size_t>(bytes, 8, kMaxBytes);
  out.assign(bytes, 0);
  for (uint64_t pair : pairs_)
    ForEachProbe(pair, bytes, [&](size_t bit) {
      out[bit >> 3] = static_cast<uint8_t>(out[bit >> 3] | (1u << (bit & 7)));
      return true;
    });
}

}  // namespace tovenmarsh::fulltext
