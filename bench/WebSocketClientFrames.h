// The client's side of WebSocket framing, as small as a load generator and the tests need it:
// the upgrade request, masked client frames, and server frames cut from a byte stream. The
// server's side is wslay; this one exists so that the two are written independently and each
// checks the other.
//
//   socket.write(UpgradeRequest("127.0.0.1", "/zorva"));          // then read up to "\r\n\r\n"
//   socket.write(ClientFrame(kWsText, "PING|"));
//   while (auto frame = TakeServerFrame(buffer)) use(frame->Payload);
#pragma once

#include <array>
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
  std::array<char, 4> Mask{0x37, char(0xFA), 0x21, 0x3D};
};

inline void AppendClientFrame(std::string& out, std::uint8_t opcode, std::string_view payload,
                              const TWsFrameOptions& options = {}) {
  const std::uint64_t length = options.AnnouncedLength.value_or(payload.size());
  out.push_back(static_cast<char>((options.Final ? 0x80 : 0) | opcode));
  // The length in 7 bits, or 126 or 127 and then in 2 or 8 bytes, most significant first.
  const int lengthBytes = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
  const std::uint64_t shortLength = lengthBytes == 0 ? length : lengthBytes == 2 ? 126 : 127;
  out.push_back(static_cast<char>((options.Masked ? 0x80 : 0) | shortLength));
  for (int i = lengthBytes - 1; i >= 0; --i) out.push_back(static_cast<char>(length >> (8 * i)));
  if (!options.Masked) {
    out.append(payload);
    return;
  }
  const auto& mask = options.Mask;
  out.append(mask.data(), mask.size());
  const auto start = out.size();
  out.append(payload);
  for (std::size_t i = 0; i < payload.size(); ++i) out[start + i] ^= mask[i % mask.size()];
}

inline std::string ClientFrame(std::uint8_t opcode, std::string_view payload,
                               const TWsFrameOptions& options = {}) {
  std::string frame;
  AppendClientFrame(frame, opcode, payload, options);
  return frame;
}

// A server frame, its payload a view into the bytes read (TServerFrameView) or its own copy.
template <class TPayload>
struct TServerFrameOf {
  std::uint8_t Opcode = 0;
  bool Final = true;
  TPayload Payload;
};
using TServerFrameView = TServerFrameOf<std::string_view>;
using TServerFrame = TServerFrameOf<std::string>;

// The whole frame at the front of `bytes`, which then starts after it; nothing, and `bytes`
// untouched, while the frame is incomplete. Server frames are never masked.
inline std::optional<TServerFrameView> NextServerFrame(std::string_view& bytes) {
  if (bytes.size() < 2) return std::nullopt;
  const auto first = static_cast<std::uint8_t>(bytes[0]);
  std::uint64_t length = static_cast<std::uint8_t>(bytes[1]) & 0x7F;
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  const std::size_t header = 2 + extended;
  if (bytes.size() < header) return std::nullopt;
  if (extended > 0) length = 0;
  for (std::size_t i = 2; i < header; ++i)
    length = (length << 8) | static_cast<std::uint8_t>(bytes[i]);
  if (bytes.size() - header < length) return std::nullopt;
  TServerFrameView frame{static_cast<std::uint8_t>(first & 0x0F), (first & 0x80) != 0,
                         bytes.substr(header, length)};
  bytes.remove_prefix(header + length);
  return frame;
}

// NextServerFrame for a buffer that keeps what is left.
inline std::optional<TServerFrame> TakeServerFrame(std::string& buffer) {
  std::string_view rest = buffer;
  const auto frame = NextServerFrame(rest);
  if (!frame) return std::nullopt;
  TServerFrame taken{frame->Opcode, frame->Final, std::string(frame->Payload)};
  buffer.erase(0, buffer.size() - rest.size());
  return taken;
}

// The status code a close frame's payload carries; 1005 (none) for an empty one.
inline int CloseCode(std::string_view payload) {
  if (payload.size() < 2) return 1005;
  return static_cast<std::uint8_t>(payload[0]) << 8 | static_cast<std::uint8_t>(payload[1]);
}

}  // namespace zorva
