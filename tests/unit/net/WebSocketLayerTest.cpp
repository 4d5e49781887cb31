// One WebSocket connection's layer without a socket: frames in and lines out, whole and byte
// by byte; lines in and frames out at the length boundaries; what is refused and with which
// close code; text that is not UTF-8 on its way to a browser.
#include <gmock/gmock.h>

#include "WebSocketClientFrames.h"
#include "WebSocketLayer.h"

namespace zorva {
namespace {

using TResult = WebSocketLayer::TResult;

const std::string kRequest =
    "GET /zorva HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
constexpr std::size_t kMaxLine = 16;

class WebSocketLayerTest : public testing::Test {
 protected:
  TResult Feed(std::string_view bytes) { return FLayer.Receive(bytes, FLines, FOut); }

  // Feeds `bytes` one at a time; the last result that was not Open.
  TResult FeedByteByByte(std::string_view bytes) {
    auto last = TResult::Open;
    for (const char byte : bytes) {
      const auto result = Feed(std::string_view(&byte, 1));
      if (result != TResult::Open) last = result;
    }
    return last;
  }

  void Upgrade() {
    ASSERT_EQ(Feed(kRequest), TResult::Open);
    ASSERT_TRUE(FLayer.Upgraded());
    FOut.clear();
  }

  std::vector<TServerFrame> SentFrames() {
    std::vector<TServerFrame> frames;
    while (auto frame = TakeServerFrame(FOut)) frames.push_back(*frame);
    EXPECT_TRUE(FOut.empty());
    return frames;
  }

  TWebSocketPolicy FPolicy;
  WebSocketLayer FLayer{FPolicy, kMaxLine};
  std::string FLines;
  std::string FOut;
};

TEST_F(WebSocketLayerTest, FramesBecomeLinesWholeOrByteByByte) {
  const std::string frames = ClientFrame(kWsText, "PING|") +
                             ClientFrame(kWsText, "SEND|", {.Final = false}) +
                             ClientFrame(kWsPing, "x") + ClientFrame(kWsContinuation, "CHAT|hi") +
                             ClientFrame(kWsText, "") + ClientFrame(kWsText, std::string(16, 'z'));
  const std::string expected = "PING|\nSEND|CHAT|hi\n\n" + std::string(16, 'z') + "\n";
  for (const bool byteByByte : {false, true}) {
    SCOPED_TRACE(byteByByte ? "byte by byte" : "whole");
    WebSocketLayer layer(FPolicy, kMaxLine);
    std::string lines, out;
    const auto request = kRequest + frames;
    if (byteByByte) {
      for (const char byte : request) {
        ASSERT_NE(layer.Receive(std::string_view(&byte, 1), lines, out), TResult::Failed);
      }
    } else {
      ASSERT_EQ(layer.Receive(request, lines, out), TResult::Open);
    }
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(out.starts_with("HTTP/1.1 101 "));
    out.erase(0, out.find("\r\n\r\n") + 4);
    const auto pong = TakeServerFrame(out);
    ASSERT_TRUE(pong.has_value());
    EXPECT_EQ(pong->Opcode, kWsPong);
    EXPECT_EQ(pong->Payload, "x");
  }
}

struct TRefusal {
  const char* Label;
  std::string Frames;
  TResult Result;
  int CloseCode;
};

class WebSocketRefusalTest : public WebSocketLayerTest,
                             public testing::WithParamInterface<TRefusal> {};

TEST_P(WebSocketRefusalTest, IsReportedOnceWithItsCloseCode) {
  Upgrade();
  const auto& c = GetParam();
  EXPECT_EQ(FeedByteByByte(c.Frames), c.Result);
  EXPECT_TRUE(FLines.empty());
  EXPECT_EQ(Feed(ClientFrame(kWsText, "PING|")), TResult::Open);  // nothing more is read
  EXPECT_TRUE(FLines.empty());
  FLayer.Frame("ERROR|Line too long", FOut);  // only a refused message still gets its error
  FLayer.Finish(FOut);
  const auto frames = SentFrames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().Opcode, kWsClose);
  EXPECT_EQ(CloseCode(frames.back().Payload), c.CloseCode);
  EXPECT_EQ(frames.size(), c.Result == TResult::TooLong ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, WebSocketRefusalTest,
    testing::Values(
        TRefusal{"OneBytePastTheLimit", ClientFrame(kWsText, std::string(17, 'x')),
                 TResult::TooLong, 1009},
        TRefusal{"FragmentsPastTheLimit",
                 ClientFrame(kWsText, std::string(10, 'x'), {.Final = false}) +
                     ClientFrame(kWsContinuation, std::string(7, 'x')),
                 TResult::TooLong, 1009},
        TRefusal{"LineFeedInside", ClientFrame(kWsText, "a\nb"), TResult::TooLong, 1009},
        TRefusal{"Binary", ClientFrame(kWsBinary, "a"), TResult::Failed, 1003},
        TRefusal{"Unmasked", ClientFrame(kWsText, "a", {.Masked = false}), TResult::Failed, 1002},
        TRefusal{"TextNotUtf8", ClientFrame(kWsText, "\xC0\xAF"), TResult::Failed, 1007},
        TRefusal{"NewMessageInsideAFragmentedOne",
                 ClientFrame(kWsText, "a", {.Final = false}) + ClientFrame(kWsText, "b"),
                 TResult::Failed, 1002}),
    [](const auto& info) { return std::string(info.param.Label); });

TEST_F(WebSocketLayerTest, ClientCloseIsAnsweredAndEndsTheConnection) {
  Upgrade();
  EXPECT_EQ(Feed(ClientFrame(kWsClose, std::string("\x03\xE9", 2))), TResult::Ended);
  const auto frames = SentFrames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Opcode, kWsClose);
  FLayer.Frame("late", FOut);
  EXPECT_TRUE(FOut.empty());
}

TEST_F(WebSocketLayerTest, LinesGoOutAsTextWithTheHeaderTheirLengthNeeds) {
  Upgrade();
  for (const std::size_t size : {0u, 125u, 126u, 65535u, 65536u}) {
    SCOPED_TRACE(size);
    FLayer.Frame(std::string(size, 'a'), FOut);
    const auto frames = SentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Opcode, kWsText);
    EXPECT_TRUE(frames[0].Final);
    EXPECT_EQ(frames[0].Payload.size(), size);
  }
}

TEST_F(WebSocketLayerTest, BytesThatAreNotUtf8LeaveAsReplacementCharacters) {
  Upgrade();
  const struct {
    std::string In;
    std::string Out;
  } cases[] = {
      {"caf\xC3\xA9 \xF0\x9F\x8E\xB2", "caf\xC3\xA9 \xF0\x9F\x8E\xB2"},          // valid stays
      {"caf\xE9", "caf\xEF\xBF\xBD"},                                            // Latin-1
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                                  // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},                  // surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
      {"abcdefgh\xE2\x82", "abcdefgh\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
  };
  for (const auto& c : cases) {
    FLayer.Frame(c.In, FOut);
    const auto frames = SentFrames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Payload, c.Out);
  }
}

TEST_F(WebSocketLayerTest, RefusedRequestIsAnsweredAndSaysWhy) {
  EXPECT_EQ(Feed("GET /zorva HTTP/1.1\r\nHost: a\r\n\r\n"), TResult::Answered);
  EXPECT_TRUE(FOut.starts_with("HTTP/1.1 426 "));
  EXPECT_EQ(FLayer.Error(), "HTTP/1.1 426 Upgrade Required");
  EXPECT_FALSE(FLayer.Upgraded());
}

}  // namespace
}  // namespace zorva
