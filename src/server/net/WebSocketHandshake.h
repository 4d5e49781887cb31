// WebSocketHandshake: the HTTP request that opens a WebSocket port's connection, and its answer.
// The request at "/zorva" either upgrades the connection to WebSocket (with the "zorva.v1"
// subprotocol when the client offers it) or is refused with a plain HTTP error; any other path
// gets a file of the web root, or 404. Every answer but the upgrade ends the connection.
//
// Contract of AnswerHttpRequest:
//  * An incomplete request (no blank line yet) answers Incomplete and consumes nothing, until
//    kMaxRequestBytes are buffered: then it is refused with 431.
//  * A malformed request line or header, a missing Host or key: 400; a wrong method: 405; a
//    disallowed Origin: 403; no upgrade asked for, or a version other than 13: 426.
//  * RequestBytes counts the request up to and including its blank line; what follows is the
//    client's first frames.
//
//   const auto answer = AnswerHttpRequest(buffered, policy);
//   if (answer.Kind == THttpAnswer::TKind::Incomplete) return;  // wait for more
//   write(answer.Response);
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

inline constexpr std::string_view kWebSocketPath = "/zorva";
inline constexpr std::string_view kWebSocketProtocol = "zorva.v1";
inline constexpr std::size_t kMaxRequestBytes = 8 * 1024;

struct TWebSocketPolicy {
  std::vector<std::string> Origins;  // empty: any page may connect
  std::string WebRoot{};             // empty: no files are served
  std::size_t MaxFileBytes = 8 * 1024 * 1024;
};

struct THttpAnswer {
  enum class TKind {
    Incomplete,  // wait for more of the request
    Upgrade,     // the connection speaks WebSocket from here
    Served,      // a file, or 404 for a path without one
    Refused,     // a bad or disallowed upgrade request
  };
  TKind Kind = TKind::Incomplete;
  std::string Response;
  std::size_t RequestBytes = 0;
};

THttpAnswer AnswerHttpRequest(std::string_view buffered, const TWebSocketPolicy& policy);

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key.
std::string WebSocketAccept(std::string_view key);

}  // namespace zorva
