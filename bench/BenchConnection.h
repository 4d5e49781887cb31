// One client connection of zorva-bench. Reads into a buffer shared by all connections (a
// connection owns only its unfinished line, so 10,000 idle ones cost little), hands complete
// lines to its sink, and batches output: whatever is appended while a write is in flight goes
// out in the next single write. Told to speak WebSocket, it asks for the upgrade first and
// then sends each line as a masked text message and takes text messages as lines.
#pragma once

#include <asio.hpp>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "LineFramer.h"
#include "TlsLayer.h"

namespace zorva {

class TBenchConnection;

class ILineSink {
 public:
  virtual ~ILineSink() = default;
  virtual void OnLine(TBenchConnection& connection, std::string_view line) = 0;
  // In counting mode: `lines` more line feeds arrived.
  virtual void OnLineCount(TBenchConnection& connection, std::size_t lines) = 0;
  // All lines of one read were handed out (a good moment to send more).
  virtual void OnReadDone(TBenchConnection& connection) = 0;
  // The connection failed or the peer closed it; nothing more is reported for it.
  virtual void OnFailed(TBenchConnection& connection, std::string_view what) = 0;
};

class TBenchConnection {
 public:
  // `tag` lets the sink tell its connections apart.
  TBenchConnection(asio::io_context& io, ILineSink& sink, std::vector<char>& readBuffer,
                   std::size_t tag);

  std::size_t Tag() const { return FTag; }
  // Speaks TLS inside the connection (before Connect); the server's certificate is not checked.
  void UseTls(SSL_CTX* context);

  // Must come before Connect; onConnected is then called once the upgrade is answered.
  void SpeakWebSocket() { FWebSocket = std::make_unique<TWebSocket>(); }
  void Connect(const asio::ip::tcp::endpoint& server, std::function<void()> onConnected);
  // Queues bytes; Flush starts the write.
  void Append(std::string_view bytes);
  void Flush();
  void Close();
  // From now on only count line feeds instead of handing out lines: a fraction of the cost per
  // line, for streams whose lines need no reading.
  void CountLinesOnly() { FCountOnly = true; }

 private:
  void WaitReadable();
  void ReadAvailable();
  // Frames and hands out one read; false when the connection ended meanwhile.
  bool HandOut(std::string_view bytes);
  // Hands out one read, decrypted first on a TLS connection; false when it ended meanwhile.
  bool Receive(std::string_view bytes);
  void Fail(std::string_view what, const std::error_code& error);
  void Fail(std::string_view what);
  // What a WebSocket read holds for the line path; false when the connection failed.
  bool Unframe(std::string_view& bytes);
  bool FinishUpgrade(std::string_view& bytes);

  // Only on connections that speak WebSocket.
  struct TWebSocket {
    std::function<void()> OnUpgraded;  // set until the answer to the upgrade arrives
    std::string Partial;               // a frame or the answer's head, until complete
    std::string Lines;                 // what a read's messages add up to
    std::string Unfinished;            // appended text still waiting for its line feed
  };

  static constexpr int kReadsPerTurn = 8;

  asio::ip::tcp::socket FSocket;
  ILineSink& FSink;
  std::vector<char>& FReadBuffer;
  const std::size_t FTag;
  LineFramer FFramer;
  std::string FQueued;
  std::string FWriting;
  bool FWriteInFlight = false;
  bool FClosed = false;
  bool FCountOnly = false;
  std::unique_ptr<TlsLayer> FTls;
  std::string FPlain;  // what a TLS read decrypted to
  std::unique_ptr<TWebSocket> FWebSocket;
};

}  // namespace zorva
