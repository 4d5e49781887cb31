// The login decision against scripted steps: which steps run, in which order, and what is
// answered, for both the base hooks and the user store.
#include <limits>
#include <stdexcept>

#include "CoreHarness.h"
#include "LoginDecision.h"

namespace zorva::testing {
namespace {

using Verdict = decltype(TLoginResult::Verdict);
constexpr std::int32_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Knows "ann" (password "pw", `Count` logins so far); writes every step it is asked into Log.
class ScriptedSteps : public ILoginSteps {
 public:
  bool UserExists(const std::string& id) override {
    Log.push_back("exists " + id);
    if (id == "broken") throw std::runtime_error("disk gone");
    return id == "ann";
  }
  bool CheckPassword(const std::string&, const std::string& password) override {
    Log.push_back("password " + password);
    return password == "pw";
  }
  bool AddUser(const TZorvaUser& user) override {
    Log.push_back("add " + user.Id());
    return !LoseRace;
  }
  void LoadUser(TZorvaUser& user) override {
    Log.push_back("load " + user.Id());
    user.SetLoginCount(Count);
  }
  void SaveUser(const TZorvaUser& user) override {
    Log.push_back("save " + user.Id() + " " + std::to_string(user.LoginCount()));
  }
  void Atomically(const std::function<void()>& work) override {
    Log.push_back("begin");
    work();
    Log.push_back("commit");
  }

  Lines Log;
  std::int32_t Count = 4;
  bool LoseRace = false;
};

struct TDecisionCase {
  const char* Label;
  bool NewUser;
  std::string Id;
  std::string Password;
  std::int32_t Count;
  bool LoseRace;
  Verdict Expected;
  Lines Steps;
};

void PrintTo(const TDecisionCase& c, std::ostream* os) {
  *os << c.Label;
}

class LoginDecisionTest : public ::testing::TestWithParam<TDecisionCase> {};

TEST_P(LoginDecisionTest, RunsTheStepsInOrder) {
  const auto& c = GetParam();
  ScriptedSteps steps;
  steps.Count = c.Count;
  steps.LoseRace = c.LoseRace;
  TLoginRequest request;
  request.NewUser = c.NewUser;
  request.Id = c.Id;
  request.Password = c.Password;
  if (c.NewUser) request.NewRecord = TZorvaUser();
  request.Today = EncodeDate(2024, 5, 17);

  const auto result = DecideLogin(steps, request);
  EXPECT_EQ(result.Verdict, c.Expected) << result.Error;
  EXPECT_EQ(steps.Log, c.Steps);
  EXPECT_EQ(result.User != nullptr, c.Expected == Verdict::Accepted);
  if (result.User) {
    EXPECT_EQ(result.User->LastLoginDate(), request.Today);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoginDecisionTest,
    ::testing::Values(
        TDecisionCase{"login",
                      false,
                      "ann",
                      "pw",
                      4,
                      false,
                      Verdict::Accepted,
                      {"exists ann", "password pw", "begin", "load ann", "save ann 5", "commit"}},
        TDecisionCase{"count_stops_at_its_largest",
                      false,
                      "ann",
                      "pw",
                      kMaxCount,
                      false,
                      Verdict::Accepted,
                      {"exists ann", "password pw", "begin", "load ann",
                       "save ann " + std::to_string(kMaxCount), "commit"}},
        TDecisionCase{
            "unknown_id", false, "bob", "pw", 4, false, Verdict::InvalidUserId, {"exists bob"}},
        TDecisionCase{"wrong_password",
                      false,
                      "ann",
                      "PW",
                      4,
                      false,
                      Verdict::InvalidPassword,
                      {"exists ann", "password PW"}},
        TDecisionCase{"register",
                      true,
                      "bob",
                      "",
                      0,
                      false,
                      Verdict::Accepted,
                      {"exists bob", "add bob", "begin", "load bob", "save bob 1", "commit"}},
        // No record is added (nor its password hashed) for a taken id.
        TDecisionCase{
            "register_taken", true, "ann", "", 4, false, Verdict::IdTaken, {"exists ann"}},
        TDecisionCase{"register_race_lost",
                      true,
                      "bob",
                      "",
                      0,
                      true,
                      Verdict::IdTaken,
                      {"exists bob", "add bob"}},
        TDecisionCase{
            "step_fails", false, "broken", "pw", 4, false, Verdict::Failed, {"exists broken"}}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(LoginDecisionFailure, NamesTheReason) {
  ScriptedSteps steps;
  TLoginRequest request;
  request.Id = "broken";
  EXPECT_EQ(DecideLogin(steps, request).Error, "[std::runtime_error] disk gone");
}

// The base hooks take the same decision: the count stops at its largest value there too.
class FullCountHooks : public TServerHooks {
 public:
  void LoadUser(TZorvaUser& user) override { user.SetLoginCount(kMaxCount); }
};

TEST(BaseHooksLogin, CountStopsAtItsLargestValue) {
  FullCountHooks hooks;
  TLoginRequest request;
  request.Id = "ann";
  TLoginResult result;
  hooks.AuthorizeLogin(request, [&](TLoginResult answer) { result = std::move(answer); });
  ASSERT_EQ(result.Verdict, Verdict::Accepted) << result.Error;
  EXPECT_EQ(result.User->LoginCount(), kMaxCount);
}

}  // namespace
}  // namespace zorva::testing
