#include "AsioTransport.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

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

// Out of descriptors or memory: accepting again at once would spin.
bool IsResourceShortage(const std::error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == std::errc::too_many_files_open_in_system;
}

}  // namespace

struct AsioTransport::TConnection {
  enum class TState {
    Open,        // reads are reported, sends are queued
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

  TConnection(ConnectionId id, asio::ip::tcp::socket socket, const TFloodLimits& limits)
      : Id(id), Socket(std::move(socket)), Budget(limits, std::chrono::steady_clock::now()) {}

  std::size_t Unsent() const { return Queue.size() + InFlight.size(); }

  ConnectionId Id;
  asio::ip::tcp::socket Socket;
  TState State = TState::Open;
  std::string Queue;     // collects while InFlight is written
  std::string InFlight;  // the one write in flight
  bool Writing = false;
  bool Dirty = false;     // waits in FDirty for this turn's flush
  bool PeerDone = false;  // the peer's end of stream was read while closing
  std::unique_ptr<asio::steady_timer> CloseTimer;  // only while closing
  FloodBudget Budget;
  std::unique_ptr<TThrottle> Throttle;  // only while input is held back
};

AsioTransport::AsioTransport(asio::io_context& io, TOptions options)
    : FIo(io),
      FOptions(std::move(options)),
      FAcceptor(io),
      FAcceptRetry(io),
      FPingTimer(io),
      FReadBuffer(kReadBufferSize),
      FStopTimer(io) {}

AsioTransport::~AsioTransport() {
  StopPingTimer();
  StopListening();
  CloseAll();
}

template <class Call>
void AsioTransport::Deliver(Call&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    if (FReportException) FReportException(e);
  } catch (...) {
    if (FReportException) FReportException(std::runtime_error("unknown exception"));
  }
}

bool AsioTransport::Listen(std::uint16_t port, std::string& error) {
  if (FEvents == nullptr) {
    error = "No event handler is set";
    return false;
  }
  if (FAcceptor.is_open()) {
    error = "Already listening on " + ListenAddress();
    return false;
  }
  std::error_code ec;
  const auto address = asio::ip::make_address(FOptions.BindAddress, ec);
  if (ec) {
    error = "Invalid bind address \"" + FOptions.BindAddress + "\": " + ec.message();
    return false;
  }
  const asio::ip::tcp::endpoint endpoint(address, port);
  FAcceptor.open(endpoint.protocol(), ec);
  if (!ec) FAcceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) FAcceptor.bind(endpoint, ec);
  if (!ec) FAcceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::error_code ignored;
    FAcceptor.close(ignored);
    error = "Cannot listen on " + FOptions.BindAddress + ":" + std::to_string(port) + ": " +
            ec.message();
    return false;
  }
  Accept();
  return true;
}

void AsioTransport::StopListening() {
  ++FListenGeneration;
  std::error_code ignored;
  FAcceptor.close(ignored);
  FAcceptRetry.cancel();
}

std::uint16_t AsioTransport::ListenPort() const {
  std::error_code ec;
  const auto endpoint = FAcceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

std::string AsioTransport::ListenAddress() const {
  std::error_code ec;
  const auto endpoint = FAcceptor.local_endpoint(ec);
  if (ec) return {};
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

void AsioTransport::Accept() {
  FAcceptor.async_accept([this, generation = FListenGeneration](const std::error_code& ec,
                                                                asio::ip::tcp::socket socket) {
    // A connection accepted just before StopListening belongs to no listener any more.
    if (generation != FListenGeneration) return;
    OnAccepted(ec, std::move(socket));
  });
}

void AsioTransport::OnAccepted(const std::error_code& ec, asio::ip::tcp::socket socket) {
  if (ec == asio::error::operation_aborted) return;
  if (ec) {
    if (!IsResourceShortage(ec)) return Accept();
    if (FReportException) FReportException(std::system_error(ec, "Accepting a connection"));
    FAcceptRetry.expires_after(kAcceptRetryDelay);
    FAcceptRetry.async_wait([this, generation = FListenGeneration](const std::error_code& waitEc) {
      if (!waitEc && generation == FListenGeneration) Accept();
    });
    return;
  }
  Accept();

  std::error_code optionEc;
  socket.set_option(asio::ip::tcp::no_delay(true), optionEc);
  socket.non_blocking(true, optionEc);
  const auto remote = socket.remote_endpoint(optionEc);
  if (optionEc) return;  // the peer left before we looked; nothing to report
  const auto local = socket.local_endpoint(optionEc);

  const auto connection =
      std::make_shared<TConnection>(++FLastId, std::move(socket), FOptions.Flood);
  FConnections.emplace(connection->Id, connection);
  Deliver([&] {
    FEvents->OnClientConnect(connection->Id, remote.address().to_string(),
                             local.address().to_string());
  });
  if (connection->State == TConnection::TState::Closed) return;
  WaitReadable(connection);
}

void AsioTransport::WaitReadable(const TConnectionPtr& connection) {
  connection->Socket.async_wait(asio::socket_base::wait_read,
                                [this, connection](const std::error_code& ec) {
                                  if (connection->State == TConnection::TState::Closed) return;
                                  if (ec) return Fail(connection, ec);
                                  OnReadable(connection);
                                });
}

void AsioTransport::OnReadable(const TConnectionPtr& connection) {
  if (connection->State == TConnection::TState::Overflowed) return;
  if (connection->State == TConnection::TState::Closing) return DiscardUntilEnd(connection);

  std::error_code ec;
  const auto count = connection->Socket.read_some(asio::buffer(FReadBuffer), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    return WaitReadable(connection);
  }
  if (ec == asio::error::eof) {
    Remove(connection);
    return Deliver([&] { FEvents->OnClientDisconnect(connection->Id); });
  }
  if (ec) return Fail(connection, ec);

  const std::string_view input(FReadBuffer.data(), count);
  const auto handedOn = HandOn(connection, input);
  if (connection->State == TConnection::TState::Open && handedOn < input.size()) {
    return Hold(connection, input.substr(handedOn));
  }
  if (connection->State == TConnection::TState::Open ||
      connection->State == TConnection::TState::Closing) {
    WaitReadable(connection);
  }
}

// Hands on to the core what the connection's flood budget allows; returns how much that was.
std::size_t AsioTransport::HandOn(const TConnectionPtr& connection, std::string_view input) {
  const auto allowed =
      FOptions.Flood.Any()
          ? connection->Budget.Take(FOptions.Flood, input, std::chrono::steady_clock::now())
          : input.size();
  if (allowed > 0)
    Deliver([&] { FEvents->OnClientRead(connection->Id, input.substr(0, allowed)); });
  return allowed;
}

// Keeps what the budget did not allow and issues no read until it has all been handed on, so
// the socket's buffers fill and the peer's own sends slow down.
void AsioTransport::Hold(const TConnectionPtr& connection, std::string_view rest) {
  if (!connection->Throttle) connection->Throttle = std::make_unique<TConnection::TThrottle>(FIo);
  auto& throttle = *connection->Throttle;
  throttle.Held.assign(rest);
  throttle.Timer.expires_after(std::max<std::chrono::steady_clock::duration>(
      connection->Budget.TimeToRefill(FOptions.Flood), kMinThrottlePause));
  throttle.Timer.async_wait([this, connection](const std::error_code& ec) {
    if (!ec) OnRefilled(connection);
  });
}

void AsioTransport::OnRefilled(const TConnectionPtr& connection) {
  if (connection->State == TConnection::TState::Closed) return;
  std::string held = std::move(connection->Throttle->Held);
  const auto handedOn =
      connection->State == TConnection::TState::Open ? HandOn(connection, held) : held.size();
  if (connection->State == TConnection::TState::Open && handedOn < held.size()) {
    return Hold(connection, std::string_view(held).substr(handedOn));
  }
  connection->Throttle.reset();
  if (connection->State == TConnection::TState::Open ||
      connection->State == TConnection::TState::Closing) {
    WaitReadable(connection);
  }
}

// Unread input makes close() send a reset, which can destroy the last lines before the peer
// reads them; so a closing connection keeps reading, and dropping, until the peer ends too.
void AsioTransport::DiscardUntilEnd(const TConnectionPtr& connection) {
  std::error_code ec;
  connection->Socket.read_some(asio::buffer(FReadBuffer), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again || !ec) {
    return WaitReadable(connection);
  }
  if (ec != asio::error::eof) return Remove(connection);
  connection->PeerDone = true;
  if (!connection->Writing && connection->Queue.empty()) Remove(connection);
}

void AsioTransport::Send(ConnectionId id, std::string_view line) {
  // Called once per delivered line: a reference to the map's pointer, not a counted copy.
  const auto found = FConnections.find(id);
  if (found == FConnections.end()) return;
  const auto& connection = found->second;
  if (connection->State != TConnection::TState::Open) return;
  if (connection->Unsent() + line.size() + 1 > FOptions.MaxOutput) {
    connection->State = TConnection::TState::Overflowed;
    // Reported from a fresh turn: Send must not re-enter the core.
    asio::post(FIo, [this, connection] { ReportSlowReader(connection); });
    return;
  }
  if (connection->Queue.empty()) TakeSpare(connection->Queue);
  connection->Queue.append(line);
  connection->Queue.push_back('\n');
  ScheduleFlush(connection);
}

void AsioTransport::ScheduleFlush(const TConnectionPtr& connection) {
  if (connection->Writing || connection->Dirty) return;
  connection->Dirty = true;
  FDirty.push_back(connection);
  if (FFlushPosted) return;
  FFlushPosted = true;
  asio::post(FIo, [this] { FlushDirty(); });
}

void AsioTransport::FlushDirty() {
  FFlushPosted = false;
  // Both lists keep their capacity from turn to turn.
  FFlushing.swap(FDirty);
  for (const auto& connection : FFlushing) {
    connection->Dirty = false;
    StartWrite(connection);
  }
  FFlushing.clear();
}

void AsioTransport::TakeSpare(std::string& queue) {
  if (queue.capacity() > kIdleCapacity || FSpareBuffers.empty()) return;
  queue = std::move(FSpareBuffers.back());
  FSpareBuffers.pop_back();
}

void AsioTransport::GiveBackIfLarge(std::string& buffer) {
  if (buffer.capacity() <= kIdleCapacity) return;
  if (FSpareBuffers.size() < kMaxSpareBuffers && buffer.capacity() <= kMaxSpareCapacity) {
    buffer.clear();
    FSpareBuffers.push_back(std::move(buffer));
  }
  std::string().swap(buffer);
}

void AsioTransport::StartWrite(const TConnectionPtr& connection) {
  const auto state = connection->State;
  if (state != TConnection::TState::Open && state != TConnection::TState::Closing) return;
  if (connection->Writing || connection->Queue.empty()) return;
  connection->Queue.swap(connection->InFlight);
  connection->Writing = true;
  ++FWriteCount;
  asio::async_write(
      connection->Socket, asio::buffer(connection->InFlight),
      [this, connection](const std::error_code& ec, std::size_t) { OnWritten(connection, ec); });
}

void AsioTransport::OnWritten(const TConnectionPtr& connection, const std::error_code& ec) {
  connection->Writing = false;
  if (connection->State == TConnection::TState::Closed) return;
  if (ec) return Fail(connection, ec);
  connection->InFlight.clear();
  if (!connection->Queue.empty()) return StartWrite(connection);
  if (connection->State == TConnection::TState::Closing) return BeginGracefulClose(connection);
  GiveBackIfLarge(connection->Queue);
  GiveBackIfLarge(connection->InFlight);
}

void AsioTransport::Close(ConnectionId id, CloseMode mode) {
  const auto connection = Find(id);
  if (!connection) return;
  if (mode == CloseMode::Now || connection->State == TConnection::TState::Overflowed) {
    return Remove(connection);
  }
  if (connection->State == TConnection::TState::Closing) return;
  connection->State = TConnection::TState::Closing;
  connection->CloseTimer =
      std::make_unique<asio::steady_timer>(FIo, std::chrono::milliseconds(FOptions.CloseTimeoutMs));
  connection->CloseTimer->async_wait([this, connection](const std::error_code& ec) {
    if (!ec) Remove(connection);
  });
  if (!connection->Writing && !connection->Dirty) BeginGracefulClose(connection);
}

void AsioTransport::BeginGracefulClose(const TConnectionPtr& connection) {
  std::error_code ignored;
  connection->Socket.shutdown(asio::socket_base::shutdown_send, ignored);
  if (connection->PeerDone) Remove(connection);
}

void AsioTransport::ReportSlowReader(const TConnectionPtr& connection) {
  if (connection->State != TConnection::TState::Overflowed) return;
  Remove(connection);
  const auto code = std::make_error_code(std::errc::no_buffer_space).value();
  Deliver([&] { FEvents->OnClientError(connection->Id, code, kSlowReader); });
}

void AsioTransport::Fail(const TConnectionPtr& connection, const std::error_code& ec) {
  const bool reported = connection->State == TConnection::TState::Open;
  Remove(connection);
  if (!reported) return;
  Deliver([&] { FEvents->OnClientError(connection->Id, ec.value(), ec.message()); });
}

void AsioTransport::Remove(const TConnectionPtr& connection) {
  if (connection->State == TConnection::TState::Closed) return;
  connection->State = TConnection::TState::Closed;
  if (connection->CloseTimer) connection->CloseTimer->cancel();
  if (connection->Throttle) connection->Throttle->Timer.cancel();
  std::error_code ignored;
  connection->Socket.close(ignored);
  FConnections.erase(connection->Id);
  CheckAllClosed();
}

void AsioTransport::CloseAll() {
  while (!FConnections.empty()) Remove(FConnections.begin()->second);
}

void AsioTransport::WhenAllClosed(std::chrono::milliseconds limit, std::function<void()> done) {
  FAllClosed = std::move(done);
  FStopTimer.expires_after(limit);
  FStopTimer.async_wait([this](const std::error_code& ec) {
    if (!ec) CloseAll();
  });
  CheckAllClosed();
}

// `done` runs from a fresh turn: Remove is called deep inside handlers that still use the
// transport, and `done` may well end the loop or destroy it.
void AsioTransport::CheckAllClosed() {
  if (!FAllClosed || !FConnections.empty()) return;
  FStopTimer.cancel();
  asio::post(FIo, [done = std::move(FAllClosed)] { done(); });
  FAllClosed = nullptr;
}

AsioTransport::TConnectionPtr AsioTransport::Find(ConnectionId id) const {
  const auto found = FConnections.find(id);
  return found == FConnections.end() ? nullptr : found->second;
}

void AsioTransport::Post(std::function<void()> task) {
  asio::post(FIo, [this, task = std::move(task)] { Deliver(task); });
}

void AsioTransport::StartPingTimer() {
  ++FPingGeneration;
  FPingTimer.expires_after(std::chrono::milliseconds(FOptions.PingIntervalMs));
  ArmPingTimer();
}

void AsioTransport::StopPingTimer() {
  ++FPingGeneration;
  FPingTimer.cancel();
}

void AsioTransport::ArmPingTimer() {
  FPingTimer.async_wait([this, generation = FPingGeneration](const std::error_code& ec) {
    if (ec || generation != FPingGeneration) return;
    Deliver([&] { FEvents->OnPingTimer(); });
    if (generation != FPingGeneration) return;  // the tick stopped or restarted the timer
    // Keeps the beat steady; a tick that ran late does not bring the next ones forward.
    const auto interval = std::chrono::milliseconds(FOptions.PingIntervalMs);
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
