// TDatabaseWorkers: a few threads, each with its own connection to the user database, that run
// the slow part of logins (password hashes) away from the server's network thread. Used by the
// user store.
//
//   TDatabaseWorkers workers(path, 2);
//   workers.Submit([](TUserDatabase& database) { database.UserExists("ann"); });
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UserDatabase.h"

namespace zorva {

class TDatabaseWorkers {
 public:
  using TTask = std::function<void(TUserDatabase&)>;

  // Opens every connection before any thread starts, so a bad database throws EDatabaseError
  // here and not on a worker. `count` below 1 counts as 1.
  TDatabaseWorkers(const std::string& path, int count);
  // Lets the running tasks finish, drops the queued ones and joins the threads.
  ~TDatabaseWorkers();
  TDatabaseWorkers(const TDatabaseWorkers&) = delete;
  TDatabaseWorkers& operator=(const TDatabaseWorkers&) = delete;

  // Tasks start in submission order; a task must not throw.
  void Submit(TTask task);

  // One less than the cores, so the network thread keeps one; at least 1, at most 4.
  static int DefaultCount();

 private:
  void Work(TUserDatabase& database);

  std::mutex FMutex;
  std::condition_variable FWake;
  std::deque<TTask> FQueue;
  bool FStopping = false;
  std::vector<std::unique_ptr<TUserDatabase>> FDatabases;
  std::vector<std::thread> FThreads;
};

}  // namespace zorva
