// What a slow, failing or flooded user store does to the core: saves and feedback answered later
// (the guest's lines wait, nothing changes on failure), bounded and throttled logins.
#include <functional>

#include "CoreHarness.h"
#include "ServerEvents.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A store whose saves, feedback and logins wait until the test lets them finish.
class QueuedHooks : public TServerHooks {
 public:
  void SaveUserLater(TZorvaUser user, TStoreDone done) override {
    Saved.push_back(user);
    Jobs.push_back(std::move(done));
  }
  void StoreFeedbackLater(TFeedback feedback, TStoreDone done) override {
    Feedback.push_back(feedback.UserId + "/" + feedback.SubjectCode + "/" + feedback.Text);
    Jobs.push_back(std::move(done));
  }
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    Logins.push_back(std::move(request));
    LoginAnswers.push_back(std::move(done));
  }
  // Answers the pending login `index` with its verdict as the base hooks would decide it.
  void DecideLogin(std::size_t index, bool rightPassword) {
    auto request = Logins.at(index);
    if (!rightPassword) {
      TLoginResult refused;
      refused.Verdict = TLoginResult::Verdict::InvalidPassword;
      LoginAnswers.at(index)(std::move(refused));
      return;
    }
    TServerHooks::AuthorizeLogin(std::move(request), LoginAnswers.at(index));
  }

  std::vector<TZorvaUser> Saved;
  Lines Feedback;
  std::vector<TStoreDone> Jobs;
  std::vector<TLoginRequest> Logins;
  std::vector<TLoginDone> LoginAnswers;
};

class RefusalCounter : public RecordingObserver {
 public:
  void Event(const TServerEvent& event) override {
    if (event.Kind == TServerEventKind::Refusal && event.Refusal == TRefusalReason::ThrottledLogin)
      ++Throttled;
  }
  int Throttled = 0;
};

class AtOnceLoginTest : public CoreTest {};

class StoreJobTest : public CoreTest {
 protected:
  StoreJobTest() : CoreTest(Hooks) {}
  void SetUp() override {
    CoreTest::SetUp();
    Core.SetObserver(&Refusals);
  }
  // Logs in at once through the queued store.
  ConnectionId LoggedInNow(const std::string& id, const std::string& address = "") {
    const auto conn = Connect(address);
    Say(conn, "LOGIN|" + id + "|Game|pw");
    Answer(Hooks.Logins.size() - 1, true);
    Forget();
    return conn;
  }
  void Answer(std::size_t login, bool rightPassword) {
    Hooks.DecideLogin(login, rightPassword);
    Transport.RunPosted();
  }
  void Finish(std::size_t job, std::string error = "") {
    Hooks.Jobs.at(job)(std::move(error));
    Transport.RunPosted();
  }
  std::string Update(const std::string& city) {
    TZorvaUser record;
    record.SetCity(city);
    record.SetPassword("new-secret");
    return "USERUPDATE|ann|" + record.toString() + "|";
  }

  QueuedHooks Hooks;
  RefusalCounter Refusals;
};

TEST_F(StoreJobTest, UserUpdateWaitsForTheStoreAndHoldsTheGuestsLines) {
  const auto ann = LoggedInNow("ann");
  const auto bob = LoggedInNow("bob");
  Forget();
  Read(ann, Update("Oslo") + "\nSEND|CHAT|after\n");
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "");
  // The store gets the password to hash; the core's copy never holds it.
  ASSERT_EQ(Hooks.Saved.size(), 1u);
  EXPECT_EQ(Hooks.Saved[0].Password(), "new-secret");
  Say(bob, "SEND|CHAT|meanwhile");
  EXPECT_THAT(Take(ann), ElementsAre("SEND|bob|CHAT|meanwhile"));
  Finish(0);
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "Oslo");
  EXPECT_EQ(Core.FindGuest(ann)->User()->Password(), "");
  const auto info = "USERINFO|" + Core.FindGuest(ann)->WireText() + "|";
  EXPECT_THAT(Take(bob), ElementsAre(info, "SEND|ann|CHAT|after"));
}

struct TStoreFailure {
  const char* Label;
  std::string Line;
};

void PrintTo(const TStoreFailure& c, std::ostream* os) {
  *os << c.Label;
}

class StoreFailure : public StoreJobTest, public ::testing::WithParamInterface<TStoreFailure> {};

TEST_P(StoreFailure, IsAnsweredChangesNothingAndTheNextLineRuns) {
  const auto ann = LoggedInNow("ann");
  const auto bob = LoggedInNow("bob");
  Read(ann, GetParam().Line + "\nSEND|CHAT|next\n");
  Finish(0, "[EDatabaseError] database is locked");
  EXPECT_THAT(Take(ann), ElementsAre("ERROR|The user store is unavailable"));
  EXPECT_THAT(Take(bob), ElementsAre("SEND|ann|CHAT|next"));
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "");
  EXPECT_THAT(Refusals.Exceptions, ElementsAre("[EDatabaseError] database is locked"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, StoreFailure,
    ::testing::Values(TStoreFailure{"user_update", "USERUPDATE|ann|" + TZorvaUser().toString()},
                      TStoreFailure{"feedback", "FEEDBACK|too|slow"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(StoreJobTest, FeedbackNamesSenderAndCodeAndWaits) {
  const auto ann = LoggedInNow("ann");
  Read(ann, "FEEDBACK|nice|game\nFEEDBACK|again\n");
  EXPECT_THAT(Hooks.Feedback, ElementsAre("ann/Game/nice|game"));
  Finish(0);
  EXPECT_THAT(Hooks.Feedback, ElementsAre("ann/Game/nice|game", "ann/Game/again"));
  EXPECT_THAT(Take(ann), IsEmpty());
}

TEST_F(StoreJobTest, AnswerAfterTheGuestLeftChangesNothing) {
  const auto ann = LoggedInNow("ann");
  const auto bob = LoggedInNow("bob");
  Say(ann, Update("Oslo"));
  Core.OnClientDisconnect(ann);
  Forget();
  Finish(0);
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_THAT(Refusals.Exceptions, IsEmpty());
  (void)bob;
}

TEST_F(StoreJobTest, OperatorEditAppliesOnlyOnceKept) {
  const auto ann = LoggedInNow("ann");
  TZorvaUser edited = *Core.FindGuest(ann)->User();
  edited.SetCity("Oslo");
  EXPECT_TRUE(Core.SaveEditedUser(ann, edited));
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "");
  Finish(0, "[EDatabaseError] database is locked");
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "");
  EXPECT_TRUE(Core.SaveEditedUser(ann, edited));
  Finish(1);
  EXPECT_EQ(Core.FindGuest(ann)->User()->City(), "Oslo");
}

TEST_F(StoreJobTest, LeavingDropsTheQueuedCheck) {
  const auto guest = Connect();
  Say(guest, "LOGIN|ann|Game|pw");
  ASSERT_EQ(Hooks.Logins.size(), 1u);
  EXPECT_FALSE(Hooks.Logins[0].Abandoned());
  Core.OnClientDisconnect(guest);
  EXPECT_TRUE(Hooks.Logins[0].Abandoned());
  EXPECT_EQ(Core.PendingLogins(), 0u);
}

TEST_F(StoreJobTest, PendingChecksAreBoundedPerAddressAndInAll) {
  Core.SetLoginLimits({3, 2, {}});
  Lines answers;
  for (int i = 0; i < 3; ++i) {
    const auto guest = Connect("10.1.1.1");
    Say(guest, "LOGIN|user" + std::to_string(i) + "|Game|pw");
    const auto lines = Take(guest);
    answers.push_back(lines.empty() ? "queued" : lines.front());
  }
  const auto other = Connect("10.2.2.2");
  Say(other, "LOGIN|other|Game|pw");
  const auto third = Connect("10.3.3.3");
  Say(third, "LOGIN|third|Game|pw");
  EXPECT_THAT(answers,
              ElementsAre("queued", "queued", "LOGIN|ERROR|The Server is busy, try again later"));
  EXPECT_THAT(Take(other), IsEmpty());
  EXPECT_THAT(Take(third), ElementsAre("LOGIN|ERROR|The Server is busy, try again later"));
  EXPECT_EQ(Core.PendingLogins(), 3u);
  // An answered check makes room again.
  Answer(0, false);
  const auto again = Connect("10.1.1.1");
  Say(again, "LOGIN|later|Game|pw");
  EXPECT_THAT(Take(again), IsEmpty());
}

// Hooks that decide at once queue nothing, however many logins one turn brings.
TEST_F(AtOnceLoginTest, LoginsAnsweredAtOnceAreNotBounded) {
  Core.SetLoginLimits({1, 1, {}});
  std::vector<ConnectionId> guests;
  for (int i = 0; i < 3; ++i) {
    guests.push_back(Connect("10.1.1.1"));
    Core.OnClientRead(guests.back(), "LOGIN|user" + std::to_string(i) + "|Game|pw\n");
  }
  Transport.RunPosted();
  for (const auto guest : guests) EXPECT_TRUE(Core.FindGuest(guest)->LoggedIn()) << guest;
  EXPECT_EQ(Core.PendingLogins(), 0u);
}

// Wrong passwords from one address, or for one id from many: past the fifth in a minute, a try
// must wait; a right password for the id forgives that id's failures.
struct TThrottleCase {
  const char* Label;
  bool SameAddress;
  bool SameId;
};

void PrintTo(const TThrottleCase& c, std::ostream* os) {
  *os << c.Label;
}

class LoginThrottling : public StoreJobTest, public ::testing::WithParamInterface<TThrottleCase> {
 protected:
  ConnectionId Attempt(int i) {
    const auto& c = GetParam();
    const auto guest = Connect(c.SameAddress ? "10.9.9.9" : "10.8.0." + std::to_string(i));
    Say(guest, "LOGIN|" + std::string(c.SameId ? "ann" : "user" + std::to_string(i)) + "|Game|x");
    return guest;
  }
};

TEST_P(LoginThrottling, RefusesPastTheFreeFailuresThenWaitsLonger) {
  for (int i = 0; i < 5; ++i) {
    Attempt(i);
    Answer(Hooks.Logins.size() - 1, false);
  }
  EXPECT_THAT(Take(Attempt(5)), ElementsAre("LOGIN|ERROR|Too many attempts, try again later"));
  EXPECT_EQ(Refusals.Throttled, 1);
  EXPECT_EQ(Hooks.Logins.size(), 5u);
  Clock.Ms += 1000;
  Attempt(6);
  ASSERT_EQ(Hooks.Logins.size(), 6u);
  Answer(5, false);
  Clock.Ms += 1000;  // the next wait is two seconds
  EXPECT_THAT(Take(Attempt(7)), ElementsAre("LOGIN|ERROR|Too many attempts, try again later"));
  Clock.Ms += 1000;
  Attempt(8);
  EXPECT_EQ(Hooks.Logins.size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Table, LoginThrottling,
                         ::testing::Values(TThrottleCase{"one_address", true, false},
                                           TThrottleCase{"one_id", false, true}),
                         [](const auto& info) { return std::string(info.param.Label); });

TEST_F(StoreJobTest, OthersAreNotThrottledAndTheRightPasswordForgivesTheId) {
  for (int i = 0; i < 5; ++i) {
    Say(Connect("10.8.0." + std::to_string(i)), "LOGIN|ann|Game|x");
    Answer(i, false);
  }
  const auto bob = Connect("10.7.7.7");
  Say(bob, "LOGIN|bob|Game|pw");
  EXPECT_EQ(Hooks.Logins.size(), 6u);
  Clock.Ms += 1000;
  const auto owner = LoggedInNow("ann", "10.6.6.6");
  Core.OnClientDisconnect(owner);
  // Unforgiven, a sixth failure would make the next try wait two seconds.
  Say(Connect("10.5.5.5"), "LOGIN|ann|Game|x");
  Answer(7, false);
  Say(Connect("10.4.4.4"), "LOGIN|ann|Game|pw");
  EXPECT_EQ(Hooks.Logins.size(), 9u);
  EXPECT_EQ(Refusals.Throttled, 0);
}

TEST_F(StoreJobTest, AQuietMinuteForgetsTheFailures) {
  for (int i = 0; i < 5; ++i) {
    Say(Connect("10.9.9.9"), "LOGIN|user" + std::to_string(i) + "|Game|x");
    Answer(i, false);
  }
  Clock.Ms += 60000;
  for (int i = 5; i < 10; ++i) {
    Say(Connect("10.9.9.9"), "LOGIN|user" + std::to_string(i) + "|Game|x");
    Answer(i, false);
  }
  EXPECT_EQ(Hooks.Logins.size(), 10u);
  EXPECT_EQ(Refusals.Throttled, 0);
}

}  // namespace
}  // namespace zorva::testing
