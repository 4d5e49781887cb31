#include "DatabaseWorkers.h"

#include <algorithm>

namespace zorva {

TDatabaseWorkers::TDatabaseWorkers(const std::string& path, int count) {
  const int workers = std::max(count, 1);
  for (int i = 0; i < workers; ++i) FDatabases.push_back(std::make_unique<TUserDatabase>(path));
  for (auto& database : FDatabases) {
    FThreads.emplace_back([this, db = database.get()] { Work(*db); });
  }
}

TDatabaseWorkers::~TDatabaseWorkers() {
  {
    std::lock_guard lock(FMutex);
    FStopping = true;
    FLanes.clear();
    FTurns.clear();
  }
  FWake.notify_all();
  for (auto& thread : FThreads) thread.join();
}

void TDatabaseWorkers::Submit(const std::string& lane, TTask task) {
  {
    std::lock_guard lock(FMutex);
    auto& tasks = FLanes[lane];
    if (tasks.empty()) FTurns.push_back(lane);
    tasks.push_back(std::move(task));
  }
  FWake.notify_one();
}

int TDatabaseWorkers::DefaultCount() {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(cores - 1, 1, 4);
}

void TDatabaseWorkers::Work(TUserDatabase& database) {
  for (;;) {
    TTask task;
    {
      std::unique_lock lock(FMutex);
      FWake.wait(lock, [this] { return FStopping || !FTurns.empty(); });
      if (FStopping) return;
      task = TakeNextTurn();
    }
    task(database);
  }
}

// The front lane gives up its oldest task and goes to the back of the turns while it has more.
TDatabaseWorkers::TTask TDatabaseWorkers::TakeNextTurn() {
  auto lane = std::move(FTurns.front());
  FTurns.pop_front();
  const auto found = FLanes.find(lane);
  TTask task = std::move(found->second.front());
  found->second.pop_front();
  if (found->second.empty()) {
    FLanes.erase(found);
  } else {
    FTurns.push_back(std::move(lane));
  }
  return task;
}

}  // namespace zorva
