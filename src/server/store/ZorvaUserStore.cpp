#include "ZorvaUserStore.h"

#include <limits>
#include <memory>

#include "ExceptionText.h"
#include "ZorvaGuest.h"

namespace zorva {

namespace {

// The member of that name hides the enum's name.
using Verdict = decltype(TLoginResult::Verdict);

// A user registered without a password has none stored, and only an empty one matches.
bool PasswordMatches(const std::string& stored, const std::string& given) {
  if (stored.empty()) return given.empty();
  return VerifyPassword(stored, given);
}

TLoginResult Answer(Verdict verdict) {
  TLoginResult result;
  result.Verdict = verdict;
  return result;
}

}  // namespace

TZorvaUserStore::TZorvaUserStore(const std::string& path, const IClock& clock,
                                 TPostToCore postToCore, TUserStoreOptions options)
    : FClock(clock),
      FPostToCore(std::move(postToCore)),
      FPasswordCost(options.PasswordCost),
      FDatabase(path),
      FWorkers(path, options.Workers) {}

TZorvaUserStore::TZorvaUserStore(const std::string& path, const IClock& clock,
                                 ITransport& transport, TUserStoreOptions options)
    : TZorvaUserStore(
          path, clock,
          [&transport](std::function<void()> task) { transport.Post(std::move(task)); }, options) {}

bool TZorvaUserStore::CheckPassword(const std::string& id, const std::string& password) {
  const auto stored = FDatabase.StoredPassword(id);
  return stored && PasswordMatches(*stored, password);
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
  FDatabase.SaveUser(user, HashUnlessEmpty(user.Password()));
}

void TZorvaUserStore::AuthorizeLogin(TLoginRequest request, TLoginDone done) {
  FWorkers.Submit([this, request = std::move(request),
                   done = std::move(done)](TUserDatabase& database) mutable {
    // std::function needs a copyable task, and the result owns its record.
    auto result = std::make_shared<TLoginResult>(DecideLogin(database, request));
    FPostToCore([done = std::move(done), result] { done(std::move(*result)); });
  });
}

TLoginResult TZorvaUserStore::DecideLogin(TUserDatabase& database,
                                          const TLoginRequest& request) const {
  try {
    return request.NewUser ? Register(database, request) : LogIn(database, request);
  } catch (const std::exception& error) {
    TLoginResult failed = Answer(Verdict::Failed);
    failed.Error = DescribeException(error);
    return failed;
  }
}

TLoginResult TZorvaUserStore::LogIn(TUserDatabase& database, const TLoginRequest& request) const {
  const auto stored = database.StoredPassword(request.Id);
  if (!stored) return Answer(Verdict::InvalidUserId);
  if (!PasswordMatches(*stored, request.Password)) {
    return Answer(Verdict::InvalidPassword);
  }
  return Accept(database, request);
}

TLoginResult TZorvaUserStore::Register(TUserDatabase& database,
                                       const TLoginRequest& request) const {
  // Refuse a taken id before paying for a hash.
  if (database.UserExists(request.Id)) return Answer(Verdict::IdTaken);
  TZorvaUser user = request.NewRecord.value_or(TZorvaUser());
  // The row belongs to the id that was checked, whatever id the sent record names.
  user.SetId(request.Id);
  user.SetCreationDate(request.Today);
  // A second registration of the id may have won the race since the check above.
  if (!database.AddUser(user, HashUnlessEmpty(user.Password()))) {
    return Answer(Verdict::IdTaken);
  }
  return Accept(database, request);
}

TLoginResult TZorvaUserStore::Accept(TUserDatabase& database, const TLoginRequest& request) {
  auto user = std::make_unique<TZorvaUser>();
  user->SetId(request.Id);
  database.InWriteTransaction([&] {
    database.LoadUser(*user);
    user->SetLastLoginDate(request.Today);
    if (user->LoginCount() < std::numeric_limits<std::int32_t>::max()) {
      user->SetLoginCount(user->LoginCount() + 1);
    }
    database.SaveUser(*user, {});
  });
  TLoginResult result = Answer(Verdict::Accepted);
  result.User = std::move(user);
  return result;
}

std::string TZorvaUserStore::HashUnlessEmpty(const std::string& password) const {
  if (password.empty()) return {};
  return HashPassword(password, FPasswordCost);
}

}  // namespace zorva
