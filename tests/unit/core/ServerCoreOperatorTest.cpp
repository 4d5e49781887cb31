// The operator's operations: kill, shout, create and delete subjects, edit users.
#include "CoreHarness.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class OperatorTest : public CoreTest {};

TEST_F(OperatorTest, KillDropsWithAnnouncementsAndSendsNothingElse) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  EXPECT_TRUE(Core.KillGuest(ann));
  EXPECT_FALSE(Core.KillGuest(ann));
  EXPECT_THAT(TakeAll(), ElementsAre(Line(bob, "REMOVEGUEST|ann")));
  EXPECT_EQ(Transport.Closed.at(ann), ITransport::CloseMode::Now);
}

TEST_F(OperatorTest, ShoutTargets) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl", "Other");
  const auto guest = Connect();
  Say(bob, "CREATESUBJECT|Room|0|");
  Forget();
  Core.Shout(TShoutTarget::ToAll(), "a|b");
  Core.Shout(TShoutTarget::ToStagingArea(), "s");
  Core.Shout(TShoutTarget::ToSubjectCode("Game"), "c");
  Core.Shout(TShoutTarget::ToSubject("Game", "Room"), "r");
  Core.Shout(TShoutTarget::ToGuest(carl), "g");
  Core.Shout(TShoutTarget::ToGuest(999), "gone");
  Core.Shout(TShoutTarget::ToAll(), "");
  Core.Shout(TShoutTarget::ToAll(), "two\nlines");
  EXPECT_THAT(Take(ann), ElementsAre("SHOUT|a|b|", "SHOUT|c|"));
  EXPECT_THAT(Take(bob), ElementsAre("SHOUT|a|b|", "SHOUT|c|", "SHOUT|r|"));
  EXPECT_THAT(Take(carl), ElementsAre("SHOUT|a|b|", "SHOUT|g|"));
  EXPECT_THAT(Take(guest), ElementsAre("SHOUT|a|b|", "SHOUT|s|"));
  EXPECT_EQ(Observer.Exceptions.size(), 4u);  // the two-line shout, once per guest
  Forget();
  Core.Stop();
  Core.Shout(TShoutTarget::ToAll(), "late");
  EXPECT_THAT(TakeAll(), IsEmpty());
}

TEST_F(OperatorTest, CreateSubjectAnnouncesAndCountsNothing) {
  const auto ann = LoggedIn("ann");
  EXPECT_EQ(Core.CreateSubject("Game", "", 0, false), TCreateSubjectResult::EmptyName);
  EXPECT_EQ(Core.CreateSubject("Game", "Lobby Chat", 0, false), TCreateSubjectResult::Exists);
  EXPECT_EQ(Core.CreateSubject("Nope", "Room", 0, false), TCreateSubjectResult::NoSuchCode);
  EXPECT_EQ(Core.CreateSubject("Game", "Room", 2, true), TCreateSubjectResult::Created);
  EXPECT_THAT(Take(ann), ElementsAre("ADDSUBJECT|Room"));
  const auto* room = Core.FindSubject("Game", "Room");
  EXPECT_TRUE(room->Persistent());
  EXPECT_EQ(room->MaxConnections(), 2);
  EXPECT_EQ(room->MemberCount(), 0u);
  EXPECT_EQ(Core.UpdateServerStats().TotalSubjectsCreated(), 0);
  EXPECT_EQ(Core.UpdateServerStats().CurrentSubjects(), 0);
}

TEST_F(OperatorTest, DeleteSubjectMovesMembersIntoTheLobby) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto carl = LoggedIn("carl");
  Core.CreateSubject("Game", "Room", 0, true);
  Say(ann, "JOINSUBJECT|Room");
  Say(bob, "JOINSUBJECT|Room");
  Forget();
  EXPECT_EQ(Core.DeleteSubject("Game", "Lobby Chat"), TDeleteSubjectResult::IsLobby);
  EXPECT_EQ(Core.DeleteSubject("Game", "Nope"), TDeleteSubjectResult::NotFound);
  EXPECT_EQ(Core.DeleteSubject("Game", "Room"), TDeleteSubjectResult::Deleted);
  EXPECT_THAT(
      TakeAll(),
      ElementsAre(Line(bob, "REMOVEGUEST|ann"), Line(carl, "ADDGUEST|ann|" + Wire("ann")),
                  Line(ann, "JOINSUBJECT|Lobby Chat|" + Wire("carl") + "|" + Wire("ann")),
                  Line(ann, "REMOVESUBJECT|Room"), Line(bob, "REMOVESUBJECT|Room"),
                  Line(carl, "REMOVESUBJECT|Room"), Line(carl, "ADDGUEST|bob|" + Wire("bob")),
                  Line(ann, "ADDGUEST|bob|" + Wire("bob")),
                  Line(bob, "JOINSUBJECT|Lobby Chat|" + Wire("carl") + "|" + Wire("ann") + "|" +
                                Wire("bob"))));
  EXPECT_EQ(Core.FindSubject("Game", "Room"), nullptr);
  EXPECT_EQ(Core.UpdateServerStats().CurrentSubjects(), 0);
}

TEST_F(OperatorTest, DeleteAfterLobbyRenameMovesIntoANewLobby) {
  const auto ann = LoggedIn("ann");
  auto settings = Core.Settings();
  settings.LobbyName = "Hall";
  Core.SetSettings(settings);
  Forget();
  EXPECT_EQ(Core.DeleteSubject("Game", "Lobby Chat"), TDeleteSubjectResult::Deleted);
  EXPECT_THAT(Take(ann),
              ElementsAre("REMOVESUBJECT|Lobby Chat", "JOINSUBJECT|Hall|" + Wire("ann")));
  ASSERT_EQ(Core.Subjects("Game").size(), 1u);
  EXPECT_EQ(Core.Subjects("Game")[0]->Name(), "Hall");
}

TEST_F(OperatorTest, DeleteEmptySubjectRemovesAtOnce) {
  const auto ann = LoggedIn("ann");
  Core.CreateSubject("Game", "Room", 0, true);
  Forget();
  EXPECT_EQ(Core.DeleteSubject("Game", "Room"), TDeleteSubjectResult::Deleted);
  EXPECT_THAT(Take(ann), ElementsAre("REMOVESUBJECT|Room"));
}

TEST_F(OperatorTest, SaveEditedUserTellsTheSubjectAndKeepsTheId) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto guest = Connect();
  TZorvaUser edited = *Core.FindGuest(ann)->User();
  edited.SetId("renamed");
  edited.SetCountry("NO");
  EXPECT_TRUE(Core.SaveEditedUser(ann, edited));
  EXPECT_FALSE(Core.SaveEditedUser(guest, edited));
  EXPECT_FALSE(Core.SaveEditedUser(999, edited));
  Transport.RunPosted();  // the store's answer
  edited.SetId("ann");
  const auto line = "USERINFO|" + edited.toWireString() + "|";
  EXPECT_THAT(Take(ann), ElementsAre(line));
  EXPECT_THAT(Take(bob), ElementsAre(line));
}

}  // namespace
}  // namespace zorva::testing
