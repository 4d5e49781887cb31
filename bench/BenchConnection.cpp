#include "BenchConnection.h"

#include <algorithm>

#include "WebSocketClientFrames.h"

namespace zorva {

TBenchConnection::TBenchConnection(asio::io_context& io, ILineSink& sink,
                                   std::vector<char>& readBuffer, std::size_t tag)
    : FSocket(io), FSink(sink), FReadBuffer(readBuffer), FTag(tag) {}

void TBenchConnection::UseTls(SSL_CTX* context) {
  FTls = std::make_unique<TlsLayer>(context, TlsLayer::TRole::Client);
}

void TBenchConnection::Connect(const asio::ip::tcp::endpoint& server,
                               std::function<void()> onConnected) {
  FSocket.async_connect(server, [this, host = server.address().to_string(),
                                 onConnected = std::move(onConnected)](auto error) {
    if (error) return Fail("connect", error);
    std::error_code ignored;
    FSocket.set_option(asio::ip::tcp::no_delay(true), ignored);
    FSocket.non_blocking(true, ignored);
    if (FTls) FTls->Receive({}, FPlain);  // the client's hello
    if (FWebSocket) {
      FWebSocket->OnUpgraded = std::move(onConnected);
      FQueued = UpgradeRequest(host, "/zorva");
    } else {
      onConnected();
    }
    Flush();
    WaitReadable();
  });
}

void TBenchConnection::Append(std::string_view bytes) {
  if (!FWebSocket) {
    FQueued.append(bytes);
    return;
  }
  auto& unfinished = FWebSocket->Unfinished;
  for (auto lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n')) {
    if (unfinished.empty()) {
      AppendClientFrame(FQueued, kWsText, bytes.substr(0, lf));
    } else {
      unfinished.append(bytes.substr(0, lf));
      AppendClientFrame(FQueued, kWsText, unfinished);
      unfinished.clear();
    }
    bytes.remove_prefix(lf + 1);
  }
  unfinished.append(bytes);
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
  if (FWebSocket && !Unframe(bytes)) return false;
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

bool TBenchConnection::Unframe(std::string_view& bytes) {
  auto& ws = *FWebSocket;
  if (ws.OnUpgraded && !FinishUpgrade(bytes)) return false;
  if (!ws.Partial.empty()) {
    ws.Partial.append(bytes);
    bytes = ws.Partial;
  }
  ws.Lines.clear();
  while (const auto frame = NextServerFrame(bytes)) {
    if (frame->Opcode == kWsClose) {
      Fail("read", asio::error::eof);
      return false;
    }
    if (frame->Opcode == kWsText) ws.Lines.append(frame->Payload).push_back('\n');
  }
  ws.Partial.assign(bytes);  // may be a view into itself: assign copies first
  bytes = ws.Lines;
  return true;
}

// The answer's head, up to its blank line, may come in pieces; frames may follow it at once.
bool TBenchConnection::FinishUpgrade(std::string_view& bytes) {
  auto& ws = *FWebSocket;
  ws.Partial.append(bytes);
  const auto end = ws.Partial.find("\r\n\r\n");
  if (end == std::string::npos) {
    bytes = {};
    return true;
  }
  if (!ws.Partial.starts_with("HTTP/1.1 101 ")) {
    Fail("upgrade", asio::error::connection_refused);
    return false;
  }
  ws.Partial.erase(0, end + 4);
  bytes = {};
  const auto onUpgraded = std::move(ws.OnUpgraded);
  ws.OnUpgraded = nullptr;
  onUpgraded();
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
