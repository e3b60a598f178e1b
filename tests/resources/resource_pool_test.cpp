// The pool's contract and its healing rules: exhaustion, failed creation and reset, clamping,
// double and foreign releases, shutting down, sizes from the configuration.
#include "resources/resource_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "core/system_parameters.h"
#include "resources/table_defs.h"
#include "resources/table_resources.h"
#include "support/memory_table.h"

namespace tovenmarsh::resources {
namespace {

// An item whose Reset can be made to fail, counting how often it ran.
struct TProbe : TResourceItem {
  explicit TProbe(int n) : id(n) {}
  void Reset() override {
    ++resets;
    if (failReset) throw std::runtime_error("reset failed");
  }
  int id;
  int resets = 0;
  bool failReset = false;
};

struct TProbeFactory {
  int made = 0;
  int failures = 0;  // the next this many creations fail
  TItemFactory Factory() {
    return [this]() -> std::unique_ptr<TResourceItem> {
      if (failures > 0) {
        --failures;
        throw EVDatabase("cannot open");
      }
      return std::make_unique<TProbe>(++made);
    };
  }
};

constexpr uint32_t kShortWait = 20;

TEST(ResourcePool, WithMaxTwoAThirdAcquireWaitsAndThenRaisesExhaustion) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(1, probes.Factory(), 1, 2);
  TResourceItem* a = pool.Acquire(1);
  TResourceItem* b = pool.Acquire(1);
  ASSERT_NE(a, b);
  try {
    pool.Acquire(1);
    FAIL() << "third Acquire succeeded";
  } catch (const EVPoolExhausted& e) {
    EXPECT_EQ(e.Message(), "Database connections exhausted");
    EXPECT_STREQ(e.ClassName(), "EVPoolExhausted");
  }
  EXPECT_EQ(pool.FreeSlots(1), 0);
  pool.Release(1, b);
  EXPECT_EQ(pool.Acquire(1), b) << "the released item is handed out again";
  EXPECT_EQ(probes.made, 2);
}

TEST(ResourcePool, AFailingFactoryLeaksNoSlot) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(3, probes.Factory(), 1, 2);
  TResourceItem* first = pool.Acquire(3);
  probes.failures = 5;
  for (int i = 0; i < 5; ++i) {
    try {
      pool.Acquire(3);
      FAIL() << "creation failure not reported";
    } catch (const EVResAllocError& e) {
      EXPECT_EQ(e.Message(), "Resource pool allocation error (EVDatabase: cannot open) with count[1]");
    }
    EXPECT_EQ(pool.FreeSlots(3), 1) << "attempt " << i;
  }
  EXPECT_EQ(pool.ItemCount(3), 1);
  EXPECT_NE(pool.Acquire(3), nullptr) << "the slot is still usable once creation works again";
  pool.Release(3, first);
}

TEST(ResourcePool, AnItemWhoseResetFailsIsDiscardedNotHandedOutAgain) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(2, probes.Factory(), 2, 3);
  auto* broken = static_cast<TProbe*>(pool.Acquire(2));
  ASSERT_EQ(broken->id, 1);
  pool.Release(2, broken);
  broken->failReset = true;
  EXPECT_THROW(pool.Acquire(2), EVResAllocError);
  EXPECT_EQ(pool.ItemCount(2), 1) << "the broken item left the pool";
  EXPECT_EQ(pool.FreeSlots(2), 3);
  for (int i = 0; i < 3; ++i) {
    auto* item = static_cast<TProbe*>(pool.Acquire(2));
    EXPECT_NE(item->id, 1);
  }
}

TEST(ResourcePool, SizesAreClamped) {
  struct Case {
    int min, max;
    int precreated, maximum;
  };
  const Case cases[] = {
      {1, 10, 1, 10},   {0, 10, 1, 10},     {-5, 3, 1, 3},    {5, 2, 2, 2},
      {3, 0, 1, 1},     {2, -7, 1, 1},      {1, 257, 1, 256}, {300, 100000, 256, 256},
  };
  for (const Case& c : cases) {
    TProbeFactory probes;
    TResourcePool pool(kShortWait);
    pool.Register(4, probes.Factory(), c.min, c.max);
    EXPECT_EQ(pool.ItemCount(4), c.precreated) << c.min << ".." << c.max;
    EXPECT_EQ(pool.Maximum(4), c.maximum) << c.min << ".." << c.max;
    EXPECT_EQ(pool.FreeSlots(4), c.maximum) << c.min << ".." << c.max;
  }
}

TEST(ResourcePool, SecondAndForeignReleasesChangeNothing) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(1, probes.Factory(), 1, 2);
  pool.Register(2, probes.Factory(), 1, 2);
  TResourceItem* a = pool.Acquire(1);
  TResourceItem* b = pool.Acquire(1);
  TResourceItem* other = pool.Acquire(2);
  pool.Release(1, a);
  pool.Release(1, a);
  pool.Release(1, other);  // belongs to pool 2
  pool.Release(1, nullptr);
  pool.Release(7, a);      // not registered
  EXPECT_EQ(pool.FreeSlots(1), 1);
  EXPECT_EQ(pool.FreeSlots(2), 1);
  EXPECT_EQ(pool.Acquire(1), a);
  EXPECT_THROW(pool.Acquire(1), EVPoolExhausted) << "the double release granted no extra slot";
  pool.Release(1, b);
}

TEST(ResourcePool, RegistrationRules) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(0, probes.Factory(), 1, 2);
  pool.Register(11, probes.Factory(), 1, 2);
  EXPECT_FALSE(pool.IsRegistered(0));
  EXPECT_FALSE(pool.IsRegistered(11));
  pool.Register(10, probes.Factory(), 1, 2);
  EXPECT_TRUE(pool.IsRegistered(10));
  pool.Register(10, probes.Factory(), 3, 5);  // a second registration is ignored
  EXPECT_EQ(pool.Maximum(10), 2);
  EXPECT_EQ(probes.made, 1);
  EXPECT_THROW(pool.Acquire(5), EVDatabase);
}

TEST(ResourcePool, AShutPoolHandsOutNothingAndTakesNothingBack) {
  TProbeFactory probes;
  TResourcePool pool(kShortWait);
  pool.Register(1, probes.Factory(), 1, 2);
  TResourceItem* a = pool.Acquire(1);
  pool.Shut();
  EXPECT_EQ(pool.Acquire(1), nullptr);
  pool.Release(1, a);
  EXPECT_EQ(pool.FreeSlots(1), 1);
  pool.Register(2, probes.Factory(), 1, 2);
  EXPECT_FALSE(pool.IsRegistered(2));
}

TEST(ResourcePool, TablePoolsTakeTheirSizesFromTheConfiguration) {
  core::TSystemParameters& parameters = core::SystemParameters();
  parameters.SetString("AliasPoolMin", "3");
  parameters.SetString("AliasPoolMax", "2");
  parameters.SetString("MailboxPoolMax", "999");
  parameters.SetString("DocumentPoolMin", "-4");
  testing::TMemoryDatabase database;
  TResourcePool pool(kShortWait);
  RegisterTablePools(pool, database.Opener());
  for (int index = piAccount; index <= piDocument; ++index) {
    EXPECT_TRUE(pool.IsRegistered(index)) << index;
  }
  EXPECT_FALSE(pool.IsRegistered(10));
  EXPECT_EQ(pool.Maximum(piAccount), 10);  // built-in default
  EXPECT_EQ(pool.ItemCount(piAccount), 1);
  EXPECT_EQ(pool.Maximum(piAlias), 2);
  EXPECT_EQ(pool.ItemCount(piAlias), 2);
  EXPECT_EQ(pool.Maximum(piMailbox), 256);
  EXPECT_EQ(pool.ItemCount(piDocument), 1);
  for (const char* key : {"AliasPoolMin", "AliasPoolMax", "MailboxPoolMax", "DocumentPoolMin"}) {
    parameters.SetString(key, "");
  }
}

TEST(ResourcePool, TheProcessPoolIsInstalledAndRemoved) {
  EXPECT_FALSE(HasDatabasePool());
  EXPECT_THROW(DatabasePool(), EVDatabase);
  auto pool = std::make_unique<TResourcePool>(kShortWait);
  TResourcePool* raw = pool.get();
  SetDatabasePool(std::move(pool));
  EXPECT_EQ(&DatabasePool(), raw);
  SetDatabasePool(nullptr);
  EXPECT_FALSE(HasDatabasePool());
}

}  // namespace
}  // namespace tovenmarsh::resources
