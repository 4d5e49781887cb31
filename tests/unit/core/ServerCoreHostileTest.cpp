// What the core does with input only a hostile or broken client sends, and the bounds that keep
// every line it sends within a receiver's limit.
#include <set>

#include "CoreHarness.h"
#include "FullGlyph.h"
#include "UserTextLimits.h"

namespace zorva::testing {
namespace {

using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

constexpr std::size_t kReceiverLimit = 65536;

// Leaves and refusals as "drop REASON" / "refusal REASON".
class ReasonObserver : public RecordingObserver {
 public:
  void Event(const TServerEvent& event) override {
    if (event.Kind == TServerEventKind::Refusal) {
      Reasons.push_back("refusal " + std::string(ReasonName(event.Refusal)));
    } else if (event.Kind == TServerEventKind::Drop || event.Kind == TServerEventKind::Logout) {
      Reasons.push_back("drop " + std::string(ReasonName(event.Drop)));
    }
  }
  std::vector<std::string> Reasons;
};

// Registrations as the store would see them, and a store that keeps accounts.
class RegistrationHooks : public TServerHooks {
 public:
  bool RequiresPassword() const override { return true; }
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    if (request.NewRecord) Registered.push_back(*request.NewRecord);
    TServerHooks::AuthorizeLogin(std::move(request), std::move(done));
  }
  void SaveUser(const TZorvaUser& user) override {
    Saved.push_back(user.Id());
    TServerHooks::SaveUser(user);
  }
  std::vector<TZorvaUser> Registered;  // as sent along with the login request
  std::vector<std::string> Saved;
};

class HostileTest : public CoreTest {
 protected:
  HostileTest() : CoreTest(Hooks) {}
  void SetUp() override {
    CoreTest::SetUp();
    Core.SetObserver(&Events);
  }

  std::string UserText(void (*edit)(TZorvaUser&)) const {
    TZorvaUser user;
    user.SetPassword("pw");
    edit(user);
    return user.toString();
  }

  RegistrationHooks Hooks;
  ReasonObserver Events;
};

// ---- Input only the server can check: one line, one answer, nothing changed.

struct TRefusedLine {
  const char* Label;
  std::string Line;
  std::string Answer;
};

void PrintTo(const TRefusedLine& c, std::ostream* os) {
  *os << c.Label;
}

TZorvaUser WithFirstName(std::string name) {
  TZorvaUser user;
  user.SetPassword("pw");
  user.SetFirstName(std::move(name));
  return user;
}

TZorvaUser WithTokens(std::size_t count) {
  TZorvaUser user;
  user.SetPassword("pw");
  for (std::size_t i = 0; i < count; ++i) user.SetInfoToken("T" + std::to_string(i), "1");
  return user;
}

const std::string kTooLongName(kMaxNameBytes + 1, 'n');
const std::string kTooLongField(kNameLength* kMaxBytesPerCharacter + 1, 'f');

class StagingRefusal : public HostileTest, public ::testing::WithParamInterface<TRefusedLine> {};

TEST_P(StagingRefusal, AnswersAndLogsNobodyIn) {
  const auto guest = Connect();
  Say(guest, GetParam().Line);
  EXPECT_THAT(Take(guest), ElementsAre(GetParam().Answer));
  EXPECT_FALSE(Core.FindGuest(guest)->LoggedIn());
  EXPECT_THAT(Hooks.Saved, IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, StagingRefusal,
    ::testing::Values(
        TRefusedLine{"profile_in_id", "LOGIN|alice^^Alice^Admin^London^UK|Game|pw",
                     "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"empty_id", "LOGIN||Game|pw", "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"backquote_in_id", "LOGIN|a`b|Game|pw", "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"escape_in_id", "LOGIN|a\x1b[2Jb|Game|pw", "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"delete_in_id", "LOGIN|a\x7f|Game|pw", "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"id_past_64", "LOGIN|" + kTooLongName + "|Game|pw",
                     "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"new_with_bad_id", "LOGINNEW|a^b|Game|" + WithFirstName("A").toString(),
                     "LOGIN|ERROR|Invalid User Id"},
        TRefusedLine{"new_field_too_long",
                     "LOGINNEW|NewUser|Game|" + WithFirstName(kTooLongField).toString(),
                     "LOGIN|ERROR|Invalid User Info"},
        TRefusedLine{"new_bar_in_field", "LOGINNEW|NewUser|Game|" + WithFirstName("a|b").toString(),
                     "LOGIN|ERROR|Invalid User Info"},
        TRefusedLine{"new_tab_in_field",
                     "LOGINNEW|NewUser|Game|" + WithFirstName("a\tb").toString(),
                     "LOGIN|ERROR|Invalid User Info"},
        TRefusedLine{"new_too_many_tokens",
                     "LOGINNEW|NewUser|Game|" + WithTokens(kMaxInfoTokens + 1).toString(),
                     "LOGIN|ERROR|Invalid User Info"},
        TRefusedLine{"new_without_password_with_accounts",
                     "LOGINNEW|NewUser|Game|" + TZorvaUser().toString(),
                     "LOGIN|ERROR|A password is required"},
        TRefusedLine{"userinfo_before_login", "USERINFO|ann|", "ERROR|You are not logged in"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(HostileTest, LongestValidIdAndFullFormFieldsAreAccepted) {
  const std::string id(kMaxNameBytes, 'i');
  const auto guest = Connect();
  Say(guest, "LOGIN|" + id + "|Game|pw");
  EXPECT_THAT(Take(guest), Contains(StartsWith("LOGIN|SUCCESS|")));
  auto record = WithTokens(kMaxInfoTokens);
  record.SetFirstName(std::string(kNameLength * kMaxBytesPerCharacter, 'f'));
  record.SetAdditionalInfo(std::string(kMaxCommentBytes, 'c'));
  const auto other = Connect();
  Say(other, "LOGINNEW|NewUser|Game|" + record.toString());
  EXPECT_THAT(Take(other), Contains(StartsWith("LOGIN|SUCCESS|")));
}

class MemberRefusal : public HostileTest, public ::testing::WithParamInterface<TRefusedLine> {};

TEST_P(MemberRefusal, AnswersAndChangesNothing) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto annBefore = *Core.FindGuest(ann)->User();
  Say(ann, GetParam().Line);
  EXPECT_THAT(Take(ann), ElementsAre(GetParam().Answer));
  EXPECT_THAT(Take(bob), IsEmpty());
  EXPECT_EQ(*Core.FindGuest(ann)->User(), annBefore);
  EXPECT_THAT(Core.Subjects("Game"), SizeIs(1));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MemberRefusal,
    ::testing::Values(
        TRefusedLine{"empty_subject_name", "CREATESUBJECT||0|", "ERROR|Invalid Subject Name"},
        TRefusedLine{"subject_name_past_64", "CREATESUBJECT|" + kTooLongName + "|0|",
                     "ERROR|Invalid Subject Name"},
        TRefusedLine{"control_in_subject_name", "CREATESUBJECT|a\rb|0|",
                     "ERROR|Invalid Subject Name"},
        TRefusedLine{"limit_not_a_number", "CREATESUBJECT|Room|x|", "ERROR|Invalid Member Limit"},
        TRefusedLine{"limit_missing", "CREATESUBJECT|Room", "ERROR|Invalid Member Limit"},
        TRefusedLine{"update_field_too_long",
                     "USERUPDATE|ann|" + WithFirstName(kTooLongField).toString() + "|",
                     "ERROR|Invalid User Info"},
        TRefusedLine{"update_control_in_field",
                     "USERUPDATE|ann|" + WithFirstName("a\x01").toString() + "|",
                     "ERROR|Invalid User Info"},
        TRefusedLine{"chat_past_receiver_limit",
                     "SEND|CHAT|" + std::string(kReceiverLimit - 13, 'x'),
                     "ERROR|Message too long"},
        TRefusedLine{"feedback_past_4k",
                     "FEEDBACK|" + std::string(ServerCore::kMaxFeedbackBytes + 1, 'x'),
                     "ERROR|Too much feedback, try again later"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(HostileTest, ChatJustWithinTheReceiverLimitIsRelayedWhole) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const std::string text(kReceiverLimit - std::string("SEND|ann|CHAT|").size(), 'x');
  Say(ann, "SEND|CHAT|" + text);
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Take(bob), ElementsAre("SEND|ann|CHAT|" + text));
}

// ---- Fields only the server sets

TEST_F(HostileTest, UpdateKeepsServerFieldsAndTakesTheRest) {
  const auto ann = LoggedIn("ann");
  const auto before = *Core.FindGuest(ann)->User();
  TZorvaUser sent;
  sent.SetId("ann");
  sent.SetFirstName("Ann");
  sent.SetLoginCount(999);
  sent.SetCreationDate(EncodeDate(2001, 1, 1));
  sent.SetLastLoginDate(EncodeDate(2002, 2, 2));
  sent.SetInfoToken("Admin", "1");
  Say(ann, "USERUPDATE|ann|" + sent.toString() + "|");
  const auto& now = *Core.FindGuest(ann)->User();
  EXPECT_EQ(now.FirstName(), "Ann");
  EXPECT_EQ(now.LoginCount(), before.LoginCount());
  EXPECT_EQ(now.CreationDate(), before.CreationDate());
  EXPECT_EQ(now.LastLoginDate(), before.LastLoginDate());
  EXPECT_EQ(now.InfoTokens(), before.InfoTokens());
}

TEST_F(HostileTest, RegistrationKeepsTokensButNotServerFields) {
  TZorvaUser sent;
  sent.SetPassword("pw");
  sent.SetLoginCount(999);
  sent.SetCreationDate(EncodeDate(2001, 1, 1));
  sent.SetLastLoginDate(EncodeDate(2002, 2, 2));
  sent.SetInfoToken("Level", "3");
  const auto guest = Connect();
  Say(guest, "LOGINNEW|NewUser|Game|" + sent.toString());
  ASSERT_THAT(Hooks.Registered, SizeIs(1));
  const auto& kept = Hooks.Registered[0];
  EXPECT_EQ(kept.LoginCount(), 0);
  EXPECT_EQ(kept.CreationDate(), 0);
  EXPECT_EQ(kept.LastLoginDate(), 0);
  EXPECT_EQ(kept.GetInfoToken("Level"), "3");
}

TEST_F(HostileTest, UserInfoFindsOnlyTheSendersCode) {
  const auto ann = LoggedIn("ann", "Game");
  LoggedIn("bob", "Game");
  LoggedIn("carl", "Other");
  Say(ann, "USERINFO|carl|");
  Say(ann, "USERINFO|bob|");
  EXPECT_THAT(Take(ann), ElementsAre("ERROR|The specified User could not be found",
                                     "USERINFO|" + Wire("bob") + "|"));
}

// ---- Every line fits the receiver

class LineBoundTest : public HostileTest {
 protected:
  // A user text as long as a client may make it: a full glyph of the largest colour.
  void GiveFullGlyph(ConnectionId id, const std::string& userId) {
    TZorvaUser user;
    user.SetId(userId);
    user.SetGlyph(test::FullGlyph());
    Say(id, "USERUPDATE|" + userId + "|" + user.toString() + "|");
  }
  std::size_t LongestSent() const {
    std::size_t longest = 0;
    for (const auto& sent : Transport.Sent) longest = std::max(longest, sent.Line.size());
    return longest;
  }
};

TEST_F(LineBoundTest, JoinListPastTheLimitContinuesWithAddGuest) {
  std::vector<std::string> ids;
  for (int i = 0; i < 9; ++i) {
    ids.push_back("member" + std::to_string(i));
    GiveFullGlyph(LoggedIn(ids.back()), ids.back());
  }
  const auto newcomer = LoggedIn("newcomer");
  ids.push_back("newcomer");
  Say(newcomer, "CREATESUBJECT|Side|0|");
  Forget();
  Say(newcomer, "JOINSUBJECT|Lobby Chat");
  Lines lines;
  for (const auto& line : Take(newcomer)) {
    if (!line.starts_with("REMOVESUBJECT|")) lines.push_back(line);
  }
  ASSERT_THAT(lines, Contains(StartsWith("ADDGUEST|")));
  EXPECT_THAT(lines, Each(::testing::ResultOf([](const auto& l) { return l.size(); },
                                              ::testing::Le(kReceiverLimit))));
  // Every member once, in joining order, the newcomer last.
  std::vector<std::string> listed;
  auto join = std::string_view(lines.at(0));
  ASSERT_TRUE(join.starts_with("JOINSUBJECT|Lobby Chat|"));
  join.remove_prefix(std::string_view("JOINSUBJECT|Lobby Chat|").size());
  while (!join.empty()) {
    TZorvaUser user;
    user.fromString(getToken(join, kFieldSeparator));
    listed.push_back(user.Id());
  }
  for (std::size_t i = 1; i < lines.size(); ++i) {
    auto add = std::string_view(lines[i]).substr(std::string_view("ADDGUEST|").size());
    listed.emplace_back(getToken(add, kFieldSeparator));
  }
  EXPECT_EQ(listed, ids);
}

// Ids of the longest kind: about 120 round trips fit one line, so 300 members take three ticks.
TEST_F(LineBoundTest, PingLinesAreBoundedAndRotateThroughTheLobby) {
  constexpr int kMembers = 300;
  std::vector<ConnectionId> members;
  std::set<std::string> everyone;
  for (int i = 0; i < kMembers; ++i) {
    auto id = "m" + std::to_string(i);
    id.resize(kMaxNameBytes, 'x');
    everyone.insert(id);
    members.push_back(LoggedIn(id));
  }
  std::vector<std::size_t> seenAfterTick;
  std::set<std::string> seen;
  std::size_t longestPing = 0;
  for (int tick = 0; tick < 3; ++tick) {
    Core.OnPingTimer();
    const auto lines = Take(members[0]);
    auto ping = std::string_view(lines.at(0));
    longestPing = std::max(longestPing, ping.size());
    ping.remove_prefix(std::string_view("PING|").size());
    while (!ping.empty()) {
      seen.emplace(getToken(ping, kFieldSeparator));
      getToken(ping, kFieldSeparator);
    }
    seenAfterTick.push_back(seen.size());
    for (const auto id : members) Say(id, "PING|");
    Forget();
  }
  EXPECT_LT(seenAfterTick.front(), everyone.size());
  EXPECT_EQ(seen, everyone);
  EXPECT_LT(longestPing, 9u * 1024);
}

TEST_F(LineBoundTest, SubjectListPastTheLimitContinuesWithAddSubject) {
  LoggedIn("host");
  std::vector<std::string> created;
  for (int i = 0; i < 1100; ++i) {
    auto name = "s" + std::to_string(i);
    name.resize(kMaxNameBytes, 'x');
    ASSERT_EQ(Core.CreateSubject("Game", name, 0, true), TCreateSubjectResult::Created);
    created.push_back(name);
  }
  const auto newcomer = Connect();
  Say(newcomer, "LOGIN|newcomer|Game|pw");
  std::vector<std::string> listed;
  for (const auto& line : Take(newcomer)) {
    EXPECT_LE(line.size(), kReceiverLimit);
    auto rest = std::string_view(line);
    if (rest.starts_with("SUBJECTS|")) {
      rest.remove_prefix(std::string_view("SUBJECTS|").size());
      while (!rest.empty()) listed.emplace_back(getToken(rest, kFieldSeparator));
    } else if (rest.starts_with("ADDSUBJECT|")) {
      rest.remove_prefix(std::string_view("ADDSUBJECT|").size());
      listed.emplace_back(getToken(rest, kFieldSeparator));
    }
  }
  std::erase(listed, "Lobby Chat");
  EXPECT_EQ(listed, created);
}

// An unknown line as long as the longest accepted one is echoed as far as the answer allows.
TEST_F(LineBoundTest, EchoOfAnUnknownLongLineFitsTheReceiver) {
  const auto guest = Connect();
  Say(guest, std::string(kReceiverLimit - 1, 'u'));
  const auto lines = Take(guest);
  ASSERT_THAT(lines, SizeIs(1));
  EXPECT_THAT(lines[0], StartsWith("ERROR|Unrecognized Server Command: uuu"));
  EXPECT_EQ(lines[0].size(), kReceiverLimit);
}

TEST_F(LineBoundTest, ASubjectOfHundredsSeesEveryRoundTripAtEveryTick) {
  std::vector<ConnectionId> members;
  for (int i = 0; i < 500; ++i) members.push_back(LoggedIn("m" + std::to_string(i)));
  Core.OnPingTimer();
  const auto lines = Take(members[0]);
  const auto& ping = lines.at(0);
  EXPECT_EQ(std::count(ping.begin(), ping.end(), kFieldSeparator), 1 + 2 * 500);
}

// ---- Connections bounded per address, and logins in time

TEST_F(HostileTest, AddressPastItsLimitIsRefusedUntilOneLeaves) {
  Core.SetClientLimits({.MaxClientsPerAddress = 2});
  const auto first = Connect("10.1.1.1");
  Connect("10.1.1.1");
  const auto third = Connect("10.1.1.1");
  const auto elsewhere = Connect("10.2.2.2");
  EXPECT_THAT(Take(third), ElementsAre("ERROR|The Server is full"));
  EXPECT_EQ(Transport.Closed.at(third), ITransport::CloseMode::AfterFlush);
  EXPECT_THAT(Events.Reasons, ElementsAre("refusal per-address-limit"));
  EXPECT_NE(Core.FindGuest(elsewhere), nullptr);
  Core.OnClientDisconnect(first);
  const auto fourth = Connect("10.1.1.1");
  EXPECT_NE(Core.FindGuest(fourth), nullptr);
  EXPECT_THAT(Take(fourth), IsEmpty());
}

TEST_F(HostileTest, GuestThatAnswersPingsButNeverLogsInTimesOut) {
  Core.SetClientLimits({.LoginTimeoutSeconds = 120});
  const auto idle = Connect();
  const auto ann = LoggedIn("ann");
  for (int second = 0; second <= 120; second += 30) {
    Clock.Ms += 30'000;
    Say(idle, "PING|");
    Say(ann, "PING|");
    Core.OnPingTimer();
  }
  EXPECT_THAT(Take(idle), Contains("ERROR|Login timeout"));
  EXPECT_EQ(Transport.Closed.at(idle), ITransport::CloseMode::AfterFlush);
  EXPECT_EQ(Core.FindGuest(idle), nullptr);
  EXPECT_NE(Core.FindGuest(ann), nullptr);
  EXPECT_THAT(Events.Reasons, ElementsAre("drop login-timeout"));
}

// ---- Rates per user and per address

TEST_F(HostileTest, FeedbackIsLimitedPerUserAndMinute) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  for (std::size_t i = 0; i < ServerCore::kFeedbackPerMinute; ++i) Say(ann, "FEEDBACK|fine");
  EXPECT_THAT(Take(ann), IsEmpty());
  Say(ann, "FEEDBACK|one more");
  Say(bob, "FEEDBACK|mine");
  EXPECT_THAT(Take(ann), ElementsAre("ERROR|Too much feedback, try again later"));
  EXPECT_THAT(Take(bob), IsEmpty());
  Clock.Ms += 60'000;
  Say(ann, "FEEDBACK|later");
  EXPECT_THAT(Take(ann), IsEmpty());
}

TEST_F(HostileTest, RegistrationsAreLimitedPerAddress) {
  Core.SetClientLimits({.RegistrationsPerHour = 2});
  const auto text = UserText([](TZorvaUser&) {});
  for (const auto* remote : {"10.1.1.1", "10.1.1.1", "10.1.1.1", "10.2.2.2"}) {
    const auto guest = Connect(remote);
    Say(guest, "LOGINNEW|NewUser|Game|" + text);
    Core.OnClientDisconnect(guest);
  }
  EXPECT_THAT(Hooks.Registered, SizeIs(3));
  EXPECT_THAT(Transport.Sent,
              Contains(::testing::Field(&FakeTransport::TSent::Line,
                                        "LOGIN|ERROR|Too many attempts, try again later")));
}

}  // namespace
}  // namespace zorva::testing
