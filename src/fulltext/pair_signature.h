// Adjacent-word-pair signatures: per document, a small Bloom filter over the pairs of
// consecutive words within one field, exactly as the phrase verifier meets them. A phrase
// search tests its candidates' signatures first and re-reads only the documents that may hold
// every pair of the phrase. Words are hashed through the folding map, so one signature serves
// plain and international searches alike (a folded match is implied by an exact one).
//
// The filter is blocked: all probes of one pair fall into one 32-byte block, so a test touches
// one or two cache lines of a long signature, not one per probe.
//
// Promises: a pair added to a signature is always reported as possibly held (no false
// negatives); about 1 pair in 250 that was never added is reported as held too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tovenmarsh::fulltext {

// The hash of a word as folded.
uint64_t SignatureWordHash(std::string_view word);
// The hash of the pair "first second" from the words' hashes.
uint64_t SignaturePairHash(uint64_t first, uint64_t second);
// Whether a signature of size bytes may hold the pair (false only when it surely does not).
bool SignatureMayHold(const uint8_t* bits, size_t size, uint64_t pairHash);

// Collects one document's pairs and makes its signature.
class TPairSignature {
 public:
  static constexpr size_t kBitsPerPair = 12;
  static constexpr int kProbes = 6;
  static constexpr size_t kBlockBytes = 32;
  // Longer documents share this many bytes: more false positives, never a missed pair.
  static constexpr size_t kMaxBytes = 65536;

  // Starts a new document.
  void Clear() {
    pairs_.clear();
    havePrevious_ = false;
  }
  // A field starts: no pair spans the end of the one before.
  void FieldBreak() { havePrevious_ = false; }
  void Word(std::string_view word) {
    const uint64_t hash = SignatureWordHash(word);
    if (havePrevious_) pairs_.push_back(SignaturePairHash(previous_, hash));
    previous_ = hash;
    havePrevious_ = true;
  }
  size_t PairCount() const { return pairs_.size(); }
  // The signature: a multiple of 8 bytes, at least 8; of kBlockBytes from there on.
  void Make(std::vector<uint8_t>& out) const;

 private:
  std::vector<uint64_t> pairs_;
  uint64_t previous_ = 0;
  bool havePrevious_ = false;
};

}  // namespace tovenmarsh::fulltext
