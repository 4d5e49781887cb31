// WsLineClient: a blocking WebSocket client for tests, over plain TCP or TLS (wss://), with a
// timeout on every read. It sends what it is told, masked or not, so that tests can also send
// what no browser would.
//
//   WsLineClient client;
//   ASSERT_TRUE(client.Connect(port)) << client.Head();
//   client.WriteLine("PING|");
//   auto line = client.ReadLine();  // the next text message; nullopt on anything else
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "TlsLineClient.h"
#include "WebSocketClientFrames.h"

namespace zorva::test {

struct TWsClientOptions {
  std::string Path = "/zorva";
  std::string ExtraHeaders = "Sec-WebSocket-Protocol: zorva.v1\r\n";
  std::string CaFile{};  // set: wss://, the server's certificate checked against it
  std::chrono::milliseconds Timeout{3000};
};

class WsLineClient {
 public:
  // Connects and asks for the upgrade; true when the server switched protocols. Head() holds
  // the answer's status line and headers either way.
  bool Connect(std::uint16_t port, const TWsClientOptions& options = {}) {
    return Open(port, options) &&
           WriteRaw(UpgradeRequest("127.0.0.1", options.Path, options.ExtraHeaders)) &&
           ReadHead() && Head().starts_with("HTTP/1.1 101 ");
  }

  // The TCP (and TLS) connection alone, for requests written by hand.
  bool Open(std::uint16_t port, const TWsClientOptions& options = {}) {
    Close();
    if (!FSocket.Connect(port, options.Timeout)) return false;
    return options.CaFile.empty() ||
           FSocket.StartTls({.CaFile = options.CaFile, .Timeout = options.Timeout});
  }

  bool WriteRaw(std::string_view bytes) { return FSocket.Write(bytes); }

  bool WriteLine(std::string_view line) { return WriteRaw(ClientFrame(kWsText, line)); }

  // Reads the answer's head (up to its blank line); what follows stays buffered.
  bool ReadHead() {
    for (;;) {
      const auto end = FBuffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        FHead = FBuffer.substr(0, end);
        FBuffer.erase(0, end + 4);
        return true;
      }
      if (!Receive()) return false;
    }
  }

  const std::string& Head() const { return FHead; }
  int Status() const { return FHead.size() > 12 ? std::stoi(FHead.substr(9, 3)) : 0; }

  std::optional<TServerFrame> ReadFrame() {
    for (;;) {
      if (auto frame = TakeServerFrame(FBuffer)) return frame;
      if (!Receive()) return std::nullopt;
    }
  }

  // The next text message; nullopt for any other frame (a close frame's code is kept).
  std::optional<std::string> ReadLine() {
    auto frame = ReadFrame();
    if (frame && frame->Opcode == kWsClose) FCloseCode = CloseCode(frame->Payload);
    if (!frame || frame->Opcode != kWsText) return std::nullopt;
    return std::move(frame->Payload);
  }

  // Skips text messages until the close frame; its code, or 0 when the stream ended first.
  int ReadCloseCode() {
    while (auto frame = ReadFrame()) {
      if (frame->Opcode == kWsClose) return FCloseCode = CloseCode(frame->Payload);
    }
    return 0;
  }

  // Reads until the server ends the stream; false when it is still open at the timeout.
  bool WaitClosed() {
    while (Receive()) {
    }
    return FEnded;
  }

  // Bytes received but not yet taken as a head or a frame.
  const std::string& Buffered() const { return FBuffer; }

  void Close() {
    FSocket.Close();
    FBuffer.clear();
    FEnded = false;
  }

 private:
  // One read; false on timeout, error or end of stream (FEnded tells the last).
  bool Receive() {
    if (!FSocket.IsOpen() || FEnded) return false;
    char chunk[65536];
    const auto got = FSocket.Read(chunk, sizeof chunk);
    if (got <= 0) {
      const bool timedOut = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      FEnded = !timedOut;
      return false;
    }
    FBuffer.append(chunk, static_cast<std::size_t>(got));
    return true;
  }

  TlsClientSocket FSocket;
  std::string FBuffer;
  std::string FHead;
  bool FEnded = false;
  int FCloseCode = 0;
};

}  // namespace zorva::test
