// "STR0" tables: the embedded tables generated from the message files, the loader's errors,
// validation of damaged tables, and the texts that errors carry.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "fulltext/cl_errors.h"
#include "fulltext/string_resource.h"

namespace tovenmarsh::fulltext {
namespace {

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int k = 0; k < 4; ++k) s[static_cast<size_t>(k)] = static_cast<char>(v >> (8 * k));
  return s;
}

// A table of (id, text) built by hand, texts as UTF-16 units.
std::string Table(const std::vector<std::pair<uint32_t, std::u16string>>& entries) {
  std::string head = "STR0" + U32(static_cast<uint32_t>(entries.size()));
  std::string texts;
  const size_t base = 8 + 12 * entries.size();
  for (const auto& [id, text] : entries) {
    head += U32(id) + U32(static_cast<uint32_t>(base + texts.size())) + U32(static_cast<uint32_t>(text.size()));
    for (char16_t u : text) texts += std::string{static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  }
  return head + texts;
}

TEST(StringResource, EmbeddedTables) {
  const TClStringResource& sys = SysToolsStrings();
  EXPECT_EQ(sys.GetString(55), "Index is out of range");
  EXPECT_EQ(sys.GetString(56), "");  // unknown ids give an empty text
  EXPECT_EQ(sys.GetString(-1), "");
  EXPECT_EQ(LoaderStrings().GetString(5), "Invalid string resource");

  const struct { int code; const char* text; } codes[] = {
      {30464, "Code array full"}, {30470, "Decompress buffer too small"},
      {30480, "Invalid parameter"}, {30496, "ReadOnly property"},
      {30504, "Leading wildcard not supported"}, {54, "Attempt to add duplicate node to TClTree"},
  };
  for (const auto& c : codes) {
    try {
      RaiseTextIndex(c.code);
    } catch (const ETextIndex& e) {
      EXPECT_EQ(e.Code(), c.code);
      EXPECT_EQ(e.Message(), c.text);
      EXPECT_STREQ(e.ClassName(), "ETextIndex");
    }
  }
  for (int code = 30464; code <= 30504; ++code) EXPECT_FALSE(sys.GetString(code).empty()) << code;
}

// The embedded tables hold exactly the texts of the message files they were generated from.
TEST(StringResource, EmbeddedTablesMatchTheMessageFiles) {
  const struct { const char* file; const TClStringResource& table; } sources[] = {
      {"STSRMGR_STRINGS.txt", LoaderStrings()},
      {"SYSTOOLS_STRINGS_ENGLISH.txt", SysToolsStrings()},
  };
  for (const auto& source : sources) {
    std::ifstream in(std::string(TM_SOURCE_DIR) + "/src/fulltext/messages/" + source.file);
    ASSERT_TRUE(in) << source.file;
    int entries = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      const size_t eq = line.find('=');
      ASSERT_NE(eq, std::string::npos) << line;
      EXPECT_EQ(source.table.GetString(std::stoll(line.substr(0, eq))), line.substr(eq + 1));
      ++entries;
    }
    EXPECT_GT(entries, 4);
  }
}

TEST(StringResource, LoaderErrors) {
  TMemoryResourceModule module;
  module.Add("GOOD", Table({{1, u"one"}, {7, u"seven %d"}, {300, u"\u20ac uro \u00e9\u4e2d"}}));
  module.Add("NOTSTR", "STRX" + U32(0));
  TClStringResource strings(module, "good");  // names ignore case
  EXPECT_EQ(strings.GetString(7), "seven %d");
  EXPECT_EQ(strings.GetString(300), "\x80 uro \xE9?");  // to Windows-1252
  EXPECT_EQ(strings.GetString(2), "");
  strings.RaiseNotFound = true;
  try {
    strings.GetString(2);
    FAIL();
  } catch (const ETpsStringResourceError& e) {
    EXPECT_EQ(e.Message(), "String not found: 2");
  }

  const struct { const char* name; const char* message; } failures[] = {
      {"NOTSTR", "Invalid string resource"},
      {"MISSING", "String resource not found: MISSING"},
  };
  for (const auto& f : failures) {
    try {
      TClStringResource r(module, f.name);
      ADD_FAILURE() << f.name;
    } catch (const ETpsStringResourceError& e) {
      EXPECT_EQ(e.Message(), f.message);
    }
  }
  TClStringResource closed;
  try {
    closed.GetString(1);
    FAIL();
  } catch (const ETpsStringResourceError& e) {
    EXPECT_EQ(e.Message(), "Cannot lock resource");
  }
}

TEST(StringResource, DamagedTablesAreRefused) {
  const std::string good = Table({{1, u"one"}, {2, u"two"}});
  std::vector<std::string> bad = {
      "", "STR", "STR0", "STR0" + U32(1),                       // too short for its entries
      "STR0" + U32(0x40000000),                                 // a count far beyond the bytes
      Table({{2, u"b"}, {1, u"a"}}),                            // ids not ascending
      Table({{1, u"a"}, {1, u"b"}}),                            // a repeated id
  };
  std::string pastEnd = good;
  pastEnd.replace(16, 4, U32(1000));  // the first text's length runs past the table
  bad.push_back(pastEnd);
  std::string offsetPastEnd = good;
  offsetPastEnd.replace(12, 4, U32(0xFFFFFFF0));
  bad.push_back(offsetPastEnd);
  bad.push_back(good.substr(0, good.size() - 1));  // last text cut short
  EXPECT_TRUE(IsValidStringTable(good));
  for (size_t i = 0; i < bad.size(); ++i) {
    EXPECT_FALSE(IsValidStringTable(bad[i])) << i;
    TMemoryResourceModule module;
    module.Add("T", bad[i]);
    EXPECT_THROW(TClStringResource(module, "T"), ETpsStringResourceError) << i;
  }
}

TEST(StringResource, MessageArguments) {
  EXPECT_EQ(FormatMessageText("Node class name %s read from stream is unregistered", "TX"),
            "Node class name TX read from stream is unregistered");
  EXPECT_EQ(FormatMessageText("no argument", "x"), "no argument");
  EXPECT_EQ(FormatMessageText("100%% %n %s", "ok"), "100%% %n ok");  // never printf
  try {
    RaiseContainerError(kClContainerClassUnregistered, "TFoo");
  } catch (const EClContainerError& e) {
    EXPECT_EQ(e.Message(), "Container class name TFoo read from stream is unregistered");
    EXPECT_EQ(e.Code(), 57);
  }
}

}  // namespace
}  // namespace tovenmarsh::fulltext
