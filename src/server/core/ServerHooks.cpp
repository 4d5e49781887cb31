// The base bodies of the user hooks: every id but "NewUser" exists, every password is right,
// nothing is kept; and the base login decision built on them.
#include "ExceptionText.h"
#include "ServerInterfaces.h"

namespace zorva {

namespace {

using Verdict = decltype(TLoginResult::Verdict);

TLoginResult Refuse(Verdict verdict) {
  TLoginResult result;
  result.Verdict = verdict;
  return result;
}

// The record that becomes the guest's: loaded by id, dated, counted and saved.
TLoginResult Accept(TServerHooks& hooks, const TLoginRequest& request) {
  auto user = std::make_unique<TZorvaUser>();
  user->SetId(request.Id);
  hooks.LoadUser(*user);
  user->SetLastLoginDate(request.Today);
  user->SetLoginCount(user->LoginCount() + 1);
  hooks.SaveUser(*user);
  TLoginResult result;
  result.Verdict = Verdict::Accepted;
  result.User = std::move(user);
  return result;
}

TLoginResult DecideLogin(TServerHooks& hooks, const TLoginRequest& request) {
  if (!hooks.UserExists(request.Id)) return Refuse(Verdict::InvalidUserId);
  if (!hooks.CheckPassword(request.Id, request.Password)) return Refuse(Verdict::InvalidPassword);
  return Accept(hooks, request);
}

TLoginResult DecideNewUser(TServerHooks& hooks, const TLoginRequest& request) {
  if (hooks.UserExists(request.Id)) return Refuse(Verdict::IdTaken);
  auto record = request.NewRecord.value_or(TZorvaUser{});
  record.SetCreationDate(request.Today);
  hooks.SaveUser(record);
  return Accept(hooks, request);
}

}  // namespace

bool TServerHooks::CheckPassword(const std::string&, const std::string&) {
  return true;
}

bool TServerHooks::UserExists(const std::string& id) {
  return id != "NewUser";
}

void TServerHooks::FilterIncoming(std::string&) {}

void TServerHooks::FilterOutgoing(std::string&) {}

void TServerHooks::CustomCommand(std::string&, const std::string&, TZorvaGuest&) {}

void TServerHooks::LoadUser(TZorvaUser&) {}

void TServerHooks::StoreFeedback(TZorvaGuest&, const std::string&) {}

void TServerHooks::SaveUser(const TZorvaUser&) {}

void TServerHooks::AuthorizeLogin(TLoginRequest request, TLoginDone done) {
  TLoginResult result;
  try {
    result = request.NewUser ? DecideNewUser(*this, request) : DecideLogin(*this, request);
  } catch (const std::exception& error) {
    result = Refuse(Verdict::Failed);
    result.Error = DescribeException(error);
  }
  done(std::move(result));
}

}  // namespace zorva
