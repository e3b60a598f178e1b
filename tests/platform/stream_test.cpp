#include "platform/stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "platform/format.h"

namespace tovenmarsh::platform {
namespace {

TEST(MemoryStream, WritesBeyondTheEndFillWithZeros) {
  TMemoryStream s;
  s.WriteString("abc");
  s.SetPosition(6);
  s.WriteString("x");
  EXPECT_EQ(s.Bytes(), std::string("abc\0\0\0x", 7));
  EXPECT_EQ(s.Position(), 7);
  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_EQ(s.Bytes(), "ab");
}

TEST(MemoryStream, ShortReadsRaiseOnlyInReadBuffer) {
  TStringStream s("hello");
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 5u);
  s.SetPosition(3);
  EXPECT_THROW(s.ReadBuffer(buf, 3), EReadError);
  EXPECT_THROW(s.Seek(-1, SeekOrigin::Beginning), EStreamError);
  EXPECT_THROW(s.Seek(-10, SeekOrigin::End), EStreamError);
  EXPECT_EQ(s.Seek(-2, SeekOrigin::End), 3);
}

TEST(MemoryStream, CopyFromZeroCopiesTheWholeSource) {
  TStringStream source("0123456789");
  source.SetPosition(7);
  TMemoryStream target;
  EXPECT_EQ(target.CopyFrom(source, 0), 10);
  EXPECT_EQ(target.Bytes(), "0123456789");
  source.SetPosition(2);
  TMemoryStream part;
  part.CopyFrom(source, 3);
  EXPECT_EQ(part.Bytes(), "234");
  EXPECT_THROW(part.CopyFrom(source, 100), EReadError);
}

TEST(FileStream, RoundTripsLargeRandomContentAndReportsOpenFailures) {
  const auto dir = std::filesystem::temp_directory_path() /
                   Format("stream_test_%d", static_cast<int>(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "data.bin").string();
  std::mt19937 rng(7);
  std::string bytes(300000, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  {
    TStringStream source(bytes);
    TFileStream file(path, fmCreate);
    file.CopyFrom(source, 0);
    EXPECT_EQ(file.Size(), 300000);
  }
  TMemoryStream loaded;
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.Bytes(), bytes);
  EXPECT_THROW(TFileStream((dir / "missing").string(), fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream((dir / "no" / "such").string(), fmCreate), EFCreateError);
  try {
    TFileStream((dir / "missing").string(), fmOpenRead);
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
  }
  std::filesystem::remove_all(dir);
}

TEST(Format, ProducesExactLengthsSmallAndLarge) {
  EXPECT_EQ(Format("[%s listener started on port %d]", "TSMTPServer", 25),
            "[TSMTPServer listener started on port 25]");
  const std::string big(1000, 'x');
  EXPECT_EQ(Format("%s!", big.c_str()).size(), 1001u);
  EXPECT_EQ(Format("%s", ""), "");
}

}  // namespace
}  // namespace tovenmarsh::platform
