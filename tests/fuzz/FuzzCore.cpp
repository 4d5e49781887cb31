// Raw bytes from one, two or three connections into the server core, with pings, clock steps,
// drops, a client limit and operator actions in between: no input may crash it, leak a guest
// or send after a close.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <set>
#include <string_view>

#include "FakeClock.h"
#include "ServerCore.h"

namespace {

using namespace zorva;

class CheckingTransport : public ITransport {
 public:
  bool Listen(std::uint16_t, std::string&) override { return true; }
  void StopListening() override {}
  std::string ListenAddress() const override { return {}; }
  void StartPingTimer() override {}
  void StopPingTimer() override {}
  void Send(ConnectionId id, std::string_view line) override {
    if (Closed.contains(id) || line.find('\n') != std::string_view::npos) std::abort();
  }
  void Close(ConnectionId id, CloseMode) override {
    if (!Closed.insert(id).second) std::abort();
  }
  // Like an event loop: posted tasks run after the event that posted them.
  void Post(std::function<void()> task) override { Posted.push_back(std::move(task)); }
  void RunPosted() {
    while (!Posted.empty()) {
      auto task = std::move(Posted.front());
      Posted.pop_front();
      task();
    }
  }
  std::set<ConnectionId> Closed;
  std::deque<std::function<void()>> Posted;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::FakeClock clock;
  CheckingTransport transport;
  TServerHooks hooks;
  ServerCore core(transport, clock, hooks);
  core.SetMaxLine(256);
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  // The first byte: how many connections take part, and the client limit (0 = none).
  const auto setup = rest.empty() ? 0 : static_cast<unsigned char>(rest.front());
  if (!rest.empty()) rest.remove_prefix(1);
  const int connections = 1 + setup % 3;
  core.SetMaxClients((setup >> 2) % 4);
  std::string error;
  core.Start(error);
  ConnectionId next = 1;
  for (int i = 0; i < connections; ++i) core.OnClientConnect(next++, "10.0.0.1", "10.0.0.2");

  while (!rest.empty()) {
    // Each step: one control byte (connection and action), then a chunk of up to 32 bytes.
    const auto control = static_cast<unsigned char>(rest.front());
    rest.remove_prefix(1);
    const ConnectionId id = next - 1 - control % connections;
    const std::size_t len = std::min<std::size_t>(rest.size(), (control >> 3) + 1);
    const auto chunk = rest.substr(0, len);
    rest.remove_prefix(len);
    switch ((control >> 2) % 8) {
      case 0:
        core.OnPingTimer();
        clock.Ms += 31'000;
        break;
      case 1:
        core.OnClientDisconnect(id);
        core.OnClientConnect(next++, "10.0.0.3", "10.0.0.2");
        break;
      case 2:
        core.KillGuest(id);
        break;
      case 3:
        core.DeleteSubject("G", std::string(chunk));
        break;
      case 4:
        core.CreateSubject("G", std::string(chunk), control % 4, control & 1);
        break;
      default:
        core.OnClientRead(id, chunk);
        break;
    }
    transport.RunPosted();
  }
  core.UpdateServerStats();
  core.Stop(setup & 0x80 ? ITransport::CloseMode::AfterFlush : ITransport::CloseMode::Now);
  return 0;
}
