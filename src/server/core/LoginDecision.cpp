#include "LoginDecision.h"

#include <limits>
#include <memory>

#include "ExceptionText.h"

namespace zorva {

namespace {

// The member of that name hides the enum's name.
using Verdict = decltype(TLoginResult::Verdict);

TLoginResult Answer(Verdict verdict) {
  TLoginResult result;
  result.Verdict = verdict;
  return result;
}

void StampLogin(TZorvaUser& user, TDateTime today) {
  user.SetLastLoginDate(today);
  if (user.LoginCount() < std::numeric_limits<std::int32_t>::max()) {
    user.SetLoginCount(user.LoginCount() + 1);
  }
}

TLoginResult Accept(ILoginSteps& steps, const TLoginRequest& request) {
  auto user = std::make_unique<TZorvaUser>();
  user->SetId(request.Id);
  steps.Atomically([&] {
    steps.LoadUser(*user);
    StampLogin(*user, request.Today);
    steps.SaveUser(*user);
  });
  TLoginResult result = Answer(Verdict::Accepted);
  result.User = std::move(user);
  return result;
}

TLoginResult LogIn(ILoginSteps& steps, const TLoginRequest& request) {
  if (!steps.UserExists(request.Id)) return Answer(Verdict::InvalidUserId);
  if (!steps.CheckPassword(request.Id, request.Password)) return Answer(Verdict::InvalidPassword);
  return Accept(steps, request);
}

TLoginResult Register(ILoginSteps& steps, const TLoginRequest& request) {
  if (steps.UserExists(request.Id)) return Answer(Verdict::IdTaken);
  if (!request.NewRecordError.empty()) {
    TLoginResult unreadable = Answer(Verdict::UnreadableText);
    unreadable.Error = request.NewRecordError;
    return unreadable;
  }
  if (!request.NewRecordRefusal.empty()) {
    TLoginResult refused = Answer(Verdict::Refused);
    refused.Error = request.NewRecordRefusal;
    return refused;
  }
  TZorvaUser user = request.NewRecord.value_or(TZorvaUser());
  // The record belongs to the id that was checked, whatever id the sent text names.
  user.SetId(request.Id);
  user.SetCreationDate(request.Today);
  if (!steps.AddUser(user)) return Answer(Verdict::IdTaken);
  return Accept(steps, request);
}

}  // namespace

TLoginResult DecideLogin(ILoginSteps& steps, const TLoginRequest& request) {
  try {
    return request.NewUser ? Register(steps, request) : LogIn(steps, request);
  } catch (const std::exception& error) {
    TLoginResult failed = Answer(Verdict::Failed);
    failed.Error = DescribeException(error);
    return failed;
  }
}

}  // namespace zorva
