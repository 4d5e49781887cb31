#include "ZorvaUserStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "FakeClock.h"
#include "TempDatabase.h"
#include "ZorvaGuest.h"

namespace zorva {
namespace {

using Verdict = decltype(TLoginResult::Verdict);

// Collects the answers the workers give, with the threads they came from.
class Answers {
 public:
  TLoginDone Slot(std::size_t index) {
    return [this, index](TLoginResult result) {
      {
        std::lock_guard lock(FMutex);
        FResults.at(index) = std::move(result);
        FThreads.push_back(std::this_thread::get_id());
        --FMissing;
      }
      FArrived.notify_all();
    };
  }

  void Expect(std::size_t count) {
    std::lock_guard lock(FMutex);
    FResults.clear();
    FResults.resize(count);
    FMissing = count;
  }

  // Waits (boundedly) until every expected answer has arrived.
  std::vector<TLoginResult> Wait() {
    std::unique_lock lock(FMutex);
    EXPECT_TRUE(FArrived.wait_for(lock, std::chrono::seconds(20), [&] { return FMissing == 0; }))
        << FMissing << " of " << FResults.size() << " answers did not arrive";
    return std::move(FResults);
  }

  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(FMutex);
    return FThreads;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FArrived;
  std::vector<TLoginResult> FResults;
  std::size_t FMissing = 0;
  std::vector<std::thread::id> FThreads;
};

class UserStoreTest : public testing::Test {
 protected:
  UserStoreTest() : FStore(FTemp.Path(), {2, TPasswordCost::Cheapest()}) {
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
    request.Today = FClock.Date;
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
    FAnswers.Expect(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
      FStore.AuthorizeLogin(std::move(requests[i]), FAnswers.Slot(i));
    }
    return FAnswers.Wait();
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
  test::FakeClock FClock;
  Answers FAnswers;
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
  FStore.StoreFeedback({"ann", "CHESS", FClock.Date, "nice|but|slow"});
  FStore.StoreFeedback({"ann", "CHESS", FClock.Date, "again"});

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
  const TDateTime day1 = FClock.Date;
  TZorvaUser row = Row("bob");
  EXPECT_EQ(row.City(), "Rome");
  EXPECT_EQ(row.LoginCount(), 1);
  EXPECT_EQ(row.CreationDate(), day1);
  EXPECT_EQ(row.LastLoginDate(), day1);
  EXPECT_FALSE(FStore.UserExists("someone-else"));

  FClock.Date = day1 + 1;
  const TLoginResult second = DecideOne(Login("bob", "bobpw"));
  ASSERT_EQ(second.Verdict, Verdict::Accepted) << second.Error;
  row = Row("bob");
  EXPECT_EQ(row.LoginCount(), 2);
  EXPECT_EQ(row.CreationDate(), day1);
  EXPECT_EQ(row.LastLoginDate(), day1 + 1);
}

TEST_F(UserStoreTest, AnswersComeFromAWorkerNotTheCaller) {
  DecideOne(Login("ann", "pw"));
  ASSERT_EQ(FAnswers.Threads().size(), 1u);
  EXPECT_NE(FAnswers.Threads()[0], std::this_thread::get_id());
}

TEST_F(UserStoreTest, LoginCountStopsAtItsLargestValue) {
  TZorvaUser ann = Row("ann");
  ann.SetLoginCount(std::numeric_limits<std::int32_t>::max());
  FStore.SaveUser(ann);
  const TLoginResult result = DecideOne(Login("ann", "pw"));
  ASSERT_EQ(result.Verdict, Verdict::Accepted) << result.Error;
  EXPECT_EQ(result.User->LoginCount(), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Row("ann").LoginCount(), std::numeric_limits<std::int32_t>::max());
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

// What a worker's job tells the core: empty for done, else why not.
class JobAnswers {
 public:
  TStoreDone Slot() {
    return [this](std::string error) {
      {
        std::lock_guard lock(FMutex);
        FErrors.push_back(std::move(error));
      }
      FArrived.notify_all();
    };
  }
  std::vector<std::string> Wait(std::size_t count) {
    std::unique_lock lock(FMutex);
    EXPECT_TRUE(
        FArrived.wait_for(lock, std::chrono::seconds(20), [&] { return FErrors.size() >= count; }));
    return FErrors;
  }

 private:
  std::mutex FMutex;
  std::condition_variable FArrived;
  std::vector<std::string> FErrors;
};

TEST_F(UserStoreTest, LaterJobsRunOnAWorkerAndAnswerTheirFailure) {
  TZorvaUser edited = Row("ann");
  edited.SetCity("Bergen");
  edited.SetPassword("newpw");
  JobAnswers answers;
  FStore.SaveUserLater(edited, answers.Slot());
  FStore.StoreFeedbackLater({"ann", "CHESS", FClock.Date, "fine"}, answers.Slot());
  EXPECT_EQ(answers.Wait(2), (std::vector<std::string>{"", ""}));
  EXPECT_EQ(Row("ann").City(), "Bergen");
  EXPECT_TRUE(FStore.CheckPassword("ann", "newpw"));

  { TSqliteConnection raw(FTemp.Path(), "DROP TABLE Feedback"); }
  FStore.StoreFeedbackLater({"ann", "CHESS", FClock.Date, "lost"}, answers.Slot());
  const auto errors = answers.Wait(3);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[2].find("no such table"), std::string::npos) << errors[2];
}

TEST_F(UserStoreTest, AWithdrawnCheckIsNeverDecided) {
  auto withdrawn = std::make_shared<std::atomic<bool>>(true);
  TLoginRequest gone = Login("ann", "pw");
  gone.Withdrawn = withdrawn;
  std::atomic<bool> answered = false;
  FStore.AuthorizeLogin(std::move(gone), [&](TLoginResult) { answered = true; });
  // Workers take tasks in order: once a later check is answered, the withdrawn one was skipped.
  EXPECT_EQ(DecideOne(Login("ann", "pw")).Verdict, Verdict::Accepted);
  EXPECT_EQ(Row("ann").LoginCount(), 5);
  EXPECT_FALSE(answered);
}

TEST(UserStoreOpenTest, ABadPathFailsConstruction) {
  TempDatabase temp;
  const std::string path = (temp.Folder() / "no" / "such" / "folder.db").string();
  EXPECT_THROW(TZorvaUserStore{path}, EDatabaseError);
}

}  // namespace
}  // namespace zorva
