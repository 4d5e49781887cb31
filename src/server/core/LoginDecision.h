// The one decision about a "LOGIN" or "LOGINNEW": which checks run in which order, what an
// accepted login does to the record, and how a failure is answered. The base hooks and the
// user store both call it; they supply only the steps that touch their storage.
//
//   TLoginResult result = DecideLogin(steps, request);
#pragma once

#include <functional>
#include <string>

#include "ServerInterfaces.h"

namespace zorva {

// What the decision asks of a user store. Every step may throw: the decision answers Failed
// with the reason.
class ILoginSteps {
 public:
  virtual ~ILoginSteps() = default;
  virtual bool UserExists(const std::string& id) = 0;
  virtual bool CheckPassword(const std::string& id, const std::string& password) = 0;
  // Keeps a new user's record; false when another registration of the id came first.
  virtual bool AddUser(const TZorvaUser& user) = 0;
  virtual void LoadUser(TZorvaUser& user) = 0;
  virtual void SaveUser(const TZorvaUser& user) = 0;
  // Runs the load-stamp-save of an accepted login; a store makes it one write transaction so
  // that concurrent logins of one user count each other.
  virtual void Atomically(const std::function<void()>& work) { work(); }
};

// "LOGIN": UserExists, CheckPassword. "LOGINNEW": UserExists (a taken id is refused before a
// password is hashed or the text is judged), then the text's refusal if any, then AddUser of the
// sent record under the requested id, dated today.
// Accepted: the record is loaded, dated, counted (the count stops at its largest value) and
// saved, and becomes the result's User.
TLoginResult DecideLogin(ILoginSteps& steps, const TLoginRequest& request);

}  // namespace zorva
