// Connections, framing, pings, counters, tracing and failures of the server core.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "CoreHarness.h"

namespace zorva::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class SessionTest : public CoreTest {};

// ---- Lines in, lines out, for a guest that has not logged in.

struct TTranscript {
  const char* Label;
  std::vector<std::string> Chunks;
  Lines Out;
};

void PrintTo(const TTranscript& c, std::ostream* os) {
  *os << c.Label;
}

class StagingTranscript : public SessionTest, public ::testing::WithParamInterface<TTranscript> {};

TEST_P(StagingTranscript, Answers) {
  const auto guest = Connect();
  for (const auto& chunk : GetParam().Chunks) Read(guest, chunk);
  EXPECT_EQ(Take(guest), GetParam().Out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StagingTranscript,
    ::testing::Values(
        TTranscript{"empty_line", {"\n"}, {"ERROR|Unrecognized Server Command: |"}},
        TTranscript{"ping_with_cr_is_a_ping", {"PING|\r\n"}, {}},
        TTranscript{
            "ping_word_with_cr", {"PING\r\n"}, {"ERROR|Unrecognized Server Command: PING\r|"}},
        TTranscript{"lower_case_word", {"ping|\n"}, {"ERROR|Unrecognized Server Command: ping|"}},
        TTranscript{"unknown_keeps_args",
                    {"HELLO|a|b\n"},
                    {"ERROR|Unrecognized Server Command: HELLO|a|b"}},
        TTranscript{"split_inside_word", {"USERI", "NFO|x|\n"}, {"ERROR|You are not logged in"}},
        TTranscript{"no_line_feed_no_command", {"USERINFO|x|"}, {}},
        TTranscript{
            "three_in_one_read",
            {"A\nB|1\nC|\n"},
            {"ERROR|Unrecognized Server Command: A|", "ERROR|Unrecognized Server Command: B|1",
             "ERROR|Unrecognized Server Command: C|"}},
        TTranscript{
            "create_needs_login", {"CREATESUBJECT|Room|0|\n"}, {"ERROR|You are not logged in"}},
        TTranscript{
            "join_needs_login", {"JOINSUBJECT|Lobby Chat\n"}, {"ERROR|You are not logged in"}},
        TTranscript{"update_needs_login", {"USERUPDATE|a|x|\n"}, {"ERROR|You are not logged in"}},
        TTranscript{"feedback_needs_login", {"FEEDBACK|hi\n"}, {"ERROR|You are not logged in"}},
        TTranscript{"send_from_staging_is_silent", {"SEND|CHAT|hi\n"}, {}},
        TTranscript{"custom_is_silent", {"CUSTOM|x|y\n"}, {}},
        TTranscript{
            "stats_work_before_login", {"SERVERSTATS|\n"}, {"SERVERSTATS|0`1`1`0`0`1`13`0`|"}}),
    [](const auto& info) { return std::string(info.param.Label); });

// ---- Pings and timeouts

TEST_F(SessionTest, SilentGuestGetsPingThenIsDroppedAfterTimeout) {
  const auto guest = Connect();
  Core.OnPingTimer();
  EXPECT_THAT(Take(guest), ElementsAre("PING|"));
  Clock.Ms += 60'000;
  Core.OnPingTimer();  // exactly the timeout: not more than it
  EXPECT_THAT(Take(guest), IsEmpty());
  EXPECT_EQ(Core.GuestCount(), 1u);
  Clock.Ms += 1;
  Core.OnPingTimer();
  EXPECT_EQ(Core.GuestCount(), 0u);
  EXPECT_TRUE(Transport.Closed.contains(guest));
  EXPECT_THAT(Take(guest), IsEmpty());
}

TEST_F(SessionTest, AnsweringGuestStaysAndGetsRoundTrips) {
  const auto ann = LoggedIn("ann");
  for (int tick = 0; tick < 10; ++tick) {
    Core.OnPingTimer();
    Clock.Ms += 250;
    Say(ann, "PING|");
    Clock.Ms += 30'000;
  }
  Core.OnPingTimer();
  EXPECT_EQ(Take(ann).back(), "PING|ann|250|");
  EXPECT_EQ(Core.GuestCount(), 1u);
}

TEST_F(SessionTest, UnaskedPingCountsAsAnswerButMeasuresNothing) {
  const auto guest = Connect();
  Clock.Ms += 59'000;
  Say(guest, "PING|");
  EXPECT_EQ(Core.FindGuest(guest)->RoundTrip(), 0);
  Clock.Ms += 59'000;
  Core.OnPingTimer();
  EXPECT_EQ(Core.GuestCount(), 1u);
}

// Only the answer to a ping the server sent is a round trip; what comes before or after is not.
TEST_F(SessionTest, RoundTripIsMeasuredOnlyAgainstASentPing) {
  const struct {
    const char* Label;
    bool PingSentFirst;
    int Answers;
    std::int32_t RoundTrip;
  } cases[] = {
      {"unasked", false, 1, 0},
      {"answered", true, 1, 40},
      {"answered_then_unasked", true, 2, 40},
  };
  for (const auto& c : cases) {
    const auto ann = LoggedIn(std::string("ann_") + c.Label);
    if (c.PingSentFirst) Core.OnPingTimer();
    for (int i = 0; i < c.Answers; ++i) {
      Clock.Ms += 40;
      Say(ann, "PING|");
    }
    EXPECT_EQ(Core.FindGuest(ann)->RoundTrip(), c.RoundTrip) << c.Label;
    Core.KillGuest(ann);
  }
}

TEST_F(SessionTest, TimedOutGuestAloneInItsSubjectIsToldItIsGoneBeforeTheClose) {
  const auto ann = LoggedIn("ann");
  Say(ann, "CREATESUBJECT|Room|0|");
  Take(ann);
  Clock.Ms += 61'000;
  Core.OnPingTimer();
  EXPECT_THAT(Take(ann), ElementsAre("REMOVESUBJECT|Room"));
  ASSERT_TRUE(Transport.Closed.contains(ann));
  EXPECT_EQ(Transport.Closed.at(ann), ITransport::CloseMode::AfterFlush);
}

TEST_F(SessionTest, NoSecondPingWhileOneIsOutstanding) {
  const auto guest = Connect();
  Core.OnPingTimer();
  Core.OnPingTimer();
  EXPECT_THAT(Take(guest), ElementsAre("PING|"));
}

TEST_F(SessionTest, TwoTimeoutsInOneTickStillExamineTheNext) {
  const auto first = Connect();
  const auto second = Connect();
  Clock.Ms += 30'000;
  const auto third = Connect();
  Clock.Ms += 31'000;
  Core.OnPingTimer();
  EXPECT_TRUE(Transport.Closed.contains(first));
  EXPECT_TRUE(Transport.Closed.contains(second));
  EXPECT_THAT(Take(third), ElementsAre("PING|"));
}

TEST_F(SessionTest, PingListsSubjectMembersInOrder) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto guest = Connect();
  Core.OnPingTimer();
  Clock.Ms += 40;
  Say(bob, "PING|");
  Clock.Ms += 30'000;
  Say(ann, "PING|");
  Core.OnPingTimer();
  EXPECT_THAT(Take(ann), ElementsAre("PING|ann|0|bob|0|", "PING|ann|30040|bob|40|"));
  EXPECT_THAT(Take(guest), ElementsAre("PING|"));
}

// ---- Counters

TEST_F(SessionTest, BytesReadCountRawChunksEvenWithoutGuest) {
  const auto guest = Connect();
  Read(guest, "PING|\nSEND|CHAT|hello!\n12");  // 25 bytes, two whole lines
  Core.OnClientRead(999, "abc");
  EXPECT_EQ(Core.UpdateServerStats().BytesRead(), 28);
}

TEST_F(SessionTest, TenCharactersToThreeGuestsAddThirtyThree) {
  const auto a = Connect();
  Connect();
  Connect();
  const auto before = Core.UpdateServerStats().BytesWritten();
  Core.Shout(TShoutTarget::ToAll(),
             "123");  // "SHOUT|123|": 10 characters and a line feed, three times
  EXPECT_THAT(Take(a), ElementsAre("SHOUT|123|"));
  EXPECT_EQ(Core.UpdateServerStats().BytesWritten() - before, 33);
}

// A connection refused at the door: one error line, flushed before the close, counted only
// in the bytes written; the guests inside go on as before.
struct TRefusalCase {
  const char* Label;
  void (*Refuse)(ServerCore&);
  std::string Line;
};

void PrintTo(const TRefusalCase& c, std::ostream* os) {
  *os << c.Label;
}

class RefusalTest : public SessionTest, public ::testing::WithParamInterface<TRefusalCase> {};

TEST_P(RefusalTest, SendsOneLineClosesAfterFlushAndCountsOnlyItsBytes) {
  const auto first = Connect();
  GetParam().Refuse(Core);
  const auto refused = Connect();
  EXPECT_THAT(Take(refused), ElementsAre(GetParam().Line));
  EXPECT_EQ(Transport.Closed.at(refused), ITransport::CloseMode::AfterFlush);
  const auto& stats = Core.UpdateServerStats();
  EXPECT_EQ(stats.BytesWritten(), static_cast<double>(GetParam().Line.size() + 1));
  EXPECT_EQ(stats.TotalConnections(), 1);
  EXPECT_EQ(stats.PeakClientsConnected(), 1);
  EXPECT_EQ(Core.GuestCount(), 1u);
  EXPECT_THAT(Core.StagingGuests(), ElementsAre(Core.FindGuest(first)));
  Say(first, "LOGIN|ann|Game|pw");
  EXPECT_TRUE(Core.FindGuest(first)->LoggedIn());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusalTest,
    ::testing::Values(TRefusalCase{"shut_down", [](ServerCore& core) { core.ShutDown(); },
                                   "ERROR|The Server is shutting down"},
                      TRefusalCase{"full", [](ServerCore& core) { core.SetMaxClients(1); },
                                   "ERROR|The Server is full"},
                      TRefusalCase{"shut_down_and_full",
                                   [](ServerCore& core) {
                                     core.SetMaxClients(1);
                                     core.ShutDown();
                                   },
                                   "ERROR|The Server is shutting down"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(SessionTest, ClientLimitCountsGuestsNotConnectionsEver) {
  Core.SetMaxClients(2);
  const auto a = Connect();
  const auto b = Connect();
  const auto refused = Connect();
  EXPECT_THAT(Take(refused), ElementsAre("ERROR|The Server is full"));
  Core.OnClientDisconnect(a);
  const auto c = Connect();  // a's place is free again
  EXPECT_THAT(Take(c), IsEmpty());
  EXPECT_FALSE(Transport.Closed.contains(c));
  Core.KillGuest(b);
  Core.SetMaxClients(0);  // no limit
  for (int i = 0; i < 5; ++i) EXPECT_THAT(Take(Connect()), IsEmpty());
  EXPECT_EQ(Core.GuestCount(), 6u);
}

TEST_F(SessionTest, StopAfterFlushClosesEveryGuestThatWay) {
  const auto a = Connect();
  const auto b = LoggedIn("ann");
  Core.Stop(ITransport::CloseMode::AfterFlush);
  EXPECT_EQ(Transport.Closed.at(a), ITransport::CloseMode::AfterFlush);
  EXPECT_EQ(Transport.Closed.at(b), ITransport::CloseMode::AfterFlush);
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_EQ(Core.GuestCount(), 0u);
  EXPECT_FALSE(Transport.Listening);
}

TEST_F(SessionTest, PeakAndTotalConnections) {
  const auto a = Connect();
  Connect();
  Connect();
  Core.OnClientDisconnect(a);
  Connect();
  Connect();
  const auto& stats = Core.UpdateServerStats();
  EXPECT_EQ(stats.TotalConnections(), 5);
  EXPECT_EQ(stats.PeakClientsConnected(), 4);
  EXPECT_EQ(stats.CurrentConnections(), 4);
}

TEST_F(SessionTest, StopFreezesSecondsAndKeepsTotalsUntilNextStart) {
  Connect();
  Clock.Ms += 90'500;
  Core.Stop();
  Clock.Ms += 10'000;
  const auto& stopped = Core.UpdateServerStats();
  EXPECT_EQ(stopped.SecondsActive(), 90);
  EXPECT_EQ(stopped.CurrentConnections(), 0);
  EXPECT_EQ(stopped.TotalConnections(), 1);
  std::string error;
  ASSERT_TRUE(Core.Start(error));
  EXPECT_EQ(Core.UpdateServerStats().TotalConnections(), 0);
}

TEST_F(SessionTest, ActivitySeriesHoldsTwentyIntervals) {
  const auto guest = Connect();
  EXPECT_EQ(Core.ActivityBytesRead(), TServerCounters::TSeries{});
  Read(guest, "PING|\n");
  Core.OnPingTimer();  // sends "PING|": 6 bytes
  Core.OnPingTimer();
  const auto& read = Core.ActivityBytesRead();
  const auto& written = Core.ActivityBytesWritten();
  EXPECT_EQ(read[18], 6);
  EXPECT_EQ(read[19], 0);
  EXPECT_EQ(written[18], 6);
  EXPECT_EQ(read[17], 0);
}

// ---- Failures

TEST_F(SessionTest, SocketErrorDropsGuestAndReports) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  const auto guest = Connect();
  Core.OnClientError(ann, 104, "reset");
  Core.OnClientError(guest, 32, "pipe");
  Core.OnClientError(777, 9, "unknown");
  Core.OnClientDisconnect(ann);  // already gone: ignored
  EXPECT_THAT(
      Observer.Exceptions,
      ElementsAre("Client Socket Error: 104", "User ann has been disconnected",
                  "Client Socket Error: 32", "A Guest in the Staging Area has been disconnected",
                  "Client Socket Error: 9"));
  // Each is told as a leave's alarm, which its Logout or Drop event describes.
  EXPECT_EQ(Observer.LeaveAlarms, Observer.Exceptions);
  EXPECT_THAT(Take(ann), IsEmpty());
  EXPECT_THAT(Take(bob), ElementsAre("REMOVEGUEST|ann"));
  EXPECT_EQ(Core.GuestCount(), 1u);
}

TEST_F(SessionTest, FailingCommandIsReportedAndNextLinesRunAtOnce) {
  const auto ann = LoggedIn("ann");
  Read(ann, "USERUPDATE|ann|ann^^A^^^^^^^not-a-date^|\nUSERINFO|ann|\n");
  EXPECT_THAT(Take(ann), ElementsAre("USERINFO|" + Wire("ann") + "|"));
  ASSERT_EQ(Observer.Exceptions.size(), 1u);
  EXPECT_EQ(Observer.Exceptions[0].rfind("[EConvertError] ", 0), 0u) << Observer.Exceptions[0];
}

TEST_F(SessionTest, OverlongLineRefusedAndClosedAfterFlush) {
  Core.SetMaxLine(20);
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Read(ann, "PING|\nSEND|CHAT|0123456789abcdef\nPING|\n");
  EXPECT_THAT(Take(ann), ElementsAre("ERROR|Line too long"));
  EXPECT_THAT(Take(bob), ElementsAre("REMOVEGUEST|ann"));
  EXPECT_EQ(Transport.Closed.at(ann), ITransport::CloseMode::AfterFlush);
  EXPECT_EQ(Core.FindGuest(ann), nullptr);
}

TEST_F(SessionTest, UnterminatedTextPastLimitRefused) {
  Core.SetMaxLine(8);
  const auto guest = Connect();
  Read(guest, "12345");
  Read(guest, "67890");
  EXPECT_THAT(Take(guest), ElementsAre("ERROR|Line too long"));
  EXPECT_EQ(Core.GuestCount(), 0u);
}

// A hook that acts on the server while the guest's own lines are being handled.
class OperatorHooks : public TServerHooks {
 public:
  void CustomCommand(const TCustomRequest& request) override {
    if (request.Data() == "kill") Core->KillGuest(Sender);
    if (request.Data() == "stop") Core->Stop();
  }
  ServerCore* Core = nullptr;
  ConnectionId Sender = 0;
};

class ReentryTest : public CoreTest, public ::testing::WithParamInterface<const char*> {
 protected:
  ReentryTest() : CoreTest(Hooks) { Hooks.Core = &Core; }
  OperatorHooks Hooks;
};

TEST_P(ReentryTest, GuestDroppedByItsOwnLineReadsNoFurther) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Hooks.Sender = ann;
  Say(ann, "CREATESUBJECT|Room|0|");
  Forget();
  Read(ann, "CUSTOM|x|" + std::string(GetParam()) + "\nSEND|CHAT|after\nUSERINFO|ann|\n");
  EXPECT_THAT(Take(ann), Not(Contains(StartsWith("USERINFO"))));
  EXPECT_THAT(Take(bob), Not(Contains(StartsWith("SEND"))));
  EXPECT_EQ(Core.FindGuest(ann), nullptr);
  EXPECT_TRUE(Transport.Closed.contains(ann));
  Say(bob, "PING|");
  EXPECT_EQ(Core.FindSubject("Game", "Room"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Table, ReentryTest, ::testing::Values("kill", "stop"));

TEST_F(SessionTest, ObserverHearsOncePerEvent) {
  struct Counting : IServerObserver {
    void GuestsChanged() override { ++Guests; }
    void SubjectsChanged() override { ++Subjects; }
    int Guests = 0;
    int Subjects = 0;
  } counting;
  Core.SetObserver(&counting);
  const auto ann = Connect();
  Say(ann, "LOGIN|ann|Game|pw");
  Say(ann, "CREATESUBJECT|Room|0|");
  EXPECT_EQ(counting.Guests, 2);
  EXPECT_EQ(counting.Subjects, 3);
  Core.SetObserver(nullptr);
}

// ---- Tracing

TEST_F(SessionTest, TraceNamesAddressBeforeLoginAndUserAfter) {
  Core.SetTraceIncoming(true);
  Core.SetTraceOutgoing(true);
  const auto guest = Connect("10.1.2.3");
  Say(guest, "LOGIN|NewUser|Game|pw");
  Say(guest, "LOGIN|ann|Game|pw");
  EXPECT_THAT(Observer.Incoming,
              ElementsAre("10.1.2.3: LOGIN|NewUser|Game|***", "10.1.2.3: LOGIN|ann|Game|***"));
  ASSERT_GE(Observer.Outgoing.size(), 2u);
  EXPECT_EQ(Observer.Outgoing[0], "10.1.2.3: LOGIN|ERROR|Invalid User Id");
  EXPECT_EQ(Observer.Outgoing[1], "ann: LOGIN|SUCCESS|" + Wire("ann"));
}

// Trace sees the line after the incoming filter and before the outgoing one.
class ShoutingHooks : public TServerHooks {
 public:
  void FilterIncoming(std::string& line) override {
    for (auto& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  void FilterOutgoing(std::string& line) override {
    if (line.starts_with("SHOUT|")) line = "SHOUT|multi\nline|";
    if (line.starts_with("ERROR|")) line = "E";
  }
  bool FiltersLines() const override { return true; }
};

class FilterTest : public CoreTest {
 protected:
  FilterTest() : CoreTest(Hooks) {}
  ShoutingHooks Hooks;
};

TEST_F(FilterTest, TraceAfterIncomingFilterBeforeOutgoingFilter) {
  Core.SetTraceIncoming(true);
  Core.SetTraceOutgoing(true);
  const auto guest = Connect("10.9.9.9");
  Say(guest, "hello");
  EXPECT_THAT(Observer.Incoming, ElementsAre("10.9.9.9: HELLO"));
  EXPECT_THAT(Observer.Outgoing,
              ElementsAre("10.9.9.9: ERROR|Unrecognized Server Command: HELLO|"));
  EXPECT_THAT(Take(guest), ElementsAre("E"));
  EXPECT_EQ(Core.UpdateServerStats().BytesWritten(), 2);
}

TEST_F(FilterTest, FilteredLineWithLineFeedIsNotSent) {
  const auto guest = Connect();
  Core.Shout(TShoutTarget::ToAll(), "hi");
  EXPECT_THAT(Take(guest), IsEmpty());
  ASSERT_EQ(Observer.Exceptions.size(), 1u);
  EXPECT_EQ(Core.UpdateServerStats().BytesWritten(), 0);
}

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST_F(SessionTest, LogFileOnlyHoldsEntriesSinceItWasOpened) {
  const auto path = ::testing::TempDir() + "zorva_core_test.log";
  std::string error;
  ASSERT_TRUE(Core.OpenLogFile(path, error)) << error;
  const auto guest = Connect("10.0.0.5");
  Say(guest, "PING|");
  Core.CloseLogFile();
  ASSERT_TRUE(Core.OpenLogFile(path, error)) << error;
  Say(guest, "X");
  EXPECT_EQ(FileText(path),
            "Rcvd From 10.0.0.5: X\r\nSent To 10.0.0.5: ERROR|Unrecognized Server Command: X|\r\n");
  EXPECT_THAT(Observer.Incoming, IsEmpty());
  Core.CloseLogFile();
  std::remove(path.c_str());
}

TEST_F(SessionTest, LogFileThatCannotBeCreatedIsRefused) {
  std::string error;
  EXPECT_FALSE(Core.OpenLogFile("/nonexistent-folder/Zorva.log", error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(Core.LogFileOpen());
}

// ---- Server states

TEST_F(SessionTest, StopClosesEveryoneWithoutAnnouncements) {
  const auto ann = LoggedIn("ann");
  const auto bob = LoggedIn("bob");
  Core.Stop();
  EXPECT_THAT(TakeAll(), IsEmpty());
  EXPECT_EQ(Transport.Closed.size(), 2u);
  EXPECT_FALSE(Transport.Listening);
  EXPECT_FALSE(Transport.TimerOn);
  EXPECT_THAT(Core.SubjectCodes(), IsEmpty());
  Core.OnClientRead(ann, "PING|\n");
  Core.OnClientDisconnect(bob);
  EXPECT_EQ(Core.GuestCount(), 0u);
}

TEST_F(SessionTest, ShutDownWithoutGuestsStops) {
  Core.ShutDown();
  EXPECT_FALSE(Core.Running());
  EXPECT_FALSE(Core.Blocked());
  EXPECT_FALSE(Transport.Listening);
}

}  // namespace
}  // namespace zorva::testing
