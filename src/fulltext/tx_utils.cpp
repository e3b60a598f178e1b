// Word utilities: case tables, tokenizer, like-keys, caret notation, bit-data text encoding.
#include "fulltext/tx_utils.h"

#include <array>
#include <cstring>
#include <vector>

#include "platform/win1252.h"

namespace tovenmarsh::fulltext {
namespace {

struct Tables {
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> fold{};
  std::array<char, 256> like{};  // like digit or 0

  Tables() {
    for (int c = 0; c < 256; ++c) {
      upper[c] = platform::Win1252Upper(static_cast<uint8_t>(c));
      fold[c] = upper[c];
      like[c] = 0;
    }
    auto fold_range = [this](int from, int to, char base) {
      for (int c = from; c <= to; ++c) fold[c] = static_cast<uint8_t>(base);
    };
    fold_range(192, 197, 'A'), fold_range(224, 229, 'A');
    fold_range(199, 199, 'C'), fold_range(231, 231, 'C');
    fold_range(200, 203, 'E'), fold_range(232, 235, 'E');
    fold_range(204, 207, 'I'), fold_range(236, 239, 'I');
    fold_range(209, 209, 'N'), fold_range(241, 241, 'N');
    fold_range(210, 214, 'O'), fold_range(242, 246, 'O');
    fold_range(217, 220, 'U'), fold_range(249, 252, 'U');
    fold_range(221, 221, 'Y'), fold_range(253, 253, 'Y');
    auto digit = [this](const char* letters, char d) {
      for (const char* p = letters; *p != 0; ++p) {
        like[static_cast<uint8_t>(*p)] = d;
        like[static_cast<uint8_t>(*p) + 32] = d;  // lower case
      }
    };
    digit("BFPV", '1');
    digit("CGJKQSXZ", '2');
    digit("DT", '3');
    digit("L", '4');
    digit("MN", '5');
    digit("R", '6');
    like[199] = like[231] = '2';
    like[209] = like[241] = '5';
  }
};

const Tables& T() {
  static const Tables tables;
  return tables;
}

}  // namespace

uint8_t UpperChar(uint8_t c) { return T().upper[c]; }
uint8_t FoldChar(uint8_t c) { return T().fold[c]; }
const uint8_t* FoldTable() { return T().fold.data(); }
const uint8_t* UpperTable() { return T().upper.data(); }

void UpperMap(char* buffer, size_t length) {
  const auto& t = T().upper;
  for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char>(t[static_cast<uint8_t>(buffer[i])]);
}
void UpperMap(std::string& text) { UpperMap(text.data(), text.size()); }

void FoldMap(char* buffer, size_t length) {
  const auto& t = T().fold;
  for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char>(t[static_cast<uint8_t>(buffer[i])]);
}
void FoldMap(std::string& text) { FoldMap(text.data(), text.size()); }

std::string NextWord(const char*& position, size_t& remaining, size_t maximum,
                     const TDelimSet& delimiters) {
  // operator[] rather than test(): a byte is always inside the set, and the range check cost
  // shows in every build and phrase verification.
  while (remaining > 0 && delimiters[static_cast<uint8_t>(*position)]) ++position, --remaining;
  const char* start = position;
  while (remaining > 0 && !delimiters[static_cast<uint8_t>(*position)]) ++position, --remaining;
  const size_t length = static_cast<size_t>(position - start);
  return std::string(start, length < maximum ? length : maximum);
}

std::string LikeKey(std::string_view word) {
  std::string key = "00000";
  if (word.size() < 2) return key;
  key[0] = static_cast<char>(FoldChar(static_cast<uint8_t>(word[0])));
  key[1] = static_cast<char>(FoldChar(static_cast<uint8_t>(word[1])));
  size_t written = 2;
  for (size_t i = 2; i < word.size() && written < 5; ++i) {
    const char d = T().like[static_cast<uint8_t>(word[i])];
    if (d == 0 || d == key[written - 1]) continue;
    key[written++] = d;
  }
  return key;
}

std::string PrefixBefore(std::string_view text, std::string_view characters) {
  const size_t at = text.find_first_of(characters);
  return std::string(text.substr(0, at));
}

std::string Reversed(std::string_view text) { return std::string(text.rbegin(), text.rend()); }

std::string DecodeCaretString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '^' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '^') {
        out.push_back('^');
        ++i;
        continue;
      }
      if (next >= 'A' && next <= '_') {
        out.push_back(static_cast<char>(next - 64));
        ++i;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string EncodeCaretString(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<uint8_t>(c);
    if (c == '^') {
      out += "^^";
    } else if (u < 32 && u != 0 && u != 30) {
      out.push_back('^');
      out.push_back(static_cast<char>(u + 64));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string BaseFileName(std::string_view path) {
  const size_t slash = path.find_last_of("/\\:");
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return std::string(name.substr(0, name.find('.')));
}

void SortRecords(void* array, size_t recordSize, size_t count,
                 const std::function<int(const void*, const void*)>& compare) {
  if (count < 2 || recordSize == 0) return;
  auto* base = static_cast<unsigned char*>(array);
  std::vector<unsigned char> pivot(recordSize), swap(recordSize);
  auto at = [&](int64_t i) { return base + static_cast<size_t>(i) * recordSize; };
  // Recurse into the smaller side and loop over the larger one, so the depth stays logarithmic.
  std::function<void(int64_t, int64_t)> sort = [&](int64_t lo, int64_t hi) {
    while (hi - lo >= 1) {
      std::memcpy(pivot.data(), at(lo + (hi - lo) / 2), recordSize);
      int64_t l = lo, r = hi;
      while (l <= r) {
        while (l < hi && compare(pivot.data(), at(l)) > 0) ++l;
        while (r > lo && compare(at(r), pivot.data()) > 0) --r;
        if (l <= r) {
          if (l != r) {
            std::memcpy(swap.data(), at(l), recordSize);
            std::memcpy(at(l), at(r), recordSize);
            std::memcpy(at(r), swap.data(), recordSize);
          }
          ++l;
          --r;
        }
      }
      if (r - lo < hi - l) {
        if (lo < r) sort(lo, r);
        lo = l;
      } else {
        if (l < hi) sort(l, hi);
        hi = r;
      }
    }
  };
  sort(0, static_cast<int64_t>(count) - 1);
}

std::string EncodeBits(const uint8_t* bytes, size_t count) {
  std::string out;
  out.reserve((count + 2) / 3 * 4);
  auto put = [&out](unsigned v) { out.push_back(static_cast<char>(v == 0 ? 96 : v + 32)); };
  for (size_t i = 0; i < count; i += 3) {
    const unsigned b0 = bytes[i];
    const unsigned b1 = i + 1 < count ? bytes[i + 1] : 0;
    const unsigned b2 = i + 2 < count ? bytes[i + 2] : 0;
    put(b0 >> 2);
    put(((b0 << 4) & 0x30) + (b1 >> 4));
    put(((b1 << 2) & 0x3C) + (b2 >> 6));
    put(b2 & 0x3F);
  }
  return out;
}

size_t DecodeBits(std::string_view text, uint8_t* buffer, size_t count) {
  if (text.size() % 4 != 0) return 0;
  const size_t groups = text.size() / 4;
  const size_t total = count < groups * 3 ? count : groups * 3;
  auto v = [&text](size_t k) { return static_cast<unsigned>(static_cast<uint8_t>(text[k]) - 32) & 0x3F; };
  size_t written = 0;
  for (size_t g = 0; g < groups && written < total; ++g) {
    const unsigned c0 = v(4 * g), c1 = v(4 * g + 1), c2 = v(4 * g + 2), c3 = v(4 * g + 3);
    const uint8_t out[3] = {static_cast<uint8_t>((c0 << 2) | (c1 >> 4)),
                            static_cast<uint8_t>(((c1 & 0x0F) << 4) | (c2 >> 2)),
                            static_cast<uint8_t>(((c2 & 0x03) << 6) | c3)};
    for (int k = 0; k < 3 && written < total; ++k) buffer[written++] = out[k];
  }
  return written;
}

}  // namespace tovenmarsh::fulltext
