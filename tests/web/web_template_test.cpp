// Page templates: loading, tag replacement, and a page assembled the way the application does
// it, where data placed into "#content" must not be caught by later placeholder substitution.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/system_parameters.h"
#include "platform/stream.h"
#include "support/web_test_support.h"
#include "web/app/web_table.h"
#include "web/app/web_template.h"

namespace tovenmarsh::web {
namespace {

const char kTemplate[] =
    "<html><head><title>tovenmarsh #version</title></head>\r\n"
    "<body><script>#menu</script><p>#description</p>\r\n#content\r\n"
    "<p><#VERSION></p><#CONTENT><#content></body></html>";

class WebTemplateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() /
            ("tm_web_template_" + std::to_string(::getpid()) + ".html");
    std::ofstream(path_, std::ios::binary) << kTemplate;
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::filesystem::path path_;
};

TEST_F(WebTemplateTest, ReplacesEveryOccurrenceCaseSensitively) {
  TWebTemplate page;
  page.LoadFromPath(path_.string());
  EXPECT_EQ(page.Text(), kTemplate);
  page.ReplaceVersion("1.0.7");
  page.ReplaceContent("<p>boom</p>");
  page.ReplaceTag("#version", "1.0.7");
  page.ReplaceTag("#content", "[C]");
  EXPECT_EQ(page.Text(),
            "<html><head><title>tovenmarsh 1.0.7</title></head>\r\n"
            "<body><script>#menu</script><p>#description</p>\r\n[C]\r\n"
            "<p>1.0.7</p><p>boom</p><[C]></body></html>");
  page.ReplaceTag("", "x");  // an empty tag changes nothing
  EXPECT_NE(page.Text().find("#menu"), std::string::npos);
}

TEST_F(WebTemplateTest, MissingFileRaises) {
  TWebTemplate page;
  EXPECT_THROW(page.LoadFromPath(path_.string() + ".missing"), platform::EFOpenError);
}

TEST_F(WebTemplateTest, LoadsFromTheWebFolder) {
  const std::string folder = core::SystemParameters().WebFolder();
  std::filesystem::create_directories(folder);
  const std::string name = "tm_web_template_test_" + std::to_string(::getpid()) + ".html";
  std::ofstream(folder + name, std::ios::binary) << "x#content";
  TWebTemplate page;
  page.LoadFromFile(name);
  std::filesystem::remove(folder + name);
  EXPECT_EQ(page.Text(), "x#content");
}

TEST_F(WebTemplateTest, DataCannotTriggerPlaceholders) {
  TWebTemplate page;
  page.LoadFromPath(path_.string());
  TWebTable table;
  table.SetSize(1, 1);
  table.Cell(0, 0).Text = "#newurl #sameurl #description #menu " + std::string(testing::kHostileValue);
  table.Cell(0, 0).Link = "h/p?key=1&#newurl";
  page.ReplaceTag("#content", table.GetHTML());
  page.ReplaceTag("#description", "Choose a company from the list.");
  page.ReplaceTag("#newurl", "action=11&steps=12&do=U");
  page.ReplaceTag("#menu", "HM_Array1=[];");
  const std::string& text = page.Text();
  // The link's own placeholder was substituted; the data's were not.
  EXPECT_NE(text.find("<a href=\"http://h/p?key=1&action=11&steps=12&do=U\">"), std::string::npos);
  EXPECT_EQ(text.find("HM_Array1=[]; "), std::string::npos);
  EXPECT_EQ(text.find("<script>alert"), std::string::npos);
  EXPECT_NE(text.find("&#35;newurl &#35;sameurl &#35;description &#35;menu &lt;script&gt;"),
            std::string::npos);
}

}  // namespace
}  // namespace tovenmarsh::web
