// Disk files: reads and writes at offsets, sharing between descriptors and processes, delete,
// rename without replacing, delete-on-close, the read-only attribute and errno mapping.
#include "platform/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/file_names.h"

namespace tovenmarsh::platform {
namespace {

namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tm_file_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Put(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool OnDisk(const std::string& name) const { return fs::exists(Path(name)); }

  std::string dir_;
};

// Runs `body` in a forked child (a second process with descriptors of its own) and returns its
// exit code.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST_F(FileTest, ReadsAndWritesAtOffsetsAndSetsSize) {
  TOsFile file;
  ASSERT_EQ(file.Create(Path("a.dat"), {}), 0);
  EXPECT_EQ(file.WriteAt("hello", 5, 0), 5);
  EXPECT_EQ(file.WriteAt("XY", 2, 10), 2);  // a gap reads back as zeros
  EXPECT_EQ(file.Size(), 12);
  char buffer[16] = {};
  EXPECT_EQ(file.ReadAt(buffer, 16, 0), 12);  // short only at the end
  EXPECT_EQ(std::string(buffer, 12), std::string("hello\0\0\0\0\0XY", 12));
  EXPECT_EQ(file.ReadAt(buffer, 4, 12), 0);
  EXPECT_EQ(file.SetSize(3), 0);
  EXPECT_EQ(file.Size(), 3);
  EXPECT_EQ(file.Sync(), 0);
  file.Close();
  EXPECT_EQ(Get("a.dat"), "hel");
}

TEST_F(FileTest, CreateEmptiesAnExistingFile) {
  Put("a.dat", "old content");
  TOsFile file;
  ASSERT_EQ(file.Create(Path("a.dat"), {}), 0);
  EXPECT_EQ(file.Size(), 0);
}

TEST_F(FileTest, OpenOfMissingFileOrDirectoryFails) {
  TOsFile file;
  EXPECT_EQ(file.Open(Path("missing.dat"), {}), -kFileErrorNotFound);
  EXPECT_EQ(file.Open(Path("nodir/missing.dat"), {}), -kFileErrorNotFound);
  EXPECT_EQ(file.Open("   ", {}), -kFileErrorNotFound);
  // A NUL inside a name must not cut it short to another file's name.
  Put("a", "x");
  EXPECT_EQ(file.Open(Path(std::string("a\0.dat", 6)), {}), -kFileErrorNotFound);
  EXPECT_EQ(file.Create(Path(std::string("a\0.dat", 6)), {}), -kFileErrorNotFound);
  EXPECT_EQ(Get("a"), "x");
  EXPECT_EQ(file.Open(dir_, {}), -kFileErrorAccessDenied);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(FileTest, ReadOnlyAttributeOpensForReadingOnly) {
  Put("ro.dat", "data");
  chmod(Path("ro.dat").c_str(), 0444);
  EXPECT_EQ(FileReadOnlyOnDisk(Path("ro.dat")), 1);
  TOsFile file;
  ASSERT_EQ(file.Open(Path("ro.dat"), {}), 0);
  EXPECT_TRUE(file.ReadOnly());
  char buffer[4];
  EXPECT_EQ(file.ReadAt(buffer, 4, 0), 4);
  EXPECT_LT(file.WriteAt("x", 1, 0), 0);
  file.Close();
  EXPECT_EQ(file.Create(Path("RO.DAT"), {}), -kFileErrorAccessDenied);  // not emptied
  EXPECT_EQ(Get("ro.dat"), "data");
  // Deleting a file with the read-only attribute is refused.
  EXPECT_EQ(DeleteFileOnDisk(Path("ro.dat")), -kFileErrorAccessDenied);
  EXPECT_TRUE(OnDisk("ro.dat"));
}

TEST_F(FileTest, NamesAreFoundWithoutRegardToCase) {
  Put("ACCOUNT.DAT", "x");  // written by another tool under another spelling
  EXPECT_TRUE(FileExistsOnDisk(Path("account.dat")));
  EXPECT_TRUE(FileExistsOnDisk(Path("Account.Dat")));
  TOsFile file;
  ASSERT_EQ(file.Open(Path("account.dat"), {}), 0);
  EXPECT_EQ(file.Path(), Path("ACCOUNT.DAT"));
  file.Close();
  // Creating under another spelling reuses the existing file rather than adding a second one.
  ASSERT_EQ(file.Create(Path("Account.dat"), {}), 0);
  file.Close();
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
  EXPECT_EQ(DeleteFileOnDisk(Path("account.DAT")), 0);
  EXPECT_FALSE(OnDisk("ACCOUNT.DAT"));
  // New files get the canonical (lower-case) spelling, backslashes as separators.
  ASSERT_EQ(file.Create(dir_ + "\\Mixed.IDX", {}), 0);
  file.Close();
  EXPECT_TRUE(OnDisk("mixed.idx"));
}

TEST_F(FileTest, RenameNeverReplacesAnExistingFile) {
  Put("a.dat", "A");
  Put("b.dat", "B");
  Put("C.DAT", "C");
  EXPECT_EQ(RenameFileOnDisk(Path("a.dat"), Path("b.dat")), -kFileErrorUnknown);
  EXPECT_EQ(RenameFileOnDisk(Path("a.dat"), Path("c.dat")), -kFileErrorUnknown);  // any case
  EXPECT_EQ(Get("a.dat"), "A");
  EXPECT_EQ(Get("b.dat"), "B");
  EXPECT_EQ(Get("C.DAT"), "C");
  EXPECT_EQ(RenameFileOnDisk(Path("missing.dat"), Path("d.dat")), -kFileErrorNotFound);
  EXPECT_EQ(RenameFileOnDisk(Path("a.dat"), Path("D.DAT")), 0);
  EXPECT_FALSE(OnDisk("a.dat"));
  EXPECT_EQ(Get("d.dat"), "A");
  // A change of case only: the file keeps (or takes) the canonical spelling.
  EXPECT_EQ(RenameFileOnDisk(Path("d.dat"), Path("D.dat")), 0);
  EXPECT_EQ(Get("d.dat"), "A");
  EXPECT_EQ(RenameFileOnDisk(Path("c.dat"), Path("c.DAT")), 0);
  EXPECT_EQ(Get("c.dat"), "C");
  EXPECT_FALSE(OnDisk("C.DAT"));
}

TEST_F(FileTest, SharingBetweenDescriptorsOfOneProcess) {
  Put("t.dat", "data");
  TOsOpenOptions shared;
  TOsOpenOptions exclusive;
  exclusive.exclusive = true;
  TOsFile first;
  TOsFile second;
  ASSERT_EQ(first.Open(Path("t.dat"), shared), 0);
  EXPECT_EQ(second.Open(Path("t.dat"), shared), 0);
  second.Close();
  EXPECT_EQ(second.Open(Path("t.dat"), exclusive), -kFileErrorAccessDenied);
  EXPECT_EQ(second.Create(Path("t.dat"), {}), -kFileErrorAccessDenied);
  EXPECT_EQ(DeleteFileOnDisk(Path("t.dat")), -kFileErrorAccessDenied);
  EXPECT_EQ(RenameFileOnDisk(Path("t.dat"), Path("u.dat")), -kFileErrorAccessDenied);
  EXPECT_EQ(Get("t.dat"), "data");
  first.Close();
  ASSERT_EQ(first.Open(Path("t.dat"), exclusive), 0);
  EXPECT_EQ(second.Open(Path("t.dat"), shared), -kFileErrorAccessDenied);
  first.Close();
  EXPECT_EQ(RenameFileOnDisk(Path("t.dat"), Path("u.dat")), 0);
  EXPECT_EQ(DeleteFileOnDisk(Path("u.dat")), 0);
}

TEST_F(FileTest, ExclusiveOpeningHoldsAgainstAnotherProcess) {
  Put("t.dat", "data");
  TOsOpenOptions exclusive;
  exclusive.exclusive = true;
  TOsFile file;
  ASSERT_EQ(file.Open(Path("t.dat"), exclusive), 0);
  const std::string path = Path("t.dat");
  // Bit 0: shared open refused, 1: exclusive open refused, 2: create (truncate) refused,
  // 3: delete refused, 4: rename refused.
  const int refused = InChild([&] {
    int bits = 0;
    TOsFile other;
    TOsOpenOptions ex;
    ex.exclusive = true;
    if (other.Open(path, {}) == -kFileErrorAccessDenied) bits |= 1;
    if (other.Open(path, ex) == -kFileErrorAccessDenied) bits |= 2;
    if (other.Create(path, {}) == -kFileErrorAccessDenied) bits |= 4;
    if (DeleteFileOnDisk(path) == -kFileErrorAccessDenied) bits |= 8;
    if (RenameFileOnDisk(path, path + ".x") == -kFileErrorAccessDenied) bits |= 16;
    return bits;
  });
  EXPECT_EQ(refused, 31);
  EXPECT_EQ(Get("t.dat"), "data");
  file.Close();
  EXPECT_EQ(InChild([&] {
              TOsFile other;
              return other.Open(path, {}) == 0 ? 0 : 1;
            }),
            0);
}

TEST_F(FileTest, SharedOpeningRefusesAnExclusiveOneElsewhere) {
  Put("t.dat", "data");
  TOsFile file;
  ASSERT_EQ(file.Open(Path("t.dat"), {}), 0);
  const std::string path = Path("t.dat");
  EXPECT_EQ(InChild([&] {
              TOsFile shared;
              TOsFile exclusive;
              TOsOpenOptions ex;
              ex.exclusive = true;
              if (shared.Open(path, {}) != 0) return 1;
              shared.Close();
              return exclusive.Open(path, ex) == -kFileErrorAccessDenied ? 0 : 2;
            }),
            0);
}

TEST_F(FileTest, DeleteOnCloseRemovesTheFileUnlessAnotherOpenerRemains) {
  Put("t.tmp", "x");
  TOsOpenOptions temporary;
  temporary.deleteOnClose = true;
  {
    TOsFile file;
    ASSERT_EQ(file.Open(Path("t.tmp"), temporary), 0);
  }
  EXPECT_FALSE(OnDisk("t.tmp"));

  Put("t.tmp", "x");
  TOsFile keeper;
  ASSERT_EQ(keeper.Open(Path("t.tmp"), {}), 0);
  {
    TOsFile file;
    ASSERT_EQ(file.Open(Path("t.tmp"), temporary), 0);
  }
  EXPECT_TRUE(OnDisk("t.tmp"));  // still open elsewhere: not pulled from under it
}

TEST_F(FileTest, CreateNewFileReservesOnlyFreeNames) {
  EXPECT_EQ(CreateNewFileOnDisk(Path("n0.tmp")), 0);
  EXPECT_EQ(CreateNewFileOnDisk(Path("n0.tmp")), 1);
  EXPECT_EQ(CreateNewFileOnDisk(Path("N0.TMP")), 1);
  Put("X1.TMP", "");
  EXPECT_EQ(CreateNewFileOnDisk(Path("x1.tmp")), 1);
  EXPECT_EQ(CreateNewFileOnDisk(Path("nodir/x.tmp")), -kFileErrorNotFound);
}

TEST(FileErrorTest, ErrnoMapsToEngineCodes) {
  const struct {
    int error;
    int code;
  } cases[] = {
      {ENOENT, 11010}, {ENOTDIR, 11010}, {ENAMETOOLONG, 11010}, {EMFILE, 11012},
      {ENFILE, 11012}, {EACCES, 11013},  {EPERM, 11013},        {EROFS, 11013},
      {EAGAIN, 11013}, {EBADF, 11014},   {ENOMEM, 11016},       {ENODEV, 11023},
      {EXDEV, 11025},  {EIO, 11047},     {ENOSPC, 11047},       {EEXIST, 11047},
  };
  for (const auto& c : cases) EXPECT_EQ(FileErrorFromErrno(c.error), c.code) << c.error;
}

TEST_F(FileTest, PermissionDeniedMapsToAccessDenied) {
  Put("p.dat", "x");
  chmod(Path("p.dat").c_str(), 0000);
  chmod(dir_.c_str(), 0711);
  const std::string path = Path("p.dat");
  // A process without rights to the file; root passes permission checks, so it becomes nobody.
  const int result = InChild([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 100;
    TOsFile file;
    int bits = 0;
    if (file.Open(path, {}) == -kFileErrorAccessDenied) bits |= 1;
    if (file.Create(path, {}) == -kFileErrorAccessDenied) bits |= 2;
    if (DeleteFileOnDisk(path) == -kFileErrorAccessDenied) bits |= 4;
    return bits;
  });
  if (result == 100) GTEST_SKIP() << "cannot drop privileges";
  EXPECT_EQ(result, 7);
  EXPECT_EQ(Get("p.dat"), "x");
}

}  // namespace
}  // namespace tovenmarsh::platform
