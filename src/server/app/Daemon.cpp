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
#include "ClusterNode.h"
#include "DaemonLog.h"
#include "EpollTransport.h"
#include "ExceptionText.h"
#include "ListenAddress.h"
#include "ServerAssembly.h"
#include "TokenFile.h"

namespace zorva {

namespace {

// Descriptors kept for everything but clients: the listener, the loop's own, the standard
// streams, the log file and a user store's files, with room to spare.
constexpr std::uint64_t kReservedDescriptors = 32;
constexpr auto kStopFlushLimit = std::chrono::seconds(2);

// Reasons not to start, before the log exists.
void PrintError(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
}

// Unfinished upgrade requests are bounded per address like the clients they would become.
std::optional<EpollTransport::TWebSocketListener> WebSocketListener(
    const TServerOptions& options, const std::shared_ptr<TlsContext>& tlsContext) {
  const auto& web = options.WebSocket;
  if (!web.Port && !web.SecurePort) return std::nullopt;
  return EpollTransport::TWebSocketListener{
      .Port = web.Port,
      .SecurePort = web.SecurePort,
      .SecureContext = tlsContext,
      .Policy = {.Origins = web.Origins,
                 .WebRoot = web.WebRoot,
                 .MaxFileBytes = options.Limits.MaxOutput},
      .MaxUpgradingPerAddress = options.ClientLimits.MaxClientsPerAddress};
}

EpollTransport::TOptions TransportOptions(const TServerOptions& options,
                                          std::shared_ptr<TlsContext> tlsContext) {
  EpollTransport::TOptions transport;
  transport.BindAddress = options.BindAddress;
  transport.Limits = options.Limits;
  transport.WebSocket = WebSocketListener(options, tlsContext);
  if (tlsContext && options.Tls.Port) {
    transport.Tls = EpollTransport::TTlsListener{.Port = *options.Tls.Port,
                                                 .Context = std::move(tlsContext),
                                                 .PlainToo = !options.Tls.NoPlain};
  }
  return transport;
}

// A renewed certificate is taken for new connections; one that does not load leaves the old.
void ReloadTls(EpollTransport& transport, const TTlsOptions& tls, EventLogger& log) {
  std::string error;
  auto context = TlsContext::Load(TlsFiles(tls), error);
  if (!context) {
    log.Log(spdlog::level::err, "tls_reload_failed", {{"error", error}});
    return;
  }
  transport.SetTlsContext(std::move(context));
  log.Log(spdlog::level::info, "tls_reloaded", {{"cert", tls.CertFile}});
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
void RunLoop(asio::io_context& io, EventLogger& log) {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& error) {
      log.ExceptionLine(DescribeException(error), TExceptionKind::Alarm);
    }
  }
}

TLogOptions LogOptions(const TServerOptions& options) {
  return {ParseLogFormat(options.LogFormat).value_or(TLogFormat::Text),
          ParseLogLevel(options.LogLevel).value_or(spdlog::level::info), options.LogPath};
}

// A log rotator moves the file and sends SIGHUP, and so does a certificate renewal: the daemon
// goes on in a new file, and with the certificate files read again.
void ReopenOnHangup(asio::signal_set& hangups, TDaemonLog& log, EpollTransport& transport,
                    const TTlsOptions& tls) {
  hangups.async_wait([&hangups, &log, &transport, &tls](const std::error_code& ec, int) {
    if (ec) return;
    log.Reopen();
    if (!tls.CertFile.empty()) ReloadTls(transport, tls, log.Logger());
    ReopenOnHangup(hangups, log, transport, tls);
  });
}

void LogStart(EventLogger& log, const TServerOptions& options, const EpollTransport& transport,
              std::size_t maxClients) {
  log.Log(spdlog::level::info, "start",
          {{"address", transport.ListenAddress()},
           {"store", options.UsersPath.value_or("none")},
           {"max_clients", std::to_string(maxClients)},
           {"max_line", std::to_string(options.Limits.MaxLine)},
           {"max_output", std::to_string(options.Limits.MaxOutput)},
           {"ping_interval_ms", std::to_string(options.Limits.PingIntervalMs)},
           {"tls_address", options.Tls.Port ? transport.TlsListenAddress() : "off"},
           {"ws_address", options.WebSocket.Port ? transport.WebSocketListenAddress() : "off"},
           {"wss_address",
            options.WebSocket.SecurePort ? transport.SecureWebSocketListenAddress() : "off"}});
}

bool StartAdmin(AdminService& admin, const TServerOptions& options, const IClusterPort* cluster) {
  const auto address = ParseListenAddress(*options.AdminAddress);
  if (!address) {
    PrintError("zorva-server: --admin needs ADDRESS:PORT, not " + *options.AdminAddress);
    return false;
  }
  const auto tokenPath =
      options.AdminTokenFile.empty() ? DefaultTokenPath(options.IniPath) : options.AdminTokenFile;
  std::string error;
  if (!admin.Start({*address, tokenPath, options.MetricsPublic, cluster}, error)) {
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
  const TServerSettings settings = StartupSettings(options);
  if (settings.Port < 0 || settings.Port > 65535) {
    PrintError("zorva-server: port " + std::to_string(settings.Port) + " is out of range");
    return 1;
  }

  std::string error;
  std::string nodeId;
  if (options.Cluster.Redis) {
    nodeId = ClusterNodeId(options.Cluster, settings.Port, error);
    if (nodeId.empty()) {
      PrintError("zorva-server: " + error);
      return 1;
    }
  }
  std::shared_ptr<TlsContext> tlsContext;
  if (options.Tls.Port || options.WebSocket.SecurePort) {
    tlsContext = TlsContext::Load(TlsFiles(options.Tls), error);
    if (!tlsContext) {
      PrintError("zorva-server: " + error);
      return 1;
    }
  }
  asio::io_context io;
  EpollTransport transport(io, TransportOptions(options, std::move(tlsContext)));
  TServerOptions sized = options;
  sized.MaxClients = ClientCapacity(options.MaxClients, openFileLimit);
  const std::unique_ptr<TServerAssembly> server =
      TServerAssembly::Build(transport, sized, settings, error);
  if (!server) {
    PrintError("zorva-server: " + error);
    return 1;
  }
  // Asked for on the command line, a log that cannot be written is a reason not to start.
  const auto log = TDaemonLog::Open(LogOptions(options), error);
  if (!log) {
    PrintError("zorva-server: " + error);
    return 1;
  }
  auto& logger = log->Logger();
  ServerCore& core = server->Core();
  transport.SetEvents(&core);
  transport.SetExceptionReporter([&logger](const std::exception& error) {
    logger.ExceptionLine(DescribeException(error), TExceptionKind::Alarm);
  });
  core.SetObserver(&logger);
  std::optional<TClusterNode> cluster;
  if (options.Cluster.Redis) cluster.emplace(io, options.Cluster, nodeId, core, logger);
  if (!server->Start(error)) {
    PrintError("zorva-server: " + error);
    return 1;
  }
  std::printf("Listening on %s\n", transport.ListenAddress().c_str());
  if (options.Tls.Port) std::printf("TLS on %s\n", transport.TlsListenAddress().c_str());
  if (options.WebSocket.Port) {
    std::printf("WebSocket on %s\n", transport.WebSocketListenAddress().c_str());
  }
  if (options.WebSocket.SecurePort) {
    std::printf("Secure WebSocket on %s\n", transport.SecureWebSocketListenAddress().c_str());
  }
  std::printf("Room for %zu clients (open-file limit %llu)\n", sized.MaxClients,
              static_cast<unsigned long long>(openFileLimit));
  // A container's system-call filter often refuses io_uring; the relay then costs more.
  std::printf("%s\n", transport.SendMode() == SendBatch::TMode::Ring
                          ? "Writes of each turn go to the kernel in one io_uring batch"
                          : "Writes go one send at a time (the kernel refused io_uring)");
  std::printf("%s\n", server->UsersLine(options).c_str());
  if (cluster) {
    std::printf("Cluster node %s with Redis at %s\n", nodeId.c_str(), options.Cluster.Url.c_str());
  }
  std::fflush(stdout);
  LogStart(logger, options, transport, sized.MaxClients);
  if (cluster) cluster->Start();

  // The first signal closes the listener and lets every connection receive what is queued for
  // it; the second ends the wait, with 128 + its number as a shell reports such an end.
  // The admin API's stop takes the first signal's path.
  int exitCode = 0;
  bool stopping = false;
  auto stopServer = [&](std::string_view cause, const std::string& value) {
    if (std::exchange(stopping, true)) return;
    logger.Log(spdlog::level::info, "stop", {{cause, value}});
    core.Stop(ITransport::CloseMode::AfterFlush);
    transport.WhenAllClosed(kStopFlushLimit, [&] {
      if (!cluster) return io.stop();
      cluster->Finish(kStopFlushLimit, [&] { io.stop(); });
    });
  };
  asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const std::error_code& ec, int signal) {
    if (ec) return;
    stopServer("signal", std::to_string(signal));
    signals.async_wait([&](const std::error_code& again, int signal) {
      if (again) return;
      exitCode = 128 + signal;
      io.stop();
    });
  });
  AdminService admin(core, transport, server->Clock(), [&] { stopServer("by", "admin"); });
  if (options.AdminAddress && !StartAdmin(admin, options, cluster ? &cluster->Link() : nullptr))
    return 1;
  asio::signal_set hangups(io, SIGHUP);
  ReopenOnHangup(hangups, *log, transport, options.Tls);
  RunLoop(io, logger);
  return exitCode;
}

}  // namespace zorva
