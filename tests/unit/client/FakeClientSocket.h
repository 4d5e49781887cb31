// A recording IClientSocket for the client tests: it keeps what the connection wrote and asked
// for, and lets a test deliver the socket's notifications by hand.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ClientSocket.h"

namespace zorva {

class FakeClientSocket : public IClientSocket {
 public:
  // What the test reads; shared so that it outlives the connection that owns the socket.
  struct TRecord {
    struct TConnect {
      std::string Host;
      bool Numeric;
      std::int32_t Port;
    };
    std::vector<TConnect> Connects;
    std::string Written;
    std::size_t Unwritten = 0;  // what BytesToWrite reports
    int Closes = 0;
    std::vector<std::string> ShownErrors;
    bool CanTls = true;  // whether SetTls takes TLS on
    TClientTls Tls;      // the settings taken last
  };

  FakeClientSocket() : FRecord(std::make_shared<TRecord>()) {}
  std::shared_ptr<TRecord> Record() const { return FRecord; }

  void SetEvents(IClientSocketEvents* events) override { FEvents = events; }
  void Connect(const std::string& host, bool numeric, std::int32_t port) override {
    FRecord->Connects.push_back({host, numeric, port});
  }
  bool SetTls(const TClientTls& tls) override {
    if (tls.Enabled && !FRecord->CanTls) return false;
    FRecord->Tls = tls;
    return true;
  }
  void Write(std::string_view bytes) override { FRecord->Written.append(bytes); }
  std::size_t BytesToWrite() const override { return FRecord->Unwritten; }
  // Like a real socket: ending a live connection reports it from within the call.
  void Close() override {
    ++FRecord->Closes;
    if (FUp && FEvents) Disconnected();
  }
  void ShowError(int code, std::string_view text) override {
    FRecord->ShownErrors.push_back(std::to_string(code) + " " + std::string(text));
  }

  void Connected() {
    FUp = true;
    FEvents->MyOnConnect();
  }
  void Disconnected() {
    FUp = false;
    FEvents->MyOnDisconnect();
  }
  void Receive(std::string_view bytes) { FEvents->MyOnRead(bytes); }
  void Error(int code, std::string_view text) { FEvents->MyOnError(code, text); }

 private:
  std::shared_ptr<TRecord> FRecord;
  IClientSocketEvents* FEvents = nullptr;
  bool FUp = false;
};

}  // namespace zorva
