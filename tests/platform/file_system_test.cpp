// Files and folders: whole writes and reads through short transfers and signals, owner-only
// modes, exclusive lock files (also across processes, and after the holder removed the name),
// atomic replacement, listing, and the fault switch that makes writes and syncs fail.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/stream.h"

namespace tovenmarsh::platform {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tm_fs_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern + "/";
  }
  void TearDown() override {
    for (TFileFault kind : {TFileFault::Write, TFileFault::FileSync, TFileFault::FolderSync})
      InjectFileFault(kind, 0);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string Get(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Listing(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static unsigned Mode(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<unsigned>(info.st_mode & 07777) : 0u;
  }

  std::string dir_;
};

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

void OnSignal(int) {}

// Interrupts a thread blocked in a pipe transfer again and again (no SA_RESTART), so its calls
// return early with EINTR or with part of the bytes.
class TInterrupter {
 public:
  TInterrupter() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGUSR1, &action, &old_);
  }
  ~TInterrupter() { sigaction(SIGUSR1, &old_, nullptr); }
  static void Poke(pthread_t thread) { pthread_kill(thread, SIGUSR1); }

 private:
  struct sigaction old_ {};
};

TEST_F(FileSystemTest, WholeTransfersSurviveShortTransfersAndSignals) {
  TInterrupter interrupter;
  const std::string bytes = RandomBytes(3 << 20, 7);  // far beyond a pipe's buffer
  {
    // A slow reader takes small pieces and interrupts the writer after each.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    TFileDescriptor readEnd(fds[0]), writeEnd(fds[1]);
    const pthread_t writer = pthread_self();
    std::string received;
    std::thread reader([&] {
      char piece[1000];
      for (;;) {
        const ssize_t n = read(readEnd.Get(), piece, sizeof piece);
        if (n == 0) break;
        if (n < 0) continue;
        received.append(piece, static_cast<size_t>(n));
        TInterrupter::Poke(writer);
      }
    });
    EXPECT_EQ(WriteAll(writeEnd.Get(), bytes), 0);
    EXPECT_EQ(writeEnd.Close(), 0);
    reader.join();
    EXPECT_TRUE(received == bytes) << received.size() << " of " << bytes.size() << " bytes arrived";
  }
  {
    // A slow writer gives small pieces and interrupts the reader after each.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    TFileDescriptor readEnd(fds[0]), writeEnd(fds[1]);
    const pthread_t readerThread = pthread_self();
    std::thread writer([&] {
      for (size_t at = 0; at < bytes.size(); at += 777) {
        const std::string_view piece = std::string_view(bytes).substr(at, 777);
        if (WriteAll(writeEnd.Get(), piece) != 0) break;
        TInterrupter::Poke(readerThread);
      }
      (void)writeEnd.Close();
    });
    std::string received = "kept:";
    EXPECT_EQ(ReadAll(readEnd.Get(), received), 0);
    writer.join();
    EXPECT_TRUE(received == "kept:" + bytes) << received.size() << " bytes read";
  }
}

TEST_F(FileSystemTest, WhatIsWrittenAtOffsetsAndReplacedReadsBackWhole) {
  const std::string path = dir_ + "f";
  TFileDescriptor file;
  ASSERT_EQ(OpenFile(path, kOpenNew, file), 0);
  EXPECT_EQ(OpenFile(path, kOpenNew, file), EEXIST);
  ASSERT_EQ(OpenFile(path, kOpenWrite, file), 0);
  ASSERT_EQ(WriteAll(file.Get(), "hello world"), 0);
  ASSERT_EQ(WriteAllAt(file.Get(), "W", 1, 6), 0);
  ASSERT_EQ(WriteAll(file.Get(), "!"), 0);  // the position is where the plain write left it
  EXPECT_EQ(SyncFile(file.Get()), 0);
  EXPECT_EQ(SyncFileData(file.Get()), 0);
  std::string text = "old";
  EXPECT_EQ(ReadWholeFile(path, text), 0);
  EXPECT_EQ(text, "hello World!");
  int64_t size = 0;
  EXPECT_EQ(FileSize(path, size), 0);
  EXPECT_EQ(size, 12);
  ASSERT_EQ(TruncateFile(file.Get(), 5), 0);
  EXPECT_EQ(ReadWholeFile(path, text), 0);
  EXPECT_EQ(text, "hello");
  // Appending goes to the end whatever was written meanwhile.
  TFileDescriptor appender;
  ASSERT_EQ(OpenFile(path, kOpenCreate | kOpenAppend, appender), 0);
  ASSERT_EQ(WriteAllAt(file.Get(), "HELLO, more", 11, 0), 0);
  ASSERT_EQ(WriteAll(appender.Get(), "+tail"), 0);
  EXPECT_EQ(ReadWholeFile(path, text), 0);
  EXPECT_EQ(text, "HELLO, more+tail");
  EXPECT_EQ(ReadWholeFile(dir_ + "missing", text), ENOENT);
  EXPECT_EQ(FileSize(dir_ + "missing", size), ENOENT);

  ASSERT_EQ(ReplaceFileAtomically(path, "replaced"), 0);
  EXPECT_EQ(Get(path), "replaced");
  ASSERT_EQ(ReplaceFileAtomically(dir_ + "new", "made"), 0);
  EXPECT_EQ(Get(dir_ + "new"), "made");
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"f", "new"}));  // no temporary file left
}

TEST_F(FileSystemTest, NewFilesAndFoldersAreTheOwnersOnly) {
  const mode_t oldMask = umask(0);  // the modes asked for, not what a mask leaves of them
  TFileDescriptor file;
  EXPECT_EQ(OpenFile(dir_ + "new", kOpenNew, file), 0);
  EXPECT_EQ(OpenFile(dir_ + "created", kOpenCreate, file), 0);
  EXPECT_EQ(OpenFile(dir_ + "appended", kOpenCreate | kOpenAppend, file), 0);
  EXPECT_EQ(ReplaceFileAtomically(dir_ + "replaced", "x"), 0);
  EXPECT_EQ(MakeFolder(dir_ + "one"), 0);
  EXPECT_EQ(MakeFolder(dir_ + "one"), EEXIST);
  EXPECT_EQ(MakeFolders(dir_ + "a/b/c/"), 0);
  EXPECT_EQ(MakeFolders(dir_ + "a/b/c"), 0);  // there already
  TOsFile table;
  EXPECT_EQ(table.Create(dir_ + "table.dat", TOsOpenOptions{}), 0);
  table.Close();
  EXPECT_EQ(CreateNewFileOnDisk(dir_ + "empty.dat"), 0);
  { TFileStream stream(dir_ + "stream", fmCreate); }
  umask(oldMask);
  for (const char* name : {"new", "created", "appended", "replaced", "table.dat", "empty.dat", "stream"})
    EXPECT_EQ(Mode(dir_ + name), 0600u) << name;
  for (const char* name : {"one", "a", "a/b", "a/b/c"}) EXPECT_EQ(Mode(dir_ + name), 0700u) << name;
  EXPECT_EQ(MakeFolders(dir_ + "new/below"), ENOTDIR);
}

TEST_F(FileSystemTest, ALockFileHasOneHolderHereAndInOtherProcesses) {
  const std::string path = dir_ + "lock";
  TFileDescriptor holder;
  ASSERT_EQ(OpenLockFile(path, kOpenCreate, false, holder), 0);
  TFileDescriptor second;
  EXPECT_EQ(OpenLockFile(path, kOpenCreate, false, second), EWOULDBLOCK);
  EXPECT_FALSE(second.IsOpen());
  const pid_t pid = fork();
  if (pid == 0) {
    TFileDescriptor other;
    _exit(OpenLockFile(path, kOpenCreate | kOpenAppend, false, other) == EWOULDBLOCK ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process took the lock too";
  EXPECT_EQ(OpenLockFile(dir_ + "absent", kOpenRead, false, second), ENOENT);
  // The holder removes its lock file when done: a waiter then holds the file the name denotes,
  // not the removed one another newcomer would never see.
  TFileDescriptor waiter;
  std::atomic<int> result{-1};
  std::thread waiting([&] { result = OpenLockFile(path, kOpenCreate, true, waiter); });
  ASSERT_EQ(RemoveFile(path), 0);
  EXPECT_EQ(holder.Close(), 0);
  waiting.join();
  ASSERT_EQ(result.load(), 0);
  EXPECT_TRUE(PathExists(path));
  EXPECT_TRUE(DescriptorAtPath(waiter.Get(), path));
  EXPECT_EQ(OpenLockFile(path, kOpenCreate, false, second), EWOULDBLOCK);
}

TEST_F(FileSystemTest, ListingRenamingLinkingAndRemoving) {
  ASSERT_EQ(MakeFolder(dir_ + "sub"), 0);
  TFileDescriptor file;
  for (const char* name : {"b", "a", ".hidden"}) ASSERT_EQ(OpenFile(dir_ + name, kOpenNew, file), 0);
  ASSERT_EQ(symlink((dir_ + "a").c_str(), (dir_ + "link").c_str()), 0);
  ASSERT_EQ(symlink((dir_ + "nowhere").c_str(), (dir_ + "dangling").c_str()), 0);
  auto listed = [&](bool followLinks) {
    std::vector<std::string> names;
    EXPECT_EQ(ListRegularFiles(dir_, followLinks, names), 0);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(listed(false), (std::vector<std::string>{".hidden", "a", "b"}));
  EXPECT_EQ(listed(true), (std::vector<std::string>{".hidden", "a", "b", "link"}));
  std::vector<std::string> none;
  EXPECT_EQ(ListRegularFiles(dir_ + "missing", true, none), ENOENT);
  EXPECT_TRUE(none.empty());

  EXPECT_EQ(LinkNewName(dir_ + "a", dir_ + "b"), EEXIST);  // never replaces
  EXPECT_EQ(LinkNewName(dir_ + "a", dir_ + "c"), 0);
  EXPECT_EQ(RenamePath(dir_ + "c", dir_ + "b"), 0);  // replaces
  EXPECT_EQ(RemoveFile(dir_ + "c"), ENOENT);
  EXPECT_TRUE(IsRegularFile(dir_ + "link"));
  EXPECT_FALSE(IsRegularFile(dir_ + "link", false));
  EXPECT_FALSE(IsRegularFile(dir_ + "sub"));
  EXPECT_TRUE(PathExists(dir_ + "sub"));
  EXPECT_FALSE(PathExists(dir_ + "dangling"));
  EXPECT_EQ(RealPath(dir_ + "link"), RealPath(dir_ + "a"));
  EXPECT_EQ(RealPath(dir_ + "dangling"), "");
  EXPECT_EQ(SyncFolder(dir_), 0);
  EXPECT_EQ(SyncFolderOf(dir_ + "a"), 0);
  EXPECT_EQ(SyncFolder(dir_ + "missing"), ENOENT);  // not passed as synced
  EXPECT_EQ(SyncPath(dir_ + "b"), 0);
}

// The switch counts only the operations of its kind inside its folder: it passes `skip` of
// them, fails `count` with the error asked for, and lets the rest through.
TEST_F(FileSystemTest, InjectedFaultsStrikeTheOperationsAskedFor) {
  ASSERT_EQ(MakeFolder(dir_ + "in"), 0);
  ASSERT_EQ(MakeFolder(dir_ + "out"), 0);
  TFileDescriptor inside, outside;
  ASSERT_EQ(OpenFile(dir_ + "in/f", kOpenNew, inside), 0);
  ASSERT_EQ(OpenFile(dir_ + "out/f", kOpenNew, outside), 0);
  const int64_t fired = InjectedFileFaults(TFileFault::Write);
  InjectFileFault(TFileFault::Write, 2, 1, dir_ + "in", ENOSPC);
  EXPECT_EQ(WriteAll(outside.Get(), "x"), 0);
  EXPECT_EQ(WriteAll(inside.Get(), "1"), 0);  // skipped
  EXPECT_EQ(WriteAll(outside.Get(), "y"), 0);
  EXPECT_EQ(WriteAll(inside.Get(), "2"), ENOSPC);
  EXPECT_EQ(WriteAllAt(inside.Get(), "3", 1, 5), ENOSPC);
  EXPECT_EQ(WriteAll(inside.Get(), "4"), 0);
  EXPECT_EQ(InjectedFileFaults(TFileFault::Write), fired + 2);
  std::string text;
  EXPECT_EQ(ReadWholeFile(dir_ + "in/f", text), 0);
  EXPECT_EQ(text, "14");  // the failed writes wrote nothing

  // Syncs, of files and folders, anywhere.
  InjectFileFault(TFileFault::FileSync, 1);
  EXPECT_EQ(SyncFile(outside.Get()), EIO);
  EXPECT_EQ(SyncFile(outside.Get()), 0);
  InjectFileFault(TFileFault::FolderSync, 1, 1, dir_ + "in");
  EXPECT_EQ(SyncFolder(dir_ + "out"), 0);
  EXPECT_EQ(SyncFolder(dir_ + "in/"), 0);
  EXPECT_EQ(SyncFolderOf(dir_ + "in/f"), EIO);
  EXPECT_EQ(SyncFolder(dir_ + "in"), 0);

  // The engine's files and the streams answer the same switch.
  TOsFile table;
  ASSERT_EQ(table.Create(dir_ + "in/t.dat", TOsOpenOptions{}), 0);
  InjectFileFault(TFileFault::Write, 1, 0, dir_ + "in");
  EXPECT_EQ(table.WriteAt("abc", 3, 0), -kFileErrorUnknown);
  EXPECT_EQ(table.WriteAt("abc", 3, 0), 3);
  InjectFileFault(TFileFault::FileSync, 1, 0, dir_ + "in");
  EXPECT_EQ(table.Sync(), -kFileErrorUnknown);
  EXPECT_EQ(table.Sync(), 0);
  TFileStream stream(dir_ + "in/s", fmCreate);
  InjectFileFault(TFileFault::Write, 1, 0, dir_ + "in");
  EXPECT_THROW(stream.WriteBuffer("abc", 3), EWriteError);
  stream.WriteBuffer("abc", 3);
  InjectFileFault(TFileFault::FileSync, 1, 0, dir_ + "in");
  EXPECT_THROW(stream.Sync(), EWriteError);
  stream.Sync();
}

// A replacement that cannot be written leaves the old file and no temporary one; one whose
// folder cannot be synced is reported, though the new bytes are in place.
TEST_F(FileSystemTest, AFailedReplacementKeepsTheOldFile) {
  const std::string path = dir_ + "settings";
  ASSERT_EQ(ReplaceFileAtomically(path, "old"), 0);
  for (TFileFault kind : {TFileFault::Write, TFileFault::FileSync}) {
    InjectFileFault(kind, 1);
    EXPECT_EQ(ReplaceFileAtomically(path, "new"), EIO);
    EXPECT_EQ(Get(path), "old");
    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"settings"});
  }
  InjectFileFault(TFileFault::FolderSync, 1);
  EXPECT_EQ(ReplaceFileAtomically(path, "new"), EIO);
  EXPECT_EQ(Get(path), "new");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"settings"});
}

}  // namespace
}  // namespace tovenmarsh::platform
