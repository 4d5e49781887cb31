#include "EpollTransport.h"

#include "Endpoint.h"
#include "TlsLayer.h"

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
  //   Open         handed on        yes                    yes           yes
  //   Closing      discarded        yes                    no            no
  //   Overflowed   ignored          no                     no            its drop, once
  //   Closed       ignored          no                     no            no
  enum class TState {
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

  bool IsOpen() const { return State == TState::Open; }
  bool IsClosing() const { return State == TState::Closing; }
  bool IsOverflowed() const { return State == TState::Overflowed; }
  bool IsClosed() const { return State == TState::Closed; }
  // Its socket is still read: handed on while open, discarded while closing.
  bool CanRead() const { return IsOpen() || IsClosing(); }
  bool CanWrite() const { return IsOpen() || IsClosing(); }

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
};

EpollTransport::EpollTransport(asio::io_context& io, TOptions options)
    : FIo(io),
      FOptions(std::move(options)),
      FPlain(io, false),
      FSecure(io, true),
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
  const auto& tls = FOptions.Tls;
  if ((!tls || tls->PlainToo) && !Open(FPlain, address, port, error)) return false;
  if (tls && !Open(FSecure, address, tls->Port, error)) {
    StopListening();
    return false;
  }
  if (FPlain.Acceptor.is_open()) Accept(FPlain);
  if (FSecure.Acceptor.is_open()) Accept(FSecure);
  return true;
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
  for (TListener* listener : {&FPlain, &FSecure}) {
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

void EpollTransport::SetTlsContext(std::shared_ptr<TlsContext> context) {
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
  if (listener.Tls && !StartTls(connection)) return;
  Watch(connection, ReadinessSet::kRead);
  if (connection->Watched == ReadinessSet::kNone) return;
  FConnections.emplace(connection->Id, connection);
  Deliver([&] {
    FEvents->OnClientConnect(connection->Id, remote.address().to_string(),
                             local.address().to_string());
  });
}

bool EpollTransport::StartTls(const TConnectionPtr& connection) {
  try {
    connection->Tls = std::make_unique<TlsLayer>(FOptions.Tls->Context->Native());
  } catch (const std::exception& e) {
    if (FReportException) FReportException(e);
    return false;
  }
  connection->HandshakeTimer = std::make_unique<asio::steady_timer>(
      FIo, std::chrono::milliseconds(FOptions.Tls->HandshakeTimeoutMs));
  connection->HandshakeTimer->async_wait([this, connection](const std::error_code& ec) {
    if (ec || connection->IsClosed() || connection->Tls->HandshakeDone()) return;
    FailHandshake(connection, ETIMEDOUT, "TLS handshake not finished in time");
  });
  return true;
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
  if (count == 0) {
    Remove(connection);
    return Deliver([&] { FEvents->OnClientDisconnect(connection->Id); });
  }

  std::string_view input(FReadBuffer.data(), static_cast<std::size_t>(count));
  if (connection->Tls) {
    const auto plain = Decrypt(connection, input);
    if (!plain) return;
    input = *plain;
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
  if (!wasDone && tls.HandshakeDone()) connection->HandshakeTimer.reset();
  if (tls.HasOutput()) ScheduleFlush(connection);
  if (result == TlsLayer::TResult::Ended) {
    HandOn(connection, FPlainBuffer);  // the last lines, sent just before the end
    if (!connection->IsOpen()) return std::nullopt;
    Remove(connection);
    Deliver([&] { FEvents->OnClientDisconnect(connection->Id); });
    return std::nullopt;
  }
  return FPlainBuffer;
}

// Counted, and told to the core as the connection's error: no line is ever sent to a peer that
// has not finished its handshake.
void EpollTransport::FailHandshake(const TConnectionPtr& connection, int code,
                                   const std::string& reason) {
  ++FTlsHandshakeFailures;
  Drop(connection, code, reason);
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
  pending.append(line);
  pending.push_back('\n');
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
    connection->Tls->Seal(connection->Queue);
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
  if (connection->IsClosing()) return;
  connection->State = TConnection::TState::Closing;
  connection->CloseTimer = std::make_unique<asio::steady_timer>(
      FIo, std::chrono::milliseconds(FOptions.Limits.CloseTimeoutMs));
  connection->CloseTimer->async_wait([this, connection](const std::error_code& ec) {
    if (!ec) Remove(connection);
  });
  if (connection->Tls) connection->Tls->Finish();
  if (connection->Tls && connection->Tls->HasOutput()) return ScheduleFlush(connection);
  if (connection->Unsent() == 0 && !connection->Dirty) BeginGracefulClose(connection);
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
