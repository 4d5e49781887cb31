#include "Daemon.h"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "AdminService.h"
#include "AsioTransport.h"
#include "ExceptionText.h"
#include "ListenAddress.h"
#include "ServerCore.h"
#include "SystemClock.h"
#include "TokenFile.h"
#include "ZorvaUserStore.h"

namespace zorva {

namespace {

// Descriptors kept for everything but clients: the listener, the loop's own, the standard
// streams, the log file and a user store's files, with room to spare.
constexpr std::uint64_t kReservedDescriptors = 32;
constexpr auto kStopFlushLimit = std::chrono::seconds(2);

void PrintLine(std::FILE* stream, std::string_view prefix, std::string_view text) {
  std::fwrite(prefix.data(), 1, prefix.size(), stream);
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
}

void PrintError(std::string_view text) {
  PrintLine(stderr, "", text);
}

// The window's panes, for a terminal: trace lines on stdout, exception lines on stderr.
class ConsoleObserver : public IServerObserver {
 public:
  void TraceIncoming(std::string_view text) override { PrintLine(stdout, "Rcvd From ", text); }
  void TraceOutgoing(std::string_view text) override { PrintLine(stdout, "Sent To ", text); }
  void ExceptionLine(std::string_view text, bool) override { PrintError(text); }
};

AsioTransport::TOptions TransportOptions(const TServerOptions& options) {
  AsioTransport::TOptions transport;
  transport.BindAddress = options.BindAddress;
  transport.MaxOutput = options.MaxOutput;
  transport.PingIntervalMs = static_cast<std::uint32_t>(options.PingIntervalMs);
  transport.Flood = options.Flood;
  return transport;
}

// Past the descriptors, accepting would fail quietly over and over; past this number a client
// is told that the server is full instead.
std::size_t ClientCapacity(std::size_t maxClients, std::uint64_t openFileLimit) {
  const auto room =
      std::max<std::uint64_t>(openFileLimit, kReservedDescriptors + 1) - kReservedDescriptors;
  const auto capacity = static_cast<std::size_t>(
      std::min<std::uint64_t>(room, std::numeric_limits<std::size_t>::max()));
  return maxClients == 0 ? capacity : std::min(maxClients, capacity);
}

// A handler that throws outside the transport's guard (the signal handler) must not end the
// server either.
void RunLoop(asio::io_context& io) {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& error) {
      PrintError(DescribeException(error));
    }
  }
}

// With --users the store decides about users; otherwise the base hooks keep nothing.
std::unique_ptr<TServerHooks> MakeHooks(const TServerOptions& options, const IClock& clock,
                                        ITransport& transport) {
  if (!options.UsersPath) return std::make_unique<TServerHooks>();
  return std::make_unique<TZorvaUserStore>(*options.UsersPath, clock, transport);
}

bool StartAdmin(AdminService& admin, const TServerOptions& options) {
  const auto address = ParseListenAddress(*options.AdminAddress);
  if (!address) {
    PrintError("zorva-server: --admin needs ADDRESS:PORT, not " + *options.AdminAddress);
    return false;
  }
  const auto tokenPath =
      options.AdminTokenFile.empty() ? DefaultTokenPath(options.IniPath) : options.AdminTokenFile;
  std::string error;
  if (!admin.Start({*address, tokenPath, options.MetricsPublic}, error)) {
    PrintError("zorva-server: " + error);
    return false;
  }
  std::printf("Admin API on %s\n", admin.Url().c_str());
  std::printf("Admin token in %s\n", tokenPath.c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

int RunDaemon(const TServerOptions& options, std::uint64_t openFileLimit) {
  const auto settings = ApplyOverrides(ReadSettings(options.IniPath), options.Settings);
  if (settings.Port < 0 || settings.Port > 65535) {
    PrintError("zorva-server: port " + std::to_string(settings.Port) + " is out of range");
    return 1;
  }

  asio::io_context io;
  AsioTransport transport(io, TransportOptions(options));
  SystemClock clock;
  std::unique_ptr<TServerHooks> hooks;
  try {
    hooks = MakeHooks(options, clock, transport);
  } catch (const EDatabaseError& error) {
    PrintError(std::string("zorva-server: ") + error.what());
    return 1;
  }
  ServerCore core(transport, clock, *hooks);
  ConsoleObserver observer;
  transport.SetEvents(&core);
  transport.SetExceptionReporter(
      [](const std::exception& error) { PrintError(DescribeException(error)); });
  core.SetObserver(&observer);
  core.SetSettings(settings);
  core.SetMaxLine(options.MaxLine);
  const auto maxClients = ClientCapacity(options.MaxClients, openFileLimit);
  core.SetMaxClients(maxClients);
  core.SetTraceIncoming(options.Trace);
  core.SetTraceOutgoing(options.Trace);

  std::string error;
  // Asked for on the command line, a log that cannot be written is a reason not to start.
  if (options.LogPath && !core.OpenLogFile(*options.LogPath, error)) {
    PrintError("zorva-server: " + error);
    return 1;
  }
  if (!core.Start(error)) {
    PrintError("zorva-server: " + error);
    return 1;
  }
  std::printf("Listening on %s\n", transport.ListenAddress().c_str());
  std::printf("Room for %zu clients (open-file limit %llu)\n", maxClients,
              static_cast<unsigned long long>(openFileLimit));
  // A container's system-call filter often refuses io_uring; the relay then costs more.
  std::printf("%s\n", transport.SendMode() == SendBatch::TMode::Ring
                          ? "Writes of each turn go to the kernel in one io_uring batch"
                          : "Writes go one send at a time (the kernel refused io_uring)");
  std::fflush(stdout);

  // The first signal closes the listener and lets every connection receive what is queued for
  // it; the second ends the wait, with 128 + its number as a shell reports such an end.
  // The admin API's stop takes the first signal's path.
  int exitCode = 0;
  bool stopping = false;
  auto stopServer = [&] {
    if (std::exchange(stopping, true)) return;
    core.Stop(ITransport::CloseMode::AfterFlush);
    transport.WhenAllClosed(kStopFlushLimit, [&] { io.stop(); });
  };
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& ec, int) {
    if (ec) return;
    stopServer();
    signals.async_wait([&](const std::error_code& again, int signal) {
      if (again) return;
      exitCode = 128 + signal;
      io.stop();
    });
  });
  AdminService admin(core, transport, clock, stopServer);
  if (options.AdminAddress && !StartAdmin(admin, options)) return 1;
  RunLoop(io);
  return exitCode;
}

}  // namespace zorva
