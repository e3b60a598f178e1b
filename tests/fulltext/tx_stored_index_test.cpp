// The full-text index over stored tables: a build into words.dat over a documents table, the
// words table's format and navigation, reopening, updates, and every search compared with a
// brute-force model and with the same index built over the in-memory links.
#include <gtest/gtest.h>

#include <random>

#include "fulltext/cl_errors.h"
#include "fulltext/tx_make.h"
#include "fulltext/tx_utils.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

[[maybe_unused]] std::string Up(std::string s) {
  UpperMap(s);
  return s;
}

TEST(StoredIndex, BuildReopenAndSearch) {
  TStoredIndex idx;
  idx.Put(10, "Red car", "a red car and a blue bike");
  idx.Put(11, "Blue sky", "green grass, blue sky");
  idx.Put(13, "Green", "red green blue");
  idx.Build();
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Counts().at("RED"), 2);
  EXPECT_EQ(idx.Run("red", slAnd), (TDocSet{10, 13}));
  idx.Reopen();
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Run("red", slAnd), (TDocSet{10, 13}));
  EXPECT_EQ(idx.Run("red or sky", slSmart), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("\"red car\"", slSmart), (TDocSet{10}));
  EXPECT_EQ(idx.Run("bl*", slAnd), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("*ue", slAnd), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("grene", slLike), (TDocSet{11, 13}));
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
