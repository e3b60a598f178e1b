#include "platform/string_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/stream.h"

namespace tovenmarsh::platform {
namespace {

TEST(StringList, NamesMatchWithoutCaseAndTheFirstMatchWins) {
  TStringList list;
  list.SetText("novalue\r\nKey=first\r\nkey=second\r\n=empty name\r\nOther=a=b\r\n");
  EXPECT_EQ(list.Count(), 5);
  EXPECT_EQ(list.IndexOfName("KEY"), 1);
  EXPECT_EQ(list.Values("kEy"), "first");
  EXPECT_EQ(list.Values("other"), "a=b");  // the value runs from the first "="
  EXPECT_EQ(list.Values("novalue"), "");   // a line without "=" never matches
  EXPECT_EQ(list.IndexOfName("novalue"), -1);
  EXPECT_EQ(list.IndexOfName(""), 3);
  EXPECT_EQ(list.Names(4), "Other");
  EXPECT_EQ(list.ValueFromIndex(0), "");

  list.SetValues("KEY", "changed");  // replaces the first match, keeps the given spelling
  EXPECT_EQ(list[1], "KEY=changed");
  EXPECT_EQ(list[2], "key=second");
  list.SetValues("New", "x");
  EXPECT_EQ(list[list.Count() - 1], "New=x");
  list.SetValues("key", "");  // an empty value removes the line, as the class library does
  EXPECT_EQ(list.Values("key"), "second");
}

TEST(StringList, TextAcceptsEveryLineEndAndWritesCrLf) {
  struct Case { const char* text; std::vector<std::string> lines; };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb\rc", {"a", "b", "c"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"\n", {""}},
  };
  for (const Case& c : cases) {
    TStringList list;
    list.SetText(c.text);
    EXPECT_EQ(list.Lines(), c.lines) << c.text;
  }
  TStringList list;
  list.SetText("x\ny");
  EXPECT_EQ(list.Text(), "x\r\ny\r\n");
}

TEST(StringList, SortIgnoresCaseAndKeepsEqualLinesInOrder) {
  TStringList list;
  list.SetText("b=1\r\nA=2\r\na=3\r\nB=0\r\n_x=4\r\nZ=5\r\nk\r\nK");
  list.Sort();
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"A=2", "a=3", "B=0", "b=1", "k", "K", "Z=5", "_x=4"}));
}

TEST(StringList, FilesRoundTripWithCrLf) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("string_list_" + std::to_string(getpid()))).string();
  TStringList list;
  list.Add("One=1");
  list.Add("");
  list.Add("Two=2");
  list.SaveToFile(path);
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "One=1\r\n\r\nTwo=2\r\n");
  TStringList again;
  again.LoadFromFile(path);
  EXPECT_EQ(again, list);
  std::filesystem::remove(path);
  EXPECT_THROW(again.LoadFromFile(path), EFOpenError);
  EXPECT_THROW(list.SaveToFile("/nonexistent-folder/x.cfg"), EFCreateError);
}

}  // namespace
}  // namespace tovenmarsh::platform
