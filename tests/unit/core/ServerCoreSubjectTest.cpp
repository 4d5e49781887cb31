// Subjects: create, join, fill, leave, remove, relays, and their announcements in order.
#include "CoreHarness.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class SubjectTest : public CoreTest {
 protected:
  std::vector<std::string> Names(const std::string& code) {
    std::vector<std::string> names;
    for (const auto* subject : Core.Subjects(code)) names.push_back(subject->Name());
    return names;
  }
};

TEST_F(SubjectTest, CreateWithLimitOneBeginsAtOnce) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Forget();
  Say(ann, "CREATESUBJECT|Duel|1|");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "ADDSUBJECT|Duel"), Line(bob, "ADDSUBJECT|Duel"),
                                     Line(bob, "REMOVEGUEST|ann"),
                                     Line(ann, "JOINSUBJECT|Duel|" + Wire("ann")),
                                     Line(ann, "BEGINSUBJECT|")));
  EXPECT_TRUE(Core.FindSubject("Game", "Duel")->Full());
  const auto& stats = Core.UpdateServerStats();
  EXPECT_EQ(stats.TotalSubjectsCreated(), 1);
  EXPECT_EQ(stats.CurrentSubjects(), 1);
}

TEST_F(SubjectTest, LimitTwoFillsAndStaysFullAfterALeave) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl");
  Say(ann, "CREATESUBJECT|Pair|2|");
  Forget();
  Say(bob, "JOINSUBJECT|Pair");
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(carl, "REMOVEGUEST|bob"), Line(ann, "ADDGUEST|bob|" + Wire("bob")),
                          Line(bob, "JOINSUBJECT|Pair|" + Wire("ann") + "|" + Wire("bob")),
                          Line(ann, "BEGINSUBJECT|"), Line(bob, "BEGINSUBJECT|")));
  Say(carl, "JOINSUBJECT|Pair");
  EXPECT_THAT(Take(carl), ElementsAre("ERROR|The specified Subject is already filled"));
  Say(bob, "JOINSUBJECT|Lobby Chat");
  Say(carl, "JOINSUBJECT|Pair");
  EXPECT_THAT(Take(carl).back(), "ERROR|The specified Subject is already filled");
}

TEST_F(SubjectTest, ZeroOrNegativeLimitNeverFills) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Say(ann, "CREATESUBJECT|Open|-1|");
  Say(bob, "JOINSUBJECT|Open");
  EXPECT_FALSE(Core.FindSubject("Game", "Open")->Full());
  EXPECT_EQ(Core.FindSubject("Game", "Open")->MemberCount(), 2u);
}

TEST_F(SubjectTest, LastMemberLeavingRemovesBeforeJoiningElsewhere) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Say(ann, "CREATESUBJECT|Room|0|");
  Forget();
  Say(ann, "JOINSUBJECT|Lobby Chat");
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(ann, "REMOVESUBJECT|Room"), Line(bob, "REMOVESUBJECT|Room"),
                          Line(bob, "ADDGUEST|ann|" + Wire("ann")),
                          Line(ann, "JOINSUBJECT|Lobby Chat|" + Wire("bob") + "|" + Wire("ann"))));
  EXPECT_EQ(Core.UpdateServerStats().CurrentSubjects(), 0);
  EXPECT_EQ(Core.UpdateServerStats().TotalSubjectsCreated(), 1);
}

TEST_F(SubjectTest, EmptyLobbyStaysAndIsListed) {
  const auto ann = LoggedIn("ann");
  Say(ann, "CREATESUBJECT|Room|0|");
  const auto bob = Connect();
  Forget();
  Say(bob, "LOGIN|bob|Game|pw");
  EXPECT_THAT(Take(bob)[1], "SUBJECTS|Lobby Chat|Room|");
  EXPECT_THAT(Names("Game"), ElementsAre("Lobby Chat", "Room"));
}

TEST_F(SubjectTest, CodesAreApart) {
  const auto ann = LoggedIn("ann", "Chess");
  const auto bob = LoggedIn("bob", "Go");
  Say(ann, "CREATESUBJECT|Room|0|");
  Say(bob, "CREATESUBJECT|Room|0|");
  EXPECT_THAT(Take(ann), ElementsAre("ADDSUBJECT|Room", "JOINSUBJECT|Room|" + Wire("ann")));
  EXPECT_THAT(Take(bob), ElementsAre("ADDSUBJECT|Room", "JOINSUBJECT|Room|" + Wire("bob")));
  Say(ann, "JOINSUBJECT|Lobby Chat");
  EXPECT_THAT(Take(bob), IsEmpty());
  EXPECT_THAT(Core.SubjectCodes(), ElementsAre("Chess", "Go"));
}

TEST_F(SubjectTest, Refusals) {
  const auto ann = LoggedIn("ann");
  Say(ann, "CREATESUBJECT|Lobby Chat|0|");
  Say(ann, "JOINSUBJECT|Nowhere");
  Say(ann, "JOINSUBJECT|Lobby Chat");  // its own subject: nothing at all
  EXPECT_THAT(Take(ann), ElementsAre("ERROR|A Subject with that name already exists",
                                     "ERROR|The specifiec Subject does not exist"));
}

TEST_F(SubjectTest, JoiningOwnOneMemberSubjectKeepsIt) {
  const auto ann = LoggedIn("ann");
  Say(ann, "CREATESUBJECT|Room|0|");
  Forget();
  Say(ann, "JOINSUBJECT|Room");
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_NE(Core.FindSubject("Game", "Room"), nullptr);
}

TEST_F(SubjectTest, RelayReachesOtherMembersWhole) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl", "Other");
  Say(ann, "SEND|CHAT|a|b|c");
  EXPECT_THAT(Take(bob), ElementsAre("SEND|ann|CHAT|a|b|c"));
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Take(carl), IsEmpty());
  Forget();
  Say(carl, "SEND|DATA|alone");
  EXPECT_THAT(TakeAll(), IsEmpty());
}

TEST_F(SubjectTest, MemberLeavingTellsOnlyTheRemaining) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl");
  Say(ann, "CREATESUBJECT|Room|0|");
  Say(bob, "JOINSUBJECT|Room");
  Forget();
  Core.OnClientDisconnect(ann);
  EXPECT_THAT(TakeAll(), ElementsAre(Line(bob, "REMOVEGUEST|ann")));
  EXPECT_THAT(Take(carl), IsEmpty());
}

TEST_F(SubjectTest, TimedOutLoneMemberIsToldOfItsSubjectsRemoval) {
  const auto ann = LoggedIn("ann");
  Say(ann, "CREATESUBJECT|Room|0|");
  const auto bob = LoggedIn("bob");
  Clock.Ms += 61'000;
  Say(bob, "PING|");  // never pinged: no round trip measured
  Forget();
  Core.OnPingTimer();
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "REMOVESUBJECT|Room"),
                                     Line(bob, "REMOVESUBJECT|Room"), Line(bob, "PING|bob|0|")));
  ASSERT_TRUE(Transport.Closed.contains(ann));
  EXPECT_EQ(Transport.Closed.at(ann), ITransport::CloseMode::AfterFlush);
  EXPECT_EQ(Core.UpdateServerStats().CurrentSubjects(), 0);
}

// A relay takes a shorter path while nothing looks at single lines; with tracing on it must
// still trace each delivery, and either way count the same bytes and skip only the sender.
class RelayTraceTest : public CoreTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RelayTraceTest, RelayCountsEveryDeliveryAndTracesWhenAsked) {
  const bool traced = GetParam();
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl");
  Forget();
  Core.SetTraceOutgoing(traced);
  const auto bytesBefore = Core.UpdateServerStats().BytesWritten();
  Say(ann, "SEND|CHAT|hi");
  const std::string relay = "SEND|ann|CHAT|hi";
  EXPECT_THAT(TakeAll(), ElementsAre(Line(bob, relay), Line(carl, relay)));
  EXPECT_EQ(Core.UpdateServerStats().BytesWritten() - bytesBefore, 2.0 * (relay.size() + 1));
  if (traced) {
    EXPECT_THAT(Observer.Outgoing, ::testing::IsSupersetOf({"bob: " + relay, "carl: " + relay}));
  } else {
    EXPECT_THAT(Observer.Outgoing, IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(Relay, RelayTraceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "traced" : "untraced"; });

}  // namespace
}  // namespace zorva::testing
