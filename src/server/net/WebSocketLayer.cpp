#include "WebSocketLayer.h"

#include <wslay/wslay.h>

#include "WireUtf8.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

namespace zorva {

namespace {

constexpr std::uint8_t kContinuationOpcode = 0x0;
constexpr std::uint8_t kTextOpcode = 0x1;
constexpr std::uint8_t kBinaryOpcode = 0x2;
constexpr std::uint8_t kControlBit = 0x8;
constexpr std::uint8_t kOpcodeBits = 0xF;
constexpr std::uint8_t kFinalText = 0x80 | kTextOpcode;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::size_t kMaskSize = 4;
constexpr std::size_t kLongestHeader = 2 + 8 + kMaskSize;
constexpr std::size_t kLongestControlPayload = 125;
constexpr std::string_view kProtocolError = "WebSocket protocol error";
constexpr std::string_view kNotUtf8 = "WebSocket text is not UTF-8";

struct TFrameHeader {
  std::uint8_t First = 0;  // final bit, reserved bits and opcode
  bool Masked = false;
  std::size_t Size = 0;  // the mask included
  std::uint64_t PayloadLength = 0;
};

// The header at the front of `bytes`; nothing while it is incomplete.
std::optional<TFrameHeader> ReadFrameHeader(std::string_view bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const auto second = static_cast<std::uint8_t>(bytes[1]);
  TFrameHeader header{static_cast<std::uint8_t>(bytes[0]), (second & kMaskBit) != 0, 2,
                      second & 0x7Fu};
  const std::size_t extended = header.PayloadLength == 126   ? 2
                               : header.PayloadLength == 127 ? 8
                                                             : 0;
  header.Size += extended + (header.Masked ? kMaskSize : 0);
  if (bytes.size() < header.Size) return std::nullopt;
  if (extended == 0) return header;
  header.PayloadLength = 0;
  for (std::size_t i = 2; i < 2 + extended; ++i) {
    header.PayloadLength = header.PayloadLength << 8 | static_cast<std::uint8_t>(bytes[i]);
  }
  return header;
}

// A whole masked text message whose length takes its shortest form of at most 16 bits: what a
// browser sends for a chat line. Whatever else arrives is wslay's to judge.
bool IsPlainTextFrame(const TFrameHeader& header) {
  constexpr std::size_t kShortHeader = 2 + kMaskSize;
  constexpr std::size_t kMediumHeader = kShortHeader + 2;
  return header.First == kFinalText && header.Masked &&
         (header.Size == kShortHeader ||
          (header.Size == kMediumHeader && header.PayloadLength >= 126));
}

// Eight bytes at a time: the four-byte mask repeated over a word starts each word in step.
void AppendUnmasked(std::string_view payload, const char* mask, std::string& out) {
  const auto start = out.size();
  out.resize(start + payload.size());
  char* to = out.data() + start;
  std::uint32_t mask32;
  std::memcpy(&mask32, mask, kMaskSize);
  const std::uint64_t mask64 = std::uint64_t{mask32} << 32 | mask32;
  std::size_t i = 0;
  for (; i + 8 <= payload.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, payload.data() + i, 8);
    word ^= mask64;
    std::memcpy(to + i, &word, 8);
  }
  for (; i < payload.size(); ++i) to[i] = static_cast<char>(payload[i] ^ mask[i % kMaskSize]);
}

// One append for the header and one for the bytes: this runs once per line sent.
void AppendTextFrame(std::string_view payload, std::string& out) {
  const auto size = payload.size();
  char header[10] = {static_cast<char>(kFinalText)};
  std::size_t length = 2;
  if (size < 126) {
    header[1] = static_cast<char>(size);
  } else if (size <= 0xFFFF) {
    header[1] = 126;
    length = 4;
  } else {
    header[1] = 127;
    length = 10;
  }
  for (std::size_t i = 2; i < length; ++i) {
    header[i] = static_cast<char>(size >> (8 * (length - 1 - i)));
  }
  out.append(header, length).append(payload);
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
    Layer(data).StartFrame(arg->opcode, arg->fin != 0);
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
      return TResult::Refused;
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
  FLines = &lines;
  FOut = &out;
  while (!bytes.empty() && Reading()) {
    if (!TakeWholeTextFrame(bytes)) PassToWslay(bytes);
  }
  SendOwed(out);
  FLines = nullptr;
  return Outcome();
}

bool WebSocketLayer::Reading() const {
  return FStopped == TResult::Open && wslay_event_get_read_enabled(FContext);
}

// Only at a frame boundary outside a fragmented message, and not once closing, where wslay
// decides what is still read.
bool WebSocketLayer::TakeWholeTextFrame(std::string_view& bytes) {
  if (FClosing || FInMessage || FWslaysFrameLeft > 0 || !FWslaysHeader.empty()) return false;
  const auto header = ReadFrameHeader(bytes);
  if (!header || !IsPlainTextFrame(*header) || header->PayloadLength > FMaxLine ||
      bytes.size() - header->Size < header->PayloadLength) {
    return false;
  }
  const auto payload = bytes.substr(header->Size, header->PayloadLength);
  const auto start = FLines->size();
  AppendUnmasked(payload, payload.data() - kMaskSize, *FLines);
  if (Refuses(std::string_view(*FLines).substr(start))) {
    FLines->resize(start);
  } else {
    FLines->push_back('\n');
  }
  bytes.remove_prefix(header->Size + payload.size());
  return true;
}

void WebSocketLayer::PassToWslay(std::string_view& bytes) {
  const bool controlPayload = FWslaysFrameLeft > 0 && FWslaysFrameLeft <= kLongestControlPayload &&
                              (FWslaysOpcode & kControlBit) != 0;
  FInput = bytes.substr(0, PartOfWslaysFrame(bytes));
  bytes.remove_prefix(FInput.size());
  if (!Reading()) return;  // refused from the frame's length
  // wslay judges a close's reason as far as it has it, and cut elsewhere it judges it
  // otherwise; a control frame is short, so it gets the frame whole.
  if (controlPayload) {
    FControlPayload.append(FInput);
    if (FWslaysFrameLeft > 0) return;
    FInput = FControlPayload;
  }
  if (wslay_event_recv(FContext) != 0 && FStopped == TResult::Open) {
    StopReading(TResult::Failed, WSLAY_CODE_PROTOCOL_ERROR, std::string(kProtocolError));
  }
  FInput = {};
  FControlPayload.clear();
}

// How much of `bytes` wslay reads now: a frame's header alone, then its payload up to the frame's
// end. Between the two, wslay has judged the header and the layer judges the length.
std::size_t WebSocketLayer::PartOfWslaysFrame(std::string_view bytes) {
  if (FWslaysFrameLeft == 0) return RestOfWslaysHeader(bytes);
  if (!FWslaysPayloadStarted) {
    FWslaysPayloadStarted = true;
    if (RefusesLength(FWslaysOpcode, FWslaysFrameLeft)) return 0;
  }
  const auto part = std::min<std::uint64_t>(bytes.size(), FWslaysFrameLeft);
  FWslaysFrameLeft -= part;
  return part;
}

std::size_t WebSocketLayer::RestOfWslaysHeader(std::string_view bytes) {
  const auto seen = FWslaysHeader.size();
  FWslaysHeader.append(bytes.substr(0, kLongestHeader - seen));
  const auto header = ReadFrameHeader(FWslaysHeader);
  if (!header) return bytes.size();  // all of it is header, and not the whole header yet
  FWslaysHeader.clear();
  FWslaysOpcode = header->First & kOpcodeBits;
  FWslaysFrameLeft = header->PayloadLength;
  FWslaysPayloadStarted = false;
  return header->Size - seen;
}

// wslay stops reading by itself on the client's close and on a frame that breaks the protocol,
// text that is not UTF-8 included; it has queued the close frame that answers either, and its
// code says which failure it was.
WebSocketLayer::TResult WebSocketLayer::Outcome() {
  if (FStopped != TResult::Open || wslay_event_get_read_enabled(FContext)) return FStopped;
  FClosing = true;
  if (wslay_event_get_close_received(FContext)) {
    FStopped = TResult::Ended;
    return FStopped;
  }
  FStopped = TResult::Failed;
  const bool notUtf8 =
      wslay_event_get_status_code_sent(FContext) == WSLAY_CODE_INVALID_FRAME_PAYLOAD_DATA;
  FError = notUtf8 ? kNotUtf8 : kProtocolError;
  return FStopped;
}

// Decided after wslay accepted the header and before it holds a byte of the payload: once given
// bytes, wslay goes on reading them after a refusal, and answers what it finds there (text that
// is not UTF-8) with a close of its own, ahead of the core's error line.
bool WebSocketLayer::RefusesLength(std::uint8_t opcode, std::uint64_t length) {
  if (opcode != kTextOpcode && opcode != kContinuationOpcode) return false;
  const auto kept = opcode == kTextOpcode ? 0 : FMessage.size();
  if (length <= FMaxLine - kept) return false;
  StopReading(TResult::TooLong, WSLAY_CODE_MESSAGE_TOO_BIG, "WebSocket message too long");
  return true;
}

void WebSocketLayer::StartFrame(std::uint8_t opcode, bool fin) {
  FFrameIsData = (opcode & kControlBit) == 0;
  if (!FFrameIsData || FStopped != TResult::Open) return;
  FFrameIsFinal = fin;
  FInMessage = !fin;
  if (opcode == kBinaryOpcode) {
    return StopReading(TResult::Failed, WSLAY_CODE_UNSUPPORTED_DATA, "WebSocket binary message");
  }
  if (opcode == kTextOpcode) FMessage.clear();
}

void WebSocketLayer::AddChunk(std::string_view chunk) {
  if (FFrameIsData && FStopped == TResult::Open) FMessage.append(chunk);
}

void WebSocketLayer::EndFrame() {
  if (FFrameIsData && FFrameIsFinal && FStopped == TResult::Open) EndMessage();
}

void WebSocketLayer::EndMessage() {
  if (!Refuses(FMessage)) FLines->append(FMessage).push_back('\n');
  FMessage.clear();
}

// UTF-8 first: wslay checks it as the bytes come, before the message's end shows a line feed,
// and a message must be refused the same way whether wslay or the layer read it.
bool WebSocketLayer::Refuses(std::string_view message) {
  if (!IsUtf8(message)) {
    StopReading(TResult::Failed, WSLAY_CODE_INVALID_FRAME_PAYLOAD_DATA, std::string(kNotUtf8));
    return true;
  }
  if (message.find('\n') != std::string_view::npos) {
    StopReading(TResult::TooLong, WSLAY_CODE_MESSAGE_TOO_BIG,
                "WebSocket message holds a line feed");
    return true;
  }
  return false;
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
  if (IsUtf8(line)) return AppendTextFrame(line, out);
  AppendTextFrame(Utf8OrLatin1(line), out);
}

void WebSocketLayer::Finish(std::string& out) {
  if (!FUpgraded || FClosing) return;
  FClosing = true;
  wslay_event_queue_close(FContext, FCloseCode, nullptr, 0);
  SendOwed(out);
}

}  // namespace zorva
