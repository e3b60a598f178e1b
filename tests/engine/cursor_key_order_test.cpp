// Key order and key searches of the cursor: string keys in unsigned byte order both ways, a
// partial key on a descending index (with and without a language) finding its first match, and
// a key search under filters that finds nothing visible after the key.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::Field;
using testing::Index;

class CursorKeyOrderTest : public testing::EngineDirectoryTest {
 protected:
  static std::vector<uint8_t> Buffer(TDataCursor& c) { return std::vector<uint8_t>(c.GetRecordSize()); }
  static int32_t Int(TDataCursor& c, const std::vector<uint8_t>& b, uint32_t field) {
    int32_t v = 0;
    c.GetFieldData(field, b.data(), &v);
    return v;
  }
  static void Insert(TDataCursor& c, std::initializer_list<std::pair<uint32_t, int32_t>> values) {
    std::vector<uint8_t> b = Buffer(c);
    c.InitRecord(b.data());
    for (auto [f, v] : values) c.SetFieldData(f, b.data(), &v);
    c.InsertRecord(b.data(), true);
  }
  static bool Find(TDataCursor& c, int32_t key, std::vector<uint8_t>& out) {
    std::vector<uint8_t> probe = Buffer(c);
    c.InitRecord(probe.data());
    c.SetFieldData(1, probe.data(), &key);
    return c.FindKey(probe.data(), false, out.data(), 0, false, 0);
  }
};

// String keys without a language, of odd lengths and with bytes above 0x7F, in an ascending and
// a descending index: the index order is the unsigned byte order of the values (reversed when
// descending), and every value is found by its key.
TEST_F(CursorKeyOrderTest, StringKeysOrderByUnsignedBytes) {
  TTableDefinition d;
  d.Data.Fields = {Field("S", fldZString, 13), Field("N", fldInt32)};
  IndexDesc down = Index("Down", {1, 2}, false);
  down.Descending = true;
  down.FieldDescending[0] = down.FieldDescending[1] = 1;
  d.Indexes = {Index("", {2}, true), Index("Up", {1, 2}, false), down};
  Create("strings", d);
  TDataCursor& c = Open("strings");
  std::mt19937 rng(7);
  std::vector<std::pair<std::string, int32_t>> values;
  for (int32_t n = 1; n <= 400; ++n) {
    std::string v;
    const int length = static_cast<int>(rng() % 14);
    for (int i = 0; i < length; ++i) {
      // Mostly bytes either side of 0x80 and shared prefixes, so that compares reach deep.
      const uint32_t kind = rng() % 4;
      v += static_cast<char>(kind == 0 ? 0x7F + rng() % 3 : kind == 1 ? 0xFF - rng() % 2 : kind == 2 ? 'a' : 1 + rng() % 255);
    }
    values.push_back({v, n});
    std::vector<uint8_t> r = Buffer(c);
    c.InitRecord(r.data());
    c.SetFieldData(1, r.data(), v.c_str());
    c.SetFieldData(2, r.data(), &n);
    c.InsertRecord(r.data(), false);
  }
  auto unsignedLess = [](const std::pair<std::string, int32_t>& x, const std::pair<std::string, int32_t>& y) {
    const int c = std::memcmp(x.first.data(), y.first.data(), std::min(x.first.size(), y.first.size()));
    if (c != 0) return c < 0;
    if (x.first.size() != y.first.size()) return x.first.size() < y.first.size();
    return x.second < y.second;
  };
  std::vector<std::pair<std::string, int32_t>> sorted = values;
  std::sort(sorted.begin(), sorted.end(), unsignedLess);
  for (const char* index : {"Up", "Down"}) {
    SCOPED_TRACE(index);
    c.SwitchToIndex(index);
    std::vector<int32_t> expected, got;
    for (const auto& v : sorted) expected.push_back(v.second);
    if (std::string(index) == "Down") std::reverse(expected.begin(), expected.end());
    std::vector<uint8_t> b = Buffer(c);
    c.First();
    while (c.GetNextRecord(b.data()) == 0) got.push_back(Int(c, b, 2));
    EXPECT_EQ(got, expected);
    for (const auto& [v, n] : values) {
      std::vector<uint8_t> k = Buffer(c);
      c.InitRecord(k.data());
      c.SetFieldData(1, k.data(), v.c_str());
      c.SetFieldData(2, k.data(), &n);
      ASSERT_TRUE(c.FindKey(k.data(), false, b.data(), 0, false, 2)) << n;
      EXPECT_EQ(Int(c, b, 2), n);
    }
  }
}

// Fault: a partial FindKey on a descending index pads the rest of the key with 0xFF, not with the
// collation's highest character; in a table with a language it passes over the first match.
TEST_F(CursorKeyOrderTest, PartialFindKeyOnDescendingIndexFindsTheFirstMatch) {
  for (uint16_t language : {uint16_t(0), uint16_t(1033)}) {
    SCOPED_TRACE(language);
    TTableDefinition d;
    d.Data.LanguageId = language;
    d.Data.Fields = {Field("Name", fldZString, 10), Field("N", fldInt32)};
    IndexDesc desc = Index("Down", {1}, true);
    desc.Descending = true;
    d.Indexes = {Index("", {2}, true), desc};
    const std::string table = "names" + std::to_string(language);
    Create(table, d);
    TDataCursor& c = Open(table);
    int32_t n = 0;
    for (const char* name : {"aa", "abc", "aby", "abz", "ac"}) {
      std::vector<uint8_t> b = Buffer(c);
      c.InitRecord(b.data());
      ++n;
      c.SetFieldData(1, b.data(), name);
      c.SetFieldData(2, b.data(), &n);
      c.InsertRecord(b.data(), true);
    }
    c.SwitchToIndex("Down");
    std::vector<uint8_t> b = Buffer(c), r = Buffer(c);
    c.First();
    std::vector<std::string> order;
    while (c.GetNextRecord(r.data()) == 0) order.push_back(reinterpret_cast<const char*>(r.data() + c.GetFieldDesc(1).Offset + 1));
    EXPECT_EQ(order, (std::vector<std::string>{"ac", "abz", "aby", "abc", "aa"}));
    c.InitRecord(b.data());
    c.SetFieldData(1, b.data(), "ab");
    EXPECT_TRUE(c.FindKey(b.data(), false, r.data(), 2, true, 0));
    EXPECT_STREQ(reinterpret_cast<const char*>(r.data() + c.GetFieldDesc(1).Offset + 1), "abz");
    EXPECT_EQ(c.GetRecNo(), 2);
  }
}

// A key search under filters that finds no visible record at or after the key takes the
// nearest visible record backward as the current record: no EOF crack.
TEST_F(CursorKeyOrderTest, FilteredSeekTakesTheNearestRecordBackward) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("near", d);
  TDataCursor& c = Open("near");
  for (int32_t k = 1; k <= 5; ++k) Insert(c, {{1, k}, {2, k}});
  std::vector<uint8_t> r = Buffer(c);
  ASSERT_TRUE(Find(c, 4, r));
  TFilter* f = c.AddFilter(nullptr, "B < 3", false, false, false, false);
  c.ActivateFilter(f);  // repositions on key 4, hidden now, with nothing visible after it
  ASSERT_EQ(c.GetCurrentRecord(r.data()), 0);
  EXPECT_EQ(Int(c, r, 1), 2);
  EXPECT_EQ(c.GetRecNo(), 2);
  EXPECT_EQ(c.GetNextRecord(r.data()), kErrEndOfFile);
  EXPECT_EQ(c.GetPriorRecord(r.data()), 0);
  EXPECT_EQ(Int(c, r, 1), 2);  // from the EOF crack back onto the last visible record
  EXPECT_EQ(c.GetPriorRecord(r.data()), 0);
  EXPECT_EQ(Int(c, r, 1), 1);
}

}  // namespace
}  // namespace tovenmarsh::engine
