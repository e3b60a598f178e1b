// Reading, writing, seeking and copying through handlers, for disk and memory files alike: random
// operations against a byte-string model, short reads and writes, truncation by an empty write,
// the read-only attribute, the memory file's growth in steps, and the cheap look at a file's head.
#include "engine/io/file_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <string>

#include "engine/io/file_list.h"
#include "engine/io/file_memory.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::RaisedCode;
using testing::ScratchDir;

class FileHandlerTest : public ::testing::TestWithParam<bool> {
 protected:
  bool Memory() const { return GetParam(); }
  std::string Name(const std::string& base) const { return Memory() ? base : dir_ / base; }
  std::unique_ptr<TFileHandler> Handler(const std::string& base) {
    return std::make_unique<TFileHandler>(Name(base), Memory(), &list_);
  }

  ScratchDir dir_;
  TFileList list_;
};

// Two handlers on one file do random writes, seeks, reads and truncations; every result agrees
// with a plain byte string and a position per handler.
TEST_P(FileHandlerTest, RandomOperationsAgreeWithAModel) {
  auto first = Handler("model.dat");
  first->CreateFile();
  auto second = Handler("model.dat");
  second->SetExclusive(false);
  first->Close();
  first->SetExclusive(false);
  first->Open();
  second->Open();
  TFileHandler* handlers[2] = {first.get(), second.get()};
  int64_t positions[2] = {0, 0};
  std::string model;
  std::mt19937 random(Memory() ? 7 : 8);
  for (int step = 0; step < 3000; ++step) {
    const int h = static_cast<int>(random() % 2);
    TFileHandler& handler = *handlers[h];
    int64_t& position = positions[h];
    switch (random() % 5) {
      case 0: {  // write
        std::string data(random() % 300 + 1, '\0');
        for (char& c : data) c = static_cast<char>('a' + random() % 26);
        ASSERT_EQ(handler.Write(data.data(), static_cast<int64_t>(data.size())),
                  static_cast<int64_t>(data.size()));
        if (model.size() < static_cast<size_t>(position)) model.resize(position, '\0');
        model.replace(static_cast<size_t>(position),
                      std::min(data.size(), model.size() - static_cast<size_t>(position)), data);
        position += static_cast<int64_t>(data.size());
        break;
      }
      case 1: {  // read, partial allowed
        std::string buffer(random() % 400, '\0');
        const int64_t got =
            handler.Read(buffer.data(), static_cast<int64_t>(buffer.size()), true);
        const int64_t available =
            std::max<int64_t>(0, static_cast<int64_t>(model.size()) - position);
        const int64_t expected = std::min<int64_t>(available, buffer.size());
        ASSERT_EQ(got, expected) << step;
        if (got > 0) {
          ASSERT_EQ(buffer.substr(0, got), model.substr(static_cast<size_t>(position), got));
        }
        position += got;
        break;
      }
      case 2: {  // seek
        const int origin = static_cast<int>(random() % 3);
        const int64_t base = origin == 0   ? 0
                             : origin == 1 ? position
                                           : static_cast<int64_t>(model.size());
        const int64_t offset = origin == 2 ? 0 : static_cast<int64_t>(random() % 2000) - base / 2;
        ASSERT_EQ(handler.Seek(offset, origin), base + offset);
        position = base + offset;
        break;
      }
      case 3:  // truncate (or extend) at the position with an empty write
        if (random() % 4 != 0) break;
        ASSERT_EQ(handler.Write("", 0), 0);
        model.resize(static_cast<size_t>(position), '\0');
        break;
      default:
        ASSERT_EQ(handler.GetSize(), static_cast<int64_t>(model.size()));
    }
  }
  first->Seek(0);
  std::string all(model.size(), '\0');
  first->Read(all.data(), static_cast<int64_t>(all.size()));
  EXPECT_EQ(all, model);
}

TEST_P(FileHandlerTest, ShortReadsAndWritesRaise) {
  auto handler = Handler("t.dat");
  handler->CreateFile();
  handler->Write("abcdef", 6);
  handler->Seek(4);
  char buffer[8];
  std::string table;
  EXPECT_EQ(RaisedCode([&] { handler->Read(buffer, 4); }, &table), 9217);
  EXPECT_EQ(table, Name("t.dat"));
  handler->Seek(4);
  EXPECT_EQ(handler->Read(buffer, 4, true), 2);
  EXPECT_EQ(handler->Read(buffer, 4, true), 0);  // at the end
  EXPECT_EQ(RaisedCode([&] { handler->Read(buffer, 1); }), 9217);
  EXPECT_EQ(handler->Seek(0, kSeekFromEnd), 6);
  EXPECT_EQ(handler->Seek(-2, kSeekFromCurrent), 4);
  EXPECT_EQ(RaisedCode([&] { handler->Seek(-5, kSeekFromCurrent); }), 11047);
  EXPECT_EQ(handler->Position(), 4);  // unchanged by the refused seek
  handler->Seek(100);
  EXPECT_EQ(handler->Read(buffer, 4, true), 0);  // beyond the end
  handler->Flush();
  handler->Close();
  EXPECT_EQ(RaisedCode([&] { handler->Read(buffer, 1); }), 11014);
  EXPECT_EQ(RaisedCode([&] { handler->Write(buffer, 1); }), 11014);
}

TEST_P(FileHandlerTest, CopiesMoveWholeContentInChunks) {
  // Sizes around the 65535-byte chunk, where a copy loop stops one chunk early or late.
  const int64_t sizes[] = {0,      1, kFileCopyChunk - 1, kFileCopyChunk, kFileCopyChunk + 1,
                           2 * kFileCopyChunk, 200000};
  for (int64_t size : sizes) {
    std::string content(static_cast<size_t>(size), '\0');
    std::mt19937 random(static_cast<unsigned>(size));
    for (char& c : content) c = static_cast<char>(random());
    auto source = Handler("src.dat");
    source->CreateFile();
    source->Write(content.data(), size);
    source->CopyToFile(Name("copy.dat"));
    auto copy = Handler("copy.dat");
    copy->Open();
    ASSERT_EQ(copy->GetSize(), size);
    std::string back(static_cast<size_t>(size), '\0');
    copy->Read(back.data(), size);
    EXPECT_EQ(back, content) << size;

    // CopyFromFile appends at this handle's position.
    copy->Seek(0, kSeekFromEnd);
    source->Close();
    copy->CopyFromFile(Name("src.dat"));
    EXPECT_EQ(copy->GetSize(), 2 * size);
    copy->Close();
  }
  auto missing = Handler("copy.dat");
  missing->Open();
  EXPECT_EQ(RaisedCode([&] { missing->CopyFromFile(Name("none.dat")); }), 11010);
  // The source must be free for an exclusive open.
  auto busy = Handler("src.dat");
  busy->Open();
  EXPECT_EQ(RaisedCode([&] { missing->CopyFromFile(Name("src.dat")); }), 11013);
  // Copying onto a file that is open is refused.
  EXPECT_EQ(RaisedCode([&] { missing->CopyToFile(Name("src.dat")); }), 11013);
}

// The cheap look at a file's first bytes must show exactly what a read shows: what this handler,
// another handler of the file, or (on disk) another process wrote, also after the file was closed
// and made anew. ReadAt reads like a seek and a read, and leaves the position after the bytes.
TEST_P(FileHandlerTest, PeekHeadShowsWhatAReadShows) {
  auto writer = Handler("head.dat");
  writer->CreateFile();
  std::string content(6000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  writer->Write(content.data(), static_cast<int64_t>(content.size()));
  writer->Close();
  writer->SetExclusive(false);
  writer->Open();
  auto reader = Handler("head.dat");
  reader->Open();
  reader->Seek(123);
  auto peek = [&](int64_t offset, int64_t count) {
    std::string bytes(static_cast<size_t>(count), '\0');
    EXPECT_TRUE(reader->PeekHead(offset, bytes.data(), count));
    std::string read(static_cast<size_t>(count), '\0');
    EXPECT_EQ(reader->ReadAt(offset, read.data(), count), count);
    EXPECT_EQ(reader->Position(), offset + count);
    EXPECT_EQ(bytes, read);
    return bytes;
  };
  EXPECT_EQ(peek(0, 4), content.substr(0, 4));
  EXPECT_EQ(peek(kFileHeadSize - 8, 8), content.substr(kFileHeadSize - 8, 8));
  char none[8];
  EXPECT_FALSE(reader->PeekHead(kFileHeadSize - 4, none, 8));  // reaches past the head
  EXPECT_FALSE(reader->PeekHead(-1, none, 4));
  // Another handler writes; the look shows it at once.
  for (uint32_t counter : {1u, 2u, 0xFFFFFFFFu}) {
    writer->Seek(0);
    writer->Write(&counter, 4);
    uint32_t seen = 0;
    ASSERT_TRUE(reader->PeekHead(0, &seen, 4));
    EXPECT_EQ(seen, counter);
  }
  if (!Memory()) {
    // Another process writes through its own descriptor.
    const std::string path = Name("head.dat");
    ASSERT_EQ(testing::InChild([&] {
                const int fd = ::open(path.c_str(), O_RDWR);
                const uint32_t counter = 77;
                return fd >= 0 && ::pwrite(fd, &counter, 4, 0) == 4 ? 0 : 1;
              }),
              0);
    uint32_t seen = 0;
    ASSERT_TRUE(reader->PeekHead(0, &seen, 4));
    EXPECT_EQ(seen, 77u);
  }
  // Closed by everyone and made anew: the look follows the new content.
  reader->Close();
  writer->Close();
  writer->SetExclusive(true);
  writer->CreateFile();
  writer->Write("new!", 4);
  char fresh[4];
  ASSERT_TRUE(writer->PeekHead(0, fresh, 4));
  EXPECT_EQ(std::string(fresh, 4), "new!");
  writer->Close();
  EXPECT_FALSE(writer->PeekHead(0, fresh, 4));  // closed
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, FileHandlerTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Memory" : "Disk"; });

TEST(FileHandlerDiskTest, ReadOnlyFilesOpenReadOnlyAndRefuseWrites) {
  ScratchDir dir;
  dir.Put("ro.dat", "fixed");
  chmod((dir / "ro.dat").c_str(), 0444);
  TFileList list;
  TFileHandler handler(dir / "RO.DAT", false, &list);
  handler.SetExclusive(true);
  handler.Open();
  EXPECT_TRUE(handler.OpenedReadOnly());
  char buffer[5];
  handler.Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "fixed");
  handler.Seek(0);
  EXPECT_EQ(RaisedCode([&] { handler.Write("x", 1); }), 9218);
  EXPECT_EQ(RaisedCode([&] { handler.Write("", 0); }), 9218);  // no truncation either
  handler.Close();
  EXPECT_EQ(dir.Get("ro.dat"), "fixed");
  // The read-only attribute protects it from deletion.
  EXPECT_EQ(RaisedCode([&] { handler.DeleteFile(); }), 11013);
}

TEST(FileHandlerMemoryTest, ContentGrowsInStepsAndNeverShrinks) {
  TFileList list;
  TFileHandler handler("grow.dat", true, &list);
  handler.CreateFile();
  auto* file = static_cast<TMemoryFile*>(handler.SharedFile());
  EXPECT_EQ(file->Capacity(), 0);
  handler.Write("x", 1);
  EXPECT_EQ(file->Capacity(), kMemoryFileStep);
  std::string block(static_cast<size_t>(kMemoryFileStep), 'y');
  handler.Write(block.data(), kMemoryFileStep);
  EXPECT_EQ(file->Capacity(), 2 * kMemoryFileStep);
  handler.Seek(0);
  handler.Write("", 0);
  EXPECT_EQ(handler.GetSize(), 0);
  EXPECT_EQ(file->Capacity(), 2 * kMemoryFileStep);
  // Extending after a truncation shows zeros, not the old bytes.
  handler.Seek(10);
  handler.Write("", 0);
  char buffer[10];
  handler.Seek(0);
  handler.Read(buffer, 10);
  EXPECT_EQ(std::string(buffer, 10), std::string(10, '\0'));
  // Recreating drops the content (the capacity stays) and shows no stale bytes later.
  handler.Close();
  handler.CreateFile();
  handler.Seek(5);
  handler.Write("z", 1);
  handler.Seek(0);
  char six[6];
  handler.Read(six, 6);
  EXPECT_EQ(std::string(six, 6), std::string("\0\0\0\0\0z", 6));
  // Nothing beyond the 32-bit size limit.
  handler.Seek(kMemoryFileMaxSize);
  EXPECT_EQ(RaisedCode([&] { handler.Write("z", 1); }), 9218);
}

}  // namespace
}  // namespace tovenmarsh::engine
