// The base bodies of the user hooks: every id but "NewUser" exists, every password is right,
// nothing is kept; and the base login decision built on them.
#include "ExceptionText.h"
#include "LoginDecision.h"
#include "ServerInterfaces.h"
#include "ZorvaProtocol.h"

namespace zorva {

namespace {

// The login steps as the overridable hooks; a registration is a save, so it never loses a race.
class THookSteps : public ILoginSteps {
 public:
  explicit THookSteps(TServerHooks& hooks) : FHooks(hooks) {}

  bool UserExists(const std::string& id) override { return FHooks.UserExists(id); }
  bool CheckPassword(const std::string& id, const std::string& password) override {
    return FHooks.CheckPassword(id, password);
  }
  bool AddUser(const TZorvaUser& user) override {
    FHooks.SaveUser(user);
    return true;
  }
  void LoadUser(TZorvaUser& user) override { FHooks.LoadUser(user); }
  void SaveUser(const TZorvaUser& user) override { FHooks.SaveUser(user); }

 private:
  TServerHooks& FHooks;
};

}  // namespace

TCustomRequest::TCustomRequest(std::string name, std::string data, std::string senderId,
                               std::string subjectCode, std::string subjectName,
                               TSendToSender sendToSender)
    : FName(std::move(name)),
      FData(std::move(data)),
      FSenderId(std::move(senderId)),
      FSubjectCode(std::move(subjectCode)),
      FSubjectName(std::move(subjectName)),
      FSendToSender(std::move(sendToSender)) {}

void TCustomRequest::Reply(std::string_view name, std::string_view data) const {
  FSendToSender(Msg::Custom(name, data));
}

void AnswerStoreJob(const std::function<void()>& job, const TStoreDone& done) {
  std::string error;
  try {
    job();
  } catch (const std::exception& failure) {
    error = DescribeException(failure);
  }
  done(std::move(error));
}

bool TServerHooks::CheckPassword(const std::string&, const std::string&) {
  return true;
}

bool TServerHooks::UserExists(const std::string& id) {
  return id != "NewUser";
}

void TServerHooks::FilterIncoming(std::string&) {}

void TServerHooks::FilterOutgoing(std::string&) {}

void TServerHooks::CustomCommand(const TCustomRequest&) {}

void TServerHooks::LoadUser(TZorvaUser&) {}

void TServerHooks::StoreFeedback(const TFeedback&) {}

void TServerHooks::SaveUser(const TZorvaUser&) {}

void TServerHooks::AuthorizeLogin(TLoginRequest request, TLoginDone done) {
  THookSteps steps(*this);
  done(DecideLogin(steps, request));
}

void TServerHooks::SaveUserLater(TZorvaUser user, TStoreDone done) {
  AnswerStoreJob([&] { SaveUser(user); }, done);
}

void TServerHooks::StoreFeedbackLater(TFeedback feedback, TStoreDone done) {
  AnswerStoreJob([&] { StoreFeedback(feedback); }, done);
}

}  // namespace zorva
