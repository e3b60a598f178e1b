#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/build_version.h"

namespace tovenmarsh::platform {
namespace {

TEST(Paths, ExecutableAndItsFolder) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe, std::filesystem::canonical("/proc/self/exe").string());
  const std::string folder = ExtractFilePath(exe);
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(folder + ExtractFileName(exe), exe);
  EXPECT_EQ(ExtractFilePath("name"), "");
  EXPECT_EQ(ExtractFileName("/a/b/"), "");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
  EXPECT_EQ(IncludeTrailingPathDelimiter(""), "");
}

TEST(Paths, TemporaryFolderFromTmpdirWithinTheSystemLimit) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  struct Case { const char* tmpdir; std::string expected; };
  const std::string tooLong = "/" + std::string(126, 'x');  // with its "/" 128 characters
  const Case cases[] = {{nullptr, "/tmp/"}, {"", "/tmp/"}, {"/var/tmp", "/var/tmp/"}, {"/t/", "/t/"},
                        {tooLong.c_str(), ""}};
  for (const Case& c : cases) {
    if (c.tmpdir) {
      setenv("TMPDIR", c.tmpdir, 1);
    } else {
      unsetenv("TMPDIR");
    }
    EXPECT_EQ(SystemTempFolder(), c.expected) << (c.tmpdir ? c.tmpdir : "(unset)");
  }
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(Paths, FoldersAreCreatedOneLevelAtATime) {
  const std::string base =
      (std::filesystem::temp_directory_path() / ("paths_" + std::to_string(getpid()))).string();
  EXPECT_FALSE(DirectoryExists(base));
  EXPECT_FALSE(CreateDir(base + "/a/b"));  // the parent must exist
  EXPECT_TRUE(CreateDir(base));
  EXPECT_TRUE(DirectoryExists(base));
  EXPECT_FALSE(FileExists(base));
  EXPECT_FALSE(CreateDir(base));  // already there
  std::filesystem::remove_all(base);
}

TEST(BuildVersion, IsTheProjectVersion) {
  const std::string version = BuildVersionText();
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;
}

}  // namespace
}  // namespace tovenmarsh::platform
