#include "ZorvaUserStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "TempDatabase.h"
#include "ZorvaGuest.h"

namespace zorva {
namespace {

using Verdict = decltype(TLoginResult::Verdict);

class FixedClock : public IClock {
 public:
  std::uint64_t NowMs() const override { return 0; }
  TDateTime Today() const override { return FToday; }
  TDateTime FToday = EncodeDate(2024, 5, 17);
};

// Stands for the core's thread: tasks posted by the workers wait here until the test runs them.
class PostedTasks {
 public:
  void Post(std::function<void()> task) {
    {
      std::lock_guard lock(FMutex);
      FTasks.push_back(std::move(task));
      FPosterThreads.push_back(std::this_thread::get_id());
    }
    FArrived.notify_all();
  }

  // Waits (boundedly) for `count` tasks and runs them here, in arrival order.
  void RunWhenPosted(std::size_t count) {
    std::deque<std::function<void()>> tasks;
    {
      std::unique_lock lock(FMutex);
      ASSERT_TRUE(
          FArrived.wait_for(lock, std::chrono::seconds(20), [&] { return FTasks.size() >= count; }))
          << "only " << FTasks.size() << " of " << count << " answers arrived";
      tasks.swap(FTasks);
    }
    for (auto& task : tasks) task();
  }

  std::vector<std::thread::id> PosterThreads() {
    std::lock_guard lock(FMutex);
    return FPosterThreads;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FArrived;
  std::deque<std::function<void()>> FTasks;
  std::vector<std::thread::id> FPosterThreads;
};

class UserStoreTest : public testing::Test {
 protected:
  UserStoreTest()
      : FStore(FTemp.Path(), FClock, [this](auto task) { FPosted.Post(std::move(task)); },
               {2, TPasswordCost::Cheapest()}) {
    TZorvaUser ann;
    ann.SetId("ann");
    ann.SetPassword("pw");
    ann.SetCity("Oslo");
    ann.SetLoginCount(4);
    FStore.SaveUser(ann);
  }

  TLoginRequest Login(const std::string& id, const std::string& password) const {
    TLoginRequest request;
    request.Id = id;
    request.SubjectCode = "CHESS";
    request.Password = password;
    request.Today = FClock.Today();
    return request;
  }

  TLoginRequest Register(const std::string& id, TZorvaUser record) const {
    TLoginRequest request = Login(id, "");
    request.NewUser = true;
    request.NewRecord = std::move(record);
    return request;
  }

  // Runs logins as the core would and returns their answers in request order.
  std::vector<TLoginResult> Decide(std::vector<TLoginRequest> requests) {
    std::vector<TLoginResult> results(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      FStore.AuthorizeLogin(std::move(requests[i]),
                            [&results, i](TLoginResult result) { results[i] = std::move(result); });
    }
    FPosted.RunWhenPosted(requests.size());
    return results;
  }

  TLoginResult DecideOne(TLoginRequest request) {
    return std::move(Decide({std::move(request)})[0]);
  }

  TZorvaUser Row(const std::string& id) {
    TZorvaUser user;
    user.SetId(id);
    FStore.LoadUser(user);
    return user;
  }

  TempDatabase FTemp;
  FixedClock FClock;
  PostedTasks FPosted;
  TZorvaUserStore FStore;
};

TEST_F(UserStoreTest, PasswordIsStoredOnlyAsAHash) {
  TSqliteConnection raw(FTemp.Path(), "");
  TSqliteStatement select(raw, "SELECT Password FROM ZorvaUsers WHERE UserId = 'ann'");
  auto run = select.Run();
  ASSERT_TRUE(run.Step());
  EXPECT_TRUE(run.Text(0).starts_with("$argon2id$")) << run.Text(0);
  EXPECT_TRUE(FStore.CheckPassword("ann", "pw"));
  EXPECT_FALSE(FStore.CheckPassword("ann", run.Text(0)));
}

TEST_F(UserStoreTest, LoadUserNeverHandsOutThePassword) {
  const TZorvaUser row = Row("ann");
  EXPECT_EQ(row.City(), "Oslo");
  EXPECT_EQ(row.Password(), "");
}

TEST_F(UserStoreTest, SavingWithoutAPasswordKeepsTheHash) {
  TZorvaUser edited = Row("ann");  // what the operator's dialog or "USERUPDATE" sends back
  edited.SetCity("Bergen");
  FStore.SaveUser(edited);
  EXPECT_TRUE(FStore.CheckPassword("ann", "pw"));
  EXPECT_EQ(Row("ann").City(), "Bergen");

  edited.SetPassword("new");
  FStore.SaveUser(edited);
  EXPECT_FALSE(FStore.CheckPassword("ann", "pw"));
  EXPECT_TRUE(FStore.CheckPassword("ann", "new"));
}

TEST_F(UserStoreTest, UserWithoutPasswordAcceptsOnlyAnEmptyOne) {
  TZorvaUser open;
  open.SetId("open");
  FStore.SaveUser(open);
  EXPECT_TRUE(FStore.UserExists("open"));
  EXPECT_TRUE(FStore.CheckPassword("open", ""));
  EXPECT_FALSE(FStore.CheckPassword("open", "anything"));
  EXPECT_FALSE(FStore.CheckPassword("nobody", ""));
}

TEST_F(UserStoreTest, FeedbackRowNamesSenderCodeAndDay) {
  TZorvaGuest guest(7, "127.0.0.1:5000", "127.0.0.1:4000", 0, 65536, 1);
  auto user = std::make_unique<TZorvaUser>();
  user->SetId("ann");
  guest.SetUser(std::move(user));
  guest.SetSubjectCode("CHESS");
  FStore.StoreFeedback(guest, "nice|but|slow");
  FStore.StoreFeedback(guest, "again");

  TSqliteConnection raw(FTemp.Path(), "");
  TSqliteStatement select(raw, "SELECT ID, SUBJECTCD, DATE, FEEDBACK FROM Feedback ORDER BY rowid");
  auto run = select.Run();
  ASSERT_TRUE(run.Step());
  EXPECT_EQ(run.Text(0) + " " + run.Text(1) + " " + run.Text(2) + " " + run.Text(3),
            "ann CHESS 2024-05-17 nice|but|slow");
  ASSERT_TRUE(run.Step());
  EXPECT_FALSE(run.Step());
}

struct VerdictCase {
  const char* Label;
  bool NewUser;
  const char* Id;
  const char* Password;
  Verdict Expected;
};

class LoginVerdictTest : public UserStoreTest, public testing::WithParamInterface<VerdictCase> {};

TEST_P(LoginVerdictTest, RefusalsLeaveTheRowAlone) {
  const VerdictCase& c = GetParam();
  TZorvaUser sent;
  sent.SetPassword(c.Password);
  sent.SetCity("Elsewhere");
  const TLoginResult result = DecideOne(c.NewUser ? Register(c.Id, sent) : Login(c.Id, c.Password));
  EXPECT_EQ(result.Verdict, c.Expected) << result.Error;
  if (result.Verdict == Verdict::Accepted) {
    ASSERT_TRUE(result.User);
    EXPECT_EQ(result.User->Id(), c.Id);
    EXPECT_EQ(result.User->Password(), "");
    EXPECT_EQ(*result.User, Row(c.Id));  // what the guest gets is what was saved
    return;
  }
  EXPECT_FALSE(result.User);
  const TZorvaUser ann = Row("ann");
  EXPECT_EQ(ann.City(), "Oslo");
  EXPECT_EQ(ann.LoginCount(), 4);
  EXPECT_TRUE(FStore.CheckPassword("ann", "pw"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoginVerdictTest,
    testing::Values(VerdictCase{"Right", false, "ann", "pw", Verdict::Accepted},
                    VerdictCase{"UnknownId", false, "bob", "pw", Verdict::InvalidUserId},
                    VerdictCase{"IdOfOtherCase", false, "Ann", "pw", Verdict::InvalidUserId},
                    VerdictCase{"WrongPassword", false, "ann", "PW", Verdict::InvalidPassword},
                    VerdictCase{"MissingPassword", false, "ann", "", Verdict::InvalidPassword},
                    VerdictCase{"RegisterTakenId", true, "ann", "other", Verdict::IdTaken},
                    VerdictCase{"RegisterNewId", true, "bob", "pw", Verdict::Accepted}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(UserStoreTest, RegistrationThenLoginNextDay) {
  TZorvaUser sent;
  sent.SetId("someone-else");  // the checked id wins over the id inside the record
  sent.SetPassword("bobpw");
  sent.SetCity("Rome");
  const TLoginResult first = DecideOne(Register("bob", sent));
  ASSERT_EQ(first.Verdict, Verdict::Accepted) << first.Error;
  const TDateTime day1 = FClock.Today();
  TZorvaUser row = Row("bob");
  EXPECT_EQ(row.City(), "Rome");
  EXPECT_EQ(row.LoginCount(), 1);
  EXPECT_EQ(row.CreationDate(), day1);
  EXPECT_EQ(row.LastLoginDate(), day1);
  EXPECT_FALSE(FStore.UserExists("someone-else"));

  FClock.FToday = day1 + 1;
  const TLoginResult second = DecideOne(Login("bob", "bobpw"));
  ASSERT_EQ(second.Verdict, Verdict::Accepted) << second.Error;
  row = Row("bob");
  EXPECT_EQ(row.LoginCount(), 2);
  EXPECT_EQ(row.CreationDate(), day1);
  EXPECT_EQ(row.LastLoginDate(), day1 + 1);
}

TEST_F(UserStoreTest, AnswersArriveOnlyThroughThePoster) {
  bool answered = false;
  FStore.AuthorizeLogin(Login("ann", "pw"), [&](TLoginResult) { answered = true; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(answered);
  FPosted.RunWhenPosted(1);
  EXPECT_TRUE(answered);
  ASSERT_EQ(FPosted.PosterThreads().size(), 1u);
  EXPECT_NE(FPosted.PosterThreads()[0], std::this_thread::get_id());
}

TEST_F(UserStoreTest, ConcurrentLoginsCountEveryOne) {
  std::vector<TLoginRequest> requests(12, Login("ann", "pw"));
  for (const auto& result : Decide(std::move(requests))) {
    EXPECT_EQ(result.Verdict, Verdict::Accepted) << result.Error;
  }
  EXPECT_EQ(Row("ann").LoginCount(), 4 + 12);
}

TEST_F(UserStoreTest, ConcurrentRegistrationsOfOneIdLetOneWin) {
  std::vector<TLoginRequest> requests;
  for (int i = 0; i < 6; ++i) {
    TZorvaUser sent;
    sent.SetPassword("pw" + std::to_string(i));
    requests.push_back(Register("carl", sent));
  }
  int accepted = 0;
  for (const auto& result : Decide(std::move(requests))) {
    accepted += result.Verdict == Verdict::Accepted;
    EXPECT_NE(result.Verdict, Verdict::Failed) << result.Error;
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(Row("carl").LoginCount(), 1);
}

TEST_F(UserStoreTest, DatabaseFailureAnswersFailedWithTheReason) {
  { TSqliteConnection raw(FTemp.Path(), "DROP TABLE ZorvaUsers"); }
  const TLoginResult result = DecideOne(Login("ann", "pw"));
  EXPECT_EQ(result.Verdict, Verdict::Failed);
  EXPECT_NE(result.Error.find("no such table"), std::string::npos) << result.Error;
  EXPECT_THROW(FStore.UserExists("ann"), EDatabaseError);
}

TEST(UserStoreOpenTest, ABadPathFailsConstruction) {
  FixedClock clock;
  TempDatabase temp;
  const std::string path = (temp.Folder() / "no" / "such" / "folder.db").string();
  EXPECT_THROW(TZorvaUserStore(path, clock, [](auto) {}), EDatabaseError);
}

}  // namespace
}  // namespace zorva
