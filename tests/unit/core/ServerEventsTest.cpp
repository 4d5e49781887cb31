// What the core reports to its observer as events: who came, who left and why, who was turned
// away, which subjects came and went, what the operator did and to whom.
#include <cerrno>
#include <functional>

#include "CoreHarness.h"
#include "ServerEvents.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// One line per event: "kind id code address reason".
class EventRecorder : public RecordingObserver {
 public:
  void Event(const TServerEvent& event) override {
    std::string line(EventName(event.Kind));
    switch (event.Kind) {
      case TServerEventKind::Login:
        line += " " + std::string(event.UserId) + " " + std::string(event.SubjectCode) + " " +
                std::string(event.Address);
        break;
      case TServerEventKind::Logout:
      case TServerEventKind::Drop:
        line += " " + std::string(event.UserId) + " " + std::string(ReasonName(event.Drop));
        if (event.ErrorCode != 0) {
          line += " " + std::to_string(event.ErrorCode) + " " + std::string(event.Error);
        }
        break;
      case TServerEventKind::Refusal:
        line += " " + std::string(event.Address) + " " + std::string(ReasonName(event.Refusal));
        break;
      case TServerEventKind::SubjectCreated:
      case TServerEventKind::SubjectRemoved:
        line += " " + std::string(event.SubjectCode) + "/" + std::string(event.Subject);
        break;
      case TServerEventKind::Operator:
        line += " " + std::string(ActionName(event.Action)) + " " + std::string(event.UserId);
        for (const auto& aim : {event.Target, event.Address, event.Text}) {
          if (!aim.empty()) line += " " + std::string(aim);
        }
        if (!event.SubjectCode.empty()) {
          line += " " + std::string(event.SubjectCode) + "/" + std::string(event.Subject);
        }
        if (event.Action == TOperatorAction::Trace) line += event.On ? " on" : " off";
        break;
    }
    Events.push_back(line);
  }
  Lines Events;
};

class ServerEventsTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    Core.SetObserver(&Recorder);
  }
  EventRecorder Recorder;
};

TEST_F(ServerEventsTest, LoginNamesIdCodeAndAddress) {
  const auto guest = Connect("10.1.2.3");
  Say(guest, "LOGIN|ann|Game|pw");
  EXPECT_THAT(Recorder.Events,
              ElementsAre("login ann Game 10.1.2.3", "subject-created Game/Lobby Chat"));
}

TEST_F(ServerEventsTest, RefusedLoginIsNoLoginEvent) {
  const auto guest = Connect();
  Say(guest, "LOGIN|NewUser|Game|pw");
  EXPECT_THAT(Recorder.Events, IsEmpty());
}

struct LeaveCase {
  const char* Label;
  bool LogIn;
  std::function<void(ConnectionId)> Cause;
  std::string Expected;
};

TEST_F(ServerEventsTest, EveryWayOfLeavingCarriesItsReason) {
  const LeaveCase cases[] = {
      {"quit", true, [this](ConnectionId id) { Core.OnClientDisconnect(id); }, "logout ann quit"},
      {"staging_quit", false, [this](ConnectionId id) { Core.OnClientDisconnect(id); },
       "drop  quit"},
      {"killed", true, [this](ConnectionId id) { Core.KillGuest(id); }, "logout ann killed"},
      {"socket_error", true,
       [this](ConnectionId id) { Core.OnClientError(id, 104, "Connection reset by peer"); },
       "logout ann socket-error 104 Connection reset by peer"},
      {"slow_reader", true,
       [this](ConnectionId id) { Core.OnClientError(id, ENOBUFS, "slow reader"); },
       "logout ann slow-reader"},
      {"line_too_long", false, [this](ConnectionId id) { Read(id, std::string(70000, 'x')); },
       "drop  line-too-long"},
      {"ping_timeout", true,
       [this](ConnectionId) {
         Clock.Ms += (Core.Settings().Timeout + 1) * 1000ull;
         Core.OnPingTimer();
       },
       "logout ann ping-timeout"},
  };
  for (const auto& c : cases) {
    const auto guest = c.LogIn ? LoggedIn("ann") : Connect();
    Recorder.Events.clear();
    c.Cause(guest);
    std::erase_if(Recorder.Events, [](const std::string& e) { return e.starts_with("operator "); });
    ASSERT_FALSE(Recorder.Events.empty()) << c.Label;
    EXPECT_EQ(Recorder.Events.front(), c.Expected) << c.Label;
    EXPECT_EQ(Core.FindGuest(guest), nullptr) << c.Label;
  }
}

TEST_F(ServerEventsTest, AGuestLeavesOnceWhateverFollows) {
  const auto ann = LoggedIn("ann");
  Recorder.Events.clear();
  Core.OnClientError(ann, 104, "reset");
  Core.OnClientDisconnect(ann);
  EXPECT_FALSE(Core.KillGuest(ann));
  EXPECT_THAT(Recorder.Events, ElementsAre("logout ann socket-error 104 reset"));
}

// A browser's refused upgrade: the transport's reason is all the log has to go on.
TEST_F(ServerEventsTest, AConnectionNeverListedFailsWithTheTransportsReason) {
  Core.OnClientError(777, EPROTO,
                     "WebSocket upgrade refused: HTTP/1.1 403 Forbidden (from 10.0.0.9)");
  EXPECT_THAT(Recorder.Events,
              ElementsAre("drop  socket-error 71 WebSocket upgrade refused: HTTP/1.1 403 "
                          "Forbidden (from 10.0.0.9)"));
  EXPECT_EQ(Core.GuestCount(), 0u);
}

TEST_F(ServerEventsTest, RefusalsNameTheirReason) {
  Core.SetMaxClients(1);
  Connect("10.0.0.1");
  Connect("10.0.0.2");
  Core.ShutDown();
  Connect("10.0.0.3");
  EXPECT_THAT(Recorder.Events, ElementsAre("refusal 10.0.0.2 full", "operator shut-down ",
                                           "refusal 10.0.0.3 shutting-down"));
}

TEST_F(ServerEventsTest, SubjectsAreReportedWhenCreatedAndRemoved) {
  const auto ann = LoggedIn("ann");
  Recorder.Events.clear();
  Say(ann, "CREATESUBJECT|Room|0");
  Say(ann, "JOINSUBJECT|Lobby Chat");
  Core.CreateSubject("Game", "Hall", 0, true);
  Core.DeleteSubject("Game", "Hall");
  EXPECT_THAT(Recorder.Events,
              ElementsAre("subject-created Game/Room", "subject-removed Game/Room",
                          "operator create-subject  Game/Hall", "subject-created Game/Hall",
                          "operator delete-subject  Game/Hall", "subject-removed Game/Hall"));
}

TEST_F(ServerEventsTest, OperatorActionsNameWhomTheyAimAt) {
  const auto ann = LoggedIn("ann");  // from 10.0.0.1
  const auto guest = Connect("10.0.0.7");
  Say(ann, "CREATESUBJECT|Room|0");
  Recorder.Events.clear();
  Core.Shout(TShoutTarget::ToAll(), "hi");
  Core.Shout(TShoutTarget::ToStagingArea(), "hi");
  Core.Shout(TShoutTarget::ToSubjectCode("Game"), "hi");
  Core.Shout(TShoutTarget::ToSubject("Game", "Room"), "hi");
  Core.Shout(TShoutTarget::ToGuest(guest), "hi");
  Core.ShoutToUser("ann", "hi");
  Core.SetTraceIncoming(true);
  Core.SetTraceIncoming(true);   // no change, no action
  Core.SetTraceOutgoing(false);  // no change, no action
  Core.SetTraceIncoming(false);
  Core.SetTraceOutgoing(true);
  Core.SetTraceOutgoing(false);
  Core.KillGuest(guest);
  EXPECT_THAT(
      Recorder.Events,
      ElementsAre("operator shout  all hi", "operator shout  staging-area hi",
                  "operator shout  code hi Game/", "operator shout  subject hi Game/Room",
                  "operator shout  guest 10.0.0.7 hi", "operator shout ann user 10.0.0.1 hi Game/",
                  "operator trace  incoming on", "operator trace  incoming off",
                  "operator trace  outgoing on", "operator trace  outgoing off",
                  "operator kill  10.0.0.7", "drop  killed"));
}

}  // namespace
}  // namespace zorva::testing
