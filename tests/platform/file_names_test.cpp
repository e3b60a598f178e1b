// Canonical spellings and case-insensitive lookup of table-file names.
#include "platform/file_names.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

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

// A directory settled for a while has its listing kept for the lookups of missing files. Every
// change after that, however soon, shows in the next lookup: the other spelling appears, goes,
// moves to another name.
TEST(FileNamesTest, LookupsSeeEveryChangeOfASettledDirectory) {
  std::string pattern = (fs::temp_directory_path() / "tm_names_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string dir = pattern;
  auto touch = [&](const char* name) { std::ofstream(dir + "/" + name) << "x"; };
  // Longer than the times' resolution a listing waits for.
  auto settle = [] { usleep(250 * 1000); };
  auto resolve = [&](const char* name) {
    bool found = false;
    const std::string path = ResolveFilePath(dir + "/" + name, &found);
    return found ? path.substr(dir.size() + 1) : std::string("-");
  };
  touch("other.dat");
  // Each step: a lookup of the settled directory (its listing kept), the change, the lookup.
  const struct {
    std::function<void()> Change;
    const char* Name;
    const char* Expected;  // the spelling found, "-" for none
  } steps[] = {
      {[] {}, "x.jnl", "-"},
      {[&] { touch("X.JNL"); }, "x.jnl", "X.JNL"},
      {[&] { fs::remove(dir + "/X.JNL"); }, "x.jnl", "-"},
      {[&] { touch("x.Jnl"); }, "x.jnl", "x.Jnl"},
      {[&] { fs::rename(dir + "/x.Jnl", dir + "/Y.JNL"); }, "x.jnl", "-"},
      {[] {}, "y.jnl", "Y.JNL"},
      {[&] { touch("Y.jnl"); }, "y.jnl", "Y.JNL"},  // the first in byte order
      {[&] { fs::remove(dir + "/Y.JNL"); }, "y.jnl", "Y.jnl"},
  };
  int n = 0;
  for (const auto& step : steps) {
    settle();
    (void)resolve(step.Name);
    step.Change();
    EXPECT_EQ(resolve(step.Name), step.Expected) << "step " << n;
    ++n;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tovenmarsh::platform
