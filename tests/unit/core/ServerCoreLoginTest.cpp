// Login, the user commands and the login decided later by a user store.
#include <functional>

#include "CoreHarness.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class LoginTest : public CoreTest {};

TEST_F(LoginTest, FirstLoginCreatesLobbyAndSendsTheSequence) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|secret");
  EXPECT_THAT(Take(ann), ElementsAre("LOGIN|SUCCESS|" + Wire("ann"), "SUBJECTS|Lobby Chat|",
                                     "JOINSUBJECT|Lobby Chat|" + Wire("ann")));
  EXPECT_THAT(Core.SubjectCodes(), ElementsAre("Game"));
  EXPECT_THAT(Core.StagingGuests(), IsEmpty());
}

TEST_F(LoginTest, SecondLoginIntoTheSameLobby) {
  const auto ann = LoggedIn("ann");
  const auto bob = Connect();
  Forget();
  Say(bob, "LOGIN|bob|Game|pw");
  EXPECT_THAT(TakeAll(), ElementsAre(std::to_string(bob) + "> LOGIN|SUCCESS|" + Wire("bob"),
                                     std::to_string(bob) + "> SUBJECTS|Lobby Chat|",
                                     std::to_string(ann) + "> ADDGUEST|bob|" + Wire("bob"),
                                     std::to_string(bob) + "> JOINSUBJECT|Lobby Chat|" +
                                         Wire("ann") + "|" + Wire("bob")));
}

struct TRefusal {
  const char* Label;
  Lines In;  // from a second connection, after "ann" has logged in on the first
  std::string Out;
};

void PrintTo(const TRefusal& c, std::ostream* os) {
  *os << c.Label;
}

class LoginRefusal : public LoginTest, public ::testing::WithParamInterface<TRefusal> {};

TEST_P(LoginRefusal, AnswersWithTheErrorLine) {
  LoggedIn("ann");
  const auto guest = Connect();
  for (const auto& line : GetParam().In) Say(guest, line);
  const auto lines = Take(guest);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), GetParam().Out);
  EXPECT_EQ(Core.FindGuest(1)->User()->Id(), "ann");
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoginRefusal,
    ::testing::Values(TRefusal{"id_in_use",
                               {"LOGIN|ann|Game|pw"},
                               "LOGIN|ERROR|A User with this ID is already logged in"},
                      TRefusal{"id_in_use_new",
                               {"LOGINNEW|ann|Game|"},
                               "LOGIN|ERROR|A User with this ID is already logged in"},
                      TRefusal{
                          "unknown_id", {"LOGIN|NewUser|Game|pw"}, "LOGIN|ERROR|Invalid User Id"},
                      TRefusal{"id_taken",
                               {"LOGINNEW|bob|Game|" + TZorvaUser().toString()},
                               "LOGIN|ERROR|This User ID is already being used"},
                      TRefusal{"already_logged_in",
                               {"LOGIN|bob|Game|pw", "LOGIN|carl|Game|pw"},
                               "LOGIN|ERROR|You are already logged in"},
                      TRefusal{"already_logged_in_same_id",
                               {"LOGIN|bob|Game|pw", "LOGIN|bob|Game|pw"},
                               "LOGIN|ERROR|You are already logged in"},
                      TRefusal{"user_not_found",
                               {"LOGIN|bob|Game|pw", "USERINFO|zed|"},
                               "ERROR|The specified User could not be found"},
                      TRefusal{"update_not_found",
                               {"LOGIN|bob|Game|pw", "USERUPDATE|zed|x|"},
                               "ERROR|The specified User could not be found to update"},
                      TRefusal{"update_someone_else",
                               {"LOGIN|bob|Game|pw", "USERUPDATE|ann|x|"},
                               "ERROR|You can only update your own User Info"}),
    [](const auto& info) { return std::string(info.param.Label); });

// Records what the store was asked.
class RecordingHooks : public TServerHooks {
 public:
  bool CheckPassword(const std::string& id, const std::string& password) override {
    Passwords.push_back(id + ":" + password);
    return password != "wrong";
  }
  void LoadUser(TZorvaUser& user) override { user.SetPassword("stored"); }
  void SaveUser(const TZorvaUser& user) override { Saved.push_back(user); }
  void StoreFeedback(const TFeedback& feedback) override { Feedback.push_back(feedback.Text); }
  void CustomCommand(const TCustomRequest& request) override {
    Custom.push_back(request.Name() + "/" + request.Data());
    if (request.Name() == "fail") throw std::runtime_error("custom failed");
  }

  Lines Passwords;
  std::vector<TZorvaUser> Saved;
  Lines Feedback;
  Lines Custom;
};

// A stored record edited by another tool may hold a line feed in a field.
class MultiLineCityHooks : public TServerHooks {
 public:
  void LoadUser(TZorvaUser& user) override {
    if (user.Id() == "bob") user.SetCity("two\nlines");
  }
};

class MultiLineRecordTest : public CoreTest {
 protected:
  MultiLineRecordTest() : CoreTest(Hooks) {}
  MultiLineCityHooks Hooks;
};

TEST_F(MultiLineRecordTest, AnnouncementToTheSubjectIsRefusedNotSplit) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  Take(ann);
  Say(Connect(), "LOGIN|bob|Game|pw");
  EXPECT_THAT(Take(ann), IsEmpty()) << "ADDGUEST with bob's record would split in two";
  for (const auto& sent : Transport.Sent) EXPECT_EQ(sent.Line.find('\n'), std::string::npos);
  EXPECT_FALSE(Observer.Exceptions.empty());
}

class StoreTest : public CoreTest {
 protected:
  StoreTest() : CoreTest(Hooks) {}
  RecordingHooks Hooks;
};

TEST_F(StoreTest, PasswordIsTheRestAndMayBeEmpty) {
  Say(Connect(), "LOGIN|ann|Game|a|b");
  Say(Connect(), "LOGIN|bob|Game");
  const auto carl = Connect();
  Say(carl, "LOGIN|carl|Game|wrong");
  EXPECT_THAT(Hooks.Passwords, ElementsAre("ann:a|b", "bob:", "carl:wrong"));
  EXPECT_THAT(Take(carl), ElementsAre("LOGIN|ERROR|Invalid Password"));
}

TEST_F(StoreTest, LoginNewSavesSentRecordUnderItsIdThenLogsIn) {
  TZorvaUser sent;
  sent.SetId("someone-else");
  sent.SetPassword("pw");
  sent.SetFirstName("Ann");
  const auto guest = Connect();
  Say(guest, "LOGINNEW|NewUser|Game|" + sent.toString());
  ASSERT_EQ(Hooks.Saved.size(), 2u);
  EXPECT_EQ(Hooks.Saved[0].Id(), "NewUser");
  EXPECT_EQ(Hooks.Saved[0].FirstName(), "Ann");
  EXPECT_EQ(Hooks.Saved[0].CreationDate(), Clock.Date);
  EXPECT_EQ(Hooks.Saved[1].LoginCount(), 1);
  // The success line carries what the store loaded, not what was sent.
  EXPECT_EQ(Take(guest).front(), "LOGIN|SUCCESS|" + Wire("NewUser"));
}

TEST_F(StoreTest, PasswordNeverLeavesTheServer) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|stored");
  LoggedIn("bob");
  Say(ann, "USERINFO|ann|");
  Say(ann, "USERUPDATE|ann|" + Core.FindGuest(ann)->User()->toString() + "|");
  // Not even the core keeps it: the record it holds has none.
  EXPECT_EQ(Core.FindGuest(ann)->User()->Password(), "");
  EXPECT_GT(Transport.Sent.size(), 5u);
  for (const auto& sent : Transport.Sent) EXPECT_EQ(sent.Line.find("stored"), std::string::npos);
}

TEST_F(StoreTest, LoginNewWithBadTextSavesNothing) {
  const auto guest = Connect();
  Say(guest, "LOGINNEW|NewUser|Game|a^b^c^d^e^f^g^h^i^not-a-date^");
  EXPECT_THAT(Hooks.Saved, IsEmpty());
  EXPECT_THAT(Take(guest), IsEmpty());
  EXPECT_FALSE(Core.FindGuest(guest)->LoggedIn());
  ASSERT_EQ(Observer.Exceptions.size(), 1u);
  Say(guest, "LOGINNEW|NewUser|Game|" + TZorvaUser().toString());  // the id is free again
  EXPECT_TRUE(Core.FindGuest(guest)->LoggedIn());
}

TEST_F(StoreTest, UserUpdateKeepsIdAndStoredPasswordAndTellsTheSubject) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|secret");
  const auto bob = LoggedIn("bob");
  Forget();
  TZorvaUser update;
  update.SetId("mallory");
  update.SetCity("Oslo");
  Say(ann, "USERUPDATE|ann|" + update.toString() + "|");
  const auto& saved = Hooks.Saved.back();
  EXPECT_EQ(saved.Id(), "ann");
  // Empty: the store keeps the password it has.
  EXPECT_EQ(saved.Password(), "");
  EXPECT_EQ(saved.City(), "Oslo");
  const auto line = "USERINFO|" + saved.toWireString() + "|";
  EXPECT_THAT(Take(ann), ElementsAre(line));
  EXPECT_THAT(Take(bob), ElementsAre(line));
  Say(bob, "USERINFO|ann|");
  EXPECT_THAT(Take(bob), ElementsAre(line));
}

TEST_F(StoreTest, UserUpdateWithBadTextChangesNothing) {
  const auto ann = LoggedIn("ann");
  const auto saves = Hooks.Saved.size();
  Say(ann, "USERUPDATE|ann|ann^pw^First^^^^^^^13/45/2020^");
  EXPECT_EQ(Hooks.Saved.size(), saves);
  EXPECT_EQ(Core.FindGuest(ann)->User()->FirstName(), "");
  EXPECT_THAT(Take(ann), IsEmpty());
}

TEST_F(StoreTest, FeedbackAndCustomGetTheRestWhole) {
  const auto ann = LoggedIn("ann");
  Say(ann, "FEEDBACK|good|game");
  Say(ann, "CUSTOM|move|1|2");
  Say(ann, "CUSTOM|fail|x");
  Say(ann, "PING|");
  EXPECT_THAT(Hooks.Feedback, ElementsAre("good|game"));
  EXPECT_THAT(Hooks.Custom, ElementsAre("move/1|2", "fail/x"));
  EXPECT_THAT(Observer.Exceptions, ElementsAre("[std::runtime_error] custom failed"));
  EXPECT_THAT(Take(ann), IsEmpty());
}

// A store that answers later: the test decides when.
class LaterHooks : public TServerHooks {
 public:
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    Requests.push_back(request.Id);
    Waiting.push_back([this, request = std::move(request), done = std::move(done)]() mutable {
      TServerHooks::AuthorizeLogin(std::move(request), std::move(done));
    });
  }
  void Finish(std::size_t index) { Waiting.at(index)(); }

  Lines Requests;
  std::vector<std::function<void()>> Waiting;
};

class PendingLoginTest : public CoreTest {
 protected:
  PendingLoginTest() : CoreTest(Hooks) {}
  // The store answers; the answer's event follows.
  void Finish(std::size_t index) {
    Hooks.Finish(index);
    Transport.RunPosted();
  }
  LaterHooks Hooks;
};

TEST_F(PendingLoginTest, LinesWaitInOrderWhileOthersGoOn) {
  const auto ann = Connect();
  const auto other = Connect();
  Read(ann, "LOGIN|ann|Game|pw\nUSERINFO|ann|\nUSERINFO|");
  Read(ann, "zed|\n");
  Say(other, "HELLO");
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Take(other), ElementsAre("ERROR|Unrecognized Server Command: HELLO|"));
  Finish(0);
  EXPECT_THAT(Take(ann),
              ElementsAre("LOGIN|SUCCESS|" + Wire("ann"), "SUBJECTS|Lobby Chat|",
                          "JOINSUBJECT|Lobby Chat|" + Wire("ann"), "USERINFO|" + Wire("ann") + "|",
                          "ERROR|The specified User could not be found"));
  Say(ann, "USERINFO|ann|");
  EXPECT_EQ(Take(ann).size(), 1u);
}

// A guesser's pending check must not lock the owner out: both are checked, the first accepted
// one logs in.
TEST_F(PendingLoginTest, PendingIdIsNotTakenUntilAccepted) {
  const auto guesser = Connect();
  const auto owner = Connect();
  Say(guesser, "LOGIN|ann|Game|guess");
  Say(owner, "LOGIN|ann|Game|pw");
  EXPECT_THAT(Take(owner), IsEmpty());
  EXPECT_EQ(Hooks.Requests.size(), 2u);
  EXPECT_EQ(Core.PendingLogins(), 2u);
  Finish(1);
  EXPECT_EQ(Take(owner).front(), "LOGIN|SUCCESS|" + Wire("ann"));
  Finish(0);
  EXPECT_THAT(Take(guesser), ElementsAre("LOGIN|ERROR|A User with this ID is already logged in"));
  EXPECT_FALSE(Core.FindGuest(guesser)->LoggedIn());
  EXPECT_EQ(Core.PendingLogins(), 0u);
}

TEST_F(PendingLoginTest, GuestGoneBeforeTheAnswerChangesNothing) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  Core.OnClientDisconnect(ann);
  Finish(0);
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Core.SubjectCodes(), IsEmpty());
  const auto again = Connect();
  Say(again, "LOGIN|ann|Game|pw");  // the reservation went with the guest
  EXPECT_EQ(Hooks.Requests.size(), 2u);
}

TEST_F(PendingLoginTest, AnswerAfterStopChangesNothing) {
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  Core.Stop();
  Finish(0);
  EXPECT_THAT(Take(ann), IsEmpty());
}

TEST_F(PendingLoginTest, RefusalThenWaitingLines) {
  const auto guest = Connect();
  Read(guest, "LOGIN|NewUser|Game|pw\nLOGIN|ann|Game|pw\n");
  Finish(0);
  EXPECT_THAT(Take(guest), ElementsAre("LOGIN|ERROR|Invalid User Id"));
  Finish(1);
  EXPECT_EQ(Take(guest).front(), "LOGIN|SUCCESS|" + Wire("ann"));
}

// A store that fails: at once by throwing, or later with a Failed verdict.
class FailingHooks : public TServerHooks {
 public:
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    if (request.Id == "throw") throw std::runtime_error("store offline");
    TLoginResult result;
    result.Error = "[EStoreError] " + request.Id;
    done(std::move(result));
  }
};

class FailingStoreTest : public CoreTest {
 protected:
  FailingStoreTest() : CoreTest(Hooks) {}
  FailingHooks Hooks;
};

TEST_F(FailingStoreTest, FailureIsReportedAndTheNextLinesRun) {
  const auto guest = Connect();
  Read(guest, "LOGIN|throw|Game|pw\nLOGIN|late|Game|pw\nLOGIN|throw|Game|pw\nX\n");
  EXPECT_THAT(Observer.Exceptions,
              ElementsAre("[std::runtime_error] store offline", "[EStoreError] late",
                          "[std::runtime_error] store offline"));
  EXPECT_THAT(Take(guest), ElementsAre("LOGIN|ERROR|The user store is unavailable",
                                       "LOGIN|ERROR|The user store is unavailable",
                                       "LOGIN|ERROR|The user store is unavailable",
                                       "ERROR|Unrecognized Server Command: X|"));
}

// Knows the one id "taken".
class TakenIdHooks : public TServerHooks {
 public:
  bool UserExists(const std::string& id) override { return id == "taken"; }
};

class TakenIdTest : public CoreTest {
 protected:
  TakenIdTest() : CoreTest(Hooks) {}
  TakenIdHooks Hooks;
};

// The id is checked before the text is read: a taken id is named whatever text came with it.
TEST_F(TakenIdTest, LoginNewNamesATakenIdBeforeReadingTheText) {
  const std::string badText = "a^b^c^d^e^f^g^h^i^not-a-date^";
  TZorvaUser overLimit;
  overLimit.SetFirstName(std::string(300, 'f'));
  const auto longName = overLimit.toString();
  const struct {
    const char* Id;
    std::string Text;
    Lines Answer;
    std::size_t Reported;
  } cases[] = {
      {"taken", badText, {"LOGIN|ERROR|This User ID is already being used"}, 0},
      {"taken", TZorvaUser().toString(), {"LOGIN|ERROR|This User ID is already being used"}, 0},
      {"taken", longName, {"LOGIN|ERROR|This User ID is already being used"}, 0},
      {"free", badText, {}, 1},
      {"free", longName, {"LOGIN|ERROR|Invalid User Info"}, 0},
  };
  for (const auto& c : cases) {
    const auto guest = Connect();
    Observer.Exceptions.clear();
    Say(guest, std::string("LOGINNEW|") + c.Id + "|Game|" + c.Text);
    EXPECT_EQ(Take(guest), c.Answer) << c.Id << " " << c.Text;
    EXPECT_EQ(Observer.Exceptions.size(), c.Reported) << c.Id << " " << c.Text;
    EXPECT_FALSE(Core.FindGuest(guest)->LoggedIn());
  }
}

}  // namespace
}  // namespace zorva::testing
