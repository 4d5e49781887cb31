// The client's side of WebSocket framing, as small as a load generator and the tests need it:
// the upgrade request, masked client frames, and server frames cut from a byte stream. The
// server's side is wslay; this one exists so that the two are written independently and each
// checks the other.
//
//   socket.write(UpgradeRequest("127.0.0.1", "/zorva"));          // then read up to "\r\n\r\n"
//   socket.write(ClientFrame(kWsText, "PING|"));
//   while (auto frame = TakeServerFrame(buffer)) use(frame->Payload);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorva {

inline constexpr std::uint8_t kWsContinuation = 0x0;
inline constexpr std::uint8_t kWsText = 0x1;
inline constexpr std::uint8_t kWsBinary = 0x2;
inline constexpr std::uint8_t kWsClose = 0x8;
inline constexpr std::uint8_t kWsPing = 0x9;
inline constexpr std::uint8_t kWsPong = 0xA;
// A fixed key: the server checks its form, and its answer is not checked here.
inline constexpr std::string_view kWsSampleKey = "dGhlIHNhbXBsZSBub25jZQ==";

inline std::string UpgradeRequest(std::string_view host, std::string_view path,
                                  std::string_view extraHeaders =
                                      "Sec-WebSocket-Protocol: "
                                      "zorva.v1\r\n") {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  request.append("\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n");
  request.append("Sec-WebSocket-Key: ").append(kWsSampleKey).append("\r\n");
  request.append(extraHeaders).append("\r\n");
  return request;
}

struct TWsFrameOptions {
  bool Final = true;
  bool Masked = true;  // a server must refuse an unmasked client frame
  // The length the header announces; the payload's own when not set.
  std::optional<std::uint64_t> AnnouncedLength{};
};

inline std::string ClientFrame(std::uint8_t opcode, std::string_view payload,
                               const TWsFrameOptions& options = {}) {
  const std::uint64_t length = options.AnnouncedLength.value_or(payload.size());
  std::string frame;
  frame.push_back(static_cast<char>((options.Final ? 0x80 : 0) | opcode));
  const char maskBit = options.Masked ? char(0x80) : char(0);
  if (length < 126) {
    frame.push_back(static_cast<char>(maskBit | static_cast<char>(length)));
  } else if (length <= 0xFFFF) {
    frame.push_back(static_cast<char>(maskBit | 126));
    for (int shift = 8; shift >= 0; shift -= 8) frame.push_back(static_cast<char>(length >> shift));
  } else {
    frame.push_back(static_cast<char>(maskBit | 127));
    for (int shift = 56; shift >= 0; shift -= 8)
      frame.push_back(static_cast<char>(length >> shift));
  }
  if (!options.Masked) return frame.append(payload);
  const char mask[4] = {0x37, char(0xFA), 0x21, 0x3D};
  frame.append(mask, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) frame.push_back(payload[i] ^ mask[i % 4]);
  return frame;
}

struct TServerFrame {
  std::uint8_t Opcode = 0;
  bool Final = true;
  std::string Payload;
};

// Takes one whole frame from the front of `buffer`; nothing while it is incomplete. Server
// frames are never masked.
inline std::optional<TServerFrame> TakeServerFrame(std::string& buffer) {
  if (buffer.size() < 2) return std::nullopt;
  const auto first = static_cast<std::uint8_t>(buffer[0]);
  std::uint64_t length = static_cast<std::uint8_t>(buffer[1]) & 0x7F;
  std::size_t header = 2;
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (buffer.size() < header + extended) return std::nullopt;
  if (extended > 0) length = 0;
  for (std::size_t i = 0; i < extended; ++i) {
    length = (length << 8) | static_cast<std::uint8_t>(buffer[header + i]);
  }
  header += extended;
  if (buffer.size() - header < length) return std::nullopt;
  TServerFrame frame{static_cast<std::uint8_t>(first & 0x0F), (first & 0x80) != 0,
                     buffer.substr(header, length)};
  buffer.erase(0, header + length);
  return frame;
}

// The status code a close frame's payload carries; 1005 (none) for an empty one.
inline int CloseCode(std::string_view payload) {
  if (payload.size() < 2) return 1005;
  return static_cast<std::uint8_t>(payload[0]) << 8 | static_cast<std::uint8_t>(payload[1]);
}

}  // namespace zorva
