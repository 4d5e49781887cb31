// zorva-admin's commands as HTTP calls, and its tables.
#include "AdminCommand.h"

#include <gtest/gtest.h>

#include "LabelledCase.h"

namespace zorva {
namespace {

using testing::kCaseLabel;
using testing::PrintTo;

using nlohmann::json;

struct TCallCase {
  const char* Label;
  TAdminCommand Command;
  std::string Method;
  std::string Path;
  std::optional<json> Body;
};

class BuildCallTest : public ::testing::TestWithParam<TCallCase> {};

TEST_P(BuildCallTest, MakesTheRightRequest) {
  const auto call = BuildCall(GetParam().Command);
  EXPECT_EQ(call.Method, GetParam().Method);
  EXPECT_EQ(call.Path, GetParam().Path);
  EXPECT_EQ(call.Body, GetParam().Body);
}

TAdminCommand Verb(std::string verb) {
  TAdminCommand command;
  command.Verb = std::move(verb);
  return command;
}

TAdminCommand With(TAdminCommand command, void (*change)(TAdminCommand&)) {
  change(command);
  return command;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, BuildCallTest,
    ::testing::Values(
        TCallCase{"who", Verb("who"), "GET", "/v1/users", std::nullopt},
        TCallCase{"who_code", With(Verb("who"), [](auto& c) { c.Code = "A&B"; }), "GET",
                  "/v1/users?code=A%26B", std::nullopt},
        TCallCase{"stats", Verb("stats"), "GET", "/v1/stats", std::nullopt},
        TCallCase{"kill_escaped", With(Verb("kill"), [](auto& c) { c.Id = "a b/c"; }), "POST",
                  "/v1/users/a%20b%2Fc/kill", std::nullopt},
        TCallCase{"shout_all", With(Verb("shout"), [](auto& c) { c.Text = "hi"; }), "POST",
                  "/v1/shout", json{{"text", "hi"}}},
        TCallCase{"shout_subject",
                  With(Verb("shout"),
                       [](auto& c) {
                         c.Text = "hi";
                         c.Code = "G";
                         c.Subject = "R";
                       }),
                  "POST", "/v1/shout", json{{"text", "hi"}, {"code", "G"}, {"subject", "R"}}},
        TCallCase{"create_default_limit",
                  With(Verb("create"),
                       [](auto& c) {
                         c.Code = "G";
                         c.Subject = "R";
                       }),
                  "POST", "/v1/subjects", json{{"code", "G"}, {"name", "R"}, {"limit", 0}}},
        TCallCase{"delete_escaped",
                  With(Verb("delete"),
                       [](auto& c) {
                         c.Code = "G";
                         c.Subject = "Big Room";
                       }),
                  "DELETE", "/v1/subjects/G/Big%20Room", std::nullopt},
        TCallCase{"trace_in", With(Verb("trace"), [](auto& c) { c.TraceMode = "in"; }), "POST",
                  "/v1/trace", json{{"incoming", true}}},
        TCallCase{"trace_out", With(Verb("trace"), [](auto& c) { c.TraceMode = "out"; }), "POST",
                  "/v1/trace", json{{"outgoing", true}}},
        TCallCase{"trace_off", With(Verb("trace"), [](auto& c) { c.TraceMode = "off"; }), "POST",
                  "/v1/trace", json{{"incoming", false}, {"outgoing", false}}},
        TCallCase{"stop", Verb("stop"), "POST", "/v1/stop", std::nullopt}),
    kCaseLabel);

TEST(RenderAnswerTest, UsersTableAlignsColumnsAndShowsMissingValuesAsDash) {
  const auto users = json::parse(R"([
    {"id":"alice","code":"GAME","subject":"Lobby","address":"127.0.0.1","round_trip_ms":12,
     "connected_since":"2026-12-09T00:46:43Z"},
    {"id":null,"code":null,"subject":null,"address":"10.0.0.2","round_trip_ms":0,
     "connected_since":"2026-12-09T00:47:00Z"}])");
  EXPECT_EQ(RenderAnswer("who", users),
            "ID     CODE  SUBJECT  ADDRESS    RTT MS  CONNECTED SINCE\n"
            "alice  GAME  Lobby    127.0.0.1  12      2026-12-09T00:46:43Z\n"
            "-      -     -        10.0.0.2   0       2026-12-09T00:47:00Z\n");
}

TEST(RenderAnswerTest, SubjectsTableCountsMembersAndHidesNoLimit) {
  const auto subjects = json::parse(R"([
    {"code":"GAME","name":"Lobby","limit":0,"members":["a","b"]},
    {"code":"GAME","name":"Arena","limit":4,"members":[]}])");
  EXPECT_EQ(RenderAnswer("subjects", subjects),
            "CODE  NAME   LIMIT  MEMBERS\n"
            "GAME  Lobby  -      2\n"
            "GAME  Arena  4      0\n");
}

TEST(RenderAnswerTest, StatsListFiguresAndConnectionsPerCode) {
  const auto stats = json::parse(R"({"running":true,"connections_per_code":{"GAME":2}})");
  EXPECT_EQ(RenderAnswer("stats", stats),
            "FIGURE               VALUE\n"
            "running              true\n"
            "connections in GAME  2\n");
}

// A subject code with control bytes, accepted at a client's LOGIN, reaches every table; none of
// its bytes may reach the operator's terminal as they are.
TEST(RenderAnswerTest, ControlBytesFromClientsAreEscapedInEveryTable) {
  const std::string code =
      "G\x1b[2J\x07"
      "AME";
  const json users = json::array({{{"id", "a\x1b]0;x\x07"}, {"code", code}}});
  const json subjects = json::array({{{"code", code}, {"name", "R\x9bm"}, {"members", {"a"}}}});
  const json stats = {{"connections_per_code", {{code, 1}}}, {"oddity\x1b", "\x08"}};
  for (const auto& [verb, answer] :
       std::vector<std::pair<std::string, json>>{{"who", users},
                                                 {"subjects", subjects},
                                                 {"stats", stats},
                                                 {"kill", json{{"killed", "a\x1b[2J"}}},
                                                 {"create", json{{"name", "R\x1b[2J"}}}}) {
    const auto shown = RenderAnswer(verb, answer);
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << verb << ": " << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << verb << ": " << shown;
    EXPECT_EQ(shown.find('\x08'), std::string::npos) << verb << ": " << shown;
  }
  EXPECT_NE(RenderAnswer("stats", stats).find("connections in G\\x1b[2J\\x07AME"),
            std::string::npos);
}

// A server answering with unexpected shapes must not crash the client.
TEST(RenderAnswerTest, OddAnswersRenderWithoutThrowing) {
  for (const auto* verb : {"who", "subjects", "stats", "kill", "create", "trace"}) {
    EXPECT_NO_THROW(RenderAnswer(verb, json::object())) << verb;
    EXPECT_NO_THROW(RenderAnswer(verb, json::array())) << verb;
  }
}

}  // namespace
}  // namespace zorva
