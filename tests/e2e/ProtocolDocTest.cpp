// docs/PROTOCOL.md's example sessions, replayed against the daemon line by line, so that the
// document cannot drift from what the server sends. In a block fenced "```session":
//   C1: LINE      client 1 (connected on first use) sends LINE
//   S1: LINE      client 1 receives exactly LINE next ({TODAY} is today's "mm/dd/yyyy")
//   C1 closes     client 1 closes its connection
// Blank lines are allowed; any other line fails the replay, so a typo cannot hide a step.
#include <ctime>
#include <map>
#include <memory>
#include <regex>

#include "E2eSupport.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;

struct TStep {
  int LineNumber;
  std::string Kind;  // "C", "S" or "closes"
  int Client;
  std::string Text;
};

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%m/%d/%Y", &local);
  return text;
}

std::string WithToday(std::string text) {
  static const std::string kPlaceholder = "{TODAY}";
  for (auto at = text.find(kPlaceholder); at != std::string::npos; at = text.find(kPlaceholder)) {
    text.replace(at, kPlaceholder.size(), Today());
  }
  return text;
}

// Every session block's steps in order; a block ends the previous one's clients.
std::vector<std::vector<TStep>> SessionsIn(const std::string& document, std::string& error) {
  static const std::regex kLine(R"(^([CS])(\d+): (.*)$)");
  static const std::regex kClose(R"(^C(\d+) closes$)");
  std::vector<std::vector<TStep>> sessions;
  std::istringstream lines(document);
  std::string line;
  bool inSession = false;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (line.starts_with("```")) {
      inSession = !inSession && line == "```session";
      if (inSession) sessions.emplace_back();
      continue;
    }
    if (!inSession || line.empty()) continue;
    std::smatch match;
    if (std::regex_match(line, match, kLine)) {
      sessions.back().push_back({number, match[1], std::stoi(match[2]), WithToday(match[3])});
    } else if (std::regex_match(line, match, kClose)) {
      sessions.back().push_back({number, "closes", std::stoi(match[1]), {}});
    } else {
      error = "line " + std::to_string(number) + " is no session step: " + line;
    }
  }
  return sessions;
}

class ProtocolDocTest : public ServerE2eTest {
 protected:
  void Replay(const std::vector<TStep>& steps) {
    std::map<int, std::unique_ptr<LineClient>> clients;
    for (const auto& step : steps) {
      SCOPED_TRACE("PROTOCOL.md line " + std::to_string(step.LineNumber));
      auto& client = clients[step.Client];
      if (!client) {
        client = std::make_unique<LineClient>();
        ASSERT_TRUE(client->Connect(FPort));
      }
      if (step.Kind == "C") {
        ASSERT_TRUE(client->WriteLine(step.Text));
      } else if (step.Kind == "S") {
        EXPECT_EQ(client->ReadLine().value_or("(nothing)"), step.Text);
      } else {
        client->Close();
      }
    }
    // A line the document leaves out would be the next one read.
    for (auto& [number, client] : clients) {
      if (!client->Ended()) {
        EXPECT_EQ(client->ReadLine(200ms), std::nullopt) << "client " << number;
      }
    }
  }
};

TEST_P(ProtocolDocTest, ExampleSessionsReplayExactly) {
  std::string error;
  const auto sessions = SessionsIn(ReadFile(ZORVA_PROTOCOL_DOC), error);
  ASSERT_EQ(error, "");
  ASSERT_FALSE(sessions.empty());
  for (const auto& steps : sessions) {
    StartServer();
    Replay(steps);
  }
}

INSTANTIATE_TEST_SUITE_P(Daemon, ProtocolDocTest,
                         testing::Values(TServerCommand{"daemon", {ZORVA_SERVER_BINARY}}),
                         [](const auto& info) { return info.param.Label; });

}  // namespace
}  // namespace zorva::test
