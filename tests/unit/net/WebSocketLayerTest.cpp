// One WebSocket connection's layer without a socket: frames in and lines out, whole and byte
// by byte; lines in and frames out at the length boundaries; what is refused and with which
// close code; text that is not UTF-8 on its way to a browser.
#include <gmock/gmock.h>

#include <array>
#include <tuple>

#include "WebSocketClientFrames.h"
#include "WebSocketLayer.h"

namespace zorva {
namespace {

using TResult = WebSocketLayer::TResult;

const std::string kRequest =
    "GET /zorva HTTP/1.1\r\nHost: a\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
constexpr std::size_t kMaxLine = 16;

std::vector<std::string_view> Bytes(std::string_view text) {
  std::vector<std::string_view> bytes;
  for (std::size_t i = 0; i < text.size(); ++i) bytes.push_back(text.substr(i, 1));
  return bytes;
}

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

// The layer reads a whole text frame itself and leaves every other frame to wslay: wherever a
// read ends, inside a header, a payload or a fragmented message, the lines must come out the same.
TEST_F(WebSocketLayerTest, StreamCutAnywhereGivesTheSameLines) {
  constexpr std::size_t kLongLine = 300;  // long enough for a two-byte length
  const std::string longLine(kLongLine, 'L');
  // From its second byte on, this frame reads as an empty text frame of its own: a layer that
  // misplaced the end of the frame wslay is inside would take that one.
  const std::string decoy = ClientFrame(kWsText, "x", {.Mask = {char(0x80), 1, 2, 3}});
  const std::string frames =
      ClientFrame(kWsText, "PING|") + decoy + ClientFrame(kWsText, longLine) +
      ClientFrame(kWsText, "SEND|", {.Final = false}) + ClientFrame(kWsPing, "x") +
      ClientFrame(kWsContinuation, "CHAT|hi") + ClientFrame(kWsText, "caf\xC3\xA9") +
      ClientFrame(kWsText, "") + ClientFrame(kWsText, "JOIN|") + ClientFrame(kWsPing, "y") +
      ClientFrame(kWsText, "QUIT|");
  const std::string expected =
      "PING|\nx\n" + longLine + "\nSEND|CHAT|hi\ncaf\xC3\xA9\n\nJOIN|\nQUIT|\n";
  for (std::size_t cut = 0; cut <= frames.size(); ++cut) {
    SCOPED_TRACE(cut);
    WebSocketLayer layer(FPolicy, kLongLine);
    std::string lines, out;
    ASSERT_EQ(layer.Receive(kRequest, lines, out), TResult::Open);
    out.clear();
    ASSERT_EQ(layer.Receive(std::string_view(frames).substr(0, cut), lines, out), TResult::Open);
    ASSERT_EQ(layer.Receive(std::string_view(frames).substr(cut), lines, out), TResult::Open);
    EXPECT_EQ(lines, expected);
    std::string pongs;
    while (auto frame = TakeServerFrame(out)) pongs += frame->Payload;
    EXPECT_EQ(pongs, "xy");
  }
}

// Every mask byte lands on every payload position, in whole words and in the bytes after them.
TEST_F(WebSocketLayerTest, EveryMaskUnmasksEveryLength) {
  Upgrade();
  const std::array<std::array<char, 4>, 4> masks{{{0, 0, 0, 0},
                                                  {char(0xFF), char(0xFF), char(0xFF), char(0xFF)},
                                                  {0x01, 0x02, 0x04, char(0x80)},
                                                  {char(0xA5), 0x5A, 0x3C, char(0xC3)}}};
  const std::string text = "abcdefghij\xC3\xA9klmn";
  std::string expected;
  for (const auto& mask : masks) {
    for (std::size_t length = 0; length <= kMaxLine; ++length) {
      if (length == 11) continue;  // would cut the two-byte character in half
      const auto line = text.substr(0, length);
      ASSERT_EQ(Feed(ClientFrame(kWsText, line, {.Mask = mask})), TResult::Open);
      expected += line + "\n";
    }
  }
  EXPECT_EQ(FLines, expected);
}

constexpr const char* kTooLong = "WebSocket message too long";
constexpr const char* kLineFeed = "WebSocket message holds a line feed";
constexpr const char* kNotUtf8 = "WebSocket text is not UTF-8";
constexpr const char* kProtocolError = "WebSocket protocol error";

struct TRefusal {
  const char* Label;
  std::string Frames;
  TResult Result;
  int CloseCode;
  const char* Error;  // what the log says
};

class WebSocketRefusalTest : public WebSocketLayerTest,
                             public testing::WithParamInterface<std::tuple<TRefusal, bool>> {};

// Whole, a frame may be read by the layer itself; byte by byte, wslay reads it.
TEST_P(WebSocketRefusalTest, IsReportedOnceWithItsCloseCode) {
  Upgrade();
  const auto& [c, byteByByte] = GetParam();
  EXPECT_EQ(byteByByte ? FeedByteByByte(c.Frames) : Feed(c.Frames), c.Result);
  EXPECT_EQ(FLayer.Error(), c.Error);
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
    testing::Combine(
        testing::Values(
            TRefusal{"OneBytePastTheLimit", ClientFrame(kWsText, std::string(17, 'x')),
                     TResult::TooLong, 1009, kTooLong},
            // Judged from the header, before any of the payload is read.
            TRefusal{"PastTheLimitAndNotUtf8", ClientFrame(kWsText, std::string(17, '\xC0')),
                     TResult::TooLong, 1009, kTooLong},
            TRefusal{"FragmentsPastTheLimit",
                     ClientFrame(kWsText, std::string(10, 'x'), {.Final = false}) +
                         ClientFrame(kWsContinuation, std::string(7, 'x')),
                     TResult::TooLong, 1009, kTooLong},
            TRefusal{"LineFeedInside", ClientFrame(kWsText, "a\nb"), TResult::TooLong, 1009,
                     kLineFeed},
            TRefusal{"Binary", ClientFrame(kWsBinary, "a"), TResult::Failed, 1003,
                     "WebSocket binary message"},
            TRefusal{"Unmasked", ClientFrame(kWsText, "a", {.Masked = false}), TResult::Failed,
                     1002, kProtocolError},
            TRefusal{"TextNotUtf8", ClientFrame(kWsText, "\xC0\xAF"), TResult::Failed, 1007,
                     kNotUtf8},
            // However the bytes arrive, the text is found wrong before the message ends.
            TRefusal{"LineFeedInTextNotUtf8", ClientFrame(kWsText, "a\n\xC0\xAF"), TResult::Failed,
                     1007, kNotUtf8},
            TRefusal{"NewMessageInsideAFragmentedOne",
                     ClientFrame(kWsText, "a", {.Final = false}) + ClientFrame(kWsText, "b"),
                     TResult::Failed, 1002, kProtocolError},
            TRefusal{
                "LineFeedInAFragment",
                ClientFrame(kWsText, "a", {.Final = false}) + ClientFrame(kWsContinuation, "\n"),
                TResult::TooLong, 1009, kLineFeed}),
        testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).Label) +
             (std::get<1>(info.param) ? "ByteByByte" : "Whole");
    });

// A close whose reason is cut inside a character, as a slow network may deliver it, still ends
// the connection cleanly.
TEST_F(WebSocketLayerTest, ClientCloseIsAnsweredAndEndsTheConnectionWholeOrByteByByte) {
  const std::string close = ClientFrame(kWsClose, std::string("\x03\xE9"
                                                              "bye \xC3\xA9t\xC3\xA9",
                                                              11));
  for (const bool byteByByte : {false, true}) {
    SCOPED_TRACE(byteByByte ? "byte by byte" : "whole");
    WebSocketLayer layer(FPolicy, kMaxLine);
    std::string lines, out;
    ASSERT_EQ(layer.Receive(kRequest, lines, out), TResult::Open);
    out.clear();
    auto result = TResult::Open;
    for (const auto piece : byteByByte ? Bytes(close) : std::vector<std::string_view>{close}) {
      result = layer.Receive(piece, lines, out);
    }
    EXPECT_EQ(result, TResult::Ended);
    const auto answer = TakeServerFrame(out);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->Opcode, kWsClose);
    EXPECT_TRUE(out.empty());
    layer.Frame("late", out);
    EXPECT_TRUE(out.empty());
  }
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

// A browser fails the connection on text that is not UTF-8; a native client may send Latin-1.
TEST_F(WebSocketLayerTest, BytesThatAreNotUtf8LeaveAsTheirLatin1Characters) {
  Upgrade();
  FLayer.Frame("caf\xC3\xA9 \xF0\x9F\x8E\xB2", FOut);
  FLayer.Frame("Jos\xE9", FOut);
  const auto frames = SentFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].Payload, "caf\xC3\xA9 \xF0\x9F\x8E\xB2");
  EXPECT_EQ(frames[1].Payload, "Jos\xC3\xA9");
}

TEST_F(WebSocketLayerTest, RefusedRequestIsAnsweredAndSaysWhy) {
  EXPECT_EQ(Feed("GET /zorva HTTP/1.1\r\nHost: a\r\n\r\n"), TResult::Refused);
  EXPECT_TRUE(FOut.starts_with("HTTP/1.1 426 "));
  EXPECT_EQ(FLayer.Error(), "HTTP/1.1 426 Upgrade Required");
  EXPECT_FALSE(FLayer.Upgraded());
}

}  // namespace
}  // namespace zorva
