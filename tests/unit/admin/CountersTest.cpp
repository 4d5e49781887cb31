// What the core counts for monitoring, and how the metrics text shows it.
#include "CoreHarness.h"
#include "LabelledCase.h"
#include "MetricsText.h"
#include "ServerCounters.h"

namespace zorva::testing {
namespace {

struct THistogramCase {
  const char* Label;
  double Value;
  std::vector<std::uint64_t> Counts;
};

class HistogramTest : public ::testing::TestWithParam<THistogramCase> {};

TEST_P(HistogramTest, AValueOnABoundCountsInThatBucket) {
  THistogram histogram({10, 100});
  histogram.Observe(GetParam().Value);
  EXPECT_EQ(histogram.Counts(), GetParam().Counts);
  EXPECT_EQ(histogram.Sum(), GetParam().Value);
}

INSTANTIATE_TEST_SUITE_P(Buckets, HistogramTest,
                         ::testing::Values(THistogramCase{"zero", 0, {1, 0, 0}},
                                           THistogramCase{"first_bound", 10, {1, 0, 0}},
                                           THistogramCase{"past_first", 10.5, {0, 1, 0}},
                                           THistogramCase{"last_bound", 100, {0, 1, 0}},
                                           THistogramCase{"overflow", 1e9, {0, 0, 1}}),
                         kCaseLabel);

// Refuses every password.
class NoHooks : public TServerHooks {
 public:
  bool CheckPassword(const std::string&, const std::string&) override { return false; }
};

class CountersTest : public CoreTest {
 protected:
  const TLifetimeCounters& Counters() const { return Core.LifetimeCounters(); }
  std::uint64_t Drops(TDropReason reason) const {
    return Counters().Drops[static_cast<std::size_t>(reason)];
  }
};

TEST_F(CountersTest, LinesInAndOutCountOncePerLineAlsoForRelays) {
  const auto alice = LoggedIn("alice");
  LoggedIn("bob");
  LoggedIn("carol");
  const auto before = Counters();
  Say(alice, "SEND|hi");
  EXPECT_EQ(Counters().LinesRead, before.LinesRead + 1);
  EXPECT_EQ(Counters().LinesWritten, before.LinesWritten + 2);  // bob and carol
  EXPECT_EQ(Counters().BytesRead, before.BytesRead + 8);
}

TEST_F(CountersTest, EachWayOfLeavingHasItsReason) {
  const auto quits = Connect();
  const auto fails = Connect();
  const auto killed = LoggedIn("k");
  const auto rambles = Connect();
  Core.OnClientDisconnect(quits);
  Core.OnClientError(fails, 104, "reset");
  Core.KillGuest(killed);
  const auto sleeper = LoggedIn("s");
  Core.SetMaxLine(4);
  const auto longLine = Connect();
  Read(longLine, "PING|PING|PING");
  Clock.Ms += 10'000'000;
  Core.OnPingTimer();
  EXPECT_EQ(Drops(TDropReason::Quit), 1u);
  EXPECT_EQ(Drops(TDropReason::SocketError), 1u);
  EXPECT_EQ(Drops(TDropReason::Killed), 1u);
  EXPECT_EQ(Drops(TDropReason::LineTooLong), 1u);
  // The ping tick finds everyone still there silent for too long; the one that never logged
  // in has also run out of time to log in.
  EXPECT_EQ(Drops(TDropReason::PingTimeout), 1u);
  EXPECT_EQ(Drops(TDropReason::LoginTimeout), 1u);
  EXPECT_EQ(Core.FindGuest(sleeper), nullptr);
  EXPECT_EQ(Core.FindGuest(rambles), nullptr);
}

TEST_F(CountersTest, RoundTripIsMeasuredOnlyForAnAnsweredPing) {
  const auto alice = LoggedIn("alice");
  Say(alice, "PING|");  // unasked: no ping outstanding
  EXPECT_EQ(Counters().RoundTripMs.Counts(),
            THistogram({5, 10, 25, 50, 100, 250, 500, 1000, 2500, 5000, 10000}).Counts());
  Core.OnPingTimer();
  Clock.Ms += 30;
  Say(alice, "PING|");
  EXPECT_EQ(Counters().RoundTripMs.Sum(), 30);
  EXPECT_EQ(Counters().RoundTripMs.Counts()[3], 1u);  // at most 50 ms
}

class RefusingCountersTest : public CoreTest {
 protected:
  RefusingCountersTest() : CoreTest(Refusing) {}
  NoHooks Refusing;
};

TEST_F(RefusingCountersTest, RefusedLoginsCountAsFailures) {
  const auto conn = Connect();
  Say(conn, "LOGIN|alice|GAME|wrong");
  EXPECT_EQ(Core.LifetimeCounters().Logins, 0u);
  EXPECT_EQ(Core.LifetimeCounters().FailedLogins, 1u);
}

TEST_F(CountersTest, MetricsTextHasEveryFamilyWithCumulativeBuckets) {
  LoggedIn("alice");
  Transport.QueuedBytes = 4096;
  TMetricsSnapshot snapshot = TakeMetricsSnapshot(Core, 1700000000.5);
  snapshot.Counters.RoundTripMs.Observe(3);
  snapshot.Counters.RoundTripMs.Observe(7);
  snapshot.Counters.RoundTripMs.Observe(1e6);
  const auto text = MetricsText(snapshot);
  for (const auto* line :
       {"zorva_connections 1\n", "zorva_subjects 1\n", "zorva_pending_password_checks 0\n",
        "zorva_output_queued_bytes 4096\n", "zorva_logins_total 1\n",
        "zorva_login_failures_total 0\n", "zorva_drops_total{reason=\"ping-timeout\"} 0\n",
        "zorva_ping_round_trip_seconds_bucket{le=\"0.005\"} 1\n",
        "zorva_ping_round_trip_seconds_bucket{le=\"0.01\"} 2\n",
        "zorva_ping_round_trip_seconds_bucket{le=\"10\"} 2\n",
        "zorva_ping_round_trip_seconds_bucket{le=\"+Inf\"} 3\n",
        "zorva_ping_round_trip_seconds_count 3\n", "zorva_ping_round_trip_seconds_sum 1000.01\n",
        "zorva_password_check_seconds_count 1\n", "process_start_time_seconds 1700000000.5\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
  }
}

}  // namespace
}  // namespace zorva::testing
