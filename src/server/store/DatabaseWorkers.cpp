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
    FQueue.clear();
  }
  FWake.notify_all();
  for (auto& thread : FThreads) thread.join();
}

void TDatabaseWorkers::Submit(TTask task) {
  {
    std::lock_guard lock(FMutex);
    FQueue.push_back(std::move(task));
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
      FWake.wait(lock, [this] { return FStopping || !FQueue.empty(); });
      if (FStopping) return;
      task = std::move(FQueue.front());
      FQueue.pop_front();
    }
    task(database);
  }
}

}  // namespace zorva
