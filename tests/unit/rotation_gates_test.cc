// RotationGates on their own: which operations a closed gate holds back
// (stamped at or after its earliest boundary; a closing period's passes),
// that every token must be opened, the order they are let go in (also when
// one comes while they are let go, or the gate closes again meanwhile), and
// the bound on waiting operations.
#include "database/store/rotation_gates.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plemox {
namespace {

class RotationGatesTest : public testing::Test {
 protected:
  // Passes an operation stamped `stamp` that records `name` when it runs.
  void Pass(const std::string& id, std::int64_t stamp,
            const std::string& name) {
    gates_.Pass(id, stamp, [this, name] { ran_.push_back(name); });
  }

  RotationGates gates_{3};
  std::vector<std::string> ran_;
};

using Ran = std::vector<std::string>;

TEST_F(RotationGatesTest, HoldsTheNewPeriodUntilEveryTokenIsOpened) {
  Pass("a", 100, "open gate");
  gates_.Close("a", "a_day/1", 1000);
  gates_.Close("a", "a_week/1", 2000);
  gates_.Close("a", "a_day/1", 5000);  // The same token again: no change.
  Pass("a", 999, "closing period");
  Pass("a", 1000, "new 1");
  Pass("b", 1500, "other leaderboard");
  // A closing period's operation passes the waiting new period's ones.
  Pass("a", 10, "closing late");
  Pass("a", 3000, "new 2");
  EXPECT_EQ(ran_, (Ran{"open gate", "closing period", "other leaderboard",
                       "closing late"}));
  EXPECT_EQ(gates_.waiting_count(), 2u);
  gates_.Open("a", "a_day/1");
  gates_.Open("a", "unknown");
  EXPECT_EQ(gates_.waiting_count(), 2u);
  gates_.Open("a", "a_week/1");
  EXPECT_EQ(ran_, (Ran{"open gate", "closing period", "other leaderboard",
                       "closing late", "new 1", "new 2"}));
  EXPECT_EQ(gates_.waiting_count(), 0u);
  EXPECT_EQ(gates_.closed_count(), 0u);
  Pass("a", 3000, "after");
  EXPECT_EQ(ran_.back(), "after");
}

TEST_F(RotationGatesTest, KeepsTheOrderWhileLettingGoAndWhenClosedAgain) {
  gates_.Close("a", "t1", 0);
  gates_.Pass("a", 1, [this] {
    ran_.push_back("first");
    // Comes while the waiting ones are let go: it goes after them.
    Pass("a", 1, "joined");
  });
  Pass("a", 1, "second");
  gates_.Open("a", "t1");
  EXPECT_EQ(ran_, (Ran{"first", "second", "joined"}));

  ran_.clear();
  gates_.Close("a", "t2", 0);
  gates_.Pass("a", 1, [this] {
    ran_.push_back("first");
    // The next rotation's hold closes the gate again meanwhile: what comes
    // after it waits for that rotation.
    gates_.Close("a", "t3", 0);
    Pass("a", 1, "third");
  });
  Pass("a", 1, "second");
  gates_.Open("a", "t2");
  EXPECT_EQ(ran_, (Ran{"first", "second"}));
  EXPECT_EQ(gates_.waiting_count(), 1u);
  EXPECT_EQ(gates_.closed_count(), 1u);
  gates_.Open("a", "t3");
  EXPECT_EQ(ran_, (Ran{"first", "second", "third"}));
  EXPECT_EQ(gates_.waiting_count(), 0u);
}

TEST_F(RotationGatesTest, ASupersedingOperationDropsItsTagsAndGoesAtOnce) {
  gates_.Close("a", "t", 0);
  int dropped = 0;
  gates_.Pass(
      "a", 1, [this] { ran_.push_back("p1 write"); }, "p1",
      [&dropped] { ++dropped; });
  gates_.Pass(
      "a", 1, [this] { ran_.push_back("p2 write"); }, "p2",
      [&dropped] { ++dropped; });
  gates_.Supersede("a", "p1", [this] { ran_.push_back("p1 deletion"); });
  EXPECT_EQ(ran_, (Ran{"p1 deletion"}));
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(gates_.waiting_count(), 1u);
  // While the waiting ones are let go it queues behind them.
  gates_.Pass("a", 1, [this] {
    ran_.push_back("p2 later");
    gates_.Supersede("a", "p2", [this] { ran_.push_back("p2 deletion"); });
  });
  gates_.Open("a", "t");
  EXPECT_EQ(ran_, (Ran{"p1 deletion", "p2 write", "p2 later", "p2 deletion"}));
  EXPECT_EQ(dropped, 1);
}

TEST_F(RotationGatesTest, GoesAtOncePastTheBoundAndAllAtShutdown) {
  gates_.Close("a", "t", 0);
  gates_.Close("b", "t", 0);
  Pass("a", 1, "a1");
  Pass("a", 2, "a2");
  Pass("b", 1, "b1");
  // The bound of 3 is reached: the next one opens its leaderboard's gate
  // and goes behind the one waiting there rather than being lost.
  Pass("b", 2, "b2");
  EXPECT_EQ(ran_, (Ran{"b1", "b2"}));
  EXPECT_EQ(gates_.closed_count(), 1u);
  Pass("b", 3, "b3");
  EXPECT_EQ(ran_.back(), "b3");
  gates_.OpenAll();
  EXPECT_EQ(ran_, (Ran{"b1", "b2", "b3", "a1", "a2"}));
  EXPECT_EQ(gates_.waiting_count(), 0u);
  EXPECT_EQ(gates_.closed_count(), 0u);
}

}  // namespace
}  // namespace plemox
