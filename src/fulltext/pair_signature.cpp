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

// The probe positions come from the two halves of one hash (double hashing); the range is
// reduced by a multiply rather than a division.
template <typename Probe>
void ForEachProbe(uint64_t pairHash, size_t bits, Probe&& probe) {
  const auto first = static_cast<uint32_t>(pairHash);
  const auto step = static_cast<uint32_t>(pairHash >> 32) | 1u;
  for (int i = 0; i < TPairSignature::kProbes; ++i) {
    const uint32_t h = first + static_cast<uint32_t>(i) * step;
    if (!probe(static_cast<size_t>((uint64_t{h} * bits) >> 32))) return;
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
  if (size == 0) return false;
  bool held = true;
  ForEachProbe(pairHash, size * 8, [&](size_t bit) {
    held = (bits[bit >> 3] & (1u << (bit & 7))) != 0;
    return held;
  });
  return held;
}

void TPairSignature::Make(std::vector<uint8_t>& out) const {
  size_t bytes = (pairs_.size() * kBitsPerPair + 63) / 64 * 8;
  bytes = std::clamp<size_t>(bytes, 8, kMaxBytes);
  out.assign(bytes, 0);
  const size_t bits = bytes * 8;
  for (uint64_t pair : pairs_)
    ForEachProbe(pair, bits, [&](size_t bit) {
      out[bit >> 3] = static_cast<uint8_t>(out[bit >> 3] | (1u << (bit & 7)));
      return true;
    });
}

}  // namespace tovenmarsh::fulltext
