// TDatabaseWorkers: a few threads, each with its own connection to the user database, that run
// the slow part of logins (password hashes) away from the server's network thread. Used by the
// user store. Tasks wait in lanes (a client's address) that take turns, so a lane with a
// thousand tasks queued delays another lane's task by one task per worker, not by a thousand.
//
//   TDatabaseWorkers workers(path, 2);
//   workers.Submit("10.0.0.7", [](TUserDatabase& database) { database.UserExists("ann"); });
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
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

  // Tasks of one lane start in submission order; lanes with tasks waiting take turns. A task
  // must not throw.
  void Submit(const std::string& lane, TTask task);

  // One less than the cores, so the network thread keeps one; at least 1, at most 4.
  static int DefaultCount();

 private:
  void Work(TUserDatabase& database);
  TTask TakeNextTurn();  // under FMutex, with a turn waiting

  std::mutex FMutex;
  std::condition_variable FWake;
  std::unordered_map<std::string, std::deque<TTask>> FLanes;
  std::deque<std::string> FTurns;  // each lane with tasks waiting, once, in the order of its turn
  bool FStopping = false;
  std::vector<std::unique_ptr<TUserDatabase>> FDatabases;
  std::vector<std::thread> FThreads;
};

}  // namespace zorva
