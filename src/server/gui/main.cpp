// ZorvaServer: the server with its operator window. The window, the server core and the Qt
// transport share the user-interface thread.
#include <QApplication>
#include <cstdio>
#include <memory>
#include <string>

#include "DbServerForm.h"
#include "ProgramOptions.h"
#include "QtTransport.h"
#include "Screenshots.h"
#include "ServerAssembly.h"
#include "ServerForm.h"
#include "ServerTlsConfiguration.h"
#include "SignalCloser.h"
#include "TlsContext.h"

using namespace zorva;

namespace {

bool ConfigureTransport(QtTransport& transport, const TServerOptions& options) {
  return transport.SetBindAddress(QString::fromStdString(options.BindAddress));
}

// The daemon's checks come first, so that both programs name a bad file in the same words.
bool ConfigureTls(QtTransport& transport, const TTlsOptions& tls, std::string& error) {
  if (!tls.Port) return true;
  const TTlsFiles files = TlsFiles(tls);
  if (!TlsContext::Load(files, error)) return false;
  const std::optional<QSslConfiguration> configuration = LoadServerTlsConfiguration(files, error);
  if (!configuration) return false;
  transport.SetTls({.Port = *tls.Port, .Configuration = *configuration, .PlainToo = !tls.NoPlain});
  return true;
}

// What --log and --trace ask for is what the operator would switch on in the "Tracing" menu;
// a file named on the command line is kept across starts, as the daemon's is.
void SwitchTracing(TfrmServer& window, const TServerOptions& options) {
  if (options.Trace) {
    window.actIncoming->trigger();
    window.actOutgoing->trigger();
  }
  if (!options.LogPath) return;
  window.SetLogFilePath(*options.LogPath, TLogFileStart::Append);
  window.actLogFiles->trigger();
}

// With a user store the window is the one whose users persist.
std::unique_ptr<TfrmServer> MakeWindow(TServerAssembly& server, const QtTransport& transport,
                                       const TServerOptions& options) {
  if (TZorvaUserStore* store = server.UserStore())
    return std::make_unique<TfrmDbServer>(server.Core(), *store, transport, options.IniPath,
                                          options.Settings);
  return std::make_unique<TfrmServer>(server.Core(), transport, options.IniPath, options.Settings);
}

// Returns the exit code of a program that could not start.
// Browsers are served by the daemon: the window's transport has no WebSocket listener, and a
// port asked for must not be silently left closed.
bool AsksForWebSocket(const TWebSocketOptions& web) {
  return web.Port || web.SecurePort || !web.WebRoot.empty() || !web.Origins.empty();
}

// The window's transport runs on Qt's loop, which the Redis link does not drive; a cluster asked
// for must not become a lone server without a word.
bool AsksForCluster(const TClusterOptions& cluster) {
  return cluster.Redis || !cluster.NodeId.empty() ||
         cluster.HeartbeatMs != TClusterOptions{}.HeartbeatMs;
}

int CannotStart(const std::string& reason) {
  std::fprintf(stderr, "ZorvaServer: %s\n", reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before the application object, so that --help and mistakes need no display.
  TProgramOptions options;
  if (const std::optional<int> exitCode = ParseProgramOptions(argc, argv, options))
    return *exitCode;
  const TServerOptions& server = options.Server;
  if (AsksForWebSocket(server.WebSocket))
    return CannotStart(
        "WebSocket listeners (--ws-port, --wss-port, --ws-origins, --web-root) are served by "
        "zorva-server only");
  if (AsksForCluster(server.Cluster))
    return CannotStart(
        "the cluster options (--cluster, --node-id, --cluster-heartbeat-ms) are served by "
        "zorva-server only");
  QApplication app(argc, argv);

  QtTransport transport(server.Limits);
  if (!ConfigureTransport(transport, server))
    return CannotStart("cannot bind to " + server.BindAddress);
  std::string error;
  if (!ConfigureTls(transport, server.Tls, error)) return CannotStart(error);
  const std::unique_ptr<TServerAssembly> parts =
      TServerAssembly::Build(transport, server, StartupSettings(server), error);
  if (!parts) return CannotStart(error);
  transport.SetEvents(&parts->Core());
  const std::unique_ptr<TfrmServer> form = MakeWindow(*parts, transport, server);
  TfrmServer& window = *form;
  TSignalCloser closer([&window] { window.close(); });
  SwitchTracing(window, server);
  window.SetTlsListener(server.Tls.Port, !server.Tls.NoPlain);
  window.show();

  if (options.Start) {
    if (!parts->Start(error)) return CannotStart(error);
    // The window's Start finds the server listening and shows it running.
    window.actStartServer->trigger();
    std::printf("Listening on %s\n", transport.ListenAddress().c_str());
    if (transport.TlsEnabled()) std::printf("TLS on %s\n", transport.TlsListenAddress().c_str());
    std::fflush(stdout);
  }
  if (!options.ScreenshotDir.empty())
    ScheduleScreenshots(window, parts->Core(), QString::fromStdString(options.ScreenshotDir),
                        options.ScreenshotAfterMs);
  return app.exec();
}
