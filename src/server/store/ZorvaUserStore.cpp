#include "ZorvaUserStore.h"

#include "LoginDecision.h"

namespace zorva {

namespace {

// Saves and feedback wait in one lane of their own, beside the lanes of the addresses logging in.
const std::string kStoreJobLane = "store jobs";

// A user registered without a password has none stored, and only an empty one matches.
bool PasswordMatches(const std::string& stored, const std::string& given) {
  if (stored.empty()) return given.empty();
  return VerifyPassword(stored, given);
}

std::string HashUnlessEmpty(const std::string& password, const TPasswordCost& cost) {
  if (password.empty()) return {};
  return HashPassword(password, cost);
}

void WipePasswords(TLoginRequest& request) {
  WipePassword(request.Password);
  if (request.NewRecord) WipePassword(request.NewRecord->PasswordStorage());
}

void SaveOn(TUserDatabase& database, TZorvaUser& user, const TPasswordCost& cost) {
  const auto hash = HashUnlessEmpty(user.Password(), cost);
  WipePassword(user.PasswordStorage());
  database.SaveUser(user, hash);
}

void AppendFeedbackOn(TUserDatabase& database, const TFeedback& feedback) {
  database.AppendFeedback(feedback.UserId, feedback.SubjectCode, feedback.Date, feedback.Text);
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

TZorvaUserStore::TZorvaUserStore(const std::string& path, TUserStoreOptions options)
    : FPasswordCost(options.PasswordCost), FDatabase(path), FWorkers(path, options.Workers) {}

bool TZorvaUserStore::CheckPassword(const std::string& id, const std::string& password) {
  return StoredPasswordMatches(FDatabase, id, password);
}

bool TZorvaUserStore::UserExists(const std::string& id) {
  return FDatabase.UserExists(id);
}

void TZorvaUserStore::LoadUser(TZorvaUser& user) {
  FDatabase.LoadUser(user);
}

void TZorvaUserStore::StoreFeedback(const TFeedback& feedback) {
  AppendFeedbackOn(FDatabase, feedback);
}

void TZorvaUserStore::SaveUser(const TZorvaUser& user) {
  TZorvaUser copy = user;
  SaveOn(FDatabase, copy, FPasswordCost);
}

void TZorvaUserStore::AuthorizeLogin(TLoginRequest request, TLoginDone done) {
  const auto lane = request.Address;
  FWorkers.Submit(lane, [this, request = std::move(request),
                         done = std::move(done)](TUserDatabase& database) mutable {
    if (request.Abandoned()) {
      WipePasswords(request);
      return;
    }
    TWorkerSteps steps(database, FPasswordCost);
    auto result = DecideLogin(steps, request);
    WipePasswords(request);
    done(std::move(result));
  });
}

void TZorvaUserStore::SaveUserLater(TZorvaUser user, TStoreDone done) {
  FWorkers.Submit(kStoreJobLane, [this, user = std::move(user),
                                  done = std::move(done)](TUserDatabase& database) mutable {
    AnswerStoreJob([&] { SaveOn(database, user, FPasswordCost); }, done);
  });
}

void TZorvaUserStore::StoreFeedbackLater(TFeedback feedback, TStoreDone done) {
  FWorkers.Submit(kStoreJobLane, [feedback = std::move(feedback),
                                  done = std::move(done)](TUserDatabase& database) {
    AnswerStoreJob([&] { AppendFeedbackOn(database, feedback); }, done);
  });
}

}  // namespace zorva
