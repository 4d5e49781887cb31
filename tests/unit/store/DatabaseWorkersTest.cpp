// The workers' lanes: a flood queued in one lane (one address's password guesses) delays another
// lane's task by one turn, not by the whole flood.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "DatabaseWorkers.h"
#include "TempDatabase.h"

namespace zorva {
namespace {

TEST(DatabaseWorkersTest, LanesTakeTurnsAndEachKeepsItsOwnOrder) {
  TempDatabase temp;
  std::mutex mutex;
  std::vector<std::string> ran;
  std::promise<void> release;
  std::promise<void> allDone;
  {
    TDatabaseWorkers workers(temp.Path(), 1);
    auto gate = release.get_future().share();
    workers.Submit("busy", [gate](TUserDatabase&) { gate.wait(); });
    const auto record = [&](std::string name) {
      return [&, name](TUserDatabase&) {
        std::lock_guard lock(mutex);
        ran.push_back(name);
        if (ran.size() == 7) allDone.set_value();
      };
    };
    for (int i = 1; i <= 5; ++i) workers.Submit("guesser", record("g" + std::to_string(i)));
    workers.Submit("player", record("p1"));
    workers.Submit("player", record("p2"));
    release.set_value();
    ASSERT_EQ(allDone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
  EXPECT_EQ(ran, (std::vector<std::string>{"g1", "p1", "g2", "p2", "g3", "g4", "g5"}));
}

}  // namespace
}  // namespace zorva
