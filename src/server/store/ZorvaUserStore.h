// TZorvaUserStore: the server's user hooks kept in a SQLite file, so that users and feedback
// survive restarts. The daemon and the store window (TfrmDbServer) plug it in as the core's
// hooks; the line filters and custom commands keep their base bodies.
//
// Passwords are kept only as salted slow hashes. Logins are decided on a small worker pool so
// that a burst of them never stalls the network thread (the core's own decision, with this
// store's steps run against the worker's connection); the other hooks run on the caller's
// thread with a connection of their own.
//
//   TZorvaUserStore store("/var/lib/zorva/users.db", clock);
//   ServerCore core(transport, clock, store);
#pragma once

#include <string>

#include "DatabaseWorkers.h"
#include "PasswordHash.h"
#include "ServerInterfaces.h"
#include "UserDatabase.h"

namespace zorva {

struct TUserStoreOptions {
  int Workers = TDatabaseWorkers::DefaultCount();
  TPasswordCost PasswordCost = TPasswordCost::Default();
};

class TZorvaUserStore : public TServerHooks {
 public:
  // Opens (or creates) the database; throws EDatabaseError with a message for the operator.
  // `clock` dates the feedback rows.
  TZorvaUserStore(const std::string& path, const IClock& clock, TUserStoreOptions options = {});

  bool CheckPassword(const std::string& id, const std::string& password) override;
  bool UserExists(const std::string& id) override;
  // Leaves the password empty: the stored hash never leaves the store.
  void LoadUser(TZorvaUser& user) override;
  void StoreFeedback(TZorvaGuest& guest, const std::string& text) override;
  // An empty password keeps the stored hash; any other is hashed and replaces it.
  void SaveUser(const TZorvaUser& user) override;
  bool RequiresPassword() const override { return true; }

  // Registered users, for the start's report; on the caller's thread.
  std::int64_t UserCount() { return FDatabase.UserCount(); }

  // Decides on a worker and calls `done` there; a database failure answers Failed.
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override;

 private:
  const IClock& FClock;
  TPasswordCost FPasswordCost;
  TUserDatabase FDatabase;
  // Last, so that the workers stop before anything they use goes.
  TDatabaseWorkers FWorkers;
};

}  // namespace zorva
