// The daemon's WebSocket port over loopback: browser-like and TCP clients in one subject, the
// same answers to the same lines, over-long and forbidden messages, bad and unfinished
// handshakes, wss:// with the development certificate, and the page's files.
#include <gmock/gmock.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "E2eSupport.h"
#include "WsLineClient.h"

namespace zorva::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

const TServerCommand kDaemon{"daemon", {ZORVA_SERVER_BINARY}};

class DaemonWebSocketTest : public ServerE2eTest {
 protected:
  void StartWs(std::vector<std::string> more = {}) {
    more.insert(more.begin(), {"--ws-port", "0"});
    StartServer(more);
    FWsPort = PortAfter("WebSocket on ");
  }

  std::uint16_t PortAfter(const std::string& label) {
    const auto out = FServer->Stdout();
    const auto at = out.find(label);
    if (at == std::string::npos) {
      ADD_FAILURE() << "no \"" << label << "\" in: " << out;
      return 0;
    }
    const auto line = out.substr(at, out.find('\n', at) - at);
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
  }

  void WsLogin(WsLineClient& client, const std::string& id, const TWsClientOptions& options = {},
               std::uint16_t port = 0) {
    ASSERT_TRUE(client.Connect(port == 0 ? FWsPort : port, options)) << client.Head();
    ASSERT_TRUE(client.WriteLine("LOGIN|" + id + "|GAME|pw"));
    const auto success = client.ReadLine();
    ASSERT_TRUE(success && success->starts_with("LOGIN|SUCCESS|" + id + "^"));
    ASSERT_TRUE(client.ReadLine().has_value());  // SUBJECTS|
    ASSERT_TRUE(client.ReadLine().has_value());  // JOINSUBJECT|
  }

  std::uint16_t FWsPort = 0;
};

template <class Client>
std::optional<std::string> NextRelay(Client& client) {
  for (auto line = client.ReadLine(); line; line = client.ReadLine()) {
    if (line->starts_with("SEND|")) return line;
  }
  return std::nullopt;
}

TEST_P(DaemonWebSocketTest, WebSocketAndTcpClientsChatInOneSubject) {
  StartWs();
  WsLineClient browser;
  LineClient native;
  WsLogin(browser, "alice");
  EXPECT_THAT(browser.Head(), HasSubstr("Sec-WebSocket-Protocol: zorva.v1"));
  Login(native, "bob");
  ASSERT_TRUE(browser.WriteLine("SEND|CHAT|from the browser"));
  EXPECT_EQ(NextRelay(native), "SEND|alice|CHAT|from the browser");
  ASSERT_TRUE(native.WriteLine("SEND|CHAT|from a socket"));
  EXPECT_EQ(NextRelay(browser), "SEND|bob|CHAT|from a socket");
}

// The lines a client gets within `quiet` of each other, its own id written as "{id}".
template <class Client>
std::vector<std::string> Answers(Client& client, const std::string& id) {
  std::vector<std::string> answers;
  for (auto line = client.ReadLine(); line; line = client.ReadLine()) {
    for (auto at = line->find(id); at != std::string::npos; at = line->find(id)) {
      line->replace(at, id.size(), "{id}");
    }
    answers.push_back(*line);
  }
  return answers;
}

std::string WithId(std::string line, const std::string& id) {
  const auto at = line.find("{id}");
  return at == std::string::npos ? line : line.replace(at, 4, id);
}

// The answers to `lines`, each line's in a group, from a client of its own.
template <class Client>
std::vector<std::vector<std::string>> Transcript(Client& client,
                                                 const std::vector<std::string>& lines,
                                                 const std::string& id) {
  std::vector<std::vector<std::string>> transcript;
  for (const auto& line : lines) {
    if (!client.WriteLine(WithId(line, id))) break;
    transcript.push_back(Answers(client, id));
  }
  return transcript;
}

// Not one answer is the WebSocket path's own: each line gets what a TCP client gets.
TEST_P(DaemonWebSocketTest, EveryAnswerArrivesAsOverTcp) {
  StartWs();
  const std::vector<std::string> lines = {
      "SEND|CHAT|before login", "NOSUCHCOMMAND|x",     "LOGIN|",
      "LOGIN|NewUser|GAME|pw",  "LOGIN|{id}|GAME|pw",  "LOGIN|{id}|GAME|pw",
      "CREATESUBJECT|",         "JOINSUBJECT|nowhere", "USERINFO|nobody",
      "SEND|CHAT|after login",  "SEND|NOSUCHKIND|x",   "PING|"};
  struct NativeClient : LineClient {
    std::optional<std::string> ReadLine() { return LineClient::ReadLine(300ms); }
  } native;
  ASSERT_TRUE(native.Connect(FPort));
  const auto expected = Transcript(native, lines, "guest");
  native.Close();
  WsLineClient browser;
  ASSERT_TRUE(browser.Connect(FWsPort, {.Timeout = 300ms}));
  EXPECT_EQ(Transcript(browser, lines, "guest"), expected);
}

TEST_P(DaemonWebSocketTest, OverLongMessagesAreRefusedLikeAnOverLongLine) {
  StartWs({"--max-line", "64"});
  struct Case {
    const char* Label;
    std::string Bytes;
  };
  const Case cases[] = {
      {"one byte past the limit", ClientFrame(kWsText, std::string(65, 'x'))},
      {"a line feed inside", ClientFrame(kWsText, "PING|\nSEND|CHAT|smuggled")},
      {"fragments adding up past the limit",
       ClientFrame(kWsText, std::string(40, 'x'), {.Final = false}) +
           ClientFrame(kWsContinuation, std::string(40, 'x'))},
      {"an announced length far past it, a little of it sent",
       ClientFrame(kWsText, "PING|", {.AnnouncedLength = std::uint64_t{1} << 40})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WsLineClient client;
    ASSERT_TRUE(client.Connect(FWsPort));
    ASSERT_TRUE(client.WriteLine(std::string(64, 'y').replace(0, 5, "PING|")));  // at the limit
    ASSERT_TRUE(client.WriteRaw(c.Bytes));
    EXPECT_EQ(client.ReadLine(), "ERROR|Line too long");
    EXPECT_EQ(client.ReadCloseCode(), 1009);
    EXPECT_TRUE(client.WaitClosed());
  }
}

TEST_P(DaemonWebSocketTest, ForbiddenFramesCloseWithTheirCodeAndNoLine) {
  StartWs();
  struct Case {
    const char* Label;
    std::string Bytes;
    std::vector<int> Codes;
  };
  const Case cases[] = {
      {"a binary message", ClientFrame(kWsBinary, "PING|"), {1003}},
      {"an unmasked frame", ClientFrame(kWsText, "PING|", {.Masked = false}), {1002}},
      // Refused from the frame's header alone, with a close frame that may carry no code.
      {"a ping longer than 125 bytes", ClientFrame(kWsPing, std::string(126, 'p')), {1002, 1005}},
      {"a continuation without a start", ClientFrame(kWsContinuation, "PING|"), {1002}},
      {"text that is not UTF-8", ClientFrame(kWsText, "SEND|CHAT|caf\xE9"), {1007}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WsLineClient client;
    ASSERT_TRUE(client.Connect(FWsPort));
    ASSERT_TRUE(client.WriteRaw(c.Bytes));
    const auto frame = client.ReadFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->Opcode, kWsClose);
    EXPECT_THAT(c.Codes, testing::Contains(CloseCode(frame->Payload)));
    EXPECT_TRUE(client.WaitClosed());
  }
}

TEST_P(DaemonWebSocketTest, ControlFramesAreAnsweredApartFromTheProtocolsPing) {
  StartWs();
  WsLineClient client;
  ASSERT_TRUE(client.Connect(FWsPort));
  ASSERT_TRUE(client.WriteRaw(ClientFrame(kWsPing, "are you there")));
  const auto pong = client.ReadFrame();
  ASSERT_TRUE(pong.has_value());
  EXPECT_EQ(pong->Opcode, kWsPong);
  EXPECT_EQ(pong->Payload, "are you there");
  // A line in fragments, a ping between them.
  ASSERT_TRUE(client.WriteRaw(ClientFrame(kWsText, "SERVER", {.Final = false}) +
                              ClientFrame(kWsPing, "") + ClientFrame(kWsContinuation, "STATS|")));
  EXPECT_EQ(client.ReadFrame()->Opcode, kWsPong);
  const auto stats = client.ReadLine();
  ASSERT_TRUE(stats.has_value());
  EXPECT_TRUE(stats->starts_with("SERVERSTATS|")) << *stats;
  ASSERT_TRUE(client.WriteRaw(ClientFrame(kWsClose, std::string("\x03\xE8", 2))));
  EXPECT_EQ(client.ReadCloseCode(), 1000);
  EXPECT_TRUE(client.WaitClosed());
}

TEST_P(DaemonWebSocketTest, BadHandshakesGetAnHttpErrorAndNoProtocolLine) {
  const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
  const std::string upgrade = "Upgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n";
  const std::string version = "Sec-WebSocket-Version: 13\r\n";
  struct Case {
    const char* Label;
    std::string Request;
    int Status;
  };
  const Case cases[] = {
      {"another path", "GET /chat HTTP/1.1\r\nHost: a\r\n" + upgrade + version + key, 404},
      {"no upgrade asked for", "GET /zorva HTTP/1.1\r\nHost: a\r\n" + version + key, 426},
      {"an older version",
       "GET /zorva HTTP/1.1\r\nHost: a\r\n" + upgrade + "Sec-WebSocket-Version: 8\r\n" + key, 426},
      {"no key", "GET /zorva HTTP/1.1\r\nHost: a\r\n" + upgrade + version, 400},
      {"a key of the wrong size",
       "GET /zorva HTTP/1.1\r\nHost: a\r\n" + upgrade + version + "Sec-WebSocket-Key: abc\r\n",
       400},
      {"no host", "GET /zorva HTTP/1.1\r\n" + upgrade + version + key, 400},
      {"not GET", "POST /zorva HTTP/1.1\r\nHost: a\r\n" + upgrade + version + key, 405},
      {"an origin not listed",
       "GET /zorva HTTP/1.1\r\nHost: a\r\nOrigin: https://evil.example\r\n" + upgrade + version +
           key,
       403},
      {"a header line without a colon",
       "GET /zorva HTTP/1.1\r\nHost: a\r\nnonsense\r\n" + upgrade + version + key, 400},
      {"headers past 8 KiB",
       "GET /zorva HTTP/1.1\r\nHost: a\r\nX-Pad: " + std::string(9000, 'p') + "\r\n", 431},
  };
  StartWs({"--ws-origins", "https://game.example,https://other.example"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Label);
    WsLineClient client;
    ASSERT_TRUE(client.Open(FWsPort));
    ASSERT_TRUE(client.WriteRaw(c.Request + "\r\n"));
    ASSERT_TRUE(client.ReadHead());
    EXPECT_EQ(client.Status(), c.Status) << client.Head();
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_THAT(client.Buffered(), testing::Not(HasSubstr("|")));
  }
  // Each refusal is logged once, as the drop of a connection that never became a guest, as a
  // failed TLS handshake is; the page that is not there is no failure. The log may follow the
  // close by a moment.
  const auto refusals = std::count_if(std::begin(cases), std::end(cases),
                                      [](const Case& c) { return c.Status != 404; });
  const std::string logged = " reason=socket-error error=" + std::to_string(EPROTO) + " ";
  std::ptrdiff_t count = 0;
  for (int attempt = 0; attempt < 60 && count < refusals; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(50ms);
    const auto log = FServer->Stderr();
    count = 0;
    for (auto at = log.find(logged); at != std::string::npos; at = log.find(logged, at + 1))
      ++count;
  }
  EXPECT_EQ(count, refusals);
  EXPECT_THAT(FServer->Stderr(),
              HasSubstr("WebSocket upgrade refused: HTTP/1.1 403 Forbidden (from 127.0.0.1)"));
  WsLineClient listed;
  EXPECT_TRUE(listed.Connect(
      FWsPort, {.ExtraHeaders = "Origin: https://other.example\r\nSec-WebSocket-Protocol: "
                                "zorva.v1\r\n"}))
      << listed.Head();
}

TEST_P(DaemonWebSocketTest, HandshakeThatNeverFinishesIsClosedWithinSeconds) {
  StartWs();
  WsLineClient slow;
  ASSERT_TRUE(slow.Open(FWsPort, {.Timeout = 10s}));
  ASSERT_TRUE(slow.WriteRaw("GET /zorva HTTP/1.1\r\nHost: a\r\n"));  // and never the rest
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(slow.WaitClosed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_TRUE(slow.Buffered().empty());
  WsLineClient next;
  EXPECT_TRUE(next.Connect(FWsPort));
}

// The core counts a browser against its address only once upgraded; before that, one address
// holding many unfinished requests is what the transport bounds, by the same number.
TEST_P(DaemonWebSocketTest, UnfinishedRequestsFromOneAddressAreBounded) {
  StartWs({"--max-clients-per-address", "8"});
  std::vector<std::unique_ptr<WsLineClient>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<WsLineClient>());
    ASSERT_TRUE(held.back()->Open(FWsPort));
    ASSERT_TRUE(held.back()->WriteRaw("GET /zorva HTTP/1.1\r\n"));
  }
  WsLineClient refused;
  ASSERT_TRUE(refused.Open(FWsPort, {.Timeout = 1s}));
  EXPECT_TRUE(refused.WaitClosed());
  held.clear();
  // Their ends reach the server in their own time; a bounded wait for the room they leave.
  WsLineClient later;
  bool upgraded = false;
  for (int attempt = 0; attempt < 20 && !upgraded; ++attempt) {
    upgraded = later.Connect(FWsPort, {.Timeout = 1s});
    if (!upgraded) std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(upgraded);
}

TEST_P(DaemonWebSocketTest, SecureWebSocketWithTheDevelopmentCertificate) {
  const auto certDir = FFolder / "cert";
  const std::string command =
      std::string(ZORVA_DEV_CERT) + " '" + certDir.string() + "' > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const auto cert = (certDir / "cert.pem").string();
  StartWs({"--wss-port", "0", "--tls-cert", cert, "--tls-key", (certDir / "key.pem").string()});
  const auto wssPort = PortAfter("Secure WebSocket on ");
  WsLineClient secure;
  LineClient native;
  WsLogin(secure, "alice", {.CaFile = cert}, wssPort);
  Login(native, "bob");
  ASSERT_TRUE(secure.WriteLine("SEND|CHAT|sealed"));
  EXPECT_EQ(NextRelay(native), "SEND|alice|CHAT|sealed");
  // Latin-1 from a native client reaches the browser as UTF-8, which is all it accepts.
  ASSERT_TRUE(native.WriteLine("SEND|CHAT|caf\xE9 au lait"));
  EXPECT_EQ(NextRelay(secure), "SEND|bob|CHAT|caf\xC3\xA9 au lait");
}

TEST_P(DaemonWebSocketTest, WebRootServesItsFilesAndNothingOutsideIt) {
  const auto root = FFolder / "www";
  std::filesystem::create_directories(root / "js");
  std::ofstream(root / "index.html") << "<title>game</title>";
  std::ofstream(root / "js" / "game.js") << "connect();";
  std::ofstream(FFolder / "secret.txt") << "password";
  std::filesystem::create_symlink(FFolder / "secret.txt", root / "leak.txt");
  StartWs({"--web-root", root.string()});
  struct Case {
    const char* Path;
    int Status;
    const char* Body;
  };
  const Case cases[] = {
      {"/", 200, "<title>game</title>"},
      {"/js/game.js?v=2", 200, "connect();"},
      {"/js/", 404, "Not found\n"},
      {"/../secret.txt", 404, "Not found\n"},
      {"/%2e%2e/secret.txt", 404, "Not found\n"},
      {"/js/%2E%2E/%2E%2E/secret.txt", 404, "Not found\n"},
      {"/leak.txt", 404, "Not found\n"},
      {"/index.html%00.js", 404, "Not found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    WsLineClient client;
    ASSERT_TRUE(client.Open(FWsPort));
    ASSERT_TRUE(client.WriteRaw(std::string("GET ") + c.Path + " HTTP/1.1\r\nHost: a\r\n\r\n"));
    ASSERT_TRUE(client.ReadHead());
    EXPECT_EQ(client.Status(), c.Status);
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Buffered(), c.Body);
  }
}

TEST_P(DaemonWebSocketTest, PerAddressLimitHoldsForBrowsersToo) {
  StartWs({"--max-clients-per-address", "1"});
  LineClient native;
  Login(native, "bob");
  LineClient secondNative;
  ASSERT_TRUE(secondNative.Connect(FPort));
  const auto refusal = secondNative.ReadLine();
  ASSERT_TRUE(refusal.has_value());
  WsLineClient browser;
  ASSERT_TRUE(browser.Connect(FWsPort));
  EXPECT_EQ(browser.ReadLine(), refusal);
  EXPECT_EQ(browser.ReadCloseCode(), 1000);
}

// The next line that is not a ping; pings come every 200 ms in these tests.
std::optional<std::string> NextNonPing(WsLineClient& client) {
  for (auto line = client.ReadLine(); line; line = client.ReadLine()) {
    if (!line->starts_with("PING|")) return line;
  }
  return std::nullopt;
}

TEST_P(DaemonWebSocketTest, LoginTimeoutAndFloodBudgetHoldForBrowsers) {
  StartWs({"--login-timeout", "1", "--ping-interval-ms", "200", "--max-lines-per-second", "20",
           "--line-burst", "5"});
  WsLineClient idle;
  ASSERT_TRUE(idle.Connect(FWsPort));
  WsLineClient flooder;
  WsLogin(flooder, "ann");
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 45; ++i) ASSERT_TRUE(flooder.WriteLine("SERVERSTATS|"));
  for (int i = 0; i < 45; ++i) {
    const auto answer = NextNonPing(flooder);
    ASSERT_TRUE(answer && answer->starts_with("SERVERSTATS|")) << i;
  }
  // Five at once, then twenty a second: the last of 45 comes no sooner than two seconds in.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(NextNonPing(idle), "ERROR|Login timeout");
  EXPECT_EQ(idle.ReadCloseCode(), 1000);
}

TEST_P(DaemonWebSocketTest, BrowserThatStopsReadingIsDroppedAsASlowReader) {
  StartWs({"--max-output", "200000", "--max-lines-per-second", "0", "--max-bytes-per-second", "0"});
  WsLineClient slow;
  WsLogin(slow, "slow");
  LineClient ann;
  Login(ann, "ann");
  LineClient bob;
  Login(bob, "bob");
  const std::string bulk = "SEND|DATA|" + std::string(2000, 'd');
  bool dropped = false;
  for (int round = 0; round < 500 && !dropped; ++round) {
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(ann.WriteLine(bulk));
    const auto probe = "SEND|CHAT|probe " + std::to_string(round);
    ASSERT_TRUE(ann.WriteLine(probe));
    for (auto line = bob.ReadLine();
         line && *line != "SEND|ann|CHAT|probe " + std::to_string(round); line = bob.ReadLine()) {
      dropped = dropped || *line == "REMOVEGUEST|slow";
    }
  }
  ASSERT_TRUE(dropped);
  EXPECT_TRUE(slow.WaitClosed());
  EXPECT_THAT(FServer->Stderr(), HasSubstr(" reason=slow-reader\n"));
}

INSTANTIATE_TEST_SUITE_P(Daemon, DaemonWebSocketTest, testing::Values(kDaemon));

}  // namespace
}  // namespace zorva::test
