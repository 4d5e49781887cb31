// Any bytes as a browser's frames after its upgrade, into two WebSocket layers: one gets the
// whole stream in one piece, the other in pieces cut where the stream's own bytes say. Both
// must yield the same lines, owe the client the same bytes and stop the same way; no line is
// longer than the limit, holds a line feed or is not UTF-8; once stopped, a layer yields
// nothing more; and every line sent back leaves as one text frame a browser accepts.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "WebSocketClientFrames.h"
#include "WebSocketLayer.h"
#include "WireUtf8.h"

namespace {

using zorva::WebSocketLayer;
using TResult = WebSocketLayer::TResult;

// Around the frame header's length forms and a line limit a single frame can pass.
constexpr std::array<std::size_t, 8> kLineLimits = {1, 7, 16, 125, 126, 300, 65535, 65536};

struct TReceived {
  std::string Lines;
  std::string Out;
  TResult Result = TResult::Open;  // the first result that ends reading, if any
};

void Check(bool holds) {
  if (!holds) std::abort();
}

bool EndsReading(TResult result) {
  return result != TResult::Open && result != TResult::Handshaking;
}

TReceived Upgraded(WebSocketLayer& layer) {
  TReceived received;
  const auto request = zorva::UpgradeRequest("127.0.0.1", "/zorva");
  Check(layer.Receive(request, received.Lines, received.Out) == TResult::Open);
  received.Out.clear();
  return received;
}

// Feeds `bytes` on after reading ended: nothing may come of it.
void CheckSilentAfterStop(WebSocketLayer& layer, std::string_view bytes) {
  std::string lines, out;
  layer.Receive(bytes, lines, out);
  Check(lines.empty() && out.empty());
}

TReceived ReceiveWhole(WebSocketLayer& layer, std::string_view stream) {
  auto received = Upgraded(layer);
  received.Result = layer.Receive(stream, received.Lines, received.Out);
  if (EndsReading(received.Result)) CheckSilentAfterStop(layer, stream);
  return received;
}

TReceived ReceiveInPieces(WebSocketLayer& layer, std::string_view stream) {
  auto received = Upgraded(layer);
  while (!stream.empty()) {
    const std::size_t cut =
        std::min<std::size_t>(stream.size(), 1 + static_cast<unsigned char>(stream.front()) % 40);
    const auto piece = stream.substr(0, cut);
    stream.remove_prefix(cut);
    if (EndsReading(received.Result)) {
      CheckSilentAfterStop(layer, piece);
      continue;
    }
    const auto result = layer.Receive(piece, received.Lines, received.Out);
    if (EndsReading(result)) received.Result = result;
  }
  return received;
}

// The last frame of `out`: the close frame once the client closed or failed.
std::optional<zorva::TServerFrameView> LastFrame(std::string_view out) {
  std::optional<zorva::TServerFrameView> last;
  while (auto frame = zorva::NextServerFrame(out)) last = frame;
  Check(out.empty());
  return last;
}

// A closing client may have its pongs dropped by the close that wslay queues, so a pong of a
// read before the close goes out and one read with it does not. Which of a malformed frame's
// faults wslay names first (a close's reason that is not UTF-8, or its code) can depend on where
// the frame was cut, so a failure's close code is not compared.
void CheckSameOwed(const TReceived& whole, const TReceived& pieces) {
  if (whole.Result != TResult::Ended && whole.Result != TResult::Failed) {
    return Check(whole.Out == pieces.Out);
  }
  const auto wholeClose = LastFrame(whole.Out);
  const auto piecesClose = LastFrame(pieces.Out);
  Check(wholeClose.has_value() == piecesClose.has_value());
  if (!wholeClose) return;
  Check(wholeClose->Opcode == zorva::kWsClose && piecesClose->Opcode == zorva::kWsClose);
  if (whole.Result != TResult::Failed) Check(wholeClose->Payload == piecesClose->Payload);
}

void CheckLines(std::string_view lines, std::size_t maxLine) {
  Check(lines.empty() || lines.back() == '\n');
  while (!lines.empty()) {
    const auto line = lines.substr(0, lines.find('\n'));
    Check(line.size() <= maxLine && zorva::IsUtf8(line));
    lines.remove_prefix(line.size() + 1);
  }
}

// A line the core sends, whatever its bytes, leaves as one final text frame of UTF-8 text,
// unchanged when it was UTF-8 already.
void CheckFramed(const zorva::TWebSocketPolicy& policy, std::string_view line) {
  WebSocketLayer layer(policy, kLineLimits.back());
  Upgraded(layer);
  std::string out;
  layer.Frame(line, out);
  std::string_view rest = out;
  const auto frame = zorva::NextServerFrame(rest);
  Check(frame && rest.empty() && frame->Final && frame->Opcode == zorva::kWsText);
  Check(zorva::IsUtf8(frame->Payload));
  if (zorva::IsUtf8(line)) Check(frame->Payload == line);
}

// The close frame goes out once; after it, no line does.
void CheckFinish(WebSocketLayer& layer, std::string_view line) {
  std::string out;
  layer.Finish(out);
  std::string_view rest = out;
  if (!rest.empty()) {
    const auto frame = zorva::NextServerFrame(rest);
    Check(frame && rest.empty() && frame->Opcode == zorva::kWsClose);
  }
  std::string after;
  layer.Finish(after);
  layer.Frame(line, after);
  Check(after.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t maxLine = kLineLimits[data[0] % kLineLimits.size()];
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const zorva::TWebSocketPolicy policy;

  WebSocketLayer whole(policy, maxLine);
  WebSocketLayer pieces(policy, maxLine);
  const auto inOne = ReceiveWhole(whole, stream);
  const auto cut = ReceiveInPieces(pieces, stream);
  Check(inOne.Lines == cut.Lines && inOne.Result == cut.Result);
  CheckSameOwed(inOne, cut);
  CheckLines(inOne.Lines, maxLine);

  CheckFramed(policy, stream.substr(0, 200));
  CheckFinish(pieces, stream);
  return 0;
}
