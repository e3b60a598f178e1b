// Start and stop of the process pool: tables are created before the pools are registered,
// a table failure travels out, a pool that cannot be registered ends the program, and the
// controls find the installed pool.
#include "resources/database_resources.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "resources/account_control.h"
#include "support/memory_table.h"

namespace tovenmarsh::resources {
namespace {

TEST(DatabaseResources, StartRegistersTheNinePoolsAfterCreatingTables) {
  testing::TMemoryDatabase database;
  bool created = false;
  InitDatabaseResources(
      [&] {
        created = true;
        EXPECT_FALSE(DatabasePool().IsRegistered(piAccount)) << "tables come before the pools";
      },
      database.Opener());
  EXPECT_TRUE(created);
  for (int index = piAccount; index <= piDocument; ++index) {
    EXPECT_TRUE(DatabasePool().IsRegistered(index)) << index;
  }
  database.Store(piAccount).rows[1] = {7, std::string("Seven"), {}, {}, {}, {}, {}, {}, {}};
  {
    TAccountControl control;  // borrows from the process pool
    TAccountRec rec;
    rec.name = "user7";
    EXPECT_TRUE(control.GetAccount(rec));
    EXPECT_EQ(rec.fullname, "Seven");
  }
  DoneDatabaseResources();
  EXPECT_FALSE(HasDatabasePool());
  EXPECT_THROW(TAccountControl control, EVDatabase);
}

TEST(DatabaseResources, ATableFailureTravelsOut) {
  testing::TMemoryDatabase database;
  EXPECT_THROW(InitDatabaseResources([] { throw std::runtime_error("disk full"); },
                                     database.Opener()),
               std::runtime_error);
  DoneDatabaseResources();
}

TEST(DatabaseResourcesDeathTest, APoolThatCannotBeRegisteredIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto failing = [](const TAppTableDef&, int) -> std::unique_ptr<TTableAccess> {
    throw EVDatabase("cannot open table");
  };
  EXPECT_EXIT(InitDatabaseResources([] {}, failing), ::testing::ExitedWithCode(1),
              "EVDatabase: cannot open table");
}

}  // namespace
}  // namespace tovenmarsh::resources
