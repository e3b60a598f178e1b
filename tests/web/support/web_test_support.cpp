// Helpers shared by the web tests (see web_test_support.h).
#include "support/web_test_support.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>

namespace tovenmarsh::web::testing {

const char* const kHostileValue =
    "<script>alert('x')</script>\"><img src=x onerror=alert(1)>#content#newurl\r\nline2&amp;";

std::string RunProgram(const std::string& command, const std::string& input, int* exitCode) {
  char inputPath[] = "/tmp/tm_web_test_XXXXXX";
  const int fd = mkstemp(inputPath);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  {
    std::ofstream file(inputPath, std::ios::binary);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  close(fd);
  const std::string full = command + " < " + inputPath;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) {
    unlink(inputPath);
    throw std::runtime_error("popen failed: " + command);
  }
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  unlink(inputPath);
  if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return output;
}

std::string RunPython(const std::string& script, const std::string& input) {
  char scriptPath[] = "/tmp/tm_web_py_XXXXXX";
  const int fd = mkstemp(scriptPath);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  {
    std::ofstream file(scriptPath, std::ios::binary);
    file << script;
  }
  close(fd);
  int exitCode = 0;
  std::string output = RunProgram(std::string("python3 ") + scriptPath, input, &exitCode);
  unlink(scriptPath);
  if (exitCode != 0) throw std::runtime_error("python3 failed");
  return output;
}

std::string MarkupSkeleton(const std::string& html) {
  std::string skeleton;
  for (size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (html.compare(i, 4, "<br>") == 0) {  // a data line break shown as text
      i += 3;
      continue;
    }
    switch (c) {
      case '<': case '>': case '"': case '\'': case '\r': case '\n':
        skeleton += c;
        break;
      case '#':
        // Only a placeholder-like "#word" counts; "&#35;" and "#000000" do not.
        if (i + 1 < html.size() && std::isalpha(static_cast<unsigned char>(html[i + 1]))) {
          skeleton += c;
        }
        break;
      default:
        break;
    }
  }
  return skeleton;
}

}  // namespace tovenmarsh::web::testing
