// What the extension hook may see and do, and how login answers reach the core.
#include <thread>
#include <type_traits>

#include "CoreHarness.h"

namespace zorva::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The hook gets the line, the sender's names and a way to answer: nothing that could change the
// guest or the core behind the core's back.
static_assert(std::is_same_v<decltype(&TServerHooks::CustomCommand),
                             void (TServerHooks::*)(const TCustomRequest&)>);

// Answers by the custom name: "echo" sends the line back, "lf" answers with a line feed inside,
// "kill" has the operator drop the sender first and then answers.
class AnsweringHooks : public TServerHooks {
 public:
  void CustomCommand(const TCustomRequest& request) override {
    Seen.push_back(request.SenderId() + "/" + request.SubjectCode() + "/" + request.SubjectName());
    if (request.Name() == "kill") Core->KillGuest(Sender);
    request.Reply(request.Name(), request.Name() == "lf" ? "two\nlines" : request.Data());
  }

  Lines Seen;
  ServerCore* Core = nullptr;
  ConnectionId Sender = 0;
};

struct TCustomCase {
  const char* Label;
  bool LogIn;
  std::string In;
  Lines Out;     // to the sender
  Lines Others;  // to another member of the lobby
  std::string Seen;
  std::size_t Exceptions;
};

void PrintTo(const TCustomCase& c, std::ostream* os) {
  *os << c.Label;
}

class CustomHookTest : public CoreTest, public ::testing::WithParamInterface<TCustomCase> {
 protected:
  CustomHookTest() : CoreTest(Hooks) { Hooks.Core = &Core; }
  AnsweringHooks Hooks;
};

TEST_P(CustomHookTest, AnswersOnlyTheSender) {
  const auto& c = GetParam();
  const auto bob = LoggedIn("bob");
  const auto sender = c.LogIn ? LoggedIn("ann") : Connect();
  Hooks.Sender = sender;
  Forget();
  Say(sender, c.In);
  EXPECT_EQ(Take(sender), c.Out);
  EXPECT_EQ(Take(bob), c.Others);
  EXPECT_THAT(Hooks.Seen, ElementsAre(c.Seen));
  EXPECT_EQ(Observer.Exceptions.size(), c.Exceptions);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CustomHookTest,
    ::testing::Values(
        TCustomCase{"staging", false, "CUSTOM|echo|a|b", {"CUSTOM|echo|a|b"}, {}, "//", 0},
        TCustomCase{
            "in_lobby", true, "CUSTOM|echo|a|b", {"CUSTOM|echo|a|b"}, {}, "ann/Game/Lobby Chat", 0},
        TCustomCase{"no_data", true, "CUSTOM|echo", {"CUSTOM|echo|"}, {}, "ann/Game/Lobby Chat", 0},
        TCustomCase{"line_feed_refused", true, "CUSTOM|lf|x", {}, {}, "ann/Game/Lobby Chat", 1},
        TCustomCase{"sender_gone",
                    true,
                    "CUSTOM|kill|x",
                    {},
                    {"REMOVEGUEST|ann"},
                    "ann/Game/Lobby Chat",
                    0}),
    [](const auto& info) { return std::string(info.param.Label); });

// Answers at once, or from a thread of its own, as a store's worker would.
class AnswerNowOrFromThreadHooks : public TServerHooks {
 public:
  void AuthorizeLogin(TLoginRequest request, TLoginDone done) override {
    if (request.Id != "threaded") {
      TServerHooks::AuthorizeLogin(std::move(request), std::move(done));
      return;
    }
    Worker = std::thread([this, request = std::move(request), done = std::move(done)]() mutable {
      TServerHooks::AuthorizeLogin(std::move(request), std::move(done));
    });
  }

  std::thread Worker;
};

class LoginAnswerTest : public CoreTest {
 protected:
  LoginAnswerTest() : CoreTest(Hooks) {}
  AnswerNowOrFromThreadHooks Hooks;
};

TEST_F(LoginAnswerTest, AnswerGivenAtOnceWaitsForAnEventOfItsOwn) {
  const auto guest = Connect();
  Core.OnClientRead(guest, "LOGIN|ann|Game|pw\nUSERINFO|ann|\n");
  EXPECT_THAT(Take(guest), IsEmpty());
  EXPECT_EQ(Transport.PostedCount(), 1u);
  Transport.RunPosted();
  EXPECT_THAT(Take(guest), ElementsAre("LOGIN|SUCCESS|" + Wire("ann"), "SUBJECTS|Lobby Chat|",
                                       "JOINSUBJECT|Lobby Chat|" + Wire("ann"),
                                       "USERINFO|" + Wire("ann") + "|"));
}

TEST_F(LoginAnswerTest, AnswerFromAnotherThreadArrivesThroughPost) {
  const auto guest = Connect();
  Core.OnClientRead(guest, "LOGIN|threaded|Game|pw\n");
  Hooks.Worker.join();
  EXPECT_FALSE(Core.FindGuest(guest)->LoggedIn());
  Transport.RunPosted();
  EXPECT_TRUE(Core.FindGuest(guest)->LoggedIn());
  EXPECT_EQ(Take(guest).front(), "LOGIN|SUCCESS|" + Wire("threaded"));
}

TEST(LoginAnswerAfterCoreTest, DoesNothing) {
  test::FakeClock clock;
  test::FakeTransport transport;
  TServerHooks hooks;
  auto core = std::make_unique<ServerCore>(transport, clock, hooks);
  std::string error;
  ASSERT_TRUE(core->Start(error)) << error;
  core->OnClientConnect(1, "10.0.0.1", "10.0.0.2");
  core->OnClientRead(1, "LOGIN|ann|Game|pw\n");
  core.reset();
  transport.RunPosted();
  EXPECT_THAT(transport.Sent, IsEmpty());
}

}  // namespace
}  // namespace zorva::testing
