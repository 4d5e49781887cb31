// WebSocketLayer: one connection of the WebSocket port, kept in memory between the socket's
// bytes and the core's lines, like TlsLayer (and above it, for wss://). It answers the HTTP
// request first (WebSocketHandshake); once upgraded, each text message the client sends is one
// line for the core, and each line the core sends becomes one text message.
//
// Frames in are read with wslay: masking, fragments, control frames and their limits are the
// library's. The common frame, a whole masked text message with a short header that arrived
// complete, is read here instead and unmasked straight into the lines: wslay would copy it twice
// more. The layer tracks frame boundaries so that it only takes frames that wslay is not inside. A
// message is reassembled up to the line limit; one announced or grown past it, or holding a line
// feed, is refused the way an over-long line is (Receive answers TooLong; the close that follows
// carries 1009). A binary message closes with 1003, text that is not UTF-8 with 1007, a frame that
// breaks the protocol with 1002. Ping and close frames are answered here; the protocol's own "PING"
// is just a line.
//
// Lines out are framed straight into the caller's queue: a server frame is a short header and
// the bytes, so a line costs no copy beyond that one append. Bytes that are not UTF-8 (a native
// client may send Latin-1) go out as their Latin-1 characters, as zorva-chat shows them, since a
// browser fails the whole connection on text that is not UTF-8.
//
//   WebSocketLayer ws(policy, maxLine);
//   std::string lines, out;
//   switch (ws.Receive(bytes, lines, out)) { ... }  // `out`: HTTP answer, pongs, close frames
//   ws.Frame("SEND|alice|CHAT|hi", queue);
//   ws.Finish(queue);  // the close frame, after everything queued before
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "WebSocketHandshake.h"

using wslay_event_context_ptr = struct wslay_event_context*;

namespace zorva {

class WebSocketLayer {
 public:
  enum class TResult {
    Handshaking,  // the request is not complete yet
    Open,         // upgraded (Upgraded() tells since when); lines may come with the 101 answer
    TooLong,      // a message past the line limit or holding a line feed; nothing more is read
    Answered,     // a file (or 404) was answered: flush `out`, then close
    Refused,      // the request was refused with an HTTP error: flush `out`, then close
    Ended,        // the client closed; its close was answered in `out`
    Failed,       // the client broke the protocol; the close frame is in `out`, Error() says why
  };

  WebSocketLayer(const TWebSocketPolicy& policy, std::size_t maxLine);
  ~WebSocketLayer();
  WebSocketLayer(const WebSocketLayer&) = delete;
  WebSocketLayer& operator=(const WebSocketLayer&) = delete;

  // Takes bytes from the socket; appends each complete message, with a line feed, to `lines`,
  // and what the client is owed to `out`.
  TResult Receive(std::string_view bytes, std::string& lines, std::string& out);
  bool Upgraded() const { return FUpgraded; }
  // Why an HTTP request was refused or the connection failed.
  const std::string& Error() const { return FError; }

  // Appends `line` (without its line feed) to `out` as one text message; nothing once closing.
  void Frame(std::string_view line, std::string& out);
  // Appends the close frame, once; 1009 after a refused message, else 1000.
  void Finish(std::string& out);

 private:
  struct TCallbacks;

  TResult Handshake(std::string_view bytes, std::string& lines, std::string& out);
  TResult ReadFrames(std::string_view bytes, std::string& lines, std::string& out);
  bool Reading() const;
  bool TakeWholeTextFrame(std::string_view& bytes);
  void PassToWslay(std::string_view& bytes);
  std::size_t PartOfWslaysFrame(std::string_view bytes);
  std::size_t RestOfWslaysHeader(std::string_view bytes);
  bool Refuses(std::string_view message);
  bool RefusesLength(std::uint8_t opcode, std::uint64_t length);
  void StartFrame(std::uint8_t opcode, bool fin);
  void AddChunk(std::string_view chunk);
  void EndFrame();
  void EndMessage();
  void StopReading(TResult why, std::uint16_t closeCode, std::string reason);
  TResult Outcome();
  void SendOwed(std::string& out);

  const TWebSocketPolicy& FPolicy;
  std::size_t FMaxLine;
  wslay_event_context_ptr FContext = nullptr;
  bool FUpgraded = false;
  std::string FRequest;  // the HTTP request while it is incomplete
  // Between wslay's callbacks and the call that made them.
  std::string_view FInput;
  std::string* FLines = nullptr;
  std::string* FOut = nullptr;
  // Where wslay is in the byte stream: inside a frame's header (its bytes so far), or with this
  // many bytes of a frame's payload still to get; at a frame boundary when both are empty.
  std::string FWslaysHeader;
  std::uint64_t FWslaysFrameLeft = 0;
  std::uint8_t FWslaysOpcode = 0;
  bool FWslaysPayloadStarted = false;  // the frame's length was judged
  std::string FControlPayload;         // a control frame's payload until it is whole
  // The message being received.
  std::string FMessage;
  bool FInMessage = false;  // between a fragmented message's first frame and its final one
  bool FFrameIsData = false;
  bool FFrameIsFinal = false;
  TResult FStopped = TResult::Open;  // TooLong, Ended or Failed once nothing more is read
  std::uint16_t FCloseCode = 1000;   // what Finish sends
  bool FClosing = false;             // a close frame was queued; no more messages go out
  std::string FError;
};

}  // namespace zorva
