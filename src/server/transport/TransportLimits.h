// TransportLimits: the limits every transport of the server enforces, with their defaults, and
// the texts a transport reports when one is passed. The programs fill one TTransportLimits from
// the command line and hand it to whichever transport they run.
//
//   TTransportLimits limits;          // the defaults
//   limits.MaxOutput = 1024 * 1024;   // a smaller output cap
//   EpollTransport transport(io, {.BindAddress = "127.0.0.1", .Limits = limits});
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FloodBudget.h"
#include "LineFramer.h"

namespace zorva {

struct TTransportLimits {
  // Longest line a connection may send; the core's framer enforces it.
  std::size_t MaxLine = LineFramer::kDefaultMaxLine;
  std::size_t MaxOutput = 8 * 1024 * 1024;  // unsent bytes per connection
  // Unsent bytes of all connections together; past it the largest queues go first, as slow
  // readers. 0 = no limit (the programs set one from the machine's memory).
  std::size_t MaxOutputTotal = 0;
  std::uint32_t PingIntervalMs = 30000;
  // How long Close(AfterFlush) may take to deliver the queue and see the peer's end. Long
  // enough for a peer on a slow link to read a full queue of ordinary lines; a peer that never
  // reads holds its descriptor no longer than this.
  std::uint32_t CloseTimeoutMs = 5000;
  TFloodLimits Flood;  // input per connection
};

// A TLS connection whose handshake has not finished by then is closed: it holds a descriptor and
// a session while it has proved nothing.
inline constexpr std::uint32_t kTlsHandshakeTimeoutMs = 5000;

// A connection past its output cap is dropped and reported like a socket error with these.
inline constexpr int kSlowReaderCode = ENOBUFS;
inline constexpr std::string_view kSlowReaderReason = "Output queue full (slow reader)";

}  // namespace zorva
