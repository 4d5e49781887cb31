#include "ZorvaUserStore.h"

#include "LoginDecision.h"
#include "ZorvaGuest.h"

namespace zorva {

namespace {

// A user registered without a password has none stored, and only an empty one matches.
bool PasswordMatches(const std::string& stored, const std::string& given) {
  if (stored.empty()) return given.empty();
  return VerifyPassword(stored, given);
}

std::string HashUnlessEmpty(const std::string& password, const TPasswordCost& cost) {
  if (password.empty()) return {};
  return HashPassword(password, cost);
}

bool StoredPasswordMatches(TUserDatabase& database, const std::string& id,
                           const std::string& password) {
  const auto stored = database.StoredPassword(id);
  return stored && PasswordMatches(*stored, password);
}

// The login steps on one worker's connection. A registration inserts (never overwrites), so a
// second registration of an id that won the race is refused; the accepting load-and-save is one
// write transaction, so concurrent logins of one user count each other.
class TWorkerSteps : public ILoginSteps {
 public:
  TWorkerSteps(TUserDatabase& database, const TPasswordCost& cost)
      : FDatabase(database), FCost(cost) {}

  bool UserExists(const std::string& id) override { return FDatabase.UserExists(id); }
  bool CheckPassword(const std::string& id, const std::string& password) override {
    return StoredPasswordMatches(FDatabase, id, password);
  }
  bool AddUser(const TZorvaUser& user) override {
    return FDatabase.AddUser(user, HashUnlessEmpty(user.Password(), FCost));
  }
  void LoadUser(TZorvaUser& user) override { FDatabase.LoadUser(user); }
  // The loaded record has no password: an empty one keeps the stored hash.
  void SaveUser(const TZorvaUser& user) override { FDatabase.SaveUser(user, {}); }
  void Atomically(const std::function<void()>& work) override {
    FDatabase.InWriteTransaction(work);
  }

 private:
  TUserDatabase& FDatabase;
  const TPasswordCost& FCost;
};

}  // namespace

TZorvaUserStore::TZorvaUserStore(const std::string& path, const IClock& clock,
                                 TUserStoreOptions options)
    : FClock(clock),
      FPasswordCost(options.PasswordCost),
      FDatabase(path),
      FWorkers(path, options.Workers) {}

bool TZorvaUserStore::CheckPassword(const std::string& id, const std::string& password) {
  return StoredPasswordMatches(FDatabase, id, password);
}

bool TZorvaUserStore::UserExists(const std::string& id) {
  return FDatabase.UserExists(id);
}

void TZorvaUserStore::LoadUser(TZorvaUser& user) {
  FDatabase.LoadUser(user);
}

void TZorvaUserStore::StoreFeedback(TZorvaGuest& guest, const std::string& text) {
  const std::string id = guest.User() ? guest.User()->Id() : std::string();
  FDatabase.AppendFeedback(id, guest.SubjectCode(), FClock.Today(), text);
}

void TZorvaUserStore::SaveUser(const TZorvaUser& user) {
  FDatabase.SaveUser(user, HashUnlessEmpty(user.Password(), FPasswordCost));
}

void TZorvaUserStore::AuthorizeLogin(TLoginRequest request, TLoginDone done) {
  FWorkers.Submit(
      [this, request = std::move(request), done = std::move(done)](TUserDatabase& database) {
        TWorkerSteps steps(database, FPasswordCost);
        done(DecideLogin(steps, request));
      });
}

}  // namespace zorva
