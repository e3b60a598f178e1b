// Spare files: a finished queue file kept as a spare is emptied at once, a new queue file made
// from it holds exactly its own bytes, and a spare nobody took is removed at the next start.
#include <string>

#include <gtest/gtest.h>

#include "mail/store/mail_folders.h"
#include "mail/store/queue_file.h"
#include "mail/store/spare_files.h"
#include "platform/file_system.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

class SpareFilesTest : public testing::MailFixture {
 protected:
  std::string Spares() const { return folders.queue + kSpareSubfolder; }
};

TEST_F(SpareFilesTest, ARetiredFileIsEmptiedAndANewFileTakesItWithoutItsOldBytes) {
  const std::string old = folders.QueueFileName("Q1");
  testing::WriteFileBytes(old, std::string(100000, 'o'));
  ASSERT_TRUE(RetireFile(old, Spares()));
  EXPECT_FALSE(platform::PathExists(old));
  ASSERT_EQ(testing::FilesIn(Spares()).size(), 1u);
  EXPECT_EQ(testing::FileBytes(Spares() + testing::FilesIn(Spares())[0]), "");

  // Shorter than what the spare held: nothing of the old content may follow it.
  std::string name;
  {
    TNewMailFile file(folders.queue);
    file.Write("new");
    name = file.Finish();
  }
  EXPECT_EQ(testing::FileBytes(folders.QueueFileName(name)), "new");
  EXPECT_TRUE(testing::FilesIn(Spares()).empty());
  EXPECT_TRUE(testing::FilesIn(folders.queue + kTemporarySubfolder).empty());
  EXPECT_EQ(testing::FilesIn(folders.queue), (std::vector<std::string>{name}));
}

TEST_F(SpareFilesTest, TheStartRemovesSparesAndAVanishedSpareIsPassedOver) {
  for (const char* name : {"Q1", "Q2"}) {
    testing::WriteFileBytes(folders.QueueFileName(name), "queued");
    ASSERT_TRUE(RetireFile(folders.QueueFileName(name), Spares()));
  }
  ASSERT_EQ(testing::FilesIn(Spares()).size(), 2u);
  RemoveTemporaryFiles(folders);
  EXPECT_TRUE(testing::FilesIn(Spares()).empty());

  // The pool still names them: new files are made afresh instead.
  for (int i = 0; i < 3; ++i) {
    TNewMailFile file(folders.queue);
    file.Write("m" + std::to_string(i));
    EXPECT_EQ(testing::FileBytes(folders.QueueFileName(file.Finish())), "m" + std::to_string(i));
  }
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 3u);
  EXPECT_TRUE(testing::FilesIn(Spares()).empty());
}

}  // namespace
}  // namespace tovenmarsh::mail
