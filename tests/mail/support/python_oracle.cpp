#include "support/python_oracle.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tovenmarsh::mail::testing {
namespace {

// Records travel as a decimal length, a newline and the bytes.
const char kPrelude[] = R"PY(
import sys
def _read(path):
    data = open(path, 'rb').read()
    out, pos = [], 0
    while pos < len(data):
        nl = data.index(b'\n', pos)
        n = int(data[pos:nl]); pos = nl + 1
        out.append(data[pos:pos + n]); pos += n
    return out
def _write(path, recs):
    with open(path, 'wb') as f:
        for r in recs:
            f.write(str(len(r)).encode() + b'\n' + r)
)PY";

const char kMain[] = R"PY(
_write(sys.argv[2], oracle(_read(sys.argv[1])))
)PY";

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> RunPythonOracle(const std::string& body, const std::vector<std::string>& inputs) {
  char dirTemplate[] = "/tmp/tm_mail_oracle_XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return {};
  }
  const std::string base = dir;
  std::string records;
  for (const auto& input : inputs) records += std::to_string(input.size()) + "\n" + input;
  WriteFile(base + "/in", records);
  WriteFile(base + "/oracle.py", std::string(kPrelude) + body + kMain);
  const std::string command =
      "python3 " + base + "/oracle.py " + base + "/in " + base + "/out 2>" + base + "/err";
  const int status = std::system(command.c_str());
  std::vector<std::string> outputs;
  if (status != 0) {
    ADD_FAILURE() << "python oracle failed: " << ReadWholeFile(base + "/err");
  } else {
    const std::string data = ReadWholeFile(base + "/out");
    size_t pos = 0;
    while (pos < data.size()) {
      const size_t nl = data.find('\n', pos);
      const size_t n = std::stoul(data.substr(pos, nl - pos));
      outputs.push_back(data.substr(nl + 1, n));
      pos = nl + 1 + n;
    }
  }
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return outputs;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

}  // namespace tovenmarsh::mail::testing
