// The WebSocket port's HTTP request: what each request is answered with, whole and byte by
// byte, and where the request ends and the first frames begin.
#include <gmock/gmock.h>

#include "WebSocketHandshake.h"

namespace zorva {
namespace {

using testing::HasSubstr;
using testing::Not;
using TKind = THttpAnswer::TKind;

const std::string kUpgrade =
    "Upgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\nSec-WebSocket-Version: 13\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";

std::string Request(const std::string& headers, const std::string& path = "/zorva") {
  return "GET " + path + " HTTP/1.1\r\nHost: game.example\r\n" + headers + "\r\n";
}

struct TCase {
  const char* Label;
  std::string Request;
  TKind Kind;
  const char* StatusLine;
};

class HandshakeTable : public testing::TestWithParam<TCase> {};

TEST_P(HandshakeTable, AnswersWholeAndByteByByte) {
  const TWebSocketPolicy policy{.Origins = {"https://game.example"}};
  const auto& c = GetParam();
  const auto whole = AnswerHttpRequest(c.Request, policy);
  EXPECT_EQ(whole.Kind, c.Kind);
  EXPECT_TRUE(whole.Response.starts_with(c.StatusLine)) << whole.Response;
  // Every shorter prefix is still incomplete: nothing is decided on part of a request.
  for (std::size_t size = 0; size + 1 < c.Request.size() && size < kMaxRequestBytes; ++size) {
    ASSERT_EQ(AnswerHttpRequest(std::string_view(c.Request).substr(0, size), policy).Kind,
              TKind::Incomplete)
        << size;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HandshakeTable,
    testing::Values(
        TCase{"upgrade", Request(kUpgrade), TKind::Upgrade, "HTTP/1.1 101 Switching Protocols"},
        TCase{"query ignored", Request(kUpgrade, "/zorva?room=1"), TKind::Upgrade, "HTTP/1.1 101"},
        TCase{"listed origin, any case", Request(kUpgrade + "Origin: HTTPS://game.example\r\n"),
              TKind::Upgrade, "HTTP/1.1 101"},
        TCase{"other origin", Request(kUpgrade + "Origin: https://evil.example\r\n"),
              TKind::Refused, "HTTP/1.1 403"},
        TCase{"other path without a web root", Request(kUpgrade, "/index.html"), TKind::Served,
              "HTTP/1.1 404"},
        TCase{"upgrade token missing", Request("Connection: Upgrade\r\n"), TKind::Refused,
              "HTTP/1.1 426"},
        TCase{"version 12",
              Request("Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 12\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
              TKind::Refused, "HTTP/1.1 426"},
        TCase{"key not base64 of 16 bytes",
              Request("Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ\r\n"),
              TKind::Refused, "HTTP/1.1 400"},
        TCase{"folded header line", Request(kUpgrade + " folded\r\n"), TKind::Refused,
              "HTTP/1.1 400"},
        TCase{"HTTP/1.0", "GET /zorva HTTP/1.0\r\nHost: a\r\n" + kUpgrade + "\r\n", TKind::Refused,
              "HTTP/1.1 400"},
        TCase{"relative target", "GET zorva HTTP/1.1\r\nHost: a\r\n" + kUpgrade + "\r\n",
              TKind::Refused, "HTTP/1.1 400"},
        TCase{"header flood", Request("X: " + std::string(kMaxRequestBytes, 'x') + "\r\n"),
              TKind::Refused, "HTTP/1.1 431"}),
    [](const auto& info) {
      std::string name = info.param.Label;
      for (auto& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(WebSocketHandshake, AcceptValueIsTheSha1OfKeyAndGuid) {
  EXPECT_EQ(WebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, SubprotocolIsChosenOnlyWhenOffered) {
  const auto offered = AnswerHttpRequest(Request(kUpgrade + "Sec-WebSocket-Protocol: chat\r\n"
                                                            "Sec-WebSocket-Protocol: zorva.v1\r\n"),
                                         {});
  EXPECT_THAT(offered.Response, HasSubstr("\r\nSec-WebSocket-Protocol: zorva.v1\r\n"));
  const auto notOffered =
      AnswerHttpRequest(Request(kUpgrade + "Sec-WebSocket-Protocol: chat\r\n"), {});
  EXPECT_THAT(notOffered.Response, Not(HasSubstr("Sec-WebSocket-Protocol")));
}

TEST(WebSocketHandshake, RequestEndsAtItsBlankLineAndTheFramesAfterItAreLeft) {
  const auto request = Request(kUpgrade);
  const auto answer = AnswerHttpRequest(request + "\x81\x85", {});
  EXPECT_EQ(answer.RequestBytes, request.size());
}

}  // namespace
}  // namespace zorva
