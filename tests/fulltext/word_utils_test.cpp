// Word utilities: case and folding tables, the tokenizer, like-keys, caret notation, the 3-to-4
// bit encoding, the record quicksort and the small helpers, by tables of cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fulltext/tx_engine.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {
namespace {

TEST(WordUtils, CaseAndFoldingTables) {
  std::string text = "abc\xE9\xFF\xE7z1";
  UpperMap(text);
  EXPECT_EQ(text, "ABC\xC9\x9F\xC7Z1");
  std::string folded = "\xE0\xC5\xE7\xC8\xEF\xF1\xF6\xFC\xFD\xDDx\xFF";
  FoldMap(folded);
  EXPECT_EQ(folded, "AACEINOUYYX\x9F");
  EXPECT_EQ(FoldChar(0xD7), 0xD7);  // the multiplication sign is no letter
}

TEST(WordUtils, LikeKeys) {
  const struct { const char* word; const char* key; } cases[] = {
      {"", "00000"},       {"A", "00000"},       {"ROBERT", "RO163"}, {"BOBBY", "BO100"},
      {"AB", "AB000"},     {"\xC9" "COLE", "EC400"}, {"TEXTS", "TE232"}, {"AAAA", "AA000"},
      {"MA\xC7\xD1ON", "MA250"}, {"PFISTER", "PF236"}, {"LLOYD", "LL300"},
  };
  for (const auto& c : cases) EXPECT_EQ(LikeKey(c.word), c.key) << c.word;
}

std::vector<std::string> Words(const std::string& text, const TDelimSet& delims, size_t max = 40) {
  std::vector<std::string> words;
  const char* p = text.data();
  size_t remaining = text.size();
  for (std::string w; !(w = NextWord(p, remaining, max, delims)).empty();) words.push_back(w);
  return words;
}

TEST(WordUtils, Tokenizer) {
  TDelimSet delims;
  for (char c : std::string(" ,.\r\n")) delims.set(static_cast<uint8_t>(c));
  const struct { std::string text; std::vector<std::string> words; } cases[] = {
      {",,abc", {"abc"}},
      {"", {}},
      {" , . ", {}},
      {"red green\r\nblue.", {"red", "green", "blue"}},
      {std::string(50, 'x') + " y", {std::string(40, 'x'), "y"}},  // the rest of a long word is dropped
      {std::string(50, 'q'), {std::string(40, 'q')}},
      {"a\0b c", {"a"}},  // embedded NUL ends the literal here; see below
  };
  for (const auto& c : cases) EXPECT_EQ(Words(c.text, delims), c.words) << c.text;
  EXPECT_EQ(Words(std::string("a\0b c", 5), delims), (std::vector<std::string>{std::string("a\0b", 3), "c"}));
}

TEST(WordUtils, CaretNotation) {
  const struct { const char* caret; std::string plain; } cases[] = {
      {"^M^J^I", "\r\n\t"}, {"^^", "^"}, {"a^", "a^"}, {"^a", "^a"}, {"^@", "^@"},
      {"^_^A", "\x1F\x01"}, {"^^M", "^M"}, {"x^`", "x^`"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeCaretString(c.caret), c.plain) << c.caret;
  EXPECT_EQ(EncodeCaretString("\r\n\t^"), "^M^J^I^^");
  // Every character round-trips, 0 and 30 included (their caret forms would not).
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  EXPECT_EQ(DecodeCaretString(EncodeCaretString(all)), all);
  EXPECT_EQ(DecodeCaretString(EncodeCaretString(std::string("\x1E^", 2))), std::string("\x1E^", 2));

  // The default and the application's delimiter lists.
  const std::string defaults = kDefaultWordDelims;
  EXPECT_EQ(defaults.size(), 40u);
  const std::string decoded = DecodeCaretString(defaults);
  EXPECT_EQ(decoded.size(), 36u);
  for (char c : std::string("^\r\n\t")) EXPECT_NE(decoded.find(c), std::string::npos);
  EXPECT_EQ(EncodeCaretString(decoded), defaults);
}

TEST(WordUtils, BitEncoding) {
  const struct { std::vector<uint8_t> bytes; const char* text; } cases[] = {
      {{0, 0, 0}, "````"},
      {{0xFF, 0xFF, 0xFF}, "____"},
      {{1, 2}, "`0(`"},
      {{0x41}, "00``"},
      {{}, ""},
      {{1, 2, 3, 4}, "`0(#!```"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBits(c.bytes.data(), c.bytes.size()), c.text);
    std::vector<uint8_t> back(c.bytes.size());
    EXPECT_EQ(DecodeBits(c.text, back.data(), back.size()), c.bytes.size());
    EXPECT_EQ(back, c.bytes);
  }
  EXPECT_EQ(EncodeBits(reinterpret_cast<const uint8_t*>("ab"), 2).size(), 4u);
  uint8_t buffer[8] = {};
  EXPECT_EQ(DecodeBits("abc", buffer, 8), 0u);  // not a multiple of 4
  // A short buffer takes whole groups and the leftover bytes from the next group.
  const uint8_t five[5] = {10, 20, 30, 40, 50};
  const std::string text = EncodeBits(five, 5);
  EXPECT_EQ(DecodeBits(text, buffer, 4), 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{10, 20, 30, 40}));

  std::mt19937 rng(1);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes(rng() % 100);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    const std::string t = EncodeBits(bytes.data(), bytes.size());
    ASSERT_EQ(t.size(), (bytes.size() * 4 / 3 + 3) / 4 * 4);
    for (char ch : t) ASSERT_TRUE(ch >= 33 && ch <= 96) << int(ch);
    std::vector<uint8_t> back(bytes.size());
    ASSERT_EQ(DecodeBits(t, back.data(), back.size()), bytes.size());
    ASSERT_EQ(back, bytes);
  }
}

TEST(WordUtils, SortRecordsAgreesWithStdSort) {
  struct Rec { int32_t key; int32_t payload; };
  std::mt19937 rng(4);
  for (int round = 0; round < 200; ++round) {
    std::vector<Rec> recs(rng() % 300);
    for (auto& r : recs) r = {static_cast<int32_t>(rng() % (round % 2 ? 10 : 100000)), static_cast<int32_t>(rng())};
    std::vector<Rec> sorted = recs;
    SortRecords(sorted.data(), sizeof(Rec), sorted.size(), [](const void* a, const void* b) {
      Rec x, y;
      std::memcpy(&x, a, sizeof x);
      std::memcpy(&y, b, sizeof y);
      return (x.key > y.key) - (x.key < y.key);
    });
    std::vector<int32_t> got, want;
    for (const auto& r : sorted) got.push_back(r.key);
    for (const auto& r : recs) want.push_back(r.key);
    std::sort(want.begin(), want.end());
    ASSERT_EQ(got, want);
  }
}

TEST(WordUtils, SmallHelpers) {
  EXPECT_EQ(PrefixBefore("ABC*D?E", "*?"), "ABC");
  EXPECT_EQ(PrefixBefore("ABC", "*?"), "ABC");
  EXPECT_EQ(PrefixBefore("*X", "*?"), "");
  EXPECT_EQ(Reversed("ABC"), "CBA");
  EXPECT_EQ(BaseFileName("/data/db/words.dat"), "words");
  EXPECT_EQ(BaseFileName("C:\\db\\my.words.dat"), "my");
  EXPECT_EQ(BaseFileName("plain"), "plain");
  for (auto [in, out] : {std::pair{0, 0}, {1, 16}, {16, 16}, {17, 32}, {100, 112}})
    EXPECT_EQ(RoundUp16(in), out);
  EXPECT_EQ(Max(3, -4), 3);
  EXPECT_EQ(Min(3, -4), -4);
}

}  // namespace
}  // namespace tovenmarsh::fulltext
