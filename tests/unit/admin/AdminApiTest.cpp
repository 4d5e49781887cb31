// The admin API against a real core with a recording transport: requests in, status and
// protocol lines out. The runner runs core tasks at once, or refuses them like a stuck core.
#include "AdminApi.h"

#include "CoreHarness.h"
#include "LabelledCase.h"

namespace zorva::testing {
namespace {

using nlohmann::json;

constexpr const char* kToken = "s3cret-token";

class AdminApiTest : public CoreTest {
 protected:
  AdminApi MakeApi(bool metricsPublic = false) {
    auto runner = [this](const std::function<void()>& task) {
      if (CoreStuck) return false;
      task();
      return true;
    };
    return AdminApi({Core, Clock, runner, [this] { ++Stops; }, [] { return 1'800'000'000.0; }, 0},
                    {kToken, metricsPublic});
  }

  TAdminResponse Call(const std::string& method, const std::string& target,
                      const std::string& body = "",
                      const std::string& auth = std::string("Bearer ") + kToken) {
    return MakeApi().Handle({method, target, auth, body});
  }

  static json Body(const TAdminResponse& response) { return json::parse(response.Body); }

  bool CoreStuck = false;
  int Stops = 0;
};

struct TAuthCase {
  const char* Label;
  std::string Authorization;
  int Status;
};

class AdminAuthTest : public AdminApiTest, public ::testing::WithParamInterface<TAuthCase> {};

// A refused request must change nothing: the stop endpoint is the one with a visible effect.
TEST_P(AdminAuthTest, OnlyTheExactBearerTokenGetsThrough) {
  const auto response = Call("POST", "/v1/stop", "", GetParam().Authorization);
  EXPECT_EQ(response.Status, GetParam().Status);
  EXPECT_EQ(Stops, GetParam().Status == 202 ? 1 : 0);
  EXPECT_TRUE(Body(response).is_object());
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, AdminAuthTest,
    ::testing::Values(TAuthCase{"right", "Bearer s3cret-token", 202}, TAuthCase{"missing", "", 401},
                      TAuthCase{"no_scheme", "s3cret-token", 401},
                      TAuthCase{"lower_case_scheme", "bearer s3cret-token", 401},
                      TAuthCase{"prefix_of_token", "Bearer s3cret", 401},
                      TAuthCase{"token_and_more", "Bearer s3cret-token2", 401},
                      TAuthCase{"trailing_space", "Bearer s3cret-token ", 401},
                      TAuthCase{"empty_token", "Bearer ", 401},
                      TAuthCase{"basic_scheme", "Basic s3cret-token", 401}),
    kCaseLabel);

struct TRouteCase {
  const char* Label;
  std::string Method;
  std::string Target;
  std::string Body;
  int Status;
};

class AdminRouteTest : public AdminApiTest, public ::testing::WithParamInterface<TRouteCase> {};

TEST_P(AdminRouteTest, AnswersWithStatusAndAJsonMessage) {
  const auto& route = GetParam();
  const auto response = Call(route.Method, route.Target, route.Body);
  EXPECT_EQ(response.Status, route.Status) << response.Body;
  const auto body = Body(response);
  if (route.Status >= 400) {
    EXPECT_TRUE(body.contains("error")) << response.Body;
  }
  EXPECT_EQ(Stops, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, AdminRouteTest,
    ::testing::Values(TRouteCase{"stats", "GET", "/v1/stats", "", 200},
                      TRouteCase{"users", "GET", "/v1/users", "", 200},
                      TRouteCase{"subjects", "GET", "/v1/subjects", "", 200},
                      TRouteCase{"unversioned", "GET", "/stats", "", 404},
                      TRouteCase{"unknown_version", "GET", "/v2/stats", "", 404},
                      TRouteCase{"unknown_path", "GET", "/v1/nothing", "", 404},
                      TRouteCase{"trailing_slash", "GET", "/v1/users/", "", 404},
                      TRouteCase{"root", "GET", "/", "", 404},
                      TRouteCase{"wrong_method", "DELETE", "/v1/stats", "", 405},
                      TRouteCase{"get_on_post_only", "GET", "/v1/stop", "", 405},
                      TRouteCase{"broken_escape", "GET", "/v1/users/%zz/kill", "", 400},
                      TRouteCase{"not_a_path", "GET", "v1/stats", "", 400},
                      TRouteCase{"bad_json", "POST", "/v1/shout", "{\"text\": ", 400},
                      TRouteCase{"json_array", "POST", "/v1/shout", "[\"hi\"]", 400},
                      TRouteCase{"json_string", "POST", "/v1/trace", "\"on\"", 400},
                      TRouteCase{"empty_body", "POST", "/v1/subjects", "", 400},
                      TRouteCase{"body_too_large", "POST", "/v1/shout",
                                 std::string(AdminApi::kMaxBody + 1, 'x'), 413}),
    kCaseLabel);

TEST_F(AdminApiTest, HealthNeedsNoTokenAndMetricsNeedOneUnlessPublic) {
  EXPECT_EQ(Call("GET", "/healthz", "", "").Status, 200);
  EXPECT_EQ(Call("GET", "/metrics", "", "").Status, 401);
  EXPECT_EQ(Call("GET", "/metrics").Status, 200);
  const auto open = MakeApi(true).Handle({"GET", "/metrics", "", ""});
  EXPECT_EQ(open.Status, 200);
  EXPECT_THAT(open.ContentType, ::testing::StartsWith("text/plain; version=0.0.4"));
}

TEST_F(AdminApiTest, AStuckCoreIsA503AndNothingHappens) {
  const auto alice = LoggedIn("alice");
  CoreStuck = true;
  for (const auto& [method, target] :
       std::vector<std::pair<std::string, std::string>>{{"GET", "/healthz"},
                                                        {"GET", "/v1/stats"},
                                                        {"POST", "/v1/users/alice/kill"},
                                                        {"POST", "/v1/stop"},
                                                        {"GET", "/metrics"}}) {
    EXPECT_EQ(Call(method, target).Status, 503) << target;
  }
  EXPECT_FALSE(Transport.Closed.contains(alice));
  EXPECT_EQ(Stops, 0);
}

TEST_F(AdminApiTest, KillClosesTheUserAndTellsTheSubject) {
  const auto alice = LoggedIn("alice");
  const auto bob = LoggedIn("bob");
  Forget();
  EXPECT_EQ(Call("POST", "/v1/users/alice/kill").Status, 200);
  EXPECT_TRUE(Transport.Closed.contains(alice));
  EXPECT_EQ(Take(bob), Lines{"REMOVEGUEST|alice"});
  EXPECT_EQ(Call("POST", "/v1/users/alice/kill").Status, 404);
  EXPECT_EQ(Call("POST", "/v1/users/nobody/kill").Status, 404);
}

// A user id may hold characters that need escaping in a path.
TEST_F(AdminApiTest, KillDecodesTheUserIdSegment) {
  const auto spaced = LoggedIn("a b/c");
  EXPECT_EQ(Call("POST", "/v1/users/a%20b%2Fc/kill").Status, 200);
  EXPECT_TRUE(Transport.Closed.contains(spaced));
}

struct TShoutCase {
  const char* Label;
  std::string Body;
  int Status;
  std::vector<std::string> Reached;  // user ids that got the shout
};

class AdminShoutTest : public AdminApiTest, public ::testing::WithParamInterface<TShoutCase> {};

TEST_P(AdminShoutTest, ReachesExactlyItsTargets) {
  std::map<std::string, ConnectionId> users = {
      {"a1", LoggedIn("a1", "A")}, {"a2", LoggedIn("a2", "A")}, {"b1", LoggedIn("b1", "B")}};
  Say(users["a2"], "CREATESUBJECT|Room|0");
  Forget();
  const auto response = Call("POST", "/v1/shout", GetParam().Body);
  EXPECT_EQ(response.Status, GetParam().Status) << response.Body;
  std::vector<std::string> reached;
  for (const auto& [id, conn] : users) {
    const auto lines = Take(conn);
    if (!lines.empty()) {
      EXPECT_EQ(lines, Lines{"SHOUT|hello|"}) << id;
      reached.push_back(id);
    }
  }
  EXPECT_EQ(reached, GetParam().Reached);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, AdminShoutTest,
    ::testing::Values(
        TShoutCase{"all", R"({"text":"hello"})", 200, {"a1", "a2", "b1"}},
        TShoutCase{"one_code", R"({"text":"hello","code":"A"})", 200, {"a1", "a2"}},
        TShoutCase{"one_subject", R"({"text":"hello","code":"A","subject":"Room"})", 200, {"a2"}},
        TShoutCase{"unknown_code", R"({"text":"hello","code":"C"})", 404, {}},
        TShoutCase{"unknown_subject", R"({"text":"hello","code":"B","subject":"Room"})", 404, {}},
        TShoutCase{"subject_without_code", R"({"text":"hello","subject":"Room"})", 400, {}},
        TShoutCase{"no_text", R"({"code":"A"})", 400, {}},
        TShoutCase{"empty_text", R"({"text":""})", 400, {}},
        TShoutCase{"text_not_a_string", R"({"text":42})", 400, {}},
        TShoutCase{"code_not_a_string", R"({"text":"hello","code":["A"]})", 400, {}},
        TShoutCase{"line_feed", R"({"text":"hel\nlo"})", 400, {}},
        TShoutCase{"carriage_return", R"({"text":"hel\rlo"})", 400, {}}),
    kCaseLabel);

TEST_F(AdminApiTest, ShoutRefusalNamesWhatIsWrongWithTheText) {
  struct Case {
    const char* Body;
    const char* Error;
  };
  for (const auto& c : {Case{R"({"text":"hel\nlo"})", "The text must not hold a line break"},
                        Case{R"({"text":"hel\rlo"})", "The text must not hold a line break"},
                        Case{R"({"text":"\u001b[2J"})", "The text must not hold a control byte"},
                        Case{R"({"text":"bell\u0007"})", "The text must not hold a control byte"},
                        Case{R"({"text":"del\u007f"})", "The text must not hold a control byte"}}) {
    const auto response = Call("POST", "/v1/shout", c.Body);
    EXPECT_EQ(response.Status, 400) << c.Body;
    EXPECT_EQ(Body(response)["error"], c.Error) << c.Body;
  }
}

TEST_F(AdminApiTest, ShoutWhileStoppedIsRefused) {
  Core.Stop();
  EXPECT_EQ(Call("POST", "/v1/shout", R"({"text":"hello"})").Status, 409);
}

struct TSubjectCase {
  const char* Label;
  std::string Method;
  std::string Target;
  std::string Body;
  int Status;
  std::string Message;  // empty: not checked
};

class AdminSubjectTest : public AdminApiTest, public ::testing::WithParamInterface<TSubjectCase> {};

TEST_P(AdminSubjectTest, FollowsTheWindowsRules) {
  LoggedIn("alice", "GAME");
  ASSERT_EQ(Core.CreateSubject("GAME", "Old Room", 0, true), TCreateSubjectResult::Created);
  ASSERT_EQ(Core.CreateSubject("GAME", "a/b", 0, true), TCreateSubjectResult::Created);
  const auto& c = GetParam();
  const auto response = Call(c.Method, c.Target, c.Body);
  EXPECT_EQ(response.Status, c.Status) << response.Body;
  if (!c.Message.empty()) {
    EXPECT_EQ(Body(response)["error"], c.Message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, AdminSubjectTest,
    ::testing::Values(
        TSubjectCase{"create", "POST", "/v1/subjects", R"({"code":"GAME","name":"New","limit":4})",
                     201, ""},
        TSubjectCase{"create_without_limit", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"New"})", 201, ""},
        TSubjectCase{"create_existing", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"Old Room"})", 409,
                     "A Subject with that name already exists"},
        TSubjectCase{"create_unknown_code", "POST", "/v1/subjects",
                     R"({"code":"NONE","name":"New"})", 404, ""},
        TSubjectCase{"create_empty_name", "POST", "/v1/subjects", R"({"code":"GAME","name":""})",
                     400, "Invalid Subject Name"},
        TSubjectCase{"create_separator_in_name", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"a|b"})", 400, "Invalid Subject Name"},
        TSubjectCase{"create_name_too_long", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":")" + std::string(65, 'n') + R"("})", 400,
                     "Invalid Subject Name"},
        TSubjectCase{"create_limit_text", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"New","limit":"4"})", 400, "Invalid Member Limit"},
        TSubjectCase{"create_limit_fraction", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"New","limit":2.5})", 400, "Invalid Member Limit"},
        TSubjectCase{"create_limit_too_big", "POST", "/v1/subjects",
                     R"({"code":"GAME","name":"New","limit":4294967296})", 400,
                     "Invalid Member Limit"},
        TSubjectCase{"create_without_code", "POST", "/v1/subjects", R"({"name":"New"})", 400, ""},
        TSubjectCase{"delete_encoded_name", "DELETE", "/v1/subjects/GAME/Old%20Room", "", 200, ""},
        TSubjectCase{"delete_encoded_slash", "DELETE", "/v1/subjects/GAME/a%2Fb", "", 200, ""},
        TSubjectCase{"delete_lobby", "DELETE", "/v1/subjects/GAME/Lobby%20Chat", "", 400,
                     "You cannot delete the main Lobby"},
        TSubjectCase{"delete_unknown", "DELETE", "/v1/subjects/GAME/Nowhere", "", 404,
                     "The specifiec Subject does not exist"},
        TSubjectCase{"delete_unknown_code", "DELETE", "/v1/subjects/NONE/Old%20Room", "", 404, ""}),
    kCaseLabel);

TEST_F(AdminApiTest, CreateAnnouncesToTheCodeAndDeleteMovesMembersToTheLobby) {
  const auto alice = LoggedIn("alice", "GAME");
  ASSERT_EQ(Call("POST", "/v1/subjects", R"({"code":"GAME","name":"Arena","limit":2})").Status,
            201);
  EXPECT_EQ(Take(alice), Lines{"ADDSUBJECT|Arena"});
  Say(alice, "JOINSUBJECT|Arena");
  Forget();
  ASSERT_EQ(Call("DELETE", "/v1/subjects/GAME/Arena").Status, 200);
  EXPECT_EQ(Core.FindGuest(alice)->Subject()->Name(), Core.Settings().LobbyName);
  EXPECT_EQ(Core.FindSubject("GAME", "Arena"), nullptr);
}

TEST_F(AdminApiTest, ViewsShowUsersSubjectsAndStats) {
  LoggedIn("alice", "A");
  Clock.Ms += 5000;
  LoggedIn("bob", "B");
  Connect("10.9.9.9");
  const auto users = Body(Call("GET", "/v1/users"));
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0]["id"], "alice");
  EXPECT_EQ(users[0]["subject"], Core.Settings().LobbyName);
  // The fake wall clock stands at 1'800'000'000 s; alice came 5 s before bob and the stranger.
  EXPECT_EQ(users[1]["connected_since"], "2027-01-15T08:00:00Z");
  EXPECT_EQ(users[0]["connected_since"], "2027-01-15T07:59:55Z");
  EXPECT_TRUE(users[2]["id"].is_null());
  EXPECT_EQ(users[2]["address"], "10.9.9.9");

  const auto onlyB = Body(Call("GET", "/v1/users?code=B"));
  ASSERT_EQ(onlyB.size(), 1u);
  EXPECT_EQ(onlyB[0]["id"], "bob");
  EXPECT_TRUE(Body(Call("GET", "/v1/users?code=Z")).empty());

  const auto stats = Body(Call("GET", "/v1/stats"));
  EXPECT_EQ(stats["current_connections"], 3);
  EXPECT_EQ(stats["staging"], 1);
  EXPECT_EQ(stats["connections_per_code"], json({{"A", 1}, {"B", 1}}));

  const auto subjects = Body(Call("GET", "/v1/subjects"));
  ASSERT_EQ(subjects.size(), 2u);
  EXPECT_EQ(subjects[0]["members"], json({"alice"}));
}

TEST_F(AdminApiTest, TraceSwitchesOnlyTheDirectionsGiven) {
  EXPECT_EQ(Call("POST", "/v1/trace", R"({"incoming":true})").Status, 200);
  LoggedIn("alice");
  EXPECT_FALSE(Observer.Incoming.empty());
  EXPECT_TRUE(Observer.Outgoing.empty());
  EXPECT_EQ(Call("POST", "/v1/trace", R"({})").Status, 400);
  EXPECT_EQ(Call("POST", "/v1/trace", R"({"outgoing":"yes"})").Status, 400);
  EXPECT_EQ(Call("POST", "/v1/trace", R"({"incoming":false,"outgoing":false})").Status, 200);
  Observer.Incoming.clear();
  LoggedIn("bob");
  EXPECT_TRUE(Observer.Incoming.empty());
}

}  // namespace
}  // namespace zorva::testing
