// Canonical spellings and case-insensitive lookup of table-file names.
#include "platform/file_names.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tovenmarsh::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileNamesTest, CanonicalPaths) {
  const std::string cwd = fs::current_path().string();
  const struct {
    std::string name;
    std::string expected;
  } cases[] = {
      {"/db/account.dat", "/db/account.dat"},
      {"/db/ACCOUNT.IDX", "/db/account.idx"},
      {"  /db/Account.Blb  ", "/db/account.blb"},
      {"/DB/x.DAT", "/DB/x.dat"},  // directories are used as spelled
      {"\\db\\words.DAT", "/db/words.dat"},
      {"/db\\Mixed.DAT", "/db/mixed.dat"},
      {"//db/./a.dat", "/db/a.dat"},
      {"/db/../a.dat", "/db/../a.dat"},  // left to the kernel (symbolic links)
      {"rel.DAT", cwd + "/rel.dat"},
      {"/db/\xC9T\xC9.DAT", "/db/\xC9t\xC9.dat"},  // only ASCII letters fold
      {"", ""},
      {std::string("/db/a\0b.dat", 11), ""},
      {"   ", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CanonicalFilePath(c.name), c.expected) << c.name;
  EXPECT_TRUE(SameFilePath("/db/a.dat", " /db/A.DAT"));
  EXPECT_TRUE(SameFilePath("/db\\A.dat", "/db/a.DAT"));
  EXPECT_FALSE(SameFilePath("/DB/a.dat", "/db/a.dat"));
  EXPECT_EQ(DirectoryOfPath("/db/a.dat"), "/db/");
  EXPECT_EQ(FinalComponent("/db/a.dat"), "a.dat");
  EXPECT_EQ(TrimFileName("\t a b \t"), "a b");
  EXPECT_EQ(FoldFileNameCase("AbC.\xC9"), "abc.\xC9");
}

TEST(FileNamesTest, ResolvePrefersTheCanonicalSpellingThenAnyCase) {
  std::string pattern = (fs::temp_directory_path() / "tm_names_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string dir = pattern;
  auto touch = [&](const char* name) { std::ofstream(dir + "/" + name) << "x"; };
  bool found = true;
  EXPECT_EQ(ResolveFilePath(dir + "/a.dat", &found), dir + "/a.dat");
  EXPECT_FALSE(found);
  touch("B.DAT");
  touch("b.Dat");
  EXPECT_EQ(ResolveFilePath(dir + "/b.dat", &found), dir + "/B.DAT");  // first in byte order
  EXPECT_TRUE(found);
  touch("b.dat");
  EXPECT_EQ(ResolveFilePath(dir + "/B.dAT", &found), dir + "/b.dat");  // canonical wins
  EXPECT_TRUE(found);
  EXPECT_EQ(ResolveFilePath(dir + "/nodir/b.dat", &found), dir + "/nodir/b.dat");
  EXPECT_FALSE(found);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tovenmarsh::platform
