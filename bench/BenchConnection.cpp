#include "BenchConnection.h"

#include <algorithm>

namespace zorva {

TBenchConnection::TBenchConnection(asio::io_context& io, ILineSink& sink,
                                   std::vector<char>& readBuffer, std::size_t tag)
    : FSocket(io), FSink(sink), FReadBuffer(readBuffer), FTag(tag) {}

void TBenchConnection::UseTls(SSL_CTX* context) {
  FTls = std::make_unique<TlsLayer>(context, TlsLayer::TRole::Client);
}

void TBenchConnection::Connect(const asio::ip::tcp::endpoint& server,
                               std::function<void()> onConnected) {
  FSocket.async_connect(server, [this, onConnected = std::move(onConnected)](auto error) {
    if (error) return Fail("connect", error);
    std::error_code ignored;
    FSocket.set_option(asio::ip::tcp::no_delay(true), ignored);
    FSocket.non_blocking(true, ignored);
    if (FTls) FTls->Receive({}, FPlain);  // the client's hello
    onConnected();
    Flush();
    WaitReadable();
  });
}

void TBenchConnection::Flush() {
  if (FWriteInFlight || FClosed) return;
  // Text queued during the handshake waits in the layer until it is done.
  if (FTls) {
    FTls->Outgoing().append(FQueued);
    FQueued.clear();
    FTls->Seal(FQueued);
  }
  if (FQueued.empty()) return;
  std::swap(FQueued, FWriting);
  FQueued.clear();
  FWriteInFlight = true;
  asio::async_write(FSocket, asio::buffer(FWriting), [this](auto error, std::size_t) {
    FWriteInFlight = false;
    if (FClosed) return;
    if (error) return Fail("write", error);
    Flush();
  });
}

void TBenchConnection::Close() {
  FClosed = true;
  std::error_code ignored;
  FSocket.close(ignored);
}

void TBenchConnection::WaitReadable() {
  FSocket.async_wait(asio::ip::tcp::socket::wait_read, [this](auto error) {
    if (FClosed) return;
    if (error) return Fail("wait", error);
    ReadAvailable();
  });
}

void TBenchConnection::ReadAvailable() {
  // Readiness is edge-triggered: read until the socket is drained (a short read), but give
  // other connections a turn after a few full buffers.
  for (int turn = 0; turn < kReadsPerTurn; ++turn) {
    std::error_code error;
    const auto size = FSocket.read_some(asio::buffer(FReadBuffer), error);
    if (error == asio::error::would_block) return WaitReadable();
    if (error) return Fail("read", error);
    if (!Receive(std::string_view(FReadBuffer.data(), size))) return;
    if (size < FReadBuffer.size()) return WaitReadable();
  }
  asio::post(FSocket.get_executor(), [this] {
    if (!FClosed) ReadAvailable();
  });
}

bool TBenchConnection::Receive(std::string_view bytes) {
  if (!FTls) return HandOut(bytes);
  FPlain.clear();
  if (FTls->Receive(bytes, FPlain) != TlsLayer::TResult::Open) {
    Fail("tls: " + (FTls->Error().empty() ? std::string("the server ended") : FTls->Error()));
    return false;
  }
  if (FTls->HasOutput()) Flush();
  return FPlain.empty() || HandOut(FPlain);
}

bool TBenchConnection::HandOut(std::string_view bytes) {
  if (FCountOnly) {
    FSink.OnLineCount(*this,
                      static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')));
    FSink.OnReadDone(*this);
    return !FClosed;
  }
  const auto status = FFramer.Feed(bytes, [this](auto line) {
    FSink.OnLine(*this, line);
    return !FClosed;
  });
  if (FClosed) return false;
  if (status == LineFramer::Status::TooLong) {
    Fail("read", asio::error::message_size);
    return false;
  }
  FSink.OnReadDone(*this);
  return !FClosed;
}

void TBenchConnection::Fail(std::string_view what, const std::error_code& error) {
  Fail(std::string(what) + ": " + error.message());
}

void TBenchConnection::Fail(std::string_view what) {
  if (FClosed) return;
  Close();
  FSink.OnFailed(*this, what);
}

}  // namespace zorva
