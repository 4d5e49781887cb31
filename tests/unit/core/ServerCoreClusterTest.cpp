// The core as one node of a cluster: what it asks the cluster, what it waits for, and how the
// other nodes' members and events reach its own clients. The port answers only when a test says
// so, as the real one answers on a later turn of the loop.
#include "CoreHarness.h"
#include "FakeClusterPort.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Status = TClusterStatus;
using test::FakeClusterPort;

// Accepts every login but one with the password "wrong".
class WrongPasswordHooks : public TServerHooks {
 public:
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    if (request.Password != "wrong") return TServerHooks::AuthorizeLogin(std::move(request), done);
    TLoginResult refused;
    refused.Verdict = TLoginResult::Verdict::InvalidPassword;
    done(std::move(refused));
  }
};

class ClusterTest : public CoreTest {
 protected:
  ClusterTest() : CoreTest(Hooks) {}

  void SetUp() override {
    Core.SetCluster(&Port);
    CoreTest::SetUp();
  }

  static std::string Text(const std::string& id) {
    TZorvaUser user;
    user.SetId(id);
    return user.toWireString();
  }
  static TClusterMember Remote(const std::string& id, int roundTrip = 0) {
    return {id, "b", roundTrip, Text(id)};
  }
  TClusterMember Own(const std::string& id) const { return {id, "a", 0, Wire(id)}; }
  static TJoinResult Answer(std::vector<TClusterMember> members, bool full = false,
                            TJoinResult::TLeft left = TJoinResult::TLeft::Nothing) {
    TJoinResult result;
    result.Status = Status::Done;
    result.Full = full;
    result.Left = left;
    result.Members = std::move(members);
    return result;
  }
  static TJoinResult Refusal(Status status) {
    TJoinResult result;
    result.Status = status;
    return result;
  }
  IClusterEvents& Events() { return *Port.Events; }

  // Sends "LOGIN" and answers the claim; the store's answer follows.
  ConnectionId Claimed(const std::string& id, const std::string& password = "pw") {
    const auto conn = Connect();
    Say(conn, "LOGIN|" + id + "|Game|" + password);
    Port.Claim(Status::Done);
    Transport.RunPosted();
    return conn;
  }
  // Logs in through every answer: the first login opens the code with `State`; the lobby's
  // join answer lists `before` ahead of the new member.
  ConnectionId LoggedIn(const std::string& id, std::vector<TClusterMember> before = {}) {
    const auto conn = Claimed(id);
    if (!Opened) {
      Port.Create(Status::Done);
      Port.State(Status::Done, State);
      Opened = true;
    }
    before.push_back(Own(id));
    Port.Joined(Answer(before));
    EXPECT_TRUE(Core.FindGuest(conn)->LoggedIn()) << id;
    Forget();
    Port.TakeCalls();
    return conn;
  }
  void RemoteJoins(const std::string& subject, const std::string& id, bool full = false) {
    const auto text = Text(id);
    Events().OnRemoteMemberJoined("Game", subject, {"b", id, text, 0, full});
  }
  // A subject another node made, joined by `guest` of this node.
  void InRoom(ConnectionId guest, const std::string& id, const std::string& room) {
    Events().OnRemoteSubjectAdded("Game", room);
    Say(guest, "JOINSUBJECT|" + room);
    Port.Joined(Answer({Own(id)}, false));
    Forget();
    Port.TakeCalls();
  }
  std::vector<std::string> Nodes(const std::string& subject) {
    std::vector<std::string> nodes;
    for (const auto* member : Core.FindSubject("Game", subject)->Members()) {
      nodes.push_back(member->User()->Id() + "@" + member->Node());
    }
    return nodes;
  }

  WrongPasswordHooks Hooks;
  FakeClusterPort Port;
  std::vector<TClusterSubject> State{{"Lobby Chat", 0, true, false, {}}};
  bool Opened = false;
};

TEST_F(ClusterTest, FirstLoginClaimsOpensTheCodeAndListsTheWholeClusterInJoiningOrder) {
  State = {{"Lobby Chat", 0, true, false, {Remote("bob", 7)}},
           {"Duel", 2, false, false, {}},
           {"Chess", 2, false, false, {}}};
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)"));
  Port.Claim(Status::Done);
  Transport.RunPosted();
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("CreateSubject(Game,Lobby Chat,0,persistent)"));
  Port.Create(Status::Exists);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("OpenCode(Game)"));
  // Heard before the state arrives, and newer than it: applied on top of it.
  Events().OnRemoteSubjectRemoved("Game", "Duel");
  Port.State(Status::Done, State);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("Join(Game,Lobby Chat,ann)"));
  EXPECT_THAT(Take(ann), IsEmpty());
  // dan joined before ann, but his event has not arrived yet: the answer brings him.
  Port.Joined(Answer({Remote("bob", 7), Remote("dan"), Own("ann")}));
  EXPECT_THAT(Take(ann), ElementsAre("LOGIN|SUCCESS|" + Wire("ann"), "SUBJECTS|Lobby Chat|Chess|",
                                     "JOINSUBJECT|Lobby Chat|" + Text("bob") + "|" + Text("dan") +
                                         "|" + Wire("ann")));
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("bob@b", "dan@b", "ann@"));
  EXPECT_EQ(Core.GuestCount(), 1u);
  // dan's late event adds nothing twice.
  RemoteJoins("Lobby Chat", "dan");
  EXPECT_THAT(Take(ann), IsEmpty());

  Core.OnPingTimer();
  EXPECT_THAT(Take(ann), ElementsAre("PING|bob|7|dan|0|ann|0|"));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("PublishRoundTrips(Game,ann=0)"));
}

TEST_F(ClusterTest, AClaimNotGrantedRefusesTheLoginAndTheGuestMayTryAgain) {
  const struct {
    Status Answer;
    std::string Line;
  } cases[] = {
      {Status::Taken, "LOGIN|ERROR|A User with this ID is already logged in"},
      {Status::Unavailable, "LOGIN|ERROR|The cluster is unavailable"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    const auto ann = Connect();
    Read(ann, "LOGIN|ann|Game|pw\nSERVERSTATS\n");
    Port.Claim(c.Answer);
    Transport.RunPosted();
    const auto lines = Take(ann);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], c.Line);
    EXPECT_THAT(lines[1], StartsWith("SERVERSTATS|"));
    EXPECT_FALSE(Core.FindGuest(ann)->LoggedIn());
    EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)", "ReleaseId(Game,ann)"));
    Say(ann, "LOGIN|ann|Game|pw");
    EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)"));
    Core.KillGuest(ann);
    Port.Claim(Status::Done);
    Transport.RunPosted();
    EXPECT_THAT(Port.TakeCalls(), ElementsAre("ReleaseId(Game,ann)"));
  }
}

TEST_F(ClusterTest, ALoginIsRefusedWhenTheClusterFailsItAtAnyLaterStep) {
  const std::pair<std::string, std::function<void()>> failures[] = {
      {"lobby", [&] { Port.Create(Status::Unavailable); }},
      {"state",
       [&] {
         Port.Create(Status::Done);
         Port.State(Status::Unavailable);
       }},
      {"join",
       [&] {
         Port.Create(Status::Done);
         Port.State(Status::Done, State);
         Port.Joined(Refusal(Status::Unavailable));
       }},
  };
  for (const auto& [step, fail] : failures) {
    SCOPED_TRACE(step);
    const auto ann = Claimed("ann");
    fail();
    EXPECT_THAT(Take(ann), ElementsAre("LOGIN|ERROR|The cluster is unavailable"));
    EXPECT_FALSE(Core.FindGuest(ann)->LoggedIn());
    EXPECT_EQ(Port.TakeCalls().back(), "Drop(Game,ann)");
    Core.KillGuest(ann);
    EXPECT_THAT(Port.TakeCalls(), IsEmpty());
  }
}

TEST_F(ClusterTest, ALoginTheStoreRefusesGivesItsIdBack) {
  const auto ann = Claimed("ann", "wrong");
  EXPECT_THAT(Take(ann), ElementsAre("LOGIN|ERROR|Invalid Password"));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)", "ReleaseId(Game,ann)"));
}

TEST_F(ClusterTest, LinesWaitForTheClusterAndKeepTheirOrder) {
  const auto ann = Connect();
  Read(ann, "LOGIN|ann|Game|pw\nUSERINFO|ann|\nJOINSUBJECT|Lobby Chat\n");
  Port.Claim(Status::Done);
  Transport.RunPosted();
  Port.Create(Status::Done);
  Port.State(Status::Done, State);
  EXPECT_THAT(Take(ann), IsEmpty());
  Port.Joined(Answer({Own("ann")}));
  EXPECT_THAT(Take(ann), ElementsAre(StartsWith("LOGIN|SUCCESS|"), "SUBJECTS|Lobby Chat|",
                                     "JOINSUBJECT|Lobby Chat|" + Wire("ann"),
                                     "USERINFO|" + Wire("ann") + "|"));
}

TEST_F(ClusterTest, OneIdLoggingInTwiceOnThisNodeIsRefusedWithoutReleasingTheFirst) {
  const auto first = Connect();
  const auto second = Connect();
  Say(first, "LOGIN|ann|Game|pw");
  Say(second, "LOGIN|ann|Game|pw");
  Port.Claim(Status::Done);
  Port.Claim(Status::Done);
  Transport.RunPosted();
  EXPECT_THAT(Take(second), ElementsAre("LOGIN|ERROR|A User with this ID is already logged in"));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)", "ClaimId(Game,ann)",
                                            "CreateSubject(Game,Lobby Chat,0,persistent)"));
  Port.Create(Status::Done);
  Port.State(Status::Done, State);
  Port.Joined(Answer({Own("ann")}));
  EXPECT_TRUE(Core.FindGuest(first)->LoggedIn());
  Core.KillGuest(second);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("OpenCode(Game)", "Join(Game,Lobby Chat,ann)"));
  Core.KillGuest(first);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("Drop(Game,ann)"));
}

TEST_F(ClusterTest, RemoteMembersAreAnnouncedListedAndLookedUpLikeLocalOnes) {
  const auto ann = LoggedIn("ann");
  RemoteJoins("Lobby Chat", "bob");
  EXPECT_THAT(Take(ann), ElementsAre("ADDGUEST|bob|" + Text("bob")));
  const auto carl = LoggedIn("carl", {Remote("bob")});
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("ann@", "bob@b", "carl@"));
  // bob logged in again on node c before his leave on b was heard: a new member.
  const auto bobText = Text("bob");
  Events().OnRemoteMemberJoined("Game", "Lobby Chat", {"c", "bob", bobText, 0, false});
  EXPECT_THAT(Take(ann), ElementsAre("REMOVEGUEST|bob", "ADDGUEST|bob|" + Text("bob")));
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("ann@", "carl@", "bob@c"));
  Forget();

  Say(carl, "USERINFO|bob|");
  EXPECT_THAT(Take(carl), ElementsAre("USERINFO|" + Text("bob") + "|"));
  Forget();
  // The new text goes on as the node sent it.
  Events().OnRemoteUserUpdated("Game", "Lobby Chat", "bob", Wire("bob"));
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "USERINFO|" + Wire("bob") + "|"),
                                     Line(carl, "USERINFO|" + Wire("bob") + "|")));
  Events().OnRemoteRoundTrips("Game", {{"bob", 42}});
  Core.OnPingTimer();
  EXPECT_THAT(Take(carl), ElementsAre("PING|ann|0|carl|0|bob|42|"));
  Forget();

  Events().OnRemoteMemberLeft("Game", "Lobby Chat", "bob");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "REMOVEGUEST|bob"), Line(carl, "REMOVEGUEST|bob")));
  Say(carl, "USERINFO|bob|");
  EXPECT_THAT(Take(carl), ElementsAre("ERROR|The specified User could not be found"));
  Forget();
  // Events of another code, or for members not held, change nothing.
  Events().OnRemoteMemberLeft("Game", "Lobby Chat", "bob");
  Events().OnRemoteMemberJoined("Other", "Lobby Chat", {"b", "zed", Text("zed"), 0, false});
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_EQ(Core.FindSubject("Game", "Lobby Chat")->MemberCount(), 2u);
}

TEST_F(ClusterTest, AnIdMovingToThisNodeReplacesItsRemoteMemberBeforeItsLeaveIsHeard) {
  const auto ann = LoggedIn("ann");
  RemoteJoins("Lobby Chat", "bob");
  Forget();
  const auto bob = Claimed("bob");
  Port.Joined(Answer({Own("ann"), Own("bob")}));
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("ann@", "bob@"));
  Say(ann, "USERINFO|bob|");
  EXPECT_THAT(Take(ann), ElementsAre("REMOVEGUEST|bob", "ADDGUEST|bob|" + Wire("bob"),
                                     "USERINFO|" + Wire("bob") + "|"));
  // The leave on the other node, heard late, is not this node's bob.
  Events().OnRemoteMemberLeft("Game", "Lobby Chat", "bob");
  EXPECT_TRUE(Core.FindGuest(bob)->Subject());
  EXPECT_THAT(Take(ann), IsEmpty());
}

TEST_F(ClusterTest, JoinSubjectAnswersAsASingleServerWould) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Events().OnRemoteSubjectAdded("Game", "Duel");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "ADDSUBJECT|Duel"), Line(bob, "ADDSUBJECT|Duel")));
  const struct {
    Status Answer;
    std::vector<std::string> Lines;
  } refusals[] = {
      {Status::Full, {"ERROR|The specified Subject is already filled"}},
      {Status::NoSubject, {"ERROR|The specifiec Subject does not exist"}},
      {Status::Same, {}},
      {Status::Unavailable, {"ERROR|The cluster is unavailable"}},
  };
  for (const auto& c : refusals) {
    Say(ann, "JOINSUBJECT|Duel");
    EXPECT_THAT(Port.TakeCalls(), ElementsAre("Join(Game,Duel,ann)"));
    Port.Joined(Refusal(c.Answer));
    EXPECT_EQ(Take(ann), c.Lines);
    EXPECT_EQ(Core.FindGuest(ann)->Subject()->Name(), "Lobby Chat");
  }
  Forget();
  RemoteJoins("Duel", "cy");
  Say(ann, "JOINSUBJECT|Duel");
  Port.Joined(Answer({Remote("cy"), Own("ann")}, true));
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(bob, "REMOVEGUEST|ann"),
                          Line(ann, "JOINSUBJECT|Duel|" + Text("cy") + "|" + Wire("ann")),
                          Line(ann, "BEGINSUBJECT|")));
  Port.TakeCalls();
  // A subject full in the mirror is refused without asking.
  Say(bob, "JOINSUBJECT|Duel");
  EXPECT_THAT(Take(bob), ElementsAre("ERROR|The specified Subject is already filled"));
  EXPECT_THAT(Port.TakeCalls(), IsEmpty());
}

TEST_F(ClusterTest, CreateSubjectAsksForTheNameFirstThenJoins) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Say(ann, "CREATESUBJECT|Duel|2|");
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("CreateSubject(Game,Duel,2,client,announce)"));
  Port.Create(Status::Exists);
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "ERROR|A Subject with that name already exists")));
  EXPECT_EQ(Core.FindSubject("Game", "Duel"), nullptr);

  Say(ann, "CREATESUBJECT|Duel|2|");
  Port.Create(Status::Done);
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "ADDSUBJECT|Duel"), Line(bob, "ADDSUBJECT|Duel")));
  EXPECT_THAT(Port.TakeCalls(),
              ElementsAre("CreateSubject(Game,Duel,2,client,announce)", "Join(Game,Duel,ann)"));
  Port.Joined(Answer({Own("ann")}));
  EXPECT_THAT(TakeAll(), ElementsAre(Line(bob, "REMOVEGUEST|ann"),
                                     Line(ann, "JOINSUBJECT|Duel|" + Wire("ann"))));
  EXPECT_EQ(Core.FindSubject("Game", "Duel")->MaxConnections(), 2);

  Port.Figures = {12, 5};
  Say(bob, "SERVERSTATS");
  TZorvaServerStats stats;
  stats.fromString(Take(bob).at(0).substr(std::string_view("SERVERSTATS|").size()));
  EXPECT_EQ(stats.CurrentConnections(), 12);
  EXPECT_EQ(stats.CurrentSubjects(), 5);
  EXPECT_EQ(stats.TotalSubjectsCreated(), 1);
}

TEST_F(ClusterTest, ARelayReachesLocalMembersAtOnceAndIsPublishedOnce) {
  const auto ann = LoggedIn("ann");
  RemoteJoins("Lobby Chat", "bob");
  const auto carl = LoggedIn("carl", {Remote("bob")});
  const auto dora = LoggedIn("dora", {Remote("bob")});
  Forget();
  Say(ann, "SEND|CHAT|hi");
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(carl, "SEND|ann|CHAT|hi"), Line(dora, "SEND|ann|CHAT|hi")));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("PublishLine(Game,Lobby Chat,SEND|ann|CHAT|hi)"));
}

TEST_F(ClusterTest, ARemoteLineReachesOnlyTheLocalMembersOfItsSubject) {
  const auto ann = LoggedIn("ann");
  const auto carl = LoggedIn("carl");
  InRoom(carl, "carl", "Room");
  RemoteJoins("Room", "bob");
  Forget();
  Events().OnRemoteLine("Game", "Room", "SEND|bob|CHAT|x");
  Events().OnRemoteLine("Game", "Nowhere", "SEND|bob|CHAT|y");
  Events().OnRemoteLine("Other", "Room", "SEND|bob|CHAT|z");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(carl, "SEND|bob|CHAT|x")));
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Port.TakeCalls(), IsEmpty());
}

TEST_F(ClusterTest, AGuestGoneWhileAnAnswerIsAwaitedLeavesTheClusterAndTheAnswerIsIgnored) {
  // While its claim is asked: the id is released, the store is never asked.
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  Core.OnClientDisconnect(ann);
  Port.Claim(Status::Done);
  Transport.RunPosted();
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("ClaimId(Game,ann)", "ReleaseId(Game,ann)"));

  // While its code is opened: the taken id is dropped, and nobody joins.
  const auto bob = Claimed("bob");
  Core.OnClientDisconnect(bob);
  Port.Create(Status::Done);
  Port.State(Status::Done, State);
  EXPECT_THAT(Port.TakeCalls(),
              ElementsAre("ClaimId(Game,bob)", "CreateSubject(Game,Lobby Chat,0,persistent)",
                          "Drop(Game,bob)", "OpenCode(Game)"));
  Opened = true;

  // While its join is asked: the member leaves at once.
  const auto carl = LoggedIn("carl");
  const auto dora = LoggedIn("dora");
  Events().OnRemoteSubjectAdded("Game", "Duel");
  Say(carl, "JOINSUBJECT|Duel");
  Core.OnClientDisconnect(carl);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("Join(Game,Duel,carl)", "Drop(Game,carl)"));
  Forget();
  Port.Joined(Answer({Own("carl")}));
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("dora@"));
  EXPECT_EQ(Core.FindSubject("Game", "Duel")->MemberCount(), 0u);
  EXPECT_THAT(Observer.Exceptions, IsEmpty());
  Say(dora, "PING|");
}

TEST_F(ClusterTest, WhileTheClusterIsLostOnlyWhatNeedsItIsRefused) {
  const auto ann = LoggedIn("ann");
  const auto carl = LoggedIn("carl");
  Events().OnRemoteSubjectAdded("Game", "Duel");
  Forget();
  Port.Up = false;
  Events().OnClusterLost("Connection refused");

  const auto dora = Connect();
  Say(dora, "LOGIN|dora|Game|pw");
  Say(ann, "CREATESUBJECT|Room|0|");
  Say(ann, "JOINSUBJECT|Duel");
  Say(ann, "SEND|CHAT|still here");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(dora, "LOGIN|ERROR|The cluster is unavailable"),
                                     Line(ann, "ERROR|The cluster is unavailable"),
                                     Line(ann, "ERROR|The cluster is unavailable"),
                                     Line(carl, "SEND|ann|CHAT|still here")));
  EXPECT_THAT(Port.TakeCalls(),
              ElementsAre("PublishLine(Game,Lobby Chat,SEND|ann|CHAT|still here)"));
  Core.OnClientDisconnect(carl);
  EXPECT_THAT(TakeAll(), ElementsAre(Line(ann, "REMOVEGUEST|carl")));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("Drop(Game,carl)"));
  Port.Left(Status::Unavailable);
}

TEST_F(ClusterTest, WhenTheClusterIsBackTheNodeRebuildsAndAnnouncesTheDifferences) {
  const auto ann = LoggedIn("ann");
  const auto carl = LoggedIn("carl");
  const auto eve = LoggedIn("eve");
  InRoom(carl, "carl", "Room");
  RemoteJoins("Lobby Chat", "bob");
  Events().OnRemoteSubjectAdded("Game", "Old");
  Port.Up = false;
  Events().OnClusterLost("Connection reset");
  Core.OnClientDisconnect(eve);
  Port.Left(Status::Unavailable);
  Forget();
  Port.TakeCalls();

  Port.Up = true;
  Events().OnClusterBack();
  // The empty subject "Old" is not made again: it may have gone while the cluster was away.
  EXPECT_THAT(
      Port.TakeCalls(),
      ElementsAre("ClaimId(Game,ann)", "ClaimId(Game,carl)", "OwnIds()",
                  "CreateSubject(Game,Lobby Chat,0,persistent)", "Join(Game,Lobby Chat,ann)",
                  "CreateSubject(Game,Room,0,announce)", "Join(Game,Room,carl)", "LoadCode(Game)"));
  Port.Claim(Status::Taken);
  Port.Claim(Status::Done);
  EXPECT_THAT(Observer.Notes.back(), "Cluster: ann is logged in on another node too");
  Port.Owned({"ann", "carl", "eve"});
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("Drop(Game,eve)"));
  // fay joined after the state was read: her event waits for it rather than being undone by it.
  RemoteJoins("Lobby Chat", "fay");
  EXPECT_THAT(TakeAll(), IsEmpty());

  Port.State(Status::Done, {{"Lobby Chat", 0, true, false, {Own("ann"), Remote("dave")}},
                            {"Room", 0, false, false, {Own("carl")}}});
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(ann, "ADDGUEST|dave|" + Text("dave")), Line(ann, "REMOVEGUEST|bob"),
                          Line(ann, "REMOVESUBJECT|Old"), Line(carl, "REMOVESUBJECT|Old"),
                          Line(ann, "ADDGUEST|fay|" + Text("fay"))));
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("ann@", "dave@b", "fay@b"));
  EXPECT_THAT(Nodes("Room"), ElementsAre("carl@"));
}

TEST_F(ClusterTest, OperatorActionsReachMembersOnOtherNodesThroughTheCluster) {
  const auto ann = LoggedIn("ann");
  const auto carl = LoggedIn("carl");
  InRoom(ann, "ann", "Duel");
  RemoteJoins("Lobby Chat", "bob");
  Forget();

  EXPECT_TRUE(Core.ShoutToUser("bob", "hi"));
  EXPECT_TRUE(Core.ShoutToUser("carl", "hey"));
  EXPECT_FALSE(Core.ShoutToUser("nobody", "hey"));
  EXPECT_THAT(TakeAll(), ElementsAre(Line(carl, "SHOUT|hey|")));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("PublishGuestLine(Game,bob,SHOUT|hi|)"));
  Events().OnRemoteGuestLine("Game", "carl", "SHOUT|from b|");
  EXPECT_THAT(TakeAll(), ElementsAre(Line(carl, "SHOUT|from b|")));

  // The delete moves nobody here: the cluster's moves come back as events without an origin.
  EXPECT_EQ(Core.DeleteSubject("Game", "Duel"), TDeleteSubjectResult::Deleted);
  EXPECT_THAT(Port.TakeCalls(), ElementsAre("RemoveSubject(Game,Duel,Lobby Chat)"));
  EXPECT_THAT(TakeAll(), IsEmpty());
  const auto text = Wire("ann");
  Events().OnRemoteMemberJoined("Game", "Lobby Chat", {"", "ann", text, 0, false});
  Events().OnRemoteSubjectRemoved("Game", "Duel");
  EXPECT_THAT(TakeAll(),
              ElementsAre(Line(ann, "REMOVESUBJECT|Duel"), Line(carl, "REMOVESUBJECT|Duel"),
                          Line(carl, "ADDGUEST|ann|" + Wire("ann")),
                          Line(ann, "JOINSUBJECT|Lobby Chat|" + Wire("carl") + "|" + Text("bob") +
                                        "|" + Wire("ann"))));
  EXPECT_THAT(Port.TakeCalls(), IsEmpty());
  // A moved member not heard of before is still another node's.
  const auto gus = Text("gus");
  Events().OnRemoteMemberJoined("Game", "Lobby Chat", {"", "gus", gus, 0, false});
  EXPECT_THAT(Nodes("Lobby Chat"), ElementsAre("carl@", "bob@b", "ann@", "gus@?"));
  EXPECT_EQ(Core.GuestCount(), 2u);
  Forget();

  Say(ann, "USERUPDATE|ann|" + Wire("ann"));
  EXPECT_THAT(Port.TakeCalls(), ElementsAre(StartsWith("UpdateUser(Game,ann,")));
}

}  // namespace
}  // namespace zorva::testing
