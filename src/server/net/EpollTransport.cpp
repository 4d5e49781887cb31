#include "EpollTransport.h"

#include "Endpoint.h"
#include "TlsLayer.h"
#include "WebSocketLayer.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace zorva {

namespace {

constexpr std::size_t kReadBufferSize = 64 * 1024;
// Queues keep this much capacity between bursts; more goes back to the spare buffers once a
// connection has nothing left to write.
constexpr std::size_t kIdleCapacity = 512;
// Spare output buffers kept for the next busy connection: enough for one loop turn's writers
// under load, so that a relay does not pay for growing a queue from nothing on every turn.
constexpr std::size_t kMaxSpareBuffers = 128;
constexpr std::size_t kMaxSpareCapacity = 64 * 1024;  // at most 8 MiB kept in all
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
// A throttled connection is woken no more often than this, so that it costs the loop a few
// dozen turns a second however small its budget.
constexpr auto kMinThrottlePause = std::chrono::milliseconds(20);

std::error_code LastError() {
  return {errno, std::system_category()};
}

bool IsWouldBlock(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Out of descriptors or memory: accepting again at once would spin.
bool IsResourceShortage(const std::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == std::errc::too_many_files_open_in_system;
}

}  // namespace

struct EpollTransport::TConnection {
  // What each state allows:
  //                reads            writes queued output   takes sends   reports to the core
  //   Upgrading    to its request   yes                    no            no
  //   Open         handed on        yes                    yes           yes
  //   Closing      discarded        yes                    no            no
  //   Overflowed   ignored          no                     no            its drop, once
  //   Closed       ignored          no                     no            no
  enum class TState {
    Upgrading,   // a WebSocket port's connection before its upgrade; the core does not know it
    Open,        // in service
    Closing,     // Close(AfterFlush): flushing, then discarding reads until the peer's end
    Overflowed,  // past the output cap; its drop is being reported
    Closed,      // gone from the map; pending handlers only let go of it
  };

  // Input held back by the flood budget, and the timer that hands it on.
  struct TThrottle {
    explicit TThrottle(asio::io_context& io) : Timer(io) {}
    asio::steady_timer Timer;
    std::string Held;
  };

  TConnection(ConnectionId id, int fd, const TFloodLimits& limits)
      : Id(id), Fd(fd), Budget(limits, std::chrono::steady_clock::now()) {}
  ~TConnection() { CloseDescriptor(); }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  bool IsUpgrading() const { return State == TState::Upgrading; }
  bool IsOpen() const { return State == TState::Open; }
  bool IsClosing() const { return State == TState::Closing; }
  bool IsOverflowed() const { return State == TState::Overflowed; }
  bool IsClosed() const { return State == TState::Closed; }
  // Its socket is still read: handed on while open, discarded while closing.
  bool CanRead() const { return IsOpen() || IsClosing() || IsUpgrading(); }
  bool CanWrite() const { return CanRead(); }

  // Bytes for the socket, and those and the plain text a TLS layer still holds.
  std::size_t QueuedForSocket() const { return Queue.size() - Sent; }
  std::size_t Unsent() const { return QueuedForSocket() + (Tls ? Tls->Outgoing().size() : 0); }
  // Where Send puts a line: straight into the queue, or to be sealed first.
  std::string& Pending() { return Tls ? Tls->Outgoing() : Queue; }
  bool WaitsForWritable() const { return (Watched & ReadinessSet::kWrite) != 0; }
  void CloseDescriptor() {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
  }

  ConnectionId Id;
  int Fd;
  TState State = TState::Open;
  unsigned Watched = ReadinessSet::kNone;
  std::string Queue;        // what is still to be written, from Sent on
  std::size_t Sent = 0;     // written part of Queue, while the socket is full
  std::size_t Counted = 0;  // its share of the transport's unsent total
  bool Dirty = false;       // waits in FDirty for this turn's flush
  bool PeerDone = false;    // the peer's end of stream was read while closing
  std::unique_ptr<asio::steady_timer> CloseTimer;  // only while closing
  FloodBudget Budget;
  std::unique_ptr<TThrottle> Throttle;                 // only while input is held back
  std::unique_ptr<TlsLayer> Tls;                       // only on the TLS listener's connections
  std::unique_ptr<asio::steady_timer> HandshakeTimer;  // only until the handshake is done
  std::unique_ptr<WebSocketLayer> Ws;  // only on the WebSocket listeners' connections
  // The addresses the core is told at the upgrade; only until then.
  std::unique_ptr<std::pair<std::string, std::string>> Peer;
};

EpollTransport::EpollTransport(asio::io_context& io, TOptions options)
    : FIo(io),
      FOptions(std::move(options)),
      FPlain(io, false, false),
      FSecure(io, true, false),
      FWeb(io, false, true),
      FWebSecure(io, true, true),
      FPingTimer(io),
      FReadiness(io),
      FBatch(FOptions.Sends),
      FReadBuffer(kReadBufferSize),
      FStopTimer(io) {
  FReadiness.Start([this](const ReadinessSet::TEvent& event) { OnReady(event); },
                   [this] { FlushDirty(); });
}

EpollTransport::~EpollTransport() {
  StopPingTimer();
  StopListening();
  CloseAll();
}

template <class Call>
void EpollTransport::Deliver(Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    if (FReportException) FReportException(e);
  } catch (...) {
    if (FReportException) FReportException(std::runtime_error("unknown exception"));
  }
}

bool EpollTransport::Listen(std::uint16_t port, std::string& error) {
  if (FEvents == nullptr) {
    error = "No event handler is set";
    return false;
  }
  if (FPlain.Acceptor.is_open() || FSecure.Acceptor.is_open()) {
    error = "Already listening on " + ListenAddress();
    return false;
  }
  std::error_code ec;
  const auto address = asio::ip::make_address(FOptions.BindAddress, ec);
  if (ec) {
    error = "Invalid bind address \"" + FOptions.BindAddress + "\": " + ec.message();
    return false;
  }
  if (!OpenListeners(address, port, error)) {
    StopListening();
    return false;
  }
  for (TListener* listener : {&FPlain, &FSecure, &FWeb, &FWebSecure}) {
    if (listener->Acceptor.is_open()) Accept(*listener);
  }
  return true;
}

bool EpollTransport::OpenListeners(const asio::ip::address& address, std::uint16_t port,
                                   std::string& error) {
  const auto& tls = FOptions.Tls;
  if ((!tls || tls->PlainToo) && !Open(FPlain, address, port, error)) return false;
  if (tls && !Open(FSecure, address, tls->Port, error)) return false;
  const auto& web = FOptions.WebSocket;
  if (!web) return true;
  if (web->Port && !Open(FWeb, address, *web->Port, error)) return false;
  return !web->SecurePort || Open(FWebSecure, address, *web->SecurePort, error);
}

bool EpollTransport::Open(TListener& listener, const asio::ip::address& address, std::uint16_t port,
                          std::string& error) {
  std::error_code ec;
  const asio::ip::tcp::endpoint endpoint(address, port);
  auto& acceptor = listener.Acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) return true;
  std::error_code ignored;
  acceptor.close(ignored);
  error = "Cannot listen on " + FormatEndpoint(FOptions.BindAddress, port) + ": " + ec.message();
  return false;
}

void EpollTransport::StopListening() {
  ++FListenGeneration;
  for (TListener* listener : {&FPlain, &FSecure, &FWeb, &FWebSecure}) {
    std::error_code ignored;
    listener->Acceptor.close(ignored);
    listener->Retry.cancel();
  }
}

namespace {

std::uint16_t PortOf(const asio::ip::tcp::acceptor& acceptor) {
  std::error_code ec;
  const auto endpoint = acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

std::string AddressOf(const asio::ip::tcp::acceptor& acceptor) {
  std::error_code ec;
  const auto endpoint = acceptor.local_endpoint(ec);
  if (ec) return {};
  return FormatEndpoint(endpoint.address().to_string(), endpoint.port());
}

}  // namespace

std::uint16_t EpollTransport::ListenPort() const {
  return PortOf(FPlain.Acceptor.is_open() ? FPlain.Acceptor : FSecure.Acceptor);
}

std::string EpollTransport::ListenAddress() const {
  return AddressOf(FPlain.Acceptor.is_open() ? FPlain.Acceptor : FSecure.Acceptor);
}

std::uint16_t EpollTransport::TlsListenPort() const {
  return PortOf(FSecure.Acceptor);
}

std::string EpollTransport::TlsListenAddress() const {
  return AddressOf(FSecure.Acceptor);
}

std::string EpollTransport::WebSocketListenAddress() const {
  return AddressOf(FWeb.Acceptor);
}

std::string EpollTransport::SecureWebSocketListenAddress() const {
  return AddressOf(FWebSecure.Acceptor);
}

void EpollTransport::SetTlsContext(std::shared_ptr<TlsContext> context) {
  if (FOptions.WebSocket && FOptions.WebSocket->SecurePort) {
    FOptions.WebSocket->SecureContext = context;
  }
  if (FOptions.Tls) FOptions.Tls->Context = std::move(context);
}

bool EpollTransport::IsEncrypted(ConnectionId id) const {
  const auto found = FConnections.find(id);
  return found != FConnections.end() && found->second->Tls != nullptr;
}

void EpollTransport::Accept(TListener& listener) {
  listener.Acceptor.async_accept([this, &listener, generation = FListenGeneration](
                                     const std::error_code& ec, asio::ip::tcp::socket socket) {
    // A connection accepted just before StopListening belongs to no listener any more.
    if (generation != FListenGeneration) return;
    OnAccepted(listener, ec, std::move(socket));
  });
}

void EpollTransport::OnAccepted(TListener& listener, const std::error_code& ec,
                                asio::ip::tcp::socket socket) {
  if (ec == asio::error::operation_aborted) return;
  if (ec) {
    if (!IsResourceShortage(ec)) return Accept(listener);
    if (FReportException) FReportException(std::system_error(ec, "Accepting a connection"));
    listener.Retry.expires_after(kAcceptRetryDelay);
    listener.Retry.async_wait(
        [this, &listener, generation = FListenGeneration](const std::error_code& waitEc) {
          if (!waitEc && generation == FListenGeneration) Accept(listener);
        });
    return;
  }
  Accept(listener);

  std::error_code optionEc;
  socket.set_option(asio::ip::tcp::no_delay(true), optionEc);
  socket.non_blocking(true, optionEc);
  const auto remote = socket.remote_endpoint(optionEc);
  if (optionEc) return;  // the peer left before we looked; nothing to report
  const auto local = socket.local_endpoint(optionEc);

  // From here the readiness set watches the descriptor, not Asio's reactor.
  const auto connection =
      std::make_shared<TConnection>(++FLastId, socket.release(optionEc), FOptions.Limits.Flood);
  if (optionEc) return;
  const auto& web = FOptions.WebSocket;
  if (listener.Tls &&
      !StartTls(connection, listener.WebSocket ? web->SecureContext : FOptions.Tls->Context)) {
    return;
  }
  if (listener.WebSocket &&
      !StartWebSocket(connection, remote.address().to_string(), local.address().to_string())) {
    return;
  }
  if (listener.Tls || listener.WebSocket) {
    ArmHandshakeTimer(connection, listener.WebSocket ? web->HandshakeTimeoutMs
                                                     : FOptions.Tls->HandshakeTimeoutMs);
  }
  Watch(connection, ReadinessSet::kRead);
  if (connection->Watched == ReadinessSet::kNone)
    return Remove(connection);  // its timer, its count
  FConnections.emplace(connection->Id, connection);
  if (connection->IsUpgrading()) return;
  Deliver([&] {
    FEvents->OnClientConnect(connection->Id, remote.address().to_string(),
                             local.address().to_string());
  });
}

bool EpollTransport::StartTls(const TConnectionPtr& connection,
                              const std::shared_ptr<TlsContext>& context) {
  try {
    connection->Tls = std::make_unique<TlsLayer>(context->Native());
  } catch (const std::exception& e) {
    if (FReportException) FReportException(e);
    return false;
  }
  return true;
}

bool EpollTransport::StartWebSocket(const TConnectionPtr& connection, std::string remote,
                                    std::string local) {
  const auto limit = FOptions.WebSocket->MaxUpgradingPerAddress;
  auto& upgrading = FUpgradingByAddress[remote];
  if (limit > 0 && upgrading >= limit) return false;
  ++upgrading;
  connection->State = TConnection::TState::Upgrading;
  connection->Ws =
      std::make_unique<WebSocketLayer>(FOptions.WebSocket->Policy, FOptions.Limits.MaxLine);
  connection->Peer =
      std::make_unique<std::pair<std::string, std::string>>(std::move(remote), std::move(local));
  return true;
}

void EpollTransport::ForgetUpgrading(const std::string& remote) {
  const auto found = FUpgradingByAddress.find(remote);
  if (found != FUpgradingByAddress.end() && --found->second == 0) FUpgradingByAddress.erase(found);
}

namespace {

bool TlsPending(const TlsLayer* tls) {
  return tls != nullptr && !tls->HandshakeDone();
}

}  // namespace

// One timer for whatever has to finish before the connection serves lines: the TLS handshake,
// the WebSocket upgrade, or both.
void EpollTransport::ArmHandshakeTimer(const TConnectionPtr& connection, std::uint32_t timeoutMs) {
  connection->HandshakeTimer =
      std::make_unique<asio::steady_timer>(FIo, std::chrono::milliseconds(timeoutMs));
  connection->HandshakeTimer->async_wait([this, connection](const std::error_code& ec) {
    if (ec || connection->IsClosed()) return;
    if (TlsPending(connection->Tls.get())) {
      return FailHandshake(connection, ETIMEDOUT, "TLS handshake not finished in time");
    }
    if (connection->IsUpgrading()) {
      FailHandshake(connection, ETIMEDOUT, "WebSocket handshake not finished in time");
    }
  });
}

void EpollTransport::OnReady(const ReadinessSet::TEvent& event) {
  const auto found = FConnections.find(event.Key);
  if (found == FConnections.end()) return;  // removed earlier in this batch
  // A copy: the connection may leave the map while it is served.
  const auto connection = found->second;
  if (event.Writable && connection->WaitsForWritable()) WriteQueued(connection);
  if (event.Readable && (connection->Watched & ReadinessSet::kRead) && connection->CanRead()) {
    OnReadable(connection);
  }
}

// Leaves the connection out of the set (watching nothing) when the set refuses it: a descriptor
// that cannot be watched is never served, and Remove then closes it.
void EpollTransport::Watch(const TConnectionPtr& connection, unsigned wanted) {
  std::error_code ec;
  FReadiness.Watch(connection->Fd, connection->Id, connection->Watched, wanted, ec);
  connection->Watched = ec ? ReadinessSet::kNone : wanted;
  if (ec && FReportException) FReportException(std::system_error(ec, "Watching a connection"));
}

void EpollTransport::WatchReads(const TConnectionPtr& connection, bool on) {
  const auto writes = connection->Watched & ReadinessSet::kWrite;
  Watch(connection, on ? (writes | ReadinessSet::kRead) : writes);
}

void EpollTransport::OnReadable(const TConnectionPtr& connection) {
  if (connection->IsClosing()) return DiscardUntilEnd(connection);

  // Fairness: one read per ready connection per turn, however much it still has waiting. The
  // set is level-triggered, so what is left reports the connection ready again next turn, after
  // every other ready connection has had its read; a flooding peer cannot starve the rest.
  const auto count = ::recv(connection->Fd, FReadBuffer.data(), FReadBuffer.size(), 0);
  if (count < 0) {
    if (IsWouldBlock(errno)) return;
    return Fail(connection, LastError());
  }
  if (count == 0) return EndByPeer(connection);

  std::string_view input(FReadBuffer.data(), static_cast<std::size_t>(count));
  if (connection->Tls) {
    const auto plain = Decrypt(connection, input);
    if (!plain) return;
    input = *plain;
  }
  if (connection->Ws) {
    const auto lines = Unframe(connection, input);
    if (!lines) return;
    input = *lines;
  }
  const auto handedOn = HandOn(connection, input);
  if (connection->IsOpen() && handedOn < input.size()) {
    Hold(connection, input.substr(handedOn));
  }
}

std::optional<std::string_view> EpollTransport::Decrypt(const TConnectionPtr& connection,
                                                        std::string_view encrypted) {
  auto& tls = *connection->Tls;
  const bool wasDone = tls.HandshakeDone();
  FPlainBuffer.clear();
  const auto result = tls.Receive(encrypted, FPlainBuffer);
  if (result == TlsLayer::TResult::Failed) {
    if (!wasDone) FailHandshake(connection, EPROTO, "TLS handshake failed: " + tls.Error());
    if (wasDone) Drop(connection, EPROTO, "TLS failed: " + tls.Error());
    return std::nullopt;
  }
  if (!wasDone && tls.HandshakeDone() && !connection->IsUpgrading()) {
    connection->HandshakeTimer.reset();
  }
  if (tls.HasOutput()) ScheduleFlush(connection);
  if (result == TlsLayer::TResult::Ended) {
    // The last lines, sent just before the end; a WebSocket client ends with a close frame.
    if (!connection->Ws) HandOn(connection, FPlainBuffer);
    if (connection->IsOpen() || connection->IsUpgrading()) EndByPeer(connection);
    return std::nullopt;
  }
  return FPlainBuffer;
}

std::optional<std::string_view> EpollTransport::Unframe(const TConnectionPtr& connection,
                                                        std::string_view bytes) {
  auto& ws = *connection->Ws;
  auto& out = connection->Pending();
  const auto owedBefore = out.size();
  FLineBuffer.clear();
  const auto result = ws.Receive(bytes, FLineBuffer, out);
  if (out.size() != owedBefore) ScheduleFlush(connection);
  if (connection->IsUpgrading() && ws.Upgraded()) Announce(connection);
  switch (result) {
    case WebSocketLayer::TResult::Handshaking:
      return std::nullopt;
    case WebSocketLayer::TResult::Open:
      if (!connection->IsOpen()) return std::nullopt;
      return FLineBuffer;
    case WebSocketLayer::TResult::TooLong:
      RefuseLongMessage(connection, FLineBuffer);
      return std::nullopt;
    case WebSocketLayer::TResult::Answered:
      CloseAfterFlush(connection);
      return std::nullopt;
    case WebSocketLayer::TResult::Refused:
      CloseAfterFlush(connection);
      ReportHandshakeFailure(connection, EPROTO, "WebSocket upgrade refused: " + ws.Error());
      return std::nullopt;
    case WebSocketLayer::TResult::Ended:
      if (connection->IsOpen()) HandOn(connection, FLineBuffer);
      SendLastWords(connection);
      EndByPeer(connection);
      return std::nullopt;
    case WebSocketLayer::TResult::Failed:
      if (connection->IsOpen()) HandOn(connection, FLineBuffer);
      SendLastWords(connection);
      Drop(connection, EPROTO, ws.Error());
      return std::nullopt;
  }
  return std::nullopt;
}

void EpollTransport::Announce(const TConnectionPtr& connection) {
  connection->State = TConnection::TState::Open;
  connection->HandshakeTimer.reset();
  const auto peer = std::move(connection->Peer);
  ForgetUpgrading(peer->first);
  Deliver([&] { FEvents->OnClientConnect(connection->Id, peer->first, peer->second); });
}

// The core alone decides what an over-long line costs (its error line, its log, the close), and
// an unfinished line past the limit is how it hears of one. The lines before the refused
// message come first, past the flood budget: the connection is ending anyway.
void EpollTransport::RefuseLongMessage(const TConnectionPtr& connection,
                                       std::string_view linesBefore) {
  if (!connection->IsOpen()) return;
  std::string input(linesBefore);
  input.append(FOptions.Limits.MaxLine + 1, ' ');
  Deliver([&] { FEvents->OnClientRead(connection->Id, input); });
}

// A connection that ends at once still owes its peer the close frame, which is a few bytes
// after what is queued: one try, without waiting; a peer that does not read loses only that.
void EpollTransport::SendLastWords(const TConnectionPtr& connection) {
  if (!connection->CanWrite()) return;
  if (connection->Tls) Seal(*connection);
  if (connection->QueuedForSocket() == 0) return;
  const auto sent = ::send(connection->Fd, connection->Queue.data() + connection->Sent,
                           connection->QueuedForSocket(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) connection->Sent += static_cast<std::size_t>(sent);
}

// The core hears of the end only of a connection it was told about.
void EpollTransport::EndByPeer(const TConnectionPtr& connection) {
  const bool told = connection->IsOpen();
  Remove(connection);
  if (told) Deliver([&] { FEvents->OnClientDisconnect(connection->Id); });
}

void EpollTransport::FailHandshake(const TConnectionPtr& connection, int code,
                                   const std::string& reason) {
  Remove(connection);
  ReportHandshakeFailure(connection, code, reason);
}

// Counted, and told to the core as the connection's error, which no line answers: a peer that
// has not finished its handshake is sent none. A browser's connection is told so too, though the
// core never heard of it: that is how a refused or unfinished upgrade reaches the log, once.
void EpollTransport::ReportHandshakeFailure(const TConnectionPtr& connection, int code,
                                            const std::string& reason) {
  if (TlsPending(connection->Tls.get())) {
    ++FTlsHandshakeFailures;
  } else if (connection->Ws) {
    ++FWebSocketHandshakeFailures;
  }
  // The core never heard of a browser's connection before its upgrade, so the reason names it.
  const auto text = connection->Peer ? reason + " (from " + connection->Peer->first + ")" : reason;
  Deliver([&] { FEvents->OnClientError(connection->Id, code, text); });
}

// Hands on to the core what the connection's flood budget allows; returns how much that was.
std::size_t EpollTransport::HandOn(const TConnectionPtr& connection, std::string_view input) {
  const auto allowed =
      FOptions.Limits.Flood.Any()
          ? connection->Budget.Take(FOptions.Limits.Flood, input, std::chrono::steady_clock::now())
          : input.size();
  if (allowed > 0)
    Deliver([&] { FEvents->OnClientRead(connection->Id, input.substr(0, allowed)); });
  return allowed;
}

// Keeps what the budget did not allow and issues no read until it has all been handed on, so
// the socket's buffers fill and the peer's own sends slow down.
void EpollTransport::Hold(const TConnectionPtr& connection, std::string_view rest) {
  if (!connection->Throttle) {
    connection->Throttle = std::make_unique<TConnection::TThrottle>(FIo);
    WatchReads(connection, false);
  }
  auto& throttle = *connection->Throttle;
  throttle.Held.assign(rest);
  throttle.Timer.expires_after(std::max<std::chrono::steady_clock::duration>(
      connection->Budget.TimeToRefill(FOptions.Limits.Flood), kMinThrottlePause));
  throttle.Timer.async_wait([this, connection](const std::error_code& ec) {
    if (!ec) OnRefilled(connection);
  });
}

void EpollTransport::OnRefilled(const TConnectionPtr& connection) {
  if (connection->IsClosed()) return;
  std::string held = std::move(connection->Throttle->Held);
  const auto handedOn = connection->IsOpen() ? HandOn(connection, held) : held.size();
  if (connection->IsOpen() && handedOn < held.size()) {
    return Hold(connection, std::string_view(held).substr(handedOn));
  }
  connection->Throttle.reset();
  if (connection->CanRead()) WatchReads(connection, true);
}

// Unread input makes close() send a reset, which can destroy the last lines before the peer
// reads them; so a closing connection keeps reading, and dropping, until the peer ends too.
void EpollTransport::DiscardUntilEnd(const TConnectionPtr& connection) {
  const auto count = ::recv(connection->Fd, FReadBuffer.data(), FReadBuffer.size(), 0);
  if (count > 0 || (count < 0 && IsWouldBlock(errno))) return;
  if (count < 0) return Remove(connection);
  connection->PeerDone = true;
  WatchReads(connection, false);  // nothing more will come
  if (connection->QueuedForSocket() == 0 && !connection->Dirty) Remove(connection);
}

void EpollTransport::Send(ConnectionId id, std::string_view line) {
  // Called once per delivered line: a reference to the map's pointer, not a counted copy.
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return;
  const auto& connection = found->second;
  if (!connection->IsOpen()) return;
  if (connection->Unsent() + line.size() + 1 > FOptions.Limits.MaxOutput) {
    return Overflow(connection);
  }
  auto& pending = connection->Pending();
  if (pending.empty()) TakeSpare(pending);
  if (connection->Ws) {
    connection->Ws->Frame(line, pending);
  } else {
    pending.append(line);
    pending.push_back('\n');
  }
  Recount(*connection);
  ScheduleFlush(connection);
  const auto totalCap = FOptions.Limits.MaxOutputTotal;
  if (totalCap > 0 && FUnsentTotal > totalCap) DropLargestQueues();
}

void EpollTransport::Overflow(const TConnectionPtr& connection) {
  connection->State = TConnection::TState::Overflowed;
  Recount(*connection);
  Watch(connection, ReadinessSet::kNone);
  // Reported from a fresh turn: Send must not re-enter the core.
  asio::post(FIo, [this, connection] { ReportSlowReader(connection); });
}

void EpollTransport::Recount(TConnection& connection) {
  const auto unsent = connection.CanWrite() ? connection.Unsent() : 0;
  FUnsentTotal = FUnsentTotal - connection.Counted + unsent;
  connection.Counted = unsent;
}

// Past the total cap the memory goes to whoever reads least: the largest queues are dropped
// until the rest fits. A scan per drop; it runs only past the cap.
void EpollTransport::DropLargestQueues() {
  while (FUnsentTotal > FOptions.Limits.MaxOutputTotal) {
    TConnection* largest = nullptr;
    for (const auto& [id, connection] : FConnections) {
      if (connection->IsOpen() && (!largest || connection->Unsent() > largest->Unsent())) {
        largest = connection.get();
      }
    }
    if (!largest || largest->Unsent() == 0) return;
    Overflow(FConnections.at(largest->Id));
  }
}

// A flush is also posted while the readiness set serves a batch, which flushes at its end: one
// post a turn costs little, and a handler that throws cannot strand the dirty list.
void EpollTransport::ScheduleFlush(const TConnectionPtr& connection) {
  if (connection->WaitsForWritable() || connection->Dirty) return;
  connection->Dirty = true;
  FDirty.push_back(connection);
  if (FFlushPosted) return;
  FFlushPosted = true;
  asio::post(FIo, [this] { FlushDirty(); });
}

void EpollTransport::FlushDirty() {
  FFlushPosted = false;
  // Both lists keep their capacity from turn to turn.
  FFlushing.swap(FDirty);
  for (const auto& connection : FFlushing) {
    connection->Dirty = false;
    if (FBatch.Full()) WriteBatch();
    AddToBatch(connection);
  }
  WriteBatch();
  FFlushing.clear();
}

// Records go into a buffer that has been written before: a fresh one would cost a page fault per
// page. The sealed text's buffer goes back to the spares at once, the queue's once written.
void EpollTransport::Seal(TConnection& connection) {
  if (connection.Queue.empty()) TakeSpare(connection.Queue);
  connection.Tls->Seal(connection.Queue);
  if (connection.Tls->Outgoing().empty()) GiveBackIfLarge(connection.Tls->Outgoing());
}

void EpollTransport::TakeSpare(std::string& queue) {
  if (queue.capacity() > kIdleCapacity || FSpareBuffers.empty()) return;
  queue = std::move(FSpareBuffers.back());
  FSpareBuffers.pop_back();
}

void EpollTransport::GiveBackIfLarge(std::string& buffer) {
  if (buffer.capacity() <= kIdleCapacity) return;
  if (FSpareBuffers.size() < kMaxSpareBuffers && buffer.capacity() <= kMaxSpareCapacity) {
    buffer.clear();
    FSpareBuffers.push_back(std::move(buffer));
  }
  std::string().swap(buffer);
}

// Writes at once; only what a full socket does not take waits for writability.
void EpollTransport::WriteQueued(const TConnectionPtr& connection) {
  AddToBatch(connection);
  WriteBatch();
}

// Nothing may touch a queue between here and the end of WriteBatch: the batch points into it.
void EpollTransport::AddToBatch(const TConnectionPtr& connection) {
  if (!connection->CanWrite()) return;
  if (connection->Tls) {
    Seal(*connection);
    Recount(*connection);
  }
  const bool sends = connection->QueuedForSocket() > 0;
  FBatched.push_back({connection, sends});
  if (!sends) return;
  ++FWriteCount;
  FBatch.Add(connection->Fd, connection->Queue.data() + connection->Sent,
             connection->QueuedForSocket());
}

// Results come back for the connections that had something to send, in the order added. Taking
// them starts no write: a failure reaches the core, which may send or close, but sends only
// schedule the next flush.
void EpollTransport::WriteBatch() {
  const auto results = FBatch.Run();
  auto result = results.begin();
  for (const auto& [connection, sent] : FBatched) OnWritten(connection, sent ? *result++ : 0);
  FBatched.clear();
}

// A connection may have closed, or gained output, since its write was made.
void EpollTransport::OnWritten(const TConnectionPtr& connection, ssize_t result) {
  if (!connection->CanWrite()) return;
  if (result < 0 && !IsWouldBlock(static_cast<int>(-result))) {
    return Fail(connection, {static_cast<int>(-result), std::system_category()});
  }
  auto& queue = connection->Queue;
  if (result > 0) connection->Sent += static_cast<std::size_t>(result);
  Recount(*connection);
  if (connection->Sent < queue.size()) {
    // What is written goes once it is at least half the buffer, so a slow reader's queue
    // moves each byte a bounded number of times.
    if (connection->Sent >= queue.size() / 2) {
      queue.erase(0, connection->Sent);
      connection->Sent = 0;
    }
    return Watch(connection, connection->Watched | ReadinessSet::kWrite);
  }
  queue.clear();
  connection->Sent = 0;
  OnAllWritten(connection);
}

void EpollTransport::OnAllWritten(const TConnectionPtr& connection) {
  if (connection->WaitsForWritable())
    Watch(connection, connection->Watched & ~ReadinessSet::kWrite);
  if (connection->IsClosing()) return BeginGracefulClose(connection);
  GiveBackIfLarge(connection->Queue);
}

void EpollTransport::Close(ConnectionId id, CloseMode mode) {
  const auto connection = Find(id);
  if (!connection) return;
  if (mode == CloseMode::Now || connection->IsOverflowed()) return Remove(connection);
  CloseAfterFlush(connection);
}

void EpollTransport::CloseAfterFlush(const TConnectionPtr& connection) {
  if (connection->IsClosing()) return;
  connection->State = TConnection::TState::Closing;
  connection->CloseTimer = std::make_unique<asio::steady_timer>(
      FIo, std::chrono::milliseconds(FOptions.Limits.CloseTimeoutMs));
  connection->CloseTimer->async_wait([this, connection](const std::error_code& ec) {
    if (!ec) Remove(connection);
  });
  if (connection->Ws) connection->Ws->Finish(connection->Pending());
  if (connection->Tls) connection->Tls->Finish();
  if (connection->Tls && connection->Tls->HasOutput()) return ScheduleFlush(connection);
  if (connection->Unsent() > 0) return ScheduleFlush(connection);
  if (!connection->Dirty) BeginGracefulClose(connection);
}

void EpollTransport::BeginGracefulClose(const TConnectionPtr& connection) {
  ::shutdown(connection->Fd, SHUT_WR);
  if (connection->PeerDone) Remove(connection);
}

void EpollTransport::ReportSlowReader(const TConnectionPtr& connection) {
  if (!connection->IsOverflowed()) return;
  Remove(connection);
  Deliver([&] { FEvents->OnClientError(connection->Id, kSlowReaderCode, kSlowReaderReason); });
}

void EpollTransport::Fail(const TConnectionPtr& connection, const std::error_code& ec) {
  Drop(connection, ec.value(), ec.message());
}

void EpollTransport::Drop(const TConnectionPtr& connection, int code, const std::string& reason) {
  const bool reported = connection->IsOpen();
  Remove(connection);
  if (!reported) return;
  Deliver([&] { FEvents->OnClientError(connection->Id, code, reason); });
}

void EpollTransport::Remove(const TConnectionPtr& connection) {
  if (connection->IsClosed()) return;
  connection->State = TConnection::TState::Closed;
  Recount(*connection);
  if (connection->CloseTimer) connection->CloseTimer->cancel();
  if (connection->Throttle) connection->Throttle->Timer.cancel();
  if (connection->HandshakeTimer) connection->HandshakeTimer->cancel();
  if (connection->Peer) ForgetUpgrading(connection->Peer->first);
  connection->CloseDescriptor();  // which also takes it out of the readiness set
  connection->Watched = ReadinessSet::kNone;
  FConnections.erase(connection->Id);
  CheckAllClosed();
}

void EpollTransport::CloseAll() {
  while (!FConnections.empty()) Remove(FConnections.begin()->second);
}

void EpollTransport::WhenAllClosed(std::chrono::milliseconds limit, std::function<void()> done) {
  FAllClosed = std::move(done);
  FStopTimer.expires_after(limit);
  FStopTimer.async_wait([this](const std::error_code& ec) {
    if (!ec) CloseAll();
  });
  CheckAllClosed();
}

// `done` runs from a fresh turn: Remove is called deep inside handlers that still use the
// transport, and `done` may well end the loop or destroy it.
void EpollTransport::CheckAllClosed() {
  if (!FAllClosed || !FConnections.empty()) return;
  FStopTimer.cancel();
  asio::post(FIo, [done = std::move(FAllClosed)] { done(); });
  FAllClosed = nullptr;
}

EpollTransport::TConnectionPtr EpollTransport::Find(ConnectionId id) const {
  const auto found = FConnections.find(id);
  return found == FConnections.end() ? nullptr : found->second;
}

void EpollTransport::Post(std::function<void()> task) {
  asio::post(FIo, [this, task = std::move(task)] { Deliver(task); });
}

void EpollTransport::StartPingTimer() {
  ++FPingGeneration;
  FPingTimer.expires_after(std::chrono::milliseconds(FOptions.Limits.PingIntervalMs));
  ArmPingTimer();
}

void EpollTransport::StopPingTimer() {
  ++FPingGeneration;
  FPingTimer.cancel();
}

void EpollTransport::ArmPingTimer() {
  FPingTimer.async_wait([this, generation = FPingGeneration](const std::error_code& ec) {
    if (ec || generation != FPingGeneration) return;
    Deliver([&] { FEvents->OnPingTimer(); });
    if (generation != FPingGeneration) return;  // the tick stopped or restarted the timer
    // Keeps the beat steady; a tick that ran late does not bring the next ones forward.
    const auto interval = std::chrono::milliseconds(FOptions.Limits.PingIntervalMs);
    const auto next = FPingTimer.expiry() + interval;
    if (next > std::chrono::steady_clock::now()) {
      FPingTimer.expires_at(next);
    } else {
      FPingTimer.expires_after(interval);
    }
    ArmPingTimer();
  });
}

}  // namespace zorva
