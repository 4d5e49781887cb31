// TZorvaUserStore: the server's user hooks kept in a SQLite file, so that users and feedback
// survive restarts. The daemon and the store window (TfrmDbServer) plug it in as the core's
// hooks; the line filters and custom commands keep their base bodies.
//
// Passwords are kept only as salted slow hashes, and a clear-text one is wiped once hashed or
// checked. Logins, saves and feedback from the core are run on a small worker pool, so that
// neither a burst of password hashes nor a database locked by another process stalls the
// network thread (logins are the core's own decision, with this store's steps run against the
// worker's connection); the plain hooks run on the caller's thread with a connection of their
// own.
//
//   TZorvaUserStore store("/var/lib/zorva/users.db");
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
  explicit TZorvaUserStore(const std::string& path, TUserStoreOptions options = {});

  bool CheckPassword(const std::string& id, const std::string& password) override;
  bool UserExists(const std::string& id) override;
  // Leaves the password empty: the stored hash never leaves the store.
  void LoadUser(TZorvaUser& user) override;
  void StoreFeedback(const TFeedback& feedback) override;
  // An empty password keeps the stored hash; any other is hashed and replaces it.
  void SaveUser(const TZorvaUser& user) override;
  bool RequiresPassword() const override { return true; }

  // Registered users, for the start's report; on the caller's thread.
  std::int64_t UserCount() { return FDatabase.UserCount(); }

  // Decides on a worker and calls `done` there; a database failure answers Failed. A check
  // whose asker has gone before it starts is dropped unanswered.
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override;
  void SaveUserLater(TZorvaUser user, TStoreDone done) override;
  void StoreFeedbackLater(TFeedback feedback, TStoreDone done) override;

 private:
  TPasswordCost FPasswordCost;
  TUserDatabase FDatabase;
  // Last, so that the workers stop before anything they use goes.
  TDatabaseWorkers FWorkers;
};

}  // namespace zorva
