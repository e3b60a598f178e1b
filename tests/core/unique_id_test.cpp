#include "core/unique_id.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "core/file_version.h"
#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "platform/date_time.h"
#include "platform/paths.h"
#include "platform/stream.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

TEST(UniqueId, GroupsCarryTheClockAndTheCallersNumber) {
  const platform::TDateTime before = platform::Now();
  const std::string id = MakeUniqueId(0x1234);
  ASSERT_EQ(id.size(), 37u);
  EXPECT_EQ(HexToInt(id.substr(0, 8)), static_cast<int>(std::floor(before)));
  const int fraction = HexToInt(id.substr(9, 8));
  EXPECT_NEAR(fraction, (before - std::floor(before)) * 10000, 2.0);
  EXPECT_EQ(id.substr(32), "01234");
  EXPECT_EQ(MakeUniqueId(0xFFFFF).substr(32), "FFFFF");
  EXPECT_EQ(MakeUniqueId(0x123456).size(), 37u);  // larger numbers keep the length
  EXPECT_EQ(MakeUniqueId(-1).size(), 37u);
  // Consecutive ids differ in the fourth group even within one tick.
  EXPECT_NE(MakeUniqueId(1).substr(27, 4), MakeUniqueId(1).substr(27, 4));
}

TEST(UniqueId, TempFileNamesLieInTheTemporaryFolder) {
  const std::string name = MakeTempFileName();
  const std::string folder = SystemParameters().TempFolder();
  ASSERT_EQ(name.substr(0, folder.size()), folder);
  EXPECT_EQ(name.size(), folder.size() + 37);
  EXPECT_EQ(name.substr(name.size() - 5), "00000");
}

TEST(UniqueId, CreateUniqueFileReportsAFolderThatCannotTakeIt) {
  testing::TempFolder folder;
  const std::string path = CreateUniqueFile(folder.Path(), 3, ".eml");
  EXPECT_TRUE(platform::FileExists(path));
  EXPECT_EQ(path.size(), folder.Path().size() + 37 + 4);
  EXPECT_THROW(CreateUniqueFile(folder.Path() + "missing/", 3), platform::EFCreateError);
}

TEST(FileVersion, OwnExecutableHasTheBuildVersionOthersNone) {
  std::string text = "stale";
  int number = -1;
  EXPECT_TRUE(GetFileVersion(platform::ExecutablePath(), text, number));
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(number, VersionDigitsToInt(text));
  EXPECT_FALSE(GetFileVersion("/bin/sh", text, number));
  EXPECT_EQ(text, "");
  EXPECT_EQ(number, 0);
  struct Case { const char* text; int number; };
  const Case cases[] = {{"1.2.3.4", 1234}, {"0.1.0", 10}, {"", 0}, {"beta", 0}, {"v2 build 17", 217},
                        {"9.9.9.9.9.9.9.9.9.9", 0}, {"2147483647", 2147483647}};
  for (const Case& c : cases) EXPECT_EQ(VersionDigitsToInt(c.text), c.number) << c.text;
}

}  // namespace
}  // namespace tovenmarsh::core
