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
  // One multiply spreads the (already mixed) hash anew for the probes inside the block.
  const uint64_t inner = (pairHash ^ 0x2545f4914f6cdd1dull) * 0x9e3779b97f4a7c15ull;
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
  // Eight folded bytes at a time: the build hashes every word of every document.
  const uint8_t* fold = FoldTable();
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const size_t n = word.size();
  uint64_t h = 0xcbf29ce484222325ull ^ (n * 0x9e3779b97f4a7c15ull);
  for (size_t i = 0; i < n; i += 8) {
    uint64_t w = 0;
    const size_t end = n - i < 8 ? n - i : 8;
    for (size_t k = 0; k < end; ++k) w |= uint64_t{fold[p[i + k]]} << (8 * k);
    h = (h ^ w) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  }
  return Mix(h);
}

uint64_t SignaturePairHash(uint64_t first, uint64_t second) {
  // Both are mixed already: one multiply keeps "A B" apart from "B A", and the fold of the
  // high half into the low one feeds the block choice from every bit.
  const uint64_t h = first * 0x9e3779b97f4a7c15ull + ((second << 29) | (second >> 35));
  return h ^ (h >> 32);
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
