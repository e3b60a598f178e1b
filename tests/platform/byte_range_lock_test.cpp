// Byte-range locks: the process's table against a model of held ranges, 64-bit range ends, and
// conflicts with other descriptors and other processes through the kernel.
#include "platform/byte_range_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <vector>

namespace tovenmarsh::platform {
namespace {

namespace fs = std::filesystem;

int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

class LockFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tm_lock_XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = pattern;
  }
  void TearDown() override { fs::remove(path_); }
  int OpenFd(int flags = O_RDWR) const { return open(path_.c_str(), flags | O_CLOEXEC); }
  std::string path_;
};

// Random lock and unlock requests agree with a list of held ranges in which any overlap
// conflicts and an unlock must name a held range exactly.
TEST(ByteRangeLockTableTest, AgreesWithAModelOfHeldRanges) {
  struct Range {
    int64_t start, length;
  };
  std::mt19937_64 random(1234);
  TByteRangeLockTable table;
  std::vector<Range> held;
  for (int step = 0; step < 20000; ++step) {
    // Small coordinates so that overlaps, adjacency and exact matches are frequent.
    const int64_t start = static_cast<int64_t>(random() % 64);
    const int64_t length = static_cast<int64_t>(random() % 6);
    const bool lock = random() % 2 == 0;
    if (lock) {
      bool expected = length >= 1;
      for (const Range& r : held)
        if (start <= r.start + r.length - 1 && r.start <= start + length - 1) expected = false;
      ASSERT_EQ(table.Lock(start, length), expected) << step;
      if (expected) held.push_back({start, length});
    } else {
      bool expected = false;
      for (auto it = held.begin(); it != held.end(); ++it) {
        if (it->start == start && it->length == length) {
          held.erase(it);
          expected = true;
          break;
        }
      }
      ASSERT_EQ(table.Unlock(start, length), expected) << step;
    }
    ASSERT_EQ(table.Count(), held.size());
  }
}

TEST(ByteRangeLockTableTest, RangeEndsAreComputedIn64Bits) {
  TByteRangeLockTable table;
  // The engine's own ranges near 2^31: region, user bytes, record and table bytes.
  EXPECT_TRUE(table.Lock(0x7FFF0000, 0xFFFF));
  EXPECT_FALSE(table.Lock(0x7FFFFFFF - 5, 1));  // a user byte inside the region
  EXPECT_TRUE(table.Lock(0x7FFFFFFF, 1));       // just past the region's last byte
  EXPECT_FALSE(table.Lock(2147483647, 2));     // would wrap in 32 bits to a small end
  EXPECT_TRUE(table.Lock(0xFFFFFFFFLL, 0xFFFFFFFFLL));
  EXPECT_FALSE(table.Lock(0x1FFFFFFFDLL, 1));  // its last byte
  EXPECT_TRUE(table.Lock(0x1FFFFFFFELL, 1));
  // Refused: empty or negative ranges, and anything reaching the share byte or overflowing.
  EXPECT_FALSE(table.Lock(10, 0));
  EXPECT_FALSE(table.Lock(-1, 2));
  EXPECT_FALSE(table.Lock(10, -1));
  EXPECT_FALSE(table.Lock(kShareLockOffset, 1));
  EXPECT_FALSE(table.Lock(kMaxLockEnd, 2));
  EXPECT_FALSE(table.Lock(INT64_MAX - 1, INT64_MAX));
  EXPECT_TRUE(table.Lock(kMaxLockEnd, 1));
  EXPECT_FALSE(table.Unlock(0x7FFF0000, 0xFFFE));  // not the exact range
  EXPECT_TRUE(table.Unlock(0x7FFF0000, 0xFFFF));
  EXPECT_TRUE(table.Lock(0x7FFFFFFF - 5, 1));
}

TEST_F(LockFileTest, TwoDescriptorsOfOneProcessConflict) {
  const int a = OpenFd();
  const int b = OpenFd();
  TByteRangeLockTable first;
  TByteRangeLockTable second;
  first.Attach(a, false);
  second.Attach(b, false);
  EXPECT_TRUE(first.Lock(100, 10));
  EXPECT_FALSE(second.Lock(105, 1));
  EXPECT_TRUE(second.Lock(110, 1));
  EXPECT_TRUE(first.Unlock(100, 10));
  EXPECT_TRUE(second.Lock(105, 1));
  // Detaching and closing releases everything the descriptor held.
  first.Detach();
  close(a);
  second.Detach();
  close(b);
  const int c = OpenFd();
  TByteRangeLockTable third;
  third.Attach(c, false);
  EXPECT_TRUE(third.Lock(100, 20));
  third.Detach();
  close(c);
}

TEST_F(LockFileTest, LocksConflictWithAnotherProcess) {
  const int fd = OpenFd();
  TByteRangeLockTable table;
  table.Attach(fd, false);
  ASSERT_TRUE(table.Lock(2147483646 - 7, 1));  // record 7's byte
  ASSERT_TRUE(table.Lock(0x7FFF0000 - 100, 50));
  const std::string path = path_;
  // Bit 0: overlapping record byte refused, 1: free byte granted, 2: overlap with the range
  // refused, 3: read-only descriptor still conflicts.
  const int result = InChild([&] {
    int bits = 0;
    const int other = open(path.c_str(), O_RDWR);
    TByteRangeLockTable mine;
    mine.Attach(other, false);
    if (!mine.Lock(2147483646 - 7, 1)) bits |= 1;
    if (mine.Lock(2147483646 - 8, 1)) bits |= 2;
    if (!mine.Lock(0x7FFF0000 - 60, 100)) bits |= 4;
    const int reader = open(path.c_str(), O_RDONLY);
    TByteRangeLockTable readOnly;
    readOnly.Attach(reader, true);
    if (!readOnly.Lock(2147483646 - 7, 1)) bits |= 8;
    return bits;
  });
  EXPECT_EQ(result, 15);
  ASSERT_TRUE(table.Unlock(2147483646 - 7, 1));
  EXPECT_EQ(InChild([&] {
              const int other = open(path.c_str(), O_RDWR);
              TByteRangeLockTable mine;
              mine.Attach(other, false);
              return mine.Lock(2147483646 - 7, 1) ? 0 : 1;
            }),
            0);
  table.Detach();
  close(fd);
}

TEST_F(LockFileTest, ShareByteSeparatesSharedAndExclusiveOpeners) {
  const int a = OpenFd();
  const int b = OpenFd();
  const int readOnly = OpenFd(O_RDONLY);
  EXPECT_TRUE(NoOtherOpener(a));
  EXPECT_TRUE(TakeShareLock(a, false));
  EXPECT_TRUE(TakeShareLock(b, false));  // two shared openers
  EXPECT_FALSE(NoOtherOpener(readOnly));
  int error = 0;
  EXPECT_FALSE(TakeShareLock(readOnly, true, &error));
  EXPECT_EQ(error, EBADF);  // a read-only descriptor cannot hold the write lock
  EXPECT_FALSE(TakeShareLock(a, true, &error));
  EXPECT_EQ(error, EAGAIN);
  close(b);
  EXPECT_TRUE(TakeShareLock(a, true));  // now alone: converts to exclusive
  EXPECT_FALSE(TakeShareLock(readOnly, false));
  close(a);
  EXPECT_TRUE(TakeShareLock(readOnly, false));
  close(readOnly);
}

}  // namespace
}  // namespace tovenmarsh::platform
