// The default web folder: every file the pages need is shipped, written where it is missing,
// and a file that is there (changed by the user or not) is never replaced.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "web/app/web_default_files.h"

namespace tovenmarsh::web {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Shipped(const std::string& name) {
  for (const TDefaultWebFile& file : DefaultWebFiles()) {
    if (file.name == name) return std::string(file.bytes);
  }
  return "";
}

TEST(DefaultWebFiles, ShipWhatThePagesNeed) {
  std::vector<std::string> names;
  for (const TDefaultWebFile& file : DefaultWebFiles()) names.push_back(file.name);
  EXPECT_EQ(names, (std::vector<std::string>{"menu.js", "searchform.html", "template.html", "tovenmarsh.css"}));
  // The same bytes as the repository's webroot/.
  for (const std::string& name : names) {
    EXPECT_EQ(Shipped(name), ReadFile(std::string(TM_SOURCE_DIR) + "/webroot/" + name)) << name;
  }
  const std::string page = Shipped("template.html");
  for (const char* tag : {"#version", "#menu", "#description", "#content", "/tovenmarsh.css", "/menu.js"}) {
    EXPECT_NE(page.find(tag), std::string::npos) << tag;
  }
  EXPECT_NE(Shipped("searchform.html").find("action=\"/searchfor\""), std::string::npos);
  EXPECT_NE(Shipped("menu.js").find("function DrawMenu("), std::string::npos);
}

TEST(DefaultWebFiles, WrittenOnlyWhereMissing) {
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("webroot_test_" + std::to_string(getpid()))).string() + "/";
  std::filesystem::create_directories(folder);
  std::vector<std::string> all = InstallDefaultWebFiles(folder);
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.size(), DefaultWebFiles().size());
  for (const TDefaultWebFile& file : DefaultWebFiles()) {
    EXPECT_EQ(ReadFile(folder + file.name), file.bytes) << file.name;
  }
  // A file the user changed stays; one the user removed comes back; nothing else is touched.
  std::ofstream(folder + "template.html", std::ios::binary) << "<p>mine #content</p>";
  std::filesystem::remove(folder + "menu.js");
  EXPECT_EQ(InstallDefaultWebFiles(folder), std::vector<std::string>{"menu.js"});
  EXPECT_EQ(ReadFile(folder + "template.html"), "<p>mine #content</p>");
  EXPECT_EQ(ReadFile(folder + "menu.js"), Shipped("menu.js"));
  EXPECT_EQ(InstallDefaultWebFiles(folder), std::vector<std::string>{});
  // A folder that cannot be written: nothing is written and nothing raises.
  EXPECT_EQ(InstallDefaultWebFiles(folder + "missing/"), std::vector<std::string>{});
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace tovenmarsh::web
