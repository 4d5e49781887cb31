// The event lines on a code's channel, the Redis address and the key names: each table row is
// one input and what it must give.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ClusterEvents.h"
#include "ClusterScripts.h"
#include "RedisAddress.h"

namespace zorva {
namespace {

using K = TClusterEvent::TKind;

struct TDecodeCase {
  const char* Label;
  std::string Payload;
  K Kind;
  std::string Origin, Subject, Id, Text;
};

void PrintTo(const TDecodeCase& c, std::ostream* os) {
  *os << c.Label;
}

class DecodeEventTest : public ::testing::TestWithParam<TDecodeCase> {};

TEST_P(DecodeEventTest, SplitsTheHeaderAndKeepsTheRestWhole) {
  const auto& c = GetParam();
  TClusterEvent event;
  ASSERT_TRUE(DecodeEvent(c.Payload, event));
  EXPECT_EQ(event.Kind, c.Kind);
  EXPECT_EQ(event.Origin, c.Origin);
  EXPECT_EQ(event.Subject, c.Subject);
  EXPECT_EQ(event.Id, c.Id);
  EXPECT_EQ(event.Text, c.Text);
}

INSTANTIATE_TEST_SUITE_P(
    Events, DecodeEventTest,
    ::testing::Values(
        // A relayed line keeps its own "|" fields, and an empty text, untouched.
        TDecodeCase{"Line", "L|a|Lobby|SEND|bob|CHAT|hi|there", K::Line, "a", "Lobby", "",
                    "SEND|bob|CHAT|hi|there"},
        TDecodeCase{"LineEmptyText", "L|a|Room|SEND|bob|CHAT|", K::Line, "a", "Room", "",
                    "SEND|bob|CHAT|"},
        TDecodeCase{"GuestLine", "H|a|bob|SHOUT|wake up|", K::GuestLine, "a", "", "bob",
                    "SHOUT|wake up|"},
        TDecodeCase{"Added", "A|b|Room", K::SubjectAdded, "b", "Room", "", ""},
        // Reaps carry no origin: every node, the reaper included, applies them.
        TDecodeCase{"RemovedByReap", "R||Room", K::SubjectRemoved, "", "Room", "", ""},
        TDecodeCase{"Left", "G|b|Room|bob", K::MemberLeft, "b", "Room", "bob", ""},
        TDecodeCase{"Updated", "U|b|Room|bob|bob^^Bob^", K::UserUpdated, "b", "Room", "bob",
                    "bob^^Bob^"}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(DecodeEvent, JoinCarriesFullFlagRoundTripAndUserText) {
  TClusterEvent event;
  ASSERT_TRUE(DecodeEvent("J|c|Room|1|42|carol|carol^^C^`^0`0`^", event));
  EXPECT_EQ(event.Kind, K::MemberJoined);
  EXPECT_EQ(event.Subject, "Room");
  EXPECT_TRUE(event.Full);
  EXPECT_EQ(event.RoundTrip, 42);
  EXPECT_EQ(event.Id, "carol");
  EXPECT_EQ(event.Text, "carol^^C^`^0`0`^");
}

TEST(DecodeEvent, RoundTripsComeInPairs) {
  TClusterEvent event;
  ASSERT_TRUE(DecodeEvent("P|a|alice|12|bob|0|", event));
  ASSERT_EQ(event.RoundTrips.size(), 2u);
  EXPECT_EQ(event.RoundTrips[0].Id, "alice");
  EXPECT_EQ(event.RoundTrips[0].Milliseconds, 12);
  EXPECT_EQ(event.RoundTrips[1].Id, "bob");
  ASSERT_TRUE(DecodeEvent("P|a|", event));
  EXPECT_TRUE(event.RoundTrips.empty());
}

TEST(DecodeEvent, RefusesWhatIsNotAWholeEvent) {
  for (const char* payload : {"", "L", "L|a", "L|a|NoLineField", "X|a|Room", "LL|a|Room|x", "A|a|",
                              "G|a|Room|", "J|a|Room|0|notanumber|bob|text", "J|a|Room|0|5",
                              "P|a|alice|", "P|a|alice|x|", "U|a|Room"}) {
    TClusterEvent event;
    EXPECT_FALSE(DecodeEvent(payload, event)) << payload;
  }
}

TEST(EncodeEvent, DecodesBackToTheSameLine) {
  TClusterEvent event;
  const auto line = EncodeLine("n1", "Room", "SEND|al|DATA|x|y");
  ASSERT_TRUE(DecodeEvent(line, event));
  EXPECT_EQ(event.Subject, "Room");
  EXPECT_EQ(event.Text, "SEND|al|DATA|x|y");
  const auto guestLine = EncodeGuestLine("n1", "al", "SHOUT|hey|");
  ASSERT_TRUE(DecodeEvent(guestLine, event));
  EXPECT_EQ(event.Id, "al");
  EXPECT_EQ(event.Text, "SHOUT|hey|");
}

struct TUrlCase {
  const char* Label;
  const char* Url;
  bool Valid;
  TRedisAddress Expected;
};

void PrintTo(const TUrlCase& c, std::ostream* os) {
  *os << c.Label;
}

class RedisUrlTest : public ::testing::TestWithParam<TUrlCase> {};

TEST_P(RedisUrlTest, ParsesOrExplains) {
  const auto& c = GetParam();
  TRedisAddress address{.Host = "unchanged", .Port = 1, .Database = 9};
  std::string error;
  ASSERT_EQ(ParseRedisUrl(c.Url, address, error), c.Valid) << error;
  const auto& expected = c.Valid ? c.Expected : TRedisAddress{"unchanged", 1, 9};
  EXPECT_EQ(address.Host, expected.Host);
  EXPECT_EQ(address.Port, expected.Port);
  EXPECT_EQ(address.Database, expected.Database);
  EXPECT_EQ(error.empty(), c.Valid);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, RedisUrlTest,
    ::testing::Values(TUrlCase{"HostPort", "redis://10.0.0.5:6380", true, {"10.0.0.5", 6380, 0}},
                      TUrlCase{"Database", "redis://cache:6379/3", true, {"cache", 6379, 3}},
                      TUrlCase{"Ipv6", "redis://[::1]:7000/1", true, {"::1", 7000, 1}},
                      TUrlCase{"TrailingSlash", "redis://h:1/", true, {"h", 1, 0}},
                      TUrlCase{"NoScheme", "10.0.0.5:6380", false, {}},
                      TUrlCase{"NoPort", "redis://host", false, {}},
                      TUrlCase{"EmptyHost", "redis://:6379", false, {}},
                      TUrlCase{"PortZero", "redis://h:0", false, {}},
                      TUrlCase{"PortTooLarge", "redis://h:65536", false, {}},
                      TUrlCase{"PortNotNumber", "redis://h:6379x", false, {}},
                      TUrlCase{"NegativeDatabase", "redis://h:6379/-1", false, {}},
                      TUrlCase{"BareIpv6", "redis://::1:6379", false, {}}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST(ClusterKeys, CodesCannotReachIntoAnotherCodesKeys) {
  EXPECT_EQ(cluster::CodePrefix("Game"), "zorva:{Game}:");
  // Without escaping, "a}:m:{b" would close the hash tag and forge a member key of code "a".
  EXPECT_EQ(cluster::CodePrefix("a}:m:{b"), "zorva:{a%7D:m:{b}:");
  EXPECT_NE(cluster::CodePrefix("%7D"), cluster::CodePrefix("}"));
  EXPECT_EQ(cluster::Channel("Game"), "zorva:{Game}:events");
}

TEST(ClusterKeys, NodeIdsFitInsideEvents) {
  EXPECT_TRUE(cluster::ValidNodeId("host-1:4000"));
  EXPECT_FALSE(cluster::ValidNodeId(""));
  EXPECT_FALSE(cluster::ValidNodeId("a|b"));
  EXPECT_FALSE(cluster::ValidNodeId("a\nb"));
  EXPECT_FALSE(cluster::ValidNodeId(std::string(65, 'n')));
}

}  // namespace
}  // namespace zorva
