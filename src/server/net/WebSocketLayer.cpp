#include "WebSocketLayer.h"

#include <wslay/wslay.h>

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace zorva {

namespace {

constexpr std::uint8_t kTextOpcode = 0x1;
constexpr std::uint8_t kBinaryOpcode = 0x2;
constexpr std::uint8_t kControlBit = 0x8;
constexpr std::uint8_t kFinalText = 0x80 | kTextOpcode;
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the longest prefix of `text` that is UTF-8: no overlong forms, surrogates or
// code points past U+10FFFF. Lines are mostly ASCII, checked eight bytes at a time.
std::size_t Utf8Prefix(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    if (i + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes + i, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (i + length > size || bytes[i + 1] < low || bytes[i + 1] > high) return i;
    for (std::size_t k = 2; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return i;
    }
    i += length;
  }
  return size;
}

std::string Utf8Repaired(std::string_view text) {
  std::string repaired;
  for (;;) {
    const auto valid = Utf8Prefix(text);
    repaired.append(text.substr(0, valid));
    if (valid == text.size()) return repaired;
    repaired.append(kReplacement);
    text.remove_prefix(valid + 1);
  }
}

void AppendTextFrame(std::string_view payload, std::string& out) {
  const auto size = payload.size();
  out.push_back(static_cast<char>(kFinalText));
  if (size < 126) {
    out.push_back(static_cast<char>(size));
  } else if (size <= 0xFFFF) {
    out.push_back(static_cast<char>(126));
    for (int shift = 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
  } else {
    out.push_back(static_cast<char>(127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
  }
  out.append(payload);
}

}  // namespace

// wslay calls back into the layer that made the call; user_data is that layer.
struct WebSocketLayer::TCallbacks {
  static WebSocketLayer& Layer(void* data) { return *static_cast<WebSocketLayer*>(data); }

  static ssize_t Recv(wslay_event_context_ptr context, std::uint8_t* buffer, std::size_t length,
                      int, void* data) {
    auto& input = Layer(data).FInput;
    if (input.empty()) {
      wslay_event_set_error(context, WSLAY_ERR_WOULDBLOCK);
      return -1;
    }
    const auto taken = std::min(length, input.size());
    std::memcpy(buffer, input.data(), taken);
    input.remove_prefix(taken);
    return static_cast<ssize_t>(taken);
  }

  static ssize_t Send(wslay_event_context_ptr, const std::uint8_t* bytes, std::size_t length, int,
                      void* data) {
    Layer(data).FOut->append(reinterpret_cast<const char*>(bytes), length);
    return static_cast<ssize_t>(length);
  }

  static void FrameStart(wslay_event_context_ptr, const wslay_event_on_frame_recv_start_arg* arg,
                         void* data) {
    Layer(data).StartFrame(arg->opcode, arg->fin != 0, arg->payload_length);
  }

  static void FrameChunk(wslay_event_context_ptr, const wslay_event_on_frame_recv_chunk_arg* arg,
                         void* data) {
    Layer(data).AddChunk({reinterpret_cast<const char*>(arg->data), arg->data_length});
  }

  static void FrameEnd(wslay_event_context_ptr, void* data) { Layer(data).EndFrame(); }
};

WebSocketLayer::WebSocketLayer(const TWebSocketPolicy& policy, std::size_t maxLine)
    : FPolicy(policy), FMaxLine(maxLine) {
  const wslay_event_callbacks callbacks{
      &TCallbacks::Recv,       &TCallbacks::Send,     nullptr, &TCallbacks::FrameStart,
      &TCallbacks::FrameChunk, &TCallbacks::FrameEnd, nullptr};
  if (wslay_event_context_server_init(&FContext, &callbacks, this) != 0) throw std::bad_alloc();
  // The layer reassembles messages itself, so that one past the line limit is refused from its
  // announced length, before any of it is kept.
  wslay_event_config_set_no_buffering(FContext, 1);
  wslay_event_config_set_max_recv_msg_length(FContext, std::numeric_limits<std::uint64_t>::max());
}

WebSocketLayer::~WebSocketLayer() {
  wslay_event_context_free(FContext);
}

WebSocketLayer::TResult WebSocketLayer::Receive(std::string_view bytes, std::string& lines,
                                                std::string& out) {
  if (!FUpgraded) return Handshake(bytes, lines, out);
  if (FStopped != TResult::Open) return TResult::Open;  // reported once already
  return ReadFrames(bytes, lines, out);
}

WebSocketLayer::TResult WebSocketLayer::Handshake(std::string_view bytes, std::string& lines,
                                                  std::string& out) {
  FRequest.append(bytes);
  auto answer = AnswerHttpRequest(FRequest, FPolicy);
  out.append(answer.Response);
  switch (answer.Kind) {
    case THttpAnswer::TKind::Incomplete:
      return TResult::Handshaking;
    case THttpAnswer::TKind::Upgrade:
      break;
    case THttpAnswer::TKind::Refused:
      FError = answer.Response.substr(0, answer.Response.find('\r'));
      [[fallthrough]];
    case THttpAnswer::TKind::Served:
      return TResult::Answered;
  }
  FUpgraded = true;
  const std::string early = FRequest.substr(answer.RequestBytes);
  std::string().swap(FRequest);
  return ReadFrames(early, lines, out);
}

WebSocketLayer::TResult WebSocketLayer::ReadFrames(std::string_view bytes, std::string& lines,
                                                   std::string& out) {
  FInput = bytes;
  FLines = &lines;
  FOut = &out;
  if (wslay_event_recv(FContext) != 0 && FStopped == TResult::Open) {
    StopReading(TResult::Failed, WSLAY_CODE_PROTOCOL_ERROR, "WebSocket protocol error");
  }
  SendOwed(out);
  FInput = {};
  FLines = nullptr;
  return Outcome();
}

// wslay stops reading by itself on the client's close and on a frame that breaks the protocol;
// it has queued the close frame that answers either.
WebSocketLayer::TResult WebSocketLayer::Outcome() {
  if (FStopped != TResult::Open || wslay_event_get_read_enabled(FContext)) return FStopped;
  FClosing = true;
  if (wslay_event_get_close_received(FContext)) {
    FStopped = TResult::Ended;
    return FStopped;
  }
  FStopped = TResult::Failed;
  FError = "WebSocket protocol error";
  return FStopped;
}

void WebSocketLayer::StartFrame(std::uint8_t opcode, bool fin, std::uint64_t length) {
  FFrameIsData = (opcode & kControlBit) == 0;
  if (!FFrameIsData || FStopped != TResult::Open) return;
  FFrameIsFinal = fin;
  if (opcode == kBinaryOpcode) {
    return StopReading(TResult::Failed, WSLAY_CODE_UNSUPPORTED_DATA, "WebSocket binary message");
  }
  if (opcode == kTextOpcode) FMessage.clear();
  if (length > FMaxLine - FMessage.size()) {
    StopReading(TResult::TooLong, WSLAY_CODE_MESSAGE_TOO_BIG, "WebSocket message too long");
  }
}

void WebSocketLayer::AddChunk(std::string_view chunk) {
  if (FFrameIsData && FStopped == TResult::Open) FMessage.append(chunk);
}

void WebSocketLayer::EndFrame() {
  if (FFrameIsData && FFrameIsFinal && FStopped == TResult::Open) EndMessage();
}

void WebSocketLayer::EndMessage() {
  if (FMessage.find('\n') != std::string::npos) {
    return StopReading(TResult::TooLong, WSLAY_CODE_MESSAGE_TOO_BIG,
                       "WebSocket message holds a line feed");
  }
  if (Utf8Prefix(FMessage) != FMessage.size()) {
    return StopReading(TResult::Failed, WSLAY_CODE_INVALID_FRAME_PAYLOAD_DATA,
                       "WebSocket text is not UTF-8");
  }
  FLines->append(FMessage).push_back('\n');
  FMessage.clear();
}

// A refused message waits for the core's error line before its close; a failure closes now.
void WebSocketLayer::StopReading(TResult why, std::uint16_t closeCode, std::string reason) {
  FStopped = why;
  FCloseCode = closeCode;
  FError = std::move(reason);
  FInput = {};
  std::string().swap(FMessage);
  wslay_event_shutdown_read(FContext);
  if (why != TResult::Failed) return;
  FClosing = true;
  wslay_event_queue_close(FContext, closeCode, nullptr, 0);
}

void WebSocketLayer::SendOwed(std::string& out) {
  if (!wslay_event_want_write(FContext)) return;
  FOut = &out;
  wslay_event_send(FContext);
  FOut = nullptr;
}

void WebSocketLayer::Frame(std::string_view line, std::string& out) {
  if (FClosing) return;
  if (Utf8Prefix(line) == line.size()) return AppendTextFrame(line, out);
  AppendTextFrame(Utf8Repaired(line), out);
}

void WebSocketLayer::Finish(std::string& out) {
  if (!FUpgraded || FClosing) return;
  FClosing = true;
  wslay_event_queue_close(FContext, FCloseCode, nullptr, 0);
  SendOwed(out);
}

}  // namespace zorva
