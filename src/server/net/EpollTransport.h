// EpollTransport: the daemon's sockets and ping timer, driving an IConnectionEvents (the core)
// from the thread that runs the io_context. Reads are raw recv calls on descriptors in one epoll
// set, writes go out through io_uring; Asio only accepts connections and runs the timers.
// Linux only, on purpose: epoll and io_uring measured faster than portable Asio
// (bench/RESULTS.md); the window program's Qt transport is the portable one.
//
//   asio::io_context io;
//   EpollTransport transport(io, {.BindAddress = "127.0.0.1"});
//   ServerCore core(transport, clock, hooks);
//   transport.SetEvents(&core);
//   core.Start(error);  // Listen + StartPingTimer
//   io.run();
//
// Costs: the connections' descriptors sit in one level-triggered epoll set (ReadinessSet), so a
// read costs one system call and nothing to re-register; all connections share one read buffer
// (a connection is read only when it is readable, into that buffer), so an idle connection holds
// only its descriptor and an empty queue. Everything sent to a connection in one loop turn leaves
// in one write, made at once at the end of the turn, and the writes of a turn go to the kernel
// together (SendBatch); only a full socket waits for writability.
// Output past the cap drops the connection as a slow reader. Input past a connection's flood
// budget waits in a buffer of that connection, and the connection is not read, until the budget
// refills; only such a connection holds a timer and that buffer.
//
// With TOptions::Tls a second listener serves the same connections inside TLS: such a
// connection has a TlsLayer under its reads and writes (plain text in and out of the core, the
// same limits on it), is told to the core at once so that the core's per-address and login
// limits count it, and is closed when its handshake fails or does not finish in time.
//
// With TOptions::WebSocket, one or two more listeners (ws:// and wss://) serve browsers: such a
// connection has a WebSocketLayer (over a TlsLayer for wss://) that answers its HTTP request and
// then turns text messages into lines and lines into text messages, so that the core sees it as
// any other. It is told to the core only once upgraded: until then it is an HTTP exchange (a
// page's file, or a refusal) bounded in size and time, which the core has no part in but for
// hearing, as the connection's error, of an upgrade refused or not finished in time.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ReadinessSet.h"
#include "SendBatch.h"
#include "ServerInterfaces.h"
#include "TlsContext.h"
#include "TransportLimits.h"
#include "WebSocketHandshake.h"

namespace zorva {

class EpollTransport : public ITransport {
 public:
  struct TTlsListener {
    std::uint16_t Port = 0;  // 0 = any free port
    std::shared_ptr<TlsContext> Context;
    bool PlainToo = true;  // whether Listen opens the plain port as well
    std::uint32_t HandshakeTimeoutMs = kTlsHandshakeTimeoutMs;
  };
  struct TWebSocketListener {
    std::optional<std::uint16_t> Port;        // ws://; 0 = any free port
    std::optional<std::uint16_t> SecurePort;  // wss://, with SecureContext
    std::shared_ptr<TlsContext> SecureContext;
    TWebSocketPolicy Policy;
    std::uint32_t HandshakeTimeoutMs = 5000;  // the HTTP request, and TLS under it for wss://
    // Connections one address may hold before their upgrade; 0 = no limit. The core's own
    // per-address limit counts a connection only once it is upgraded; until then this keeps one
    // address from holding descriptors with requests it never finishes.
    std::size_t MaxUpgradingPerAddress = 32;
  };
  struct TOptions {
    std::string BindAddress = "0.0.0.0";
    TTransportLimits Limits;
    SendBatch::TMode Sends = SendBatch::TMode::Ring;
    std::optional<TTlsListener> Tls;                // Listen opens the TLS port too
    std::optional<TWebSocketListener> WebSocket{};  // Listen opens its ports too
  };
  // Told about every exception that escapes the event handler or a posted task.
  using TExceptionReporter = std::function<void(const std::exception&)>;

  EpollTransport(asio::io_context& io, TOptions options);
  ~EpollTransport() override;
  EpollTransport(const EpollTransport&) = delete;
  EpollTransport& operator=(const EpollTransport&) = delete;

  // Must be set before Listen; the core is built on the transport, so this comes second.
  void SetEvents(IConnectionEvents* events) { FEvents = events; }
  void SetExceptionReporter(TExceptionReporter reporter) { FReportException = std::move(reporter); }

  // The bound port (the one chosen by the system when asked for port 0); 0 while not listening.
  std::uint16_t ListenPort() const;
  std::size_t ConnectionCount() const { return FConnections.size(); }
  // Writes started since construction; lets tests and benchmarks see how sends coalesce.
  std::uint64_t WriteCount() const { return FWriteCount; }
  // Whether the writes of a turn go to the kernel together.
  SendBatch::TMode SendMode() const { return FBatch.Mode(); }
  // The TLS listener's port and "a.b.c.d:port"; 0 and empty while it is not listening.
  std::uint16_t TlsListenPort() const;
  std::string TlsListenAddress() const;
  // The WebSocket listeners' "a.b.c.d:port"; empty while not listening.
  std::string WebSocketListenAddress() const;
  std::string SecureWebSocketListenAddress() const;
  // Handshakes that failed or did not finish in time, since construction.
  std::uint64_t TlsHandshakeFailures() const { return FTlsHandshakeFailures; }
  // WebSocket upgrade requests refused or not finished in time, since construction.
  std::uint64_t WebSocketHandshakeFailures() const { return FWebSocketHandshakeFailures; }
  // New TLS connections use `context`; open ones keep the one they started with.
  void SetTlsContext(std::shared_ptr<TlsContext> context);
  // Closes every connection at once, those still flushing after Close(AfterFlush) included.
  void CloseAll();
  // Calls `done` on the loop thread once no connection is left, closing what is left after
  // `limit`: a clean stop closes with Close(AfterFlush) and then waits here.
  void WhenAllClosed(std::chrono::milliseconds limit, std::function<void()> done);

  bool Listen(std::uint16_t port, std::string& error) override;
  void StopListening() override;
  // The plain listener's address, or the TLS listener's when there is no plain one.
  std::string ListenAddress() const override;
  bool IsEncrypted(ConnectionId id) const override;
  std::size_t QueuedOutputBytes() const override { return FUnsentTotal; }
  void StartPingTimer() override;
  void StopPingTimer() override;
  void Send(ConnectionId id, std::string_view line) override;
  void Close(ConnectionId id, CloseMode mode) override;
  void Post(std::function<void()> task) override;

 private:
  struct TConnection;
  using TConnectionPtr = std::shared_ptr<TConnection>;
  struct TBatched {
    TConnectionPtr Connection;
    bool Sends;  // had output, so has a result in the batch
  };

  struct TListener {
    TListener(asio::io_context& io, bool tls, bool webSocket)
        : Acceptor(io), Retry(io), Tls(tls), WebSocket(webSocket) {}
    asio::ip::tcp::acceptor Acceptor;
    asio::steady_timer Retry;  // after running out of descriptors
    bool Tls;
    bool WebSocket;
  };

  bool Open(TListener& listener, const asio::ip::address& address, std::uint16_t port,
            std::string& error);
  void Accept(TListener& listener);
  void OnAccepted(TListener& listener, const std::error_code& ec, asio::ip::tcp::socket socket);
  bool OpenListeners(const asio::ip::address& address, std::uint16_t port, std::string& error);
  bool StartTls(const TConnectionPtr& connection, const std::shared_ptr<TlsContext>& context);
  // False when the address holds too many connections that are not upgraded yet.
  bool StartWebSocket(const TConnectionPtr& connection, std::string remote, std::string local);
  void ForgetUpgrading(const std::string& remote);
  void ArmHandshakeTimer(const TConnectionPtr& connection, std::uint32_t timeoutMs);
  // The plain text that `encrypted` completes, or nothing when the connection ended with it.
  std::optional<std::string_view> Decrypt(const TConnectionPtr& connection,
                                          std::string_view encrypted);
  // The lines that `bytes` complete, or nothing when there are none for the core.
  std::optional<std::string_view> Unframe(const TConnectionPtr& connection, std::string_view bytes);
  void Announce(const TConnectionPtr& connection);
  void RefuseLongMessage(const TConnectionPtr& connection, std::string_view linesBefore);
  void SendLastWords(const TConnectionPtr& connection);
  void EndByPeer(const TConnectionPtr& connection);
  void FailHandshake(const TConnectionPtr& connection, int code, const std::string& reason);
  void ReportHandshakeFailure(const TConnectionPtr& connection, int code,
                              const std::string& reason);
  void OnReady(const ReadinessSet::TEvent& event);
  void Watch(const TConnectionPtr& connection, unsigned wanted);
  void WatchReads(const TConnectionPtr& connection, bool on);
  void OnReadable(const TConnectionPtr& connection);
  std::size_t HandOn(const TConnectionPtr& connection, std::string_view input);
  void Hold(const TConnectionPtr& connection, std::string_view rest);
  void OnRefilled(const TConnectionPtr& connection);
  void DiscardUntilEnd(const TConnectionPtr& connection);
  void ScheduleFlush(const TConnectionPtr& connection);
  void FlushDirty();
  // An empty queue borrows a spare buffer with capacity; an idle connection gives its back.
  void Seal(TConnection& connection);
  void TakeSpare(std::string& queue);
  void GiveBackIfLarge(std::string& buffer);
  void WriteQueued(const TConnectionPtr& connection);
  void AddToBatch(const TConnectionPtr& connection);
  void WriteBatch();
  void OnWritten(const TConnectionPtr& connection, ssize_t result);
  void OnAllWritten(const TConnectionPtr& connection);
  void CloseAfterFlush(const TConnectionPtr& connection);
  void BeginGracefulClose(const TConnectionPtr& connection);
  // Stops writing to the connection and reports it as a slow reader from a fresh turn.
  void Overflow(const TConnectionPtr& connection);
  // Sealing a TLS record changes a queue's size as well as sending and writing, so the total
  // follows each connection's unsent bytes rather than adding up what passed through.
  void Recount(TConnection& connection);
  void DropLargestQueues();
  void ReportSlowReader(const TConnectionPtr& connection);
  void Fail(const TConnectionPtr& connection, const std::error_code& ec);
  void Drop(const TConnectionPtr& connection, int code, const std::string& reason);
  void Remove(const TConnectionPtr& connection);
  void CheckAllClosed();
  void ArmPingTimer();
  TConnectionPtr Find(ConnectionId id) const;
  // Calls the event handler; an exception ends only that call and goes to the reporter.
  template <class Call>
  void Deliver(Call&& call);

  asio::io_context& FIo;
  TOptions FOptions;
  IConnectionEvents* FEvents = nullptr;
  TExceptionReporter FReportException;
  TListener FPlain;
  TListener FSecure;
  TListener FWeb;
  TListener FWebSecure;
  std::uint64_t FListenGeneration = 0;  // handlers of an earlier listen are ignored
  asio::steady_timer FPingTimer;
  std::uint64_t FPingGeneration = 0;  // a tick of an older start or a stop is ignored
  ConnectionId FLastId = 0;
  std::unordered_map<ConnectionId, TConnectionPtr> FConnections;
  std::unordered_map<std::string, std::size_t> FUpgradingByAddress;
  ReadinessSet FReadiness;
  std::vector<TConnectionPtr> FDirty;  // connections with output waiting for this turn's flush
  std::vector<TConnectionPtr> FFlushing;
  SendBatch FBatch;
  std::vector<TBatched> FBatched;  // in the batch, until its results are taken
  std::vector<std::string> FSpareBuffers;
  bool FFlushPosted = false;
  std::vector<char> FReadBuffer;
  std::string FPlainBuffer;  // what a TLS connection's read decrypted to
  std::string FLineBuffer;   // the lines a WebSocket connection's read unframed
  std::uint64_t FTlsHandshakeFailures = 0;
  std::uint64_t FWebSocketHandshakeFailures = 0;
  std::uint64_t FWriteCount = 0;
  std::size_t FUnsentTotal = 0;  // of the connections still written to
  asio::steady_timer FStopTimer;
  std::function<void()> FAllClosed;  // set by WhenAllClosed until it is called
};

}  // namespace zorva
